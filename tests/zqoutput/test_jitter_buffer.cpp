// The jitter buffer against a simulated sender and output on one virtual
// clock: filling before sound, steady play, clock drift either way, late
// wake-ups of a busy machine on either side, a stall of the network, a
// source far faster than real time, a new format, and clearing. Every sample
// the sender makes carries its own index, so that what the output plays
// shows every block dropped or played twice.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "zqoutput/jitter_buffer.h"

namespace zq::zqoutput {
namespace {

constexpr uint32_t kRate = 44100;
constexpr size_t kBlock = 1152;          // an MP3 frame: 26.1 ms
constexpr size_t kPeriod = kRate / 100;  // the output's 10 ms
constexpr int kWrap = 30000;             // sample values 1 ... kWrap, 0 is silence

struct Scenario {
  uint32_t targetMs;
  double seconds;
  double senderSpeed;   // the sender's clock against the output's
  double stallAt = -1;  // the network holds back every block meanwhile
  double stallSeconds = 0;
  double burstAt = -1;  // the sender gets ahead at once by burstBlocks
  int burstBlocks = 0;
  int startPulls = 0;  // the output takes so many more periods as it starts
  // A busy machine, from 5 s on: every lateEvery-th block comes lateMs late
  // (and the ones behind it with it), every lateEvery-th pull too.
  int lateEvery = 0;
  double lateMs = 0;
  bool partial = false;  // the output keeps its clock: pulls may end at a block's end
};

struct Outcome {
  JitterBuffer::Counters counters;
  size_t silentPullsBeforeSound = 0;
  size_t jumps = 0;  // places where the played samples do not follow
  size_t silentWritten = 0;
  uint32_t maxBufferedMs = 0;
  uint32_t bufferedMsAtEnd = 0;
};

Outcome simulate(const Scenario& s) {
  JitterBuffer buffer(s.targetMs);
  const PcmFormat mono{kRate, 1};
  Outcome o;
  std::vector<int16_t> block(kBlock);
  std::vector<int16_t> out(kPeriod);
  uint64_t made = 0;  // samples the sender made
  int previous = -1;  // the last sample played
  bool sounded = false;
  const double blockSeconds = double(kBlock) / kRate / s.senderSpeed;
  const double end = s.seconds;
  double nextBlock = 0;
  double nextPull = 0;
  bool burst = false;
  uint64_t blocks = 0;
  uint64_t pulls = 0;
  const auto late = [&](uint64_t n, uint64_t phase) {
    return s.lateEvery > 0 && nextPull > 5 && (n + phase) % s.lateEvery == 0 ? s.lateMs / 1000
                                                                             : 0.0;
  };
  while (nextPull < end) {
    const double arrival = nextBlock >= s.stallAt && nextBlock < s.stallAt + s.stallSeconds
                               ? s.stallAt + s.stallSeconds
                               : nextBlock + late(blocks, 0);
    if (!burst && s.burstAt >= 0 && nextPull >= s.burstAt) {
      for (int b = 0; b < s.burstBlocks; ++b) {
        for (int16_t& v : block) {
          v = static_cast<int16_t>(made++ % kWrap + 1);
        }
        buffer.push(block.data(), kBlock, mono);
      }
      burst = true;
    }
    if (arrival <= nextPull + late(pulls, 3)) {
      for (int16_t& v : block) {
        v = static_cast<int16_t>(made++ % kWrap + 1);
      }
      buffer.push(block.data(), kBlock, mono);
      nextBlock += blockSeconds;
      ++blocks;
      continue;
    }
    ++pulls;
    const JitterBuffer::Pull p = buffer.pull(out.data(), kPeriod, s.partial);
    o.maxBufferedMs = std::max(o.maxBufferedMs, buffer.bufferedMs());
    nextPull += double(p.frames) / kRate;
    if (!p.write) {
      EXPECT_FALSE(sounded) << "an output that played went quiet without clear";
      ++o.silentPullsBeforeSound;
      continue;
    }
    if (!sounded) {
      for (int i = 0; i < s.startPulls; ++i) {
        buffer.pull(out.data(), kPeriod);  // silence to the device: not checked
      }
    }
    sounded = true;
    for (int16_t v : std::vector<int16_t>(out.begin(), out.begin() + p.frames)) {
      if (v == 0) {
        ++o.silentWritten;
        continue;
      }
      if (previous >= 0 && v != previous % kWrap + 1) {
        ++o.jumps;
      }
      previous = v;
    }
  }
  o.counters = buffer.counters();
  o.bufferedMsAtEnd = buffer.bufferedMs();
  return o;
}

TEST(JitterBuffer, FollowsTheSenderAndCountsEveryRepair) {
  struct Repairs {
    uint64_t underruns, dropped, repeated;  // exactly so many
    bool drift;                             // dropped or repeated is a lower bound
    uint32_t maxBufferedMs;
  };
  struct Case {
    const char* name;
    Scenario scenario;
    Repairs want;
  } const cases[] = {
      {"the sender 0.5 % fast: blocks dropped", {60, 60, 1.005}, {0, 4, 0, true, 60 + 2 * 27}},
      {"the sender 0.5 % slow: blocks played twice", {60, 60, 0.995}, {0, 0, 4, true, 60 + 2 * 27}},
      {"a stall of 300 ms: one underrun, the burst skipped back to the target",
       {60, 30, 1.0, 5.0, 0.3},
       {1, 1, 0, false, 60 + 300 + 2 * 27}},
      {"no depth asked: a block and a pull, no less", {0, 30, 1.0}, {0, 0, 0, false, 27 + 10 + 27}},
      {"a device that takes 20 ms more as it starts: no repair",
       {60, 30, 1.0, -1, 0, -1, 0, 2},
       {0, 0, 0, false, 60 + 27 + 10}},
      {"45 ms, a block in seven 15 ms late, whole periods: the period is margin lost",
       {45, 60, 1.0, -1, 0, -1, 0, 0, 7, 15},
       {1, 1, 0, false, 45 + 27 + 10 + 15}},
      {"the same, pulls that end at a block's end: the period costs no margin",
       {45, 60, 1.0, -1, 0, -1, 0, 0, 7, 15, true},
       {0, 0, 0, false, 45 + 27 + 10 + 15}},
      {"45 ms, the sender 0.2 % slow, pulls that end at a block's end: played twice",
       {45, 60, 0.998, -1, 0, -1, 0, 0, 0, 0, true},
       {0, 0, 2, true, 45 + 2 * 27}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome o = simulate(c.scenario);
    const Repairs& w = c.want;
    EXPECT_EQ(o.counters.underruns, w.underruns);
    if (w.drift) {
      EXPECT_GE(o.counters.dropped, w.dropped);
      EXPECT_GE(o.counters.repeated, w.repeated);
      EXPECT_EQ(w.dropped == 0, o.counters.dropped == 0);
      EXPECT_EQ(w.repeated == 0, o.counters.repeated == 0);
    } else {
      EXPECT_EQ(o.counters.dropped, w.dropped);
      EXPECT_EQ(o.counters.repeated, w.repeated);
    }
    // Every repair shows once in what played; an underrun resumes where it
    // stopped.
    EXPECT_EQ(o.jumps, o.counters.dropped + o.counters.repeated);
    EXPECT_EQ(o.silentWritten > 0, w.underruns > 0);
    EXPECT_LE(o.maxBufferedMs, w.maxBufferedMs);
    // Quiet only until the block that reaches the target: one every 26.1 ms.
    const size_t target = std::max<size_t>(c.scenario.targetMs * kRate / 1000, kBlock + kPeriod);
    const size_t needed = (target + kBlock - 1) / kBlock;
    EXPECT_LE(o.silentPullsBeforeSound, (needed - 1) * 27 / 10 + 1);
    EXPECT_GE(o.silentPullsBeforeSound, (needed - 1) * 26 / 10);
  }
}

// Four blocks at once (a new source that was ahead of the old one): the
// surplus goes in one repair, not one block a window; the low point lies
// anywhere in a block and a pull below the target, so three or four go.
TEST(JitterBuffer, ASenderGoneAheadByFourBlocksLosesThemInOneRepair) {
  Scenario s{60, 20, 1.0};
  s.burstAt = 5.0;
  s.burstBlocks = 4;
  const Outcome o = simulate(s);
  EXPECT_GE(o.counters.dropped, 3u);
  EXPECT_LE(o.counters.dropped, 4u);
  EXPECT_EQ(o.counters.repeated, 0u);
  EXPECT_EQ(o.counters.underruns, 0u);
  EXPECT_EQ(o.jumps, 1u);  // the blocks dropped were one after the other
  EXPECT_LE(o.bufferedMsAtEnd, 60u + 27);
}

TEST(JitterBuffer, ASourceFasterThanRealTimeIsCappedToTheOverflowDepth) {
  const Outcome o = simulate({60, 5, 20.0});
  EXPECT_GT(o.counters.dropped, 0u);
  EXPECT_LE(o.maxBufferedMs, 60 + JitterBuffer::kOverflowMs + 27);
  EXPECT_EQ(o.counters.underruns, 0u);
}

// Filling writes nothing (the output plays silence), what overshoots the
// target goes as play starts, a new format starts over, and running dry
// fills again to the target.
TEST(JitterBuffer, ANewFormatOrAClearStartsOverAndStateAnswersWhatAPullWrites) {
  JitterBuffer b(60);
  std::vector<int16_t> out(2 * 480);
  const auto push = [&](PcmFormat format, int blocks) {
    const std::vector<int16_t> block(kBlock * format.channels, 100);
    for (int i = 0; i < blocks; ++i) {
      b.push(block.data(), kBlock, format);
    }
  };
  const auto pull = [&] {
    const size_t frames = std::max<size_t>(1, b.format().rate / 100);
    std::fill(out.begin(), out.end(), 7);
    const bool write = b.pull(out.data(), frames).write;
    const auto end = out.begin() + frames * b.format().channels;  // silence when not written
    EXPECT_TRUE(write || std::all_of(out.begin(), end, [](int16_t v) { return v == 0; }));
    return write;
  };
  EXPECT_FALSE(pull());
  EXPECT_EQ(b.state(), JitterBuffer::State::kIdle);
  push({kRate, 1}, 2);
  EXPECT_FALSE(pull());
  EXPECT_EQ(b.bufferedMs(), 52u);
  push({kRate, 1}, 1);
  EXPECT_TRUE(pull());
  EXPECT_EQ(b.state(), JitterBuffer::State::kPlaying);
  EXPECT_EQ(b.bufferedMs(), 50u);  // 78 cut to 60, less the period
  push({48000, 2}, 1);
  EXPECT_EQ(b.state(), JitterBuffer::State::kFilling);
  EXPECT_EQ(b.bufferedMs(), 24u);
  EXPECT_FALSE(pull());
  push({48000, 2}, 2);
  for (int i = 0; i < 8; ++i) {
    pull();
  }
  EXPECT_EQ(b.state(), JitterBuffer::State::kFilling);
  EXPECT_EQ(b.bufferedMs(), 0u);
  EXPECT_EQ(b.counters().underruns, 1u);
  EXPECT_EQ(b.takeEvents(), "underrun: filling again to 60 ms\n");
  EXPECT_EQ(b.takeEvents(), "");
  push({48000, 2}, 1);
  b.clear();
  EXPECT_EQ(b.state(), JitterBuffer::State::kIdle);
  EXPECT_EQ(b.bufferedMs(), 0u);
}

}  // namespace
}  // namespace zq::zqoutput
