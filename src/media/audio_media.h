// The audio media objects a provider serves: IAudio binds a MikeDesc to its
// shared source (SharedMike) and describes it to RPC callers; AudioLive (a
// sound-card or board input), AudioFile (a list of files) and AudioSoft
// (in-memory frames) add their own parameters and statistics. IAudioSucker
// is the thread that reads the source's frames for one data channel and
// hands them on as they were coded: nothing here transcodes. IAudioTap hands
// them on the same way, on the source's own thread as it publishes them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "base/log.h"
#include "media/media.h"
#include "media/mike_desc.h"
#include "media/shared_mike.h"
#include "media/stream_fan_out.h"
#include "stream/sound_sucker.h"

namespace zq {

class IAudio;

/// Reads one channel's frames: each frame goes to the channel as two pieces,
/// a 16-byte header (flags 0, the frame's time stamp without bit 63, low
/// word first, and its key word, each little-endian) and the frame's bytes.
///
/// Concurrency: startSucker and stopSucker from the channel's thread; the
/// reader, the header and the channel only on the sucker thread.
class IAudioSucker : public IMediaSucker {
 public:
  static constexpr int kHeaderSize = 16;
  /// How long a sucker with no frame coming sleeps before it looks again;
  /// a publication or a stop wakes it at once.
  static constexpr int kIdlePollMs = 1000;
  /// The pause after an iteration that had no stream to read.
  static constexpr int kNoFrameSleepMs = 100;

  IAudioSucker(const SuckerParams& params, IAudio* media, IMediaSuckerNotify* channel);
  ~IAudioSucker() override;

  int setSuckerParams(const SuckerParams& params) override;
  int getSuckerParams(SuckerParams& params) const override;
  int headerSize() const override { return kHeaderSize; }
  /// Attaches the reader to the media's stream (the first frame read is the
  /// newest) and starts the thread at priority 15.
  void startSucker() override;
  /// Stops the thread, ends the use of the last frame and detaches.
  void stopSucker() override;

  /// Frames handed to the channel so far. Any thread.
  uint64_t framesSent() const { return framesSent_.load(std::memory_order_relaxed); }

 protected:
  void before() override;
  /// Ends the use of the last frame read: the reader's lock belongs to this
  /// thread.
  void after() override;
  bool keepRunning() override { return true; }
  void iterate() override;
  void wakeForStop() override;

 private:
  IAudio* media_;  // not owned
  SoundSucker reader_;
  uint8_t header_[kHeaderSize] = {};
  GatherPiece pieces_[2] = {};
  IMediaSuckerNotify* channel_;  // not owned
  SuckerParams params_;
  std::atomic<uint64_t> framesSent_{0};
};

/// One channel's frames in the form a sucker gives them, from the source
/// stream's writer thread as each is published (media.h, IMediaTap). A
/// media without a stream gives nothing, as a sucker reads nothing then.
class IAudioTap : public IMediaTap, public JStreamListener {
 public:
  IAudioTap(JStream* stream, IMediaSuckerNotify* channel);
  ~IAudioTap() override;
  IAudioTap(const IAudioTap&) = delete;
  IAudioTap& operator=(const IAudioTap&) = delete;

  void onPublication(const uint8_t* frame) override;

 private:
  JStream* stream_;              // not owned; null: nothing to hand on
  IMediaSuckerNotify* channel_;  // not owned
  uint8_t header_[IAudioSucker::kHeaderSize] = {};
};

/// The base of the audio media: the description, the bound source and the
/// user id held at it.
///
/// Concurrency: connect, disconnect and the RPC operations may come from
/// different threads; the description and the binding are guarded by one
/// mutex. getStream may be called while a source callback holds the
/// source's stream mutex only from that callback's thread (it takes the
/// same mutex, which is not recursive): the provider calls it from its own
/// threads.
class IAudio : public IProviderMedia, public JTraceableObject {
 public:
  ~IAudio() override;

  int getMediaInfo(MediaInfo& info) override;
  std::unique_ptr<IMediaSucker> createSucker(IMediaSuckerNotify* channel,
                                             const SuckerParams& params) override;
  /// An IAudioTap on the bound source's stream now (it stays on that stream,
  /// as a sucker's reader does).
  std::unique_ptr<IMediaTap> createTap(IMediaSuckerNotify* channel) override;
  /// Throws JTextError "invalid compression mode" or "bit rate not supported".
  int getMaxFrameSize() override;
  int getFrameRate() override;
  int getFrameDuration() override;
  /// Binds to the shared source of the description and opens a user there
  /// (nothing when already bound). Throws "cannot create mike", "cannot
  /// connect mike" (with `noCallback`, when the source has no stream) and
  /// the source's errors, leaving the media unbound.
  void connect(LinkNotifier* notifier, uint32_t context, uint32_t word, bool noCallback) override;
  void disconnect() override;
  bool isConnected() override;
  void getDesc(MikeDesc& out) override;
  JStream* getStream() override;

