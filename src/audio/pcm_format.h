// The audio formats this system can play, in one place: the sampling rates,
// channel counts, sample sizes and block sizes that the capture devices, the
// file inputs and the outputs take. Anything outside is refused up front,
// with a text that says what is wrong, before a buffer is sized from it: a
// format is often read from a file or a peer, and a 1 KB file that claims
// 2 GHz must not cost hundreds of megabytes.
//
// Concurrency: pure functions, any thread.
#pragma once

#include <cstdint>
#include <string>

namespace zq {

/// The bounds themselves.
struct AudioFormatLimits {
  static constexpr uint32_t kLowestRate = 4000;     // Hz
  static constexpr uint32_t kHighestRate = 192000;  // Hz
  static constexpr uint32_t kMaxChannels = 2;
  /// The largest block (samples per block x block align) a stream is sized for.
  static constexpr uint32_t kMaxBlockBytes = 1u << 20;
};

/// What keeps the system from playing integer PCM of these figures, or ""
/// when nothing does: a sampling rate within AudioFormatLimits, 8 or 16 bits
/// per sample, 1 or 2 channels, a block align of channels x bits / 8 (the
/// samples packed), and, unless `samplesPerBlock` is 0 (not known), a block
/// of at least one sample, at most one second and at most kMaxBlockBytes.
/// The first fault found is named, with the figure and the bound, e.g.
/// "sampling rate 2000000000 Hz is outside 4000 to 192000 Hz". The figures
/// are taken as 32-bit values so that a caller passes what it received
/// without narrowing it first.
std::string pcmFormatProblem(uint32_t samplesPerSec, uint32_t bitsPerSample, uint32_t channels,
                             uint32_t blockAlign, uint32_t samplesPerBlock = 0);

/// The same for a format of another coding (its bits per sample and block
/// align are its own): the sampling rate and channels as for PCM, a block
/// align of at least 1, a byte rate that is not 0, and the block as for PCM.
std::string codedFormatProblem(uint32_t samplesPerSec, uint32_t channels, uint32_t blockAlign,
                               uint32_t avgBytesPerSec, uint32_t samplesPerBlock);

}  // namespace zq
