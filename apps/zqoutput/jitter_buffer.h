// JitterBuffer: the decoded blocks between the player, which pushes them as
// they arrive, and the output, which pulls them at its own sample clock.
//
// It fills to its target depth before it plays, and fills again after it ran
// dry (an underrun: the rest of that pull is silence); what came beyond the
// target meanwhile is skipped, so that the latency it adds is the target's.
// The two clocks drift apart slowly, and a busy machine wakes either side
// late now and then; the buffer tells the two apart over each two seconds of
// output. The output may take fewer samples than a period at a block's end
// and come back when the rest is due, so that a block is late only once its
// own first sample is: the buffer's margin against a late block is the
// target less a block, whatever the period.
// The first window after it starts playing only measures where the
// mean depth settles (the start of a source or a device may lower it once,
// for good). When even the lowest depth of a later window, just before a
// block arrives, stays a period (and a quarter block) above its floor (the
// target less a block and a period, where it lies within a period while the
// clocks agree), the surplus is dropped from the newest samples: a fast drift
// brings a little at a time, a burst from a new source or after a stall
// upstream much more. When the mean depth of a window, over the output's
// sample clock, has fallen half a block below where it settled (or a
// quarter block, once within a pull and a quarter block of running dry),
// what it fell is played again from the newest samples, up to a block, if
// that cannot call for a drop in turn. A late block lowers the lowest depth
// by all its lateness but the mean only for the moment it lasts: late
// wake-ups are not taken for a slower sender.
//
// Concurrency: none; the player guards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace zq::zqoutput {

struct PcmFormat {
  uint32_t rate = 0;
  uint32_t channels = 0;
  bool operator==(const PcmFormat&) const = default;
};

class JitterBuffer {
 public:
  /// The depth beyond which the oldest blocks go, whatever the target: a
  /// source faster than real time cannot grow the buffer without bound.
  static constexpr uint32_t kOverflowMs = 1000;
  /// The output's samples over which the lowest depth is followed.
  static constexpr uint32_t kDriftWindowMs = 2000;

  enum class State {
    kIdle,     // nothing to play: nothing is written
    kFilling,  // filling to the target: silence once it has played
    kPlaying,
  };

  struct Counters {
    uint64_t underruns = 0;
    uint64_t dropped = 0;   // blocks' worth dropped (clock drift, at least one
                            // a repair; overflow) and skips back to the
                            // target after an underrun
    uint64_t repeated = 0;  // blocks' worth played twice: clock drift
  };

  /// What a pull gave.
  struct Pull {
    State state = State::kIdle;
    PcmFormat format;
    bool write = false;  // the samples are to be written (audio or silence)
    size_t frames = 0;   // sample frames filled in: all asked, or fewer (`partial`)
  };

  explicit JitterBuffer(uint32_t targetMs) : targetMs_(targetMs) { spare_.reserve(kSpareBlocks); }

  /// One decoded block, interleaved. A format other than the current one
  /// empties the buffer first, which then fills again.
  void push(const int16_t* samples, size_t frames, PcmFormat format);
  /// The same with the block's vector taken over whole (its frames are its
  /// size over the channels).
  void push(std::vector<int16_t>&& block, PcmFormat format);
  /// An empty vector to fill a block in, from the blocks played (their
  /// memory kept): a block's way through the buffer allocates nothing once
  /// it has run a while.
  std::vector<int16_t> spareBlock();
  /// Fills `out` with `frames` sample frames of the current format. With
  /// `partial`, a pull that finds fewer than `frames` buffered while
  /// playing gives what there is: the caller pulls the rest when it falls
  /// due, and the buffer runs dry only if it is still missing then. A block
  /// that comes within the period it is due in is then no underrun, so the
  /// period costs no margin.
  Pull pull(int16_t* out, size_t frames, bool partial = false);
  /// Forgets everything buffered: idle until the next push.
  void clear();

  State state() const { return state_; }
  PcmFormat format() const { return format_; }
  uint32_t bufferedMs() const;
  uint32_t targetMs() const { return targetMs_; }
  const Counters& counters() const { return counters_; }
  /// What the buffer did about clock drift or overflow since the last call
  /// ("" when nothing): one line per event, for the log.
  std::string takeEvents();

 private:
  // Enough for what is buffered at the usual depths and a clear's worth.
  static constexpr size_t kSpareBlocks = 16;

  size_t framesOf(uint32_t ms) const { return size_t{format_.rate} * ms / 1000; }
  // The depth filled to: the target, but at least a block and a pull, or
  // the blocks' cadence alone would run it dry.
  size_t targetFrames(size_t pull) const;
  void skip(size_t frames);
  // Drops the newest `frames` sample frames (never the block being played).
  void trimNewest(size_t frames);
  void popFront();
  // A block done with: its vector kept for spareBlock.
  void recycle(std::vector<int16_t>&& block);
  void restartWindow();
  void endWindow();
  void event(const char* what);

  const uint32_t targetMs_;
  PcmFormat format_;
  State state_ = State::kIdle;
  bool played_ = false;  // since the last clear or format change
  std::deque<std::vector<int16_t>> blocks_;
  std::vector<std::vector<int16_t>> spare_;  // at most kSpareBlocks
  size_t offset_ = 0;                        // sample frames of the front block already played
  size_t depth_ = 0;                         // sample frames buffered
  size_t lastBlock_ = 0;                     // sample frames of the newest block
  size_t pulled_ = 0;                        // sample frames of the last pull
  // The drift window: output frames pulled in it, the lowest depth seen,
  // and the sum of the depths after each pull, each weighted by its frames.
  size_t windowFrames_ = 0;
  size_t lowest_ = SIZE_MAX;
  uint64_t depthSum_ = 0;
  // Whether the first window since the buffer started playing is over, and
  // the mean depth it settled at (no deeper than while the clocks agree).
  bool settled_ = false;
  size_t settledMean_ = 0;
  Counters counters_;
  std::string events_;
};

}  // namespace zq::zqoutput
