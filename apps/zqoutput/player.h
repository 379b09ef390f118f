// Player: plays one source at a time into the output. A source is a shared
// audio source of the media layer (a remote AAM's stream, a file, a capture
// device), opened by its description. The source's frames are decoded (MP3;
// PCM passes as it is) into the jitter buffer on the source's own thread as
// each is published, so that no thread of ours wakes for a frame; the last
// block is played again in place of each frame that went missing, so that a
// loss keeps the timing. The player's thread only hands streams over as the
// source's links come and go. The output's thread pulls a period at a time
// from the buffer (the sink's: 5 ms for a device, 10 for a file or nowhere) at
// the sample clock (the device's, or the system's for a file or nowhere),
// applies the volume and writes the output. A file, or nowhere, is written
// what fell due every 100 ms, in one write, rather than at every period. A
// pull may stop short at the end of the last block: the next comes when the
// rest is due, so the period costs the buffer no margin.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/thread.h"
#include "media/link_notifier.h"
#include "media/mike_desc.h"
#include "media/shared_mike.h"
#include "stream/stream_frame_header.h"
#include "zqoutput/jitter_buffer.h"
#include "zqoutput/mp3_decoder.h"
#include "zqoutput/sink.h"

namespace zq {
class NetMike2;
}

namespace zq::zqoutput {

/// Concurrency: play, stop, setVolume and stats from any thread (the RPC
/// connections), serialised by the player; the source's link events arrive
/// on its own threads and wait, bounded by the current block, for the
/// reader to let go of the stream. Each source is opened with a context word
/// of its own: a link event of a source being closed, which can still come
/// until its close returns, is ignored, so the reader never holds a stream
/// that its source is about to delete. Frames are decoded on the stream's
/// writer's thread (onPublication), from the moment the player's thread
/// attaches to the stream until it detaches.
class Player : public LinkNotifier, private JThread, private JStreamListener {
 public:
  static constexpr uint32_t kDefaultBufferMs = 48;
  /// Frames played over at most for one gap: a longer one is an interruption.
  static constexpr uint64_t kMaxConcealedBlocks = 8;
  /// A network source without a stream this long is asked again; the wait
  /// doubles at each time up to kAskAgainMaxMs, and starts again once a
  /// stream came.
  static constexpr uint32_t kAskAgainMs = 3000;
  static constexpr uint32_t kAskAgainMaxMs = 30000;

  struct Stats {
    std::string source;         // "" when silent
    uint64_t received = 0;      // frames read from the source
    uint64_t lost = 0;          // frames that never came (network)
    uint64_t late = 0;          // frames that came after a later one: unplayed
    uint64_t duplicates = 0;    // second copies of packets
    uint64_t strays = 0;        // datagrams from other senders, dropped
    uint64_t concealed = 0;     // blocks played again in place of missing frames
    uint64_t outputErrors = 0;  // periods the output refused (lost)
    uint64_t decoded = 0;       // frames that gave samples
    uint64_t errors = 0;        // frames that could not be decoded
    uint64_t underruns = 0;     // the jitter buffer's and the device's
    uint64_t dropped = 0;       // blocks dropped for clock drift or overflow
    uint64_t repeated = 0;      // blocks played twice for clock drift
    uint32_t bufferedMs = 0;
    int32_t levelDb = -96;  // peak of the last period played, dBFS
  };

  /// `sink` (not owned) must outlive the player; `bufferMs` is the jitter
  /// buffer's target depth.
  explicit Player(AudioSink& sink, uint32_t bufferMs = kDefaultBufferMs);
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
  // The output's thread.
  class Output final : public JThread {
   public:
    explicit Output(Player& player) : JThread("zqoutput output"), player_(player) {}
    ~Output() override { join(); }
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

   protected:
    void run() override { player_.playOut(); }

   private:
    Player& player_;
  };
  // A network source's reception counters.
  struct NetCounters {
    uint64_t lost = 0, late = 0, duplicates = 0, strays = 0;
  };

  // What the reading of one stream keeps from frame to frame.
  struct Reading {
    std::unique_ptr<StreamInfo> info;  // its description, or null
    const NetMike2* net = nullptr;     // a network source's counters
    NetCounters since;                 // ... as last counted
    std::string unplayable;            // why its frames are refused, or ""
  };

