// PCM as the output plays it, 16-bit signed interleaved: the samples of a
// PCM source of any byte width brought to it, and a converter that brings
// blocks of one rate and channel count to another (the WAVE output keeps
// the format it began its file with).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zq::zqoutput {

/// Replaces `out` by the samples of `bytes` PCM bytes of `bitsPerSample`
/// (8: unsigned; 16, 24, 32: signed little-endian); a trailing partial
/// sample is dropped. False, with `out` empty, for any other width.
bool pcmToS16(const uint8_t* bytes, size_t size, uint32_t bitsPerSample, std::vector<int16_t>& out);

/// Converts interleaved 16-bit blocks from one rate and channel count to
/// another, block after block, as one signal: the interpolation carries over
/// from the last frame of a block to the next block. Channels: one is copied
/// to all, all are mixed into one, otherwise each output channel takes the
/// input channel of its number (the last for the ones beyond).
///
/// Concurrency: one thread at a time.
class PcmConverter {
 public:
  /// Converts from (inRate, inChannels) to (outRate, outChannels) from now
  /// on; the next block starts afresh. Rates and channels above 0.
  void setFormats(uint32_t inRate, uint32_t inChannels, uint32_t outRate, uint32_t outChannels);
  /// Appends to `out` the converted frames of `frames` input frames.
  void convert(const int16_t* in, size_t frames, std::vector<int16_t>& out);

 private:
  uint32_t inRate_ = 1, inChannels_ = 1, outRate_ = 1, outChannels_ = 1;
  // The last input frame of the previous block (in output channels), and
  // where the next output frame falls, in input frames after it.
  std::vector<int32_t> previous_;
  double position_ = 0;
};

}  // namespace zq::zqoutput
