// The player's thread and its hand-over of streams with the sources.
#include "zqoutput/player.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "base/error.h"
#include "stream/stream_frame_header.h"

namespace zq::zqoutput {

Player::Player(AudioSink& sink) : JThread("zqoutput player"), sink_(sink) {
  start();
}

Player::~Player() {
  stop();
  {
    std::lock_guard lock(mutex_);
    quit_ = true;
  }
  changed_.notify_all();
  join();
}

void Player::setVolume(int32_t volume) {
  volume_.store(std::clamp(volume, 0, 100));
}

Player::Stats Player::stats() const {
  Stats s;
  {
    std::lock_guard lock(mutex_);
    s.source = sourceText_;
  }
  s.received = received_.load();
  s.lost = lost_.load();
  s.decoded = decoded_.load();
  s.errors = errors_.load();
  s.underruns = underruns_.load();
  s.levelDb = levelDb_.load();
  return s;
}

void Player::play(const MikeDesc& desc, const std::string& text) {
  std::lock_guard source(sourceMutex_);
  closeSource();
  SharedMike* mike = SharedMike::acquire(desc);
  int32_t user = -1;
  try {
    mike->open(user, this, 0, 0, 0, false);
  } catch (...) {
    SharedMike::release(mike);
    throw;
  }
  source_ = mike;
  user_ = user;
  std::lock_guard lock(mutex_);
  sourceText_ = text;
}

void Player::stop() {
  std::lock_guard source(sourceMutex_);
  closeSource();
}

void Player::closeSource() {
  {
    std::unique_lock lock(mutex_);
    stream_ = nullptr;
    detach(lock);
    sourceText_.clear();
  }
  if (source_ != nullptr) {
    source_->close(user_);
    SharedMike::release(source_);
    source_ = nullptr;
  }
}

void Player::detach(std::unique_lock<std::mutex>& lock) {
  if (attached_ == nullptr) {
    return;
  }
  detach_.store(true);
  attached_->wakeReaders();
  changed_.wait(lock, [this] { return attached_ == nullptr; });
  detach_.store(false);
}

bool Player::linkDown(const JError*, uint32_t) {
  std::unique_lock lock(mutex_);
  stream_ = nullptr;
  detach(lock);
  return true;
}

void Player::linkUp(JStream* stream, uint32_t) {
  std::unique_lock lock(mutex_);
  if (stream != attached_) {
    detach(lock);
  }
  stream_ = stream;
  changed_.notify_all();
}

void Player::run() {
  for (;;) {
    const StreamInfo* info = nullptr;
    std::unique_ptr<StreamInfo> infoCopy;
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [this] { return quit_ || stream_ != nullptr; });
      if (quit_) {
        return;
      }
      attached_ = stream_;
      reader_.listen(attached_, nullptr);
      infoCopy = attached_->copyStreamInfo();
      info = infoCopy.get();
    }
    const uint64_t lostBase = lost_.load();
    const int64_t lostAtStart = reader_.lostFrames();
    while (uint8_t* frame = reader_.readNext(&detach_)) {
      received_.fetch_add(1, std::memory_order_relaxed);
      try {
        playFrame(*frameHeaderOf(frame), info);
      } catch (const JError& e) {
        logCaught(e);
      }
      lost_.store(lostBase + static_cast<uint64_t>(reader_.lostFrames() - lostAtStart));
    }
    reader_.unlock();
    std::lock_guard lock(mutex_);
    reader_.listen(nullptr);
    attached_ = nullptr;
    changed_.notify_all();
  }
}

void Player::playFrame(const StreamFrameHeader& frame, const StreamInfo* info) {
  pcm_.clear();
  uint32_t rate = 0;
  uint32_t channels = 0;
  if (info != nullptr && info->formatTag() == StreamInfo::kFormatPcm && info->bitsPerSample() == 16) {
    const auto* samples = reinterpret_cast<const int16_t*>(frame.payload());
    pcm_.assign(samples, samples + frame.size / sizeof(int16_t));
    rate = info->samplesPerSecond();
    channels = info->channels();
  } else {
    if (!decoder_.decode(frame.payload(), frame.size, pcm_)) {
      errors_.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    rate = static_cast<uint32_t>(decoder_.sampleRate());
    channels = static_cast<uint32_t>(decoder_.channels());
  }
  if (pcm_.empty() || rate == 0 || channels == 0) {
    return;  // the decoder's delay: nothing yet
  }
  decoded_.fetch_add(1, std::memory_order_relaxed);
  const int32_t volume = volume_.load();
  int peak = 0;
  for (int16_t& s : pcm_) {
    s = static_cast<int16_t>(s * volume / 100);
    peak = std::max(peak, std::abs(static_cast<int>(s)));
  }
  levelDb_.store(peak == 0 ? -96 : static_cast<int32_t>(std::lround(20 * std::log10(peak / 32767.0))));
  sink_.format(rate, channels);
  underruns_.fetch_add(sink_.write(pcm_.data(), pcm_.size() / channels), std::memory_order_relaxed);
}

}  // namespace zq::zqoutput
