// SharedSoftMike: the replay of in-memory frames.
#include "media/shared_soft_mike.h"

#include <algorithm>
#include <cstring>

#include "base/jtime.h"
#include "base/wait.h"
#include "stream/stream_frame_header.h"

namespace zq {

SharedSoftMike::SharedSoftMike(const MikeDesc& desc, uint32_t debugFlags,
                               std::string_view traceName)
    : SharedMike(desc, debugFlags, traceName), JThread("SharedSoftMike") {}

SharedSoftMike::~SharedSoftMike() {
  std::lock_guard usersLock(usersMutex_);
  stopReplay();
}

void SharedSoftMike::open(int32_t& userId, LinkNotifier* callback, uint32_t context, uint32_t,
                          uint32_t, bool noCallback) {
  std::lock_guard usersLock(usersMutex_);
  const int32_t id = newUserId();
  if (users_.empty() && !soft_) {
    std::lock_guard streamLock(streamMutex_);
    const StreamInfo* info = desc_.streamInfo();
    soft_ = std::make_unique<SoftMike>(
        info != nullptr ? std::make_unique<StreamInfo>(*info) : nullptr, kBufferSize, traceName());
    stream_ = soft_.get();
    next_ = 0;
    if (desc_.period == 0) {
      for (size_t i = 0; i < desc_.frames.size(); ++i) {
        publishNext();
      }
    }
  }
  if (users_.empty() && desc_.period != 0 && !running_) {
    stop_.reset();
    timer_.setPeriod(desc_.period);
    timer_.set(desc_.period);
    start();
    running_ = true;
  }
  addUserLocked(id, userId, User{callback, context}, noCallback);
}

int SharedSoftMike::close(int32_t& userId) {
  std::lock_guard usersLock(usersMutex_);
  const int left = removeUserLocked(userId);
  if (left == 0) {
    stopReplay();
  }
  return left;
}

void SharedSoftMike::stopReplay() {
  if (running_) {
    stop_.set();
    join();
    timer_.cancel();
    running_ = false;
  }
  std::lock_guard streamLock(streamMutex_);
  stream_ = nullptr;
  soft_.reset();
}

void SharedSoftMike::run() {
  SoftMike* soft = nullptr;
  {
    std::lock_guard streamLock(streamMutex_);
    soft = soft_.get();  // kept until this thread has been joined
  }
  if (soft == nullptr) {
    return;
  }
  // A replay nobody reads (the stand-by of a live source, most of its life)
  // would wake this thread and the timer's once a frame for nothing: the
  // timer rests until a reader or a listener attaches, and the frames resume
  // from then.
  JWaitForMultipleObjects ticking(&stop_, &timer_);
  JWaitForMultipleObjects idle(&stop_, &soft->readerAttached());
  bool paused = false;
  while (true) {
    if (!soft->hasReaders()) {
      if (!paused) {
        timer_.cancel();
        paused = true;
      }
      if (idle.wait() == 0) {
        return;
      }
      continue;
    }
    if (paused) {
      timer_.set(desc_.period);
      paused = false;
    }
    if (ticking.wait() == 0) {
      return;
    }
    std::lock_guard streamLock(streamMutex_);
    if (!desc_.frames.empty()) {
      publishNext();
    }
  }
}

void SharedSoftMike::publishNext() {
  if (desc_.frames.empty()) {
    return;
  }
  const std::vector<uint8_t>& frame = desc_.frames[next_];
  next_ = (next_ + 1) % desc_.frames.size();
  uint8_t* buffer = soft_->getWriteBuffer();
  StreamFrameHeader* header = frameHeaderOf(buffer);
  const size_t size = std::min(frame.size(), soft_->maxPayload());
  std::memcpy(header->payload(), frame.data(), size);
  header->size = static_cast<uint32_t>(size);
  const uint64_t sequence = sequence_.fetch_add(1, std::memory_order_relaxed);
  header->keyWord = static_cast<uint32_t>(sequence);
  header->unused[0] = static_cast<uint32_t>(sequence >> 32);
  header->setTimeStamp(static_cast<uint64_t>(wallClockNow()));
  soft_->publish(static_cast<uint32_t>(sequence));
}

}  // namespace zq
