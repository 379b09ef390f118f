// The property the RIFF/WAVE header reader must keep for any bytes, shared by
// the fuzzer and by the test that replays its corpus.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "audio/wave_file.h"

namespace zq::fuzz {

/// Reads `size` bytes as a WAVE file (from an exact-size copy, so that the
/// sanitizer sees any read past the end). Checks, whatever the bytes:
/// - a second read gives the same answer;
/// - a header read says PCM with channels, rate, sample size and block align
///   all non-zero;
/// - its data lies within the bytes, right after a "data" chunk header, is a
///   non-zero whole number of frames, and is the chunk's claimed length
///   rounded down to frames, or (marked truncated) what the bytes hold of a
///   chunk that claims more.
/// Returns "" when everything holds, otherwise what failed; `problem` gets
/// the reader's answer.
std::string checkWaveHeaderProperty(const uint8_t* data, size_t size, WaveFileProblem& problem);

}  // namespace zq::fuzz
