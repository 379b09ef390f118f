// What MP3 encoding costs a capture thread: the time of one encode call per
// frame, the part of it the repack takes (the rewrite of the library's frames
// into target frames with the tag), and how much faster than real time the
// encoder runs, at 128000 and 32000 bit/s with the reservoir off and on.
#include <lame/lame.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <vector>

#include "audio/mp3.h"
#include "audio/mp3_encoder.h"
#include "audio/mp3_frame.h"
#include "bench_args.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace zq;

double micros(Clock::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

// Blocks of a two-tone signal, the same for every run.
std::vector<std::vector<int16_t>> signal(const Mp3BitRate& row, uint32_t samples, size_t blocks) {
  std::vector<std::vector<int16_t>> out(blocks);
  uint64_t n = 0;
  for (auto& block : out) {
    block.resize(samples * row.channels);
    for (uint32_t i = 0; i < samples; ++i, ++n) {
      const double t = static_cast<double>(n) / row.sampleRate;
      for (uint32_t c = 0; c < row.channels; ++c) {
        block[i * row.channels + c] = static_cast<int16_t>(
            std::lround(9000 * std::sin(2 * std::numbers::pi * (440.0 + 660.0 * c) * t) +
                        3000 * std::sin(2 * std::numbers::pi * 3100.0 * t)));
      }
    }
  }
  return out;
}

struct Split {
  double library = 0;  // µs, all blocks
  double repack = 0;
};

// The encoder's two steps timed apart: the library as the encoder sets it
// up, and the repack of its output.
Split timeSteps(const Mp3BitRate& row, bool reservoir,
                const std::vector<std::vector<int16_t>>& blocks, uint32_t samples) {
  Split split;
  lame_t lame = lame_init();
  Mp3FrameRepacker repacker(row.bitRate, row.sampleRate, row.channels, row.mpegVersion,
                            reservoir);
  lame_set_in_samplerate(lame, static_cast<int>(row.sampleRate));
  lame_set_out_samplerate(lame, static_cast<int>(row.sampleRate));
  lame_set_num_channels(lame, static_cast<int>(row.channels));
  lame_set_quality(lame, 5);
  lame_set_mode(lame, row.channels == 2 ? JOINT_STEREO : MONO);
  lame_set_brate(lame, static_cast<int>(repacker.sourceBitRate() / 1000));
  lame_set_VBR(lame, vbr_off);
  lame_set_disable_reservoir(lame, reservoir ? 0 : 1);
  lame_set_free_format(lame, 1);
  lame_set_bWriteVbrTag(lame, 0);
  if (lame_init_params(lame) < 0) {
    lame_close(lame);
    return split;
  }
  std::vector<uint8_t> out(repacker.frameSize() + 1);
  const uint8_t tag[3] = {0x50, 0, 0};
  for (const auto& block : blocks) {
    short* pcm = const_cast<short*>(block.data());
    const auto t0 = Clock::now();
    const int n =
        row.channels == 2
            ? lame_encode_buffer_interleaved(lame, pcm, static_cast<int>(samples),
                                             repacker.space(),
                                             static_cast<int>(repacker.spaceSize()))
            : lame_encode_buffer(lame, pcm, pcm, static_cast<int>(samples), repacker.space(),
                                 static_cast<int>(repacker.spaceSize()));
    const auto t1 = Clock::now();
    repacker.commit(n > 0 ? static_cast<size_t>(n) : 0);
    repacker.next(out.data(), sizeof tag, tag);
    const auto t2 = Clock::now();
    split.library += micros(t1 - t0);
    split.repack += micros(t2 - t1);
  }
  lame_close(lame);
  return split;
}

}  // namespace

int main(int argc, char** argv) {
  bench::Args args(
      "Encodes a two-tone signal with JMP3Encoder at 128000 and 32000 bit/s, the bit\n"
      "reservoir off and on, one block per call as a capture thread does.",
      "  per case: the time of one encode call (median and p99, µs), the share of the\n"
      "  encoder's time spent in the repack (from a run with the two steps timed apart),\n"
      "  and the real-time factor (seconds of audio encoded per second of CPU).",
      {{"seconds", "seconds of audio per case", 20, 1, 600},
       {"rounds", "rounds per case (the best round is kept)", 3, 1, 100}});
  args.parse(argc, argv);
  const double seconds = args.number(0);
  const int rounds = args.integer(1);
  bench::ScratchRegistry registry;

  std::printf("%-10s %-10s %12s %12s %10s %12s\n", "bit/s", "reservoir", "median µs", "p99 µs",
              "repack %", "x real time");
  for (uint32_t bitRate : {128000u, 32000u}) {
    const Mp3BitRate& row = *findBitRate(bitRate);
    uint32_t samples = 0;
    frameGeometry(row.sampleRate, row.bitRate, row.mpegVersion, &samples, nullptr);
    const size_t blocks = static_cast<size_t>(seconds * row.sampleRate / samples);
    const auto pcm = signal(row, samples, blocks);
    for (bool reservoir : {false, true}) {
      double bestTotal = 1e300;
      std::vector<double> bestCalls;
      Split bestSplit{0, 1e300};
      for (int r = 0; r < rounds; ++r) {
        JMP3Encoder encoder(row.bitRate, row.sampleRate, row.channels, reservoir);
        std::vector<uint8_t> out(encoder.frameSize() + 1);
        std::vector<double> calls;
        calls.reserve(blocks);
        uint32_t n = 0;
        for (const auto& block : pcm) {
          const uint8_t tag[3] = {static_cast<uint8_t>(0x50 | ((n >> 16) & 0x0F)),
                                  static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
          const auto t0 = Clock::now();
          const int length = encoder.encode(block.data(), out.data(), sizeof tag, tag);
          calls.push_back(micros(Clock::now() - t0));
          n += length > 0 ? 1 : 0;
        }
        double total = 0;
        for (double c : calls) {
          total += c;
        }
        if (total < bestTotal) {
          bestTotal = total;
          bestCalls = calls;
        }
        const Split split = timeSteps(row, reservoir, pcm, samples);
        if (split.library + split.repack < bestSplit.library + bestSplit.repack) {
          bestSplit = split;
        }
      }
      std::sort(bestCalls.begin(), bestCalls.end());
      const double median = bestCalls[bestCalls.size() / 2];
      const double p99 = bestCalls[std::min(bestCalls.size() - 1, bestCalls.size() * 99 / 100)];
      const double share = 100 * bestSplit.repack / (bestSplit.library + bestSplit.repack);
      const double audio = static_cast<double>(blocks) * samples / row.sampleRate;
      std::printf("%-10u %-10s %12.1f %12.1f %10.2f %12.1f\n", bitRate, reservoir ? "on" : "off",
                  median, p99, share, audio / (bestTotal / 1e6));
    }
  }
  return 0;
}
