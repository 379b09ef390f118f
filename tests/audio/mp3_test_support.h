// What the MP3 tests share: a sine generator for PCM blocks, a decoder of MP3
// frames through libmpg123 that counts what went wrong, and a measure of a
// tone's frequency in decoded PCM.
#pragma once

#include <mpg123.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numbers>
#include <utility>
#include <vector>

namespace zq::test {

/// Interleaved 16-bit blocks of a sine per channel (channel c at
/// frequencies[c]), continuing from block to block.
class SineGenerator {
 public:
  SineGenerator(uint32_t sampleRate, std::vector<double> frequencies)
      : sampleRate_(sampleRate), frequencies_(std::move(frequencies)) {}

  /// The next `samples` samples per channel.
  std::vector<int16_t> next(size_t samples) {
    std::vector<int16_t> block(samples * frequencies_.size());
    for (size_t i = 0; i < samples; ++i, ++position_) {
      const double t = static_cast<double>(position_) / sampleRate_;
      for (size_t c = 0; c < frequencies_.size(); ++c) {
        block[i * frequencies_.size() + c] = static_cast<int16_t>(
            std::lround(12000 * std::sin(2 * std::numbers::pi * frequencies_[c] * t)));
      }
    }
    return block;
  }

 private:
  uint32_t sampleRate_;
  std::vector<double> frequencies_;
  uint64_t position_ = 0;
};

/// What libmpg123 made of a stream.
struct Mp3Decoded {
  std::vector<int16_t> pcm;  // interleaved
  long sampleRate = 0;
  int channels = 0;
  int errors = 0;    // failed calls and decoding errors
  int warnings = 0;  // output format changes after the first
  size_t samplesPerChannel() const {
    return channels == 0 ? 0 : pcm.size() / static_cast<size_t>(channels);
  }
};

/// Decodes `frames` in order, fed one by one as a network receiver would.
/// Resync is off: a frame the decoder cannot follow is an error, not skipped.
inline Mp3Decoded decodeMp3(const std::vector<std::vector<uint8_t>>& frames) {
  Mp3Decoded out;
  mpg123_handle* handle = mpg123_new(nullptr, nullptr);
  const long flags = MPG123_QUIET | MPG123_NO_RESYNC;
  bool ready = handle != nullptr && mpg123_param(handle, MPG123_ADD_FLAGS, flags, 0) == MPG123_OK &&
               mpg123_format_none(handle) == MPG123_OK;
  // Every Layer III sampling rate, as coded: no resampling.
  for (const long rate : {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000}) {
    ready = ready && mpg123_format(handle, rate, MPG123_MONO | MPG123_STEREO,
                                   MPG123_ENC_SIGNED_16) == MPG123_OK;
  }
  if (!ready || mpg123_open_feed(handle) != MPG123_OK) {
    ++out.errors;
    mpg123_delete(handle);
    return out;
  }
  int formats = 0;
  std::vector<unsigned char> buffer(16384);
  for (const auto& frame : frames) {
    if (mpg123_feed(handle, frame.data(), frame.size()) != MPG123_OK) {
      ++out.errors;
      continue;
    }
    for (int rounds = 0; rounds < 64; ++rounds) {
      size_t done = 0;
      const int result = mpg123_read(handle, buffer.data(), buffer.size(), &done);
      for (size_t i = 0; i + 1 < done; i += 2) {
        out.pcm.push_back(static_cast<int16_t>(buffer[i] | (buffer[i + 1] << 8)));
      }
      if (result == MPG123_NEW_FORMAT) {
        int encoding = 0;
        mpg123_getformat(handle, &out.sampleRate, &out.channels, &encoding);
        if (++formats > 1) {
          ++out.warnings;
        }
        continue;
      }
      if (result == MPG123_NEED_MORE) {
        break;
      }
      if (result != MPG123_OK) {
        ++out.errors;
        break;
      }
    }
  }
  mpg123_delete(handle);
  return out;
}

/// The frequency of the tone in channel `channel` of interleaved PCM, from
/// its rising zero crossings (with hysteresis against noise near zero),
/// skipping the first `skip` samples per channel; 0 without two crossings.
inline double toneFrequency(const std::vector<int16_t>& pcm, int channels, int channel,
                            long sampleRate, size_t skip = 4096) {
  const size_t step = static_cast<size_t>(channels);
  const size_t count = pcm.size() / step;
  const double hysteresis = 1000;
  bool armed = false;
  double first = -1;
  double last = -1;
  long crossings = 0;
  for (size_t i = skip + 1; i < count; ++i) {
    const double a = pcm[(i - 1) * step + static_cast<size_t>(channel)];
    const double b = pcm[i * step + static_cast<size_t>(channel)];
    if (b < -hysteresis) {
      armed = true;
    }
    if (armed && a < 0 && b >= 0) {
      const double at = static_cast<double>(i - 1) + (-a) / (b - a);
      if (first < 0) {
        first = at;
      } else {
        ++crossings;
      }
      last = at;
      armed = false;
    }
  }
  if (crossings == 0) {
    return 0;
  }
  return static_cast<double>(crossings) * static_cast<double>(sampleRate) / (last - first);
}

}  // namespace zq::test
