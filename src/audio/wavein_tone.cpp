// The test-tone capture source: a sine of a configured frequency and level,
// the same on every channel, steady or in bursts on the monotonic clock. The
// device's thread paces it by the clock; here only the samples are made.
#include <time.h>

#include <cmath>
#include <numbers>

#include "audio/wavein_source.h"
#include "base/format.h"

namespace zq {

namespace {

class ToneSource final : public WaveInSource {
 public:
  ToneSource(const WaveFormat& format, uint32_t frequency, uint32_t level, uint32_t pulseMs)
      : format_(format),
        frequency_(frequency),
        step_(frequency % format.samplesPerSec),
        amplitude_((format.bitsPerSample == 8 ? 127.0 : 32767.0) * level / 100.0),
        level_(level),
        pulseNs_(uint64_t{pulseMs} * 1000000) {}

  bool paced() const override { return true; }

  // The device paces from the moment it starts: the frame at position n
  // enters n sample periods after it, however late a read runs.
  uint32_t start() override {
    startNs_ = monotonicNs();
    position_ = 0;
    return kMmNoError;
  }

  uint32_t read(uint8_t* out, uint32_t frames, const std::function<bool()>&) override {
    const uint32_t rate = format_.samplesPerSec;
    for (uint32_t i = 0; i < frames; ++i, ++position_) {
      // The phase is kept as an exact fraction of a cycle (phase_ / rate),
      // so that hours of tone stay in phase with no rounding creeping in.
      const double value =
          amplitude_ * std::sin(2.0 * std::numbers::pi * static_cast<double>(phase_) / rate);
      long sample = std::lround(value);
      if (pulseNs_ != 0) {
        const uint64_t at = startNs_ + position_ * 1000000000 / rate;
        if (at % pulseNs_ >= uint64_t{kToneBurstMs} * 1000000) {
          sample = 0;
        }
      }
      for (uint16_t c = 0; c < format_.channels; ++c) {
        if (format_.bitsPerSample == 8) {
          *out++ = static_cast<uint8_t>(128 + sample);
        } else {
          const auto word = static_cast<uint16_t>(static_cast<int16_t>(sample));
          *out++ = static_cast<uint8_t>(word & 0xFF);
          *out++ = static_cast<uint8_t>(word >> 8);
        }
      }
      phase_ = (phase_ + step_) % rate;
    }
    return frames;
  }

  void skip(uint64_t frames) override {
    position_ += frames;
    const uint64_t rate = format_.samplesPerSec;
    phase_ = static_cast<uint32_t>((phase_ + (frames % rate) * step_) % rate);
  }

  std::string describe() const override {
    return pulseNs_ == 0 ? jformat("tone %u Hz level %u", frequency_, level_)
                         : jformat("tone %u Hz level %u in %u ms bursts every %u ms", frequency_,
                                   level_, kToneBurstMs, static_cast<unsigned>(pulseNs_ / 1000000));
  }

 private:
  const WaveFormat format_;
  const uint32_t frequency_;
  const uint32_t step_;  // phase advance per frame, in 1/rate of a cycle
  const double amplitude_;
  const uint32_t level_;
  const uint64_t pulseNs_;
  uint32_t phase_ = 0;
  uint64_t startNs_ = 0;   // monotonic clock at start
  uint64_t position_ = 0;  // frames read or skipped since

  static uint64_t monotonicNs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return uint64_t(t.tv_sec) * 1000000000 + uint64_t(t.tv_nsec);
  }
};

}  // namespace

std::unique_ptr<WaveInSource> makeToneSource(const WaveFormat& format, uint32_t frequency,
                                             uint32_t level, uint32_t pulseMs) {
  return std::make_unique<ToneSource>(format, frequency, level, pulseMs);
}

}  // namespace zq
