// PCM sample widths and the rate and channel converter.
#include "zqoutput/pcm.h"

#include <algorithm>
#include <cmath>

namespace zq::zqoutput {

bool pcmToS16(const uint8_t* bytes, size_t size, uint32_t bitsPerSample,
              std::vector<int16_t>& out) {
  out.clear();
  if (bitsPerSample != 8 && bitsPerSample != 16 && bitsPerSample != 24 && bitsPerSample != 32) {
    return false;
  }
  const size_t width = bitsPerSample / 8;
  out.resize(size / width);
  for (size_t i = 0; i < out.size(); ++i) {
    const uint8_t* s = bytes + i * width;
    // 8-bit samples are unsigned around 128; the wider ones keep their
    // two most significant bytes.
    out[i] = width == 1 ? static_cast<int16_t>((s[0] - 128) * 256)
                        : static_cast<int16_t>(static_cast<uint16_t>(s[width - 1] << 8 | s[width - 2]));
  }
  return true;
}

void PcmConverter::setFormats(uint32_t inRate, uint32_t inChannels, uint32_t outRate,
                              uint32_t outChannels) {
  inRate_ = std::max(inRate, 1u);
  inChannels_ = std::max(inChannels, 1u);
  outRate_ = std::max(outRate, 1u);
  outChannels_ = std::max(outChannels, 1u);
  previous_.assign(outChannels_, 0);
  // The first output frame is the first input frame, not one made up
  // before it.
  position_ = 1;
}

void PcmConverter::convert(const int16_t* in, size_t frames, std::vector<int16_t>& out) {
  if (frames == 0) {
    return;
  }
  // Frame p of this block in the output's channels: 0 is the last of the
  // previous block, p > 0 is in[p - 1].
  const auto sample = [&](size_t p, uint32_t c) -> int32_t {
    if (p == 0) {
      return previous_[c];
    }
    const int16_t* f = in + (p - 1) * inChannels_;
    if (inChannels_ == 1) {
      return f[0];
    }
    if (outChannels_ == 1) {
      int32_t sum = 0;
      for (uint32_t k = 0; k < inChannels_; ++k) {
        sum += f[k];
      }
      return sum / static_cast<int32_t>(inChannels_);
    }
    return f[std::min(c, inChannels_ - 1)];
  };
  // Linear interpolation between the two input frames around each output
  // frame's time.
  const double step = static_cast<double>(inRate_) / outRate_;
  for (; position_ < static_cast<double>(frames); position_ += step) {
    const auto i = static_cast<size_t>(position_);
    const double t = position_ - static_cast<double>(i);
    for (uint32_t c = 0; c < outChannels_; ++c) {
      const int32_t a = sample(i, c);
      const int32_t b = sample(i + 1, c);
      out.push_back(static_cast<int16_t>(std::lround(a + (b - a) * t)));
    }
  }
  position_ -= static_cast<double>(frames);
  for (uint32_t c = 0; c < outChannels_; ++c) {
    previous_[c] = sample(frames, c);
  }
}

}  // namespace zq::zqoutput