  void getParams(JParams& out) override;
  void getStreamInfoParams(JParams& out) override;
  int setParams(const JParams&) override { return 0; }
  void getStat(JParams&) override {}

  /// The source bound now (null when not connected).
  SharedMike* source() const;

  /// Attaches a sucker's reader to the source's stream now, or to a relay of
  /// it when the stream's reader slots are taken (stream_fan_out.h); the
  /// first frame read is the newest. detachReader undoes it. The sucker's
  /// thread must not be reading.
  void attachReader(StreamClient& reader);
  void detachReader(StreamClient& reader);
  /// Relays serving readers now.
  size_t relayCount() const { return fanOut_.relayCount(); }

 protected:
  IAudio(const MikeDesc& desc, std::string_view traceName);

  /// The description refreshed from the bound source when it has a stream.
  /// With mutex_ held.
  void refreshLocked();
  /// PCM bytes or MP3 frame bytes of one frame of the description.
  int frameSizeLocked() const;

  mutable std::mutex mutex_;
  MikeDesc desc_;               // guarded by mutex_
  SharedMike* mike_ = nullptr;  // guarded by mutex_; a use count held at the registry
  int32_t userId_ = -1;         // guarded by mutex_

 private:
  StreamFanOut fanOut_;
};

/// A sound-card input (connector 0 or 1, through mixer 0) or a capture
/// board input (connectors 2 to 4, through the board's text commands).
class AudioLive : public IAudio {
 public:
  /// Throws JTextError "invalid camera desc type" unless `desc` is local.
  explicit AudioLive(const MikeDesc& desc);
  /// A PCM input.
  AudioLive(int32_t channel, int32_t connector, bool boardFlag1, bool boardFlag2,
            int32_t samplesPerSec, int32_t bitsPerSample, int32_t channels,
            int32_t samplesPerBlock);
  /// An MP3 input.
  AudioLive(int32_t channel, int32_t connector, bool boardFlag1, bool boardFlag2,
            int32_t targetBitRate);

  /// For a sound-card connector, first makes its line the recording source
  /// of mixer 0 at the description's volume.
  void connect(LinkNotifier* notifier, uint32_t context, uint32_t word, bool noCallback) override;
  void getParams(JParams& out) override;
  /// "InputConnector", "InputVolume" (sound card); "PreAmplificationGain",
  /// "Volume" (board). Values out of range are ignored. Answers 0.
  int setParams(const JParams& in) override;
  void getStat(JParams& out) override;

  const MikeDesc& initialDesc() const { return initial_; }

  /// A board's 15-bit quasi-peak level in dB below full scale, truncated
  /// toward zero; 0 counts as 1 (about -90).
  static int32_t quasiPeakDb(uint32_t level);

 private:
  // A board command through the bound source; "" when not bound.
  std::string boardCommand(const std::string& command);

  const MikeDesc initial_;
};

/// A list of audio files played in turn.
class AudioFile : public IAudio {
 public:
  /// Throws JTextError "invalid Mike desc type" unless `desc` is a file
  /// description.
  explicit AudioFile(const MikeDesc& desc);
  /// From the comma-separated list.
  explicit AudioFile(const std::string& files);

  void getParams(JParams& out) override;
  void getStreamInfoParams(JParams& out) override;
  /// "CurrentFile" and "BitRate".
  void getStat(JParams& out) override;

 private:
  // The list as given: the source's description rotates it as it plays.
  const std::string files_;
};

/// In-memory frames replayed as a stream.
class AudioSoft : public IAudio {
 public:
  /// Throws JTextError "invalid mike desc type" unless `desc` is a soft
  /// description.
  explicit AudioSoft(const MikeDesc& desc);
  /// One frame replayed every `period` ms in the stream of `info`.
  AudioSoft(const StreamInfo& info, const uint8_t* frame, size_t length, int32_t period);

  /// The largest of the frames; -1 with none.
  int getMaxFrameSize() override;
};

}  // namespace zq
