// The RIFF/WAVE header reader: finds the format and the sample data of a PCM
// WAVE file held in memory. The WAVE-file capture device plays what it finds.
//
// The bytes come from outside (any file an administrator names), so every
// read is bounds-checked against the bytes given; nothing is trusted, not
// even the RIFF size. Chunks may come in any order; a chunk of odd size is
// followed by one pad byte; unknown chunks are skipped. A data chunk that
// claims more bytes than the file holds is cut to the whole sample frames
// present.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>
#include <vector>

#include "audio/wave_in.h"

namespace zq {

/// Why a header could not be read.
enum class WaveFileProblem {
  kNone,
  kEmpty,                 // no byte at all
  kNotRiffWave,           // no "RIFF" ... "WAVE" at the start (or fewer than 12 bytes)
  kTruncatedChunkHeader,  // the bytes end inside a chunk's 8-byte header
  kTruncatedFormat,       // the "fmt " chunk is shorter than its fields, or cut by the end
  kNoFormat,              // no "fmt " chunk before the end
  kNoData,                // no "data" chunk
  kDuplicateChunk,        // a second "fmt " or "data" chunk
  kNotPcm,                // the format is neither PCM nor extensible PCM (readWaveHeader)
  kBadFormatFields,       // no channel, no rate, a block align of 0, or PCM of 0 bits
  kNoWholeFrame,          // the data chunk holds less than one sample frame
};

/// A readable explanation of `problem`, for log lines.
std::string_view waveFileProblemText(WaveFileProblem problem);

/// What the header says: the format (an extensible PCM header is reported
/// with the plain PCM tag and extraSize 0) and where the sample data lies in
/// the bytes given. dataLength is a whole number of sample frames.
struct WaveFileHeader {
  WaveFormat format{};
  size_t dataOffset = 0;
  size_t dataLength = 0;
  /// True when the data chunk claimed more than the bytes hold.
  bool dataTruncated = false;
};

/// Reads the header of the WAVE file whose bytes are `bytes`. Fills `header`
/// and returns kNone on success; otherwise returns the first problem met and
/// leaves `header` in an unspecified state. Pure: any thread.
WaveFileProblem readWaveHeader(std::span<const uint8_t> bytes, WaveFileHeader& header);

/// Fetches up to out.size() bytes at `offset` of a file into `out` and
/// returns how many it got: fewer only where the file ends.
using WaveByteReader = std::function<size_t(uint64_t offset, std::span<uint8_t> out)>;

/// What the chunks in front of the samples of a WAVE file say, for a reader
/// that reads the samples from the file itself (which may still be growing).
struct WaveStreamHeader {
  /// The most extra format bytes kept: more than any coding in use states.
  static constexpr size_t kMaxExtraBytes = 64;
  /// The format, of any coding (extensible PCM is reported as plain PCM).
  WaveFormat format{};
  /// The size of the "fmt " chunk and the cbSize it states (0 when the chunk
  /// is too short to hold one).
  uint32_t formatChunkSize = 0;
  uint16_t formatExtraSize = 0;
  /// The extra bytes the chunk holds after cbSize, up to cbSize and at most
  /// kMaxExtraBytes.
  std::vector<uint8_t> formatExtra;
  /// Where the samples start, and the size the "data" chunk claims (not
  /// checked against the file: a writer that has not finished says 0).
  uint64_t dataOffset = 0;
  uint32_t dataSize = 0;
};

/// Walks the chunks of a WAVE file from its start up to its "data" chunk,
/// fetching only chunk headers and the format through `read`, so that chunks
/// of any claimed size cost nothing. The "fmt " chunk must come before the
/// data (kNoFormat otherwise); the walk ends at the data chunk. Answers as
/// readWaveHeader, except kNoWholeFrame and kNotPcm: whether the samples
/// fill a frame, and whether their coding is taken, are the caller's to judge.
/// Pure apart from `read`: any thread.
WaveFileProblem readWaveStreamHeader(const WaveByteReader& read, WaveStreamHeader& header);

}  // namespace zq
