// Player: plays one source at a time into the output. A source is a shared
// audio source of the media layer (a remote AAM's stream, a file, a capture
// device), opened by its description; the player's thread reads its frames,
// decodes MP3 (PCM passes as it is), applies the volume and writes the
// output.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "base/thread.h"
#include "media/link_notifier.h"
#include "media/mike_desc.h"
#include "media/shared_mike.h"
#include "stream/stream_client.h"
#include "stream/stream_frame_header.h"
#include "zqoutput/mp3_decoder.h"
#include "zqoutput/sink.h"

namespace zq::zqoutput {

/// Concurrency: play, stop, setVolume and stats from any thread (the RPC
/// connections), serialised by the player; the source's link events arrive
/// on its own threads and wait, bounded by the current block, for the
/// player's thread to let go of the stream.
class Player : public LinkNotifier, private JThread {
 public:
  struct Stats {
    std::string source;   // "" when silent
    uint64_t received = 0;  // frames read from the source
    uint64_t lost = 0;      // frames the source's stream moved past us
    uint64_t decoded = 0;   // frames that gave samples
    uint64_t errors = 0;    // frames that could not be decoded
    uint64_t underruns = 0;
    int32_t levelDb = -96;  // peak of the last block, dB below full scale
  };

  /// `sink` (not owned) must outlive the player.
  explicit Player(AudioSink& sink);
  ~Player() override;
  Player(const Player&) = delete;
  Player& operator=(const Player&) = delete;

  /// Replaces the source by the one `desc` describes (`text` names it in
  /// the statistics). The source's errors propagate; the player is then
  /// silent.
  void play(const MikeDesc& desc, const std::string& text);
  /// Silent: the source is closed.
  void stop();
  /// 0 ... 100 (clamped); 100 plays the samples as they come.
  void setVolume(int32_t volume);
  int32_t volume() const { return volume_.load(); }
  Stats stats() const;

  bool linkDown(const JError* reason, uint32_t context) override;
  void linkUp(JStream* stream, uint32_t context) override;

 private:
  void run() override;
  // Makes the thread let go of its stream and waits until it has.
  void detach(std::unique_lock<std::mutex>& lock);
  void closeSource();
  void playFrame(const StreamFrameHeader& frame, const StreamInfo* info);

  AudioSink& sink_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  JStream* stream_ = nullptr;    // guarded by mutex_: the stream to read
  JStream* attached_ = nullptr;  // guarded by mutex_: the one being read
  bool quit_ = false;            // guarded by mutex_
  std::atomic<bool> detach_{false};
  std::mutex sourceMutex_;  // serialises play and stop
  SharedMike* source_ = nullptr;  // guarded by sourceMutex_
  int32_t user_ = -1;             // guarded by sourceMutex_
  std::string sourceText_;        // guarded by mutex_
  std::atomic<int32_t> volume_{100};
  // The thread's own.
  StreamClient reader_;
  Mp3Decoder decoder_;
  std::vector<int16_t> pcm_;
  // Statistics, written by the thread.
  std::atomic<uint64_t> received_{0};
  std::atomic<uint64_t> lost_{0};
  std::atomic<uint64_t> decoded_{0};
  std::atomic<uint64_t> errors_{0};
  std::atomic<uint64_t> underruns_{0};
  std::atomic<int32_t> levelDb_{-96};
};

}  // namespace zq::zqoutput
