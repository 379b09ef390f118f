// SharedFileMike: the file list, its thread and the users' link events.
#include "media/shared_file_mike.h"

namespace zq {

namespace {

std::vector<std::string> splitList(std::string list) {
  while (!list.empty() && list.back() == ',') {
    list.pop_back();
  }
  std::vector<std::string> names;
  size_t from = 0;
  for (;;) {
    const size_t comma = list.find(',', from);
    names.push_back(list.substr(from, comma - from));
    if (comma == std::string::npos) {
      break;
    }
    from = comma + 1;
  }
  return names;
}

}  // namespace

SharedFileMike::SharedFileMike(const MikeDesc& desc, uint32_t debugFlags,
                               std::string_view traceName)
    : SharedMike(desc, debugFlags, traceName),
      JThread("SharedFileMike - playing files=" + desc.fileName),
      files_(splitList(desc.fileName)),
      finished_(std::make_unique<JFlag>(true, false)) {
  desc_.finishedEvent = finished_.get();
}

SharedFileMike::~SharedFileMike() {
  std::lock_guard usersLock(usersMutex_);
  stopThread();
}

void SharedFileMike::open(int32_t& userId, LinkNotifier* callback, uint32_t context, uint32_t,
                          uint32_t, bool noCallback) {
  std::lock_guard usersLock(usersMutex_);
  const int32_t id = newUserId();
  if (!running_ && !finished_->isSet()) {
    {
      std::lock_guard streamLock(streamMutex_);
      openPlayer();
    }
    stop_.reset();
    start();
    running_ = true;
  }
  const User user{callback, context};
  userId = id;
  std::lock_guard notifyLock(notifyMutex_);
  std::lock_guard streamLock(streamMutex_);
  users_.emplace(id, user);
  if (!noCallback) {
    tell(user, stream_);
  }
}

int SharedFileMike::close(int32_t& userId) {
  std::lock_guard usersLock(usersMutex_);
  {
    // After this no callback reaches the user.
    std::lock_guard notifyLock(notifyMutex_);
    std::lock_guard streamLock(streamMutex_);
    users_.erase(userId);
  }
  userId = -1;
  if (users_.empty()) {
    stopThread();
  }
  return static_cast<int>(users_.size());
}

void SharedFileMike::openPlayer() {
  auto player = std::make_unique<FilePlayer>(files_[index_]);
  if (desc_.playPosition != 0 || desc_.playOffset != 0) {
    player->seek(desc_.playPosition, desc_.playOffset);
  }
  desc_.setStreamInfo(player->copyStreamInfo());
  player->play();
  player_ = std::move(player);
  stream_ = player_.get();
}

void SharedFileMike::stopThread() {
  if (running_) {
    stop_.set();
    join();
    running_ = false;
  }
  std::lock_guard streamLock(streamMutex_);
  stream_ = nullptr;
  player_.reset();
}

void SharedFileMike::run() {
  for (;;) {
    try {
      stop_.wait(kPollMs);
      return;
    } catch (const JTimeoutError&) {
      // a poll: look at the player
    }
    try {
      if (!advanceIfEnded()) {
        return;
      }
    } catch (const JError& error) {
      logCaught(error);
    }
  }
}

bool SharedFileMike::advanceIfEnded() {
  // The users hear of the end without the stream mutex held: a user that
  // switches its readers elsewhere (the local access manager hands its
  // provider another media) takes locks that are taken before this source's
  // elsewhere. The stream is withdrawn first, so nobody new attaches to it,
  // and deleted once every user has let go of it.
  std::lock_guard notifyLock(notifyMutex_);
  std::unique_ptr<FilePlayer> ended;
  {
    std::lock_guard streamLock(streamMutex_);
    if (!player_ || !player_->endOfFile().isSet()) {
      return true;
    }
    stream_ = nullptr;
    ended = std::move(player_);
  }
  const JTextError eof("EOF");
  for (const auto& [id, user] : users_) {
    if (user.notifier != nullptr) {
      user.notifier->linkDown(&eof, user.context);
    }
  }
  ended.reset();
  std::lock_guard streamLock(streamMutex_);
  index_ = (index_ + 1) % files_.size();
  if (index_ == 0 && !desc_.looping) {
    finished_->set();
    return false;
  }
  desc_.playPosition = 0;
  desc_.playOffset = 0;
  desc_.playLength = 0;
  openPlayer();
  for (const auto& [id, user] : users_) {
    if (user.notifier != nullptr) {
      user.notifier->linkUp(stream_, user.context);
    }
  }
  return true;
}

MikeDesc SharedFileMike::getDesc() const {
  std::lock_guard streamLock(streamMutex_);
  MikeDesc desc = desc_;
  if (player_) {
    desc.playPosition = player_->position();
    desc.playOffset = player_->frameNumber();
    desc.playLength = player_->frameCount();
  }
  std::string rotated;
  for (size_t i = 0; i < files_.size(); ++i) {
    if (i != 0) {
      rotated += ',';
    }
    rotated += files_[(index_ + i) % files_.size()];
  }
  desc.fileName = rotated;
  return desc;
}

void SharedFileMike::pause() {
  std::lock_guard streamLock(streamMutex_);
  if (player_) {
    player_->pause();
  }
}

void SharedFileMike::resume() {
  std::lock_guard streamLock(streamMutex_);
  if (player_) {
    player_->resume();
  }
}

}  // namespace zq
