// The bounds of the playable formats (pcm_format.h).
#include "audio/pcm_format.h"

#include "base/format.h"

namespace zq {

namespace {

using Limits = AudioFormatLimits;

// The checks every coding shares: rate, channels, and the block when known.
std::string commonProblem(uint32_t samplesPerSec, uint32_t channels, uint32_t blockAlign,
                          uint32_t samplesPerBlock) {
  if (samplesPerSec < Limits::kLowestRate || samplesPerSec > Limits::kHighestRate) {
    return jformat("sampling rate %u Hz is outside %u to %u Hz", samplesPerSec, Limits::kLowestRate,
                   Limits::kHighestRate);
  }
  if (channels < 1 || channels > Limits::kMaxChannels) {
    return jformat("%u channels: 1 to %u are played", channels, Limits::kMaxChannels);
  }
  if (samplesPerBlock != 0) {
    const uint64_t bytes = uint64_t{samplesPerBlock} * blockAlign;
    if (samplesPerBlock > samplesPerSec || bytes > Limits::kMaxBlockBytes) {
      return jformat("a block of %u samples (%llu bytes) is longer than one second or %u bytes",
                     samplesPerBlock, static_cast<unsigned long long>(bytes),
                     Limits::kMaxBlockBytes);
    }
  }
  return "";
}

}  // namespace

std::string pcmFormatProblem(uint32_t samplesPerSec, uint32_t bitsPerSample, uint32_t channels,
                             uint32_t blockAlign, uint32_t samplesPerBlock) {
  if (bitsPerSample != 8 && bitsPerSample != 16) {
    return jformat("%u bits per sample: 8 and 16 are played", bitsPerSample);
  }
  if (std::string problem = commonProblem(samplesPerSec, channels, blockAlign, samplesPerBlock);
      !problem.empty()) {
    return problem;
  }
  const uint32_t packed = channels * bitsPerSample / 8;
  if (blockAlign != packed) {
    return jformat("block align %u is not %u (%u channels of %u bits)", blockAlign, packed,
                   channels, bitsPerSample);
  }
  return "";
}

std::string codedFormatProblem(uint32_t samplesPerSec, uint32_t channels, uint32_t blockAlign,
                               uint32_t avgBytesPerSec, uint32_t samplesPerBlock) {
  if (std::string problem = commonProblem(samplesPerSec, channels, blockAlign, samplesPerBlock);
      !problem.empty()) {
    return problem;
  }
  if (blockAlign == 0) {
    return "block align 0";
  }
  if (avgBytesPerSec == 0) {
    return "a byte rate of 0";
  }
  return "";
}

}  // namespace zq
