// SharedSoftMike: replays a list of in-memory frames as a shared audio
// stream, on a periodic timer (or all at once when no period is given).
#pragma once

#include <atomic>
#include <memory>
#include <string_view>

#include "base/thread.h"
#include "base/waitable.h"
#include "media/shared_mike.h"
#include "stream/soft_mike.h"

namespace zq {

class SharedSoftMike : public SharedMike, public JThread {
 public:
  /// Payload bytes of each frame buffer of the stream.
  static constexpr size_t kBufferSize = 16384;

  SharedSoftMike(const MikeDesc& desc, uint32_t debugFlags, std::string_view traceName);
  ~SharedSoftMike() override;

  /// The first user's open creates the stream (errors of SoftMike, such as
  /// a description without stream info, propagate) and starts the replay.
  void open(int32_t& userId, LinkNotifier* callback, uint32_t context, uint32_t word1,
            uint32_t word2, bool noCallback) override;
  int close(int32_t& userId) override;

  /// Frames published so far. Any thread.
  uint64_t framesPublished() const { return sequence_.load(std::memory_order_relaxed); }

 protected:
  void run() override;

 private:
  void stopReplay();
  // Under streamMutex_: publishes the next frame of the list.
  void publishNext();

  std::unique_ptr<SoftMike> soft_;  // guarded by streamMutex_
  JFlag stop_{true, false};
  JWaitableTimer timer_{false};
  size_t next_ = 0;                    // guarded by streamMutex_
  std::atomic<uint64_t> sequence_{0};  // written under streamMutex_
  bool running_ = false;               // guarded by usersMutex_
};

}  // namespace zq
