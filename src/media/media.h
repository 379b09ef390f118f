// The interfaces between a provider and what it serves: the media (IMedia,
// IProviderInfo, IProviderMedia), the record a media describes itself with
// (MediaInfo), the channel a sucker hands frames to (IMediaSuckerNotify),
// the sucker threads (IThread, IMediaSucker) that pull frames out of a
// media's stream, and the taps (IMediaTap) that hand them on as the stream
// publishes them, on its writer's thread. audio_media.h implements them for audio; provider.h uses
// them.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>

#include "base/thread.h"
#include "media/link_notifier.h"
#include "media/mike_desc.h"
#include "rpc/params.h"
#include "stream/stream.h"
#include "stream/stream_info.h"

namespace zq {

/// What a media says about itself. `recordSize` is the capacity on the way
/// in and the size used on the way out.
struct MediaInfo {
  /// The size of the whole record, the description of the source included.
  static constexpr int32_t kFullSize = 240;
  /// The smallest record that carries the type and the stream description.
  static constexpr int32_t kBaseSize = 12;
  enum Type : uint32_t { kVideo = 1, kAudio = 2, kNoMedia = 4 };

  uint32_t recordSize = kBaseSize;
  uint32_t type = kNoMedia;
  std::unique_ptr<StreamInfo> streamInfo;
  /// Filled for a capacity of kFullSize or more.
  std::unique_ptr<MikeDesc> desc;
};

/// The parameters a channel gives the sucker it asks for. The flags word and
/// skip only mean something to one video stream type; audio leaves them 0.
struct SuckerParams {
  static constexpr int32_t kSize = 12;
  uint32_t recordSize = kSize;
  uint32_t flags = 0;
  int32_t skip = 0;
};

/// One piece of a frame on its way to the network.
struct GatherPiece {
  const uint8_t* data;
  size_t length;
};

/// What a sucker thread hands each frame to: a data channel.
class IMediaSuckerNotify {
 public:
  virtual ~IMediaSuckerNotify() = default;
  /// One frame as `count` pieces, in order. Runs on the sucker thread.
  virtual void onFrame(const GatherPiece* pieces, size_t count) = 0;
};

/// A thread that runs one iteration after another under its loop mutex until
/// it is stopped, and that can be paused between two iterations.
///
/// Concurrency: start, stop, pause and resume come from the owner's thread
/// (pause and resume may come from another thread than start and stop, never
/// at the same time as them).
class IThread : public JThread {
 public:
  enum State : int32_t { kRunning = 0, kStopping = 1, kStopped = 2 };

  IThread();
  /// The subclass must have stopped the thread.
  ~IThread() override;

  /// From stopped only: running, then the thread starts at `priority`.
  virtual void start(int priority);
  /// From running only: stopping, the thread is woken and waited for, then
  /// stopped.
  virtual void stop();
  /// Suspends the thread between two iterations: returns once the current
  /// one has ended; the thread parks before the next. An iteration must hold
  /// no suspension check point (thread.h) for this to hold.
  virtual void pause();
  virtual void resume();

  State state() const { return static_cast<State>(state_.load(std::memory_order_acquire)); }

  /// Sleeps up to `ms` on the calling thread. An IThread wakes at once when
  /// it is being stopped (false then), so that a pause never holds up the
  /// end of its channel; any other thread just sleeps.
  static bool idleCurrent(int ms);

 protected:
  void run() override;
  virtual void before() = 0;
  virtual void after() = 0;
  virtual bool keepRunning() = 0;
  virtual void iterate() = 0;
  /// Called by stop once the state is stopping, to end a blocking wait of
  /// the iteration (nothing here).
  virtual void wakeForStop() {}

  /// Sleeps up to `ms` unless the thread is being stopped; false once it is.
  bool idle(int ms);

  /// Set while the thread is asked to end: the stop flag of blocking reads.
  std::atomic<bool> stopping_{false};

 private:
  std::atomic<int32_t> state_{kStopped};
  std::mutex loopMutex_;
  std::mutex idleMutex_;
  std::condition_variable idleWake_;
};

/// A sucker: the thread that reads a media's frames for one channel.
class IMediaSucker : public IThread {
 public:
  virtual int setSuckerParams(const SuckerParams& params) = 0;
  /// Capacity 0: the record's size; a smaller capacity than the record: -1;
  /// else copies the parameters and answers the size.
  virtual int getSuckerParams(SuckerParams& params) const = 0;
  /// The bytes the sucker puts in front of every frame.
  virtual int headerSize() const = 0;
  virtual void startSucker() = 0;
  virtual void stopSucker() = 0;
};

/// A channel's hold on a media's frames without a thread: while the tap
/// lives, each frame the media's stream publishes goes to the channel on the
/// thread that publishes it (capture, encoder, network reception), in the
/// same pieces a sucker would give. The channel's onFrame then holds up
/// that thread and must not block. Its destruction waits for a frame under
/// way; nothing reaches the channel afterwards.
class IMediaTap {
 public:
  virtual ~IMediaTap() = default;
};

/// A media object: what it serves and how to reach it.
class IMedia {
 public:
  virtual ~IMedia() = default;

  /// Fills `info` as far as its capacity allows; the full size, or -1 for a
  /// capacity too small for the type.
  virtual int getMediaInfo(MediaInfo& info) = 0;
  /// A new sucker (owned by the caller) reading this media for `channel`.
  virtual std::unique_ptr<IMediaSucker> createSucker(IMediaSuckerNotify* channel,
                                                     const SuckerParams& params) = 0;
  /// A tap (owned by the caller) handing `channel` this media's frames from
  /// the next one published on; null when the media cannot, the channel
  /// then needs a sucker. Not from a thread that publishes to the media.
  virtual std::unique_ptr<IMediaTap> createTap(IMediaSuckerNotify* /*channel*/) { return nullptr; }
  virtual int getMaxFrameSize() = 0;
  virtual int getFrameRate() = 0;
  virtual int getFrameDuration() = 0;
  /// Binds the media to its source; `notifier` hears the source's stream
  /// come and go with `context`.
  virtual void connect(LinkNotifier* notifier, uint32_t context, uint32_t word,
                       bool noCallback) = 0;
  virtual void disconnect() = 0;
  virtual bool isConnected() = 0;
  virtual void getDesc(MikeDesc& out) = 0;
  /// The source's stream now (null when there is none).
  virtual JStream* getStream() = 0;
};

/// What RPC callers read and change of the media a provider serves.
class IProviderInfo {
 public:
  virtual ~IProviderInfo() = default;
  virtual void getParams(JParams& out) = 0;
  virtual void getStreamInfoParams(JParams& out) = 0;
  virtual int setParams(const JParams& in) = 0;
  virtual void getStat(JParams& out) = 0;
};

class IProviderMedia : public IMedia, public IProviderInfo {};

}  // namespace zq