  void run() override;
  void playOut();
  // The writer's call with each frame: decoded into the buffer.
  void onPublication(const uint8_t* frame) override;
  // Makes the reader let go of its stream and waits until it has.
  void detach(std::unique_lock<std::mutex>& lock);
  // With sourceMutex_ held: replaces the source by the one `desc` describes.
  void openSource(const MikeDesc& desc, const std::string& text);
  void closeSource();
  // The reader's: opens the network source of `context` again when it still
  // has no stream.
  void askAgain(uint32_t context, uint32_t silentMs);
  void decodeFrame(const StreamFrameHeader& frame, const StreamInfo* info);
  // Adds what `mike` counted since `since` (then moved up to now); the
  // frames that went missing meanwhile.
  uint64_t countNet(const NetMike2& mike, NetCounters& since);
  // Plays the last block again in place of `frames` missing ones.
  void conceal(uint64_t frames);
  // With bufferMutex_ held: a decoded block into the buffer, or beside it
  // for an output that gathers; those that came by `upTo` into the buffer;
  // how much waits beside it.
  void pushBlock(const int16_t* samples, size_t frames, PcmFormat format);
  void releaseStaged(std::chrono::steady_clock::time_point upTo);
  uint32_t stagedMs() const;

  AudioSink& sink_;
  // How long the output lets periods fall due before it writes them: the
  // sink's period, unless it gathers (a file, nowhere).
  const uint32_t gatherMs_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  JStream* stream_ = nullptr;    // guarded by mutex_: the stream to read
  JStream* attached_ = nullptr;  // guarded by mutex_: the one being read
  // The context word of the source whose link events count; 0: none.
  uint32_t current_ = 0;  // guarded by mutex_
  bool remote_ = false;   // guarded by mutex_: the current source is a network one
  uint32_t opened_ = 0;   // guarded by sourceMutex_: the last context word handed out
  bool quit_ = false;     // guarded by mutex_
  std::atomic<bool> detach_{false};
  std::mutex sourceMutex_;        // serialises play and stop
  SharedMike* source_ = nullptr;  // guarded by sourceMutex_
  int32_t user_ = -1;             // guarded by sourceMutex_
  MikeDesc desc_;                 // guarded by sourceMutex_: what the source is
  std::string sourceText_;        // guarded by mutex_
  std::atomic<int32_t> volume_{100};
  // The reading of the attached stream, on its writer's thread; set before
  // the player's thread attaches, and after it detaches, when no call of
  // the writer's can be under way.
  Reading reading_;
  Mp3Decoder decoder_;
  std::vector<int16_t> pcm_;
  std::vector<int16_t> lastBlock_;  // the last decoded, for a missing frame
  PcmFormat lastFormat_;
  // Between the reader and the output.
  mutable std::mutex bufferMutex_;
  std::condition_variable bufferChanged_;
  JitterBuffer buffer_;      // guarded by bufferMutex_
  bool quitOutput_ = false;  // guarded by bufferMutex_
  // A clear waits for an output that gathers to write what fell due first:
  // set by the clear, taken back by the output once written.
  bool flushWanted_ = false;  // guarded by bufferMutex_
  // Wakes the output's sleep between two writes: a flush wanted, or the end.
  // (Pushes do not: they notify bufferChanged_.)
  std::condition_variable outputWake_;
  // For an output that gathers: the decoded blocks not yet in the buffer,
  // each with the time it came, oldest first. Their vectors come from the
  // buffer's spent blocks and go into it whole: no allocation per frame.
  struct Staged {
    std::vector<int16_t> samples;
    size_t frames;
    PcmFormat format;
    std::chrono::steady_clock::time_point at;
  };
  std::deque<Staged> staged_;  // guarded by bufferMutex_
  size_t stagedFrames_ = 0;    // guarded by bufferMutex_
  uint64_t pushes_ = 0;        // guarded by bufferMutex_
  // Statistics, written by the reader.
  std::atomic<uint64_t> received_{0};
  std::atomic<uint64_t> lost_{0};
  std::atomic<uint64_t> late_{0};
  std::atomic<uint64_t> duplicates_{0};
  std::atomic<uint64_t> strays_{0};
  std::atomic<uint64_t> concealed_{0};
  std::atomic<uint64_t> decoded_{0};
  std::atomic<uint64_t> errors_{0};
  // Written by the output.
  std::atomic<uint64_t> deviceUnderruns_{0};
  std::atomic<uint64_t> outputErrors_{0};
  std::atomic<int32_t> levelDb_{-96};
  // Last: it starts after everything above is built and ends first.
  Output output_{*this};
};

}  // namespace zq::zqoutput
