// The RIFF/WAVE header reader (wave_file.h). Offsets are kept in size_t and
// every addition is checked against what remains, so that a hostile length
// (up to 4 GiB) can neither overflow nor reach past the bytes given.
#include "audio/wave_file.h"

#include <algorithm>
#include <cstring>

namespace zq {

namespace {

constexpr uint16_t kWaveFormatExtensible = 0xFFFE;
constexpr size_t kChunkHeaderSize = 8;
constexpr size_t kPcmFormatSize = 16;
constexpr size_t kExtensibleFormatSize = 40;
// The sub-format of an extensible header that means plain integer PCM, as it
// is laid out in the file.
constexpr uint8_t kPcmSubFormat[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                       0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

uint16_t le16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

bool isId(const uint8_t* p, const char (&id)[5]) {
  return std::memcmp(p, id, 4) == 0;
}

// Reads a "fmt " chunk body of `length` bytes, all present. An extensible
// header whose sub-format is integer PCM is reported as plain PCM; any other
// coding keeps its tag, for the caller to take or refuse.
WaveFileProblem readFormat(const uint8_t* body, size_t length, WaveFormat& format) {
  if (length < kPcmFormatSize) {
    return WaveFileProblem::kTruncatedFormat;
  }
  format.formatTag = le16(body);
  format.channels = le16(body + 2);
  format.samplesPerSec = le32(body + 4);
  format.avgBytesPerSec = le32(body + 8);
  format.blockAlign = le16(body + 12);
  format.bitsPerSample = le16(body + 14);
  format.extraSize = 0;
  if (format.formatTag == kWaveFormatExtensible) {
    if (length < kExtensibleFormatSize || le16(body + 16) < kExtensibleFormatSize - 18) {
      return WaveFileProblem::kTruncatedFormat;
    }
    if (std::memcmp(body + 24, kPcmSubFormat, sizeof kPcmSubFormat) == 0) {
      format.formatTag = kWaveFormatPcm;
    }
  }
  // Coded formats may state 0 bits per sample; PCM may not.
  if (format.channels == 0 || format.samplesPerSec == 0 || format.blockAlign == 0 ||
      (format.formatTag == kWaveFormatPcm && format.bitsPerSample == 0)) {
    return WaveFileProblem::kBadFormatFields;
  }
  return WaveFileProblem::kNone;
}

}  // namespace

std::string_view waveFileProblemText(WaveFileProblem problem) {
  switch (problem) {
    case WaveFileProblem::kNone:
      return "no problem";
    case WaveFileProblem::kEmpty:
      return "the file is empty";
    case WaveFileProblem::kNotRiffWave:
      return "not a RIFF WAVE file";
    case WaveFileProblem::kTruncatedChunkHeader:
      return "the file ends inside a chunk header";
    case WaveFileProblem::kTruncatedFormat:
      return "the format chunk is too short";
    case WaveFileProblem::kNoFormat:
      return "no format chunk";
    case WaveFileProblem::kNoData:
      return "no data chunk";
    case WaveFileProblem::kDuplicateChunk:
      return "a second format or data chunk";
    case WaveFileProblem::kNotPcm:
      return "the samples are not PCM";
    case WaveFileProblem::kBadFormatFields:
      return "the format has no channel, rate, sample size or block size";
    case WaveFileProblem::kNoWholeFrame:
      return "the data chunk holds no whole sample frame";
  }
  return "unknown problem";
}

WaveFileProblem readWaveHeader(std::span<const uint8_t> bytes, WaveFileHeader& header) {
  const uint8_t* base = bytes.data();
  const size_t size = bytes.size();
  if (size == 0) {
    return WaveFileProblem::kEmpty;
  }
  if (size < 12 || !isId(base, "RIFF") || !isId(base + 8, "WAVE")) {
    return WaveFileProblem::kNotRiffWave;
  }
  // The RIFF size is not trusted: writers that were stopped short leave it
  // wrong, so the walk goes by the bytes actually present.
  bool haveFormat = false;
  bool haveData = false;
  size_t position = 12;
  while (position < size) {
    if (size - position < kChunkHeaderSize) {
      return WaveFileProblem::kTruncatedChunkHeader;
    }
    const uint8_t* chunk = base + position;
    const size_t length = le32(chunk + 4);
    const size_t body = position + kChunkHeaderSize;
    const size_t available = size - body;
    if (isId(chunk, "fmt ")) {
      if (haveFormat) {
        return WaveFileProblem::kDuplicateChunk;
      }
      if (length > available) {
        return WaveFileProblem::kTruncatedFormat;
      }
      if (const WaveFileProblem p = readFormat(base + body, length, header.format);
          p != WaveFileProblem::kNone) {
        return p;
      }
      if (header.format.formatTag != kWaveFormatPcm) {
        return WaveFileProblem::kNotPcm;
      }
      haveFormat = true;
    } else if (isId(chunk, "data")) {
      if (haveData) {
        return WaveFileProblem::kDuplicateChunk;
      }
      haveData = true;
      header.dataOffset = body;
      header.dataLength = std::min(length, available);
      header.dataTruncated = length > available;
    }
    // A chunk that runs to or past the end ends the walk; the pad byte of an
    // odd-sized last chunk may be missing.
    const size_t padded = length + (length & 1u);
    if (padded >= available) {
      break;
    }
    position = body + padded;
  }
  if (!haveFormat) {
    return WaveFileProblem::kNoFormat;
  }
  if (!haveData) {
    return WaveFileProblem::kNoData;
  }
  header.dataLength -= header.dataLength % header.format.blockAlign;
  if (header.dataLength == 0) {
    return WaveFileProblem::kNoWholeFrame;
  }
  return WaveFileProblem::kNone;
}

WaveFileProblem readWaveStreamHeader(const WaveByteReader& read, WaveStreamHeader& header) {
  uint8_t head[12];
  const size_t got = read(0, head);
  if (got == 0) {
    return WaveFileProblem::kEmpty;
  }
  if (got < sizeof head || !isId(head, "RIFF") || !isId(head + 8, "WAVE")) {
    return WaveFileProblem::kNotRiffWave;
  }
  bool haveFormat = false;
  // 64-bit positions: 4 GiB chunk sizes added up cannot wrap.
  uint64_t position = 12;
  for (;;) {
    uint8_t chunk[kChunkHeaderSize];
    const size_t n = read(position, chunk);
    if (n == 0) {
      return haveFormat ? WaveFileProblem::kNoData : WaveFileProblem::kNoFormat;
    }
    if (n < kChunkHeaderSize) {
      return WaveFileProblem::kTruncatedChunkHeader;
    }
    const uint32_t length = le32(chunk + 4);
    const uint64_t body = position + kChunkHeaderSize;
    if (isId(chunk, "fmt ")) {
      if (haveFormat) {
        return WaveFileProblem::kDuplicateChunk;
      }
      // The fields read, and the extra bytes kept, are all in the first
      // bytes: a chunk that claims more costs no more.
      uint8_t format[kPcmFormatSize + 2 + WaveStreamHeader::kMaxExtraBytes];
      const size_t wanted = std::min<size_t>(length, sizeof format);
      if (read(body, std::span<uint8_t>(format, wanted)) < wanted) {
        return WaveFileProblem::kTruncatedFormat;
      }
      if (const WaveFileProblem p = readFormat(format, wanted, header.format);
          p != WaveFileProblem::kNone) {
        return p;
      }
      header.formatChunkSize = length;
      header.formatExtraSize = length >= kPcmFormatSize + 2 ? le16(format + kPcmFormatSize) : 0;
      const size_t extra =
          std::min<size_t>(header.formatExtraSize, wanted - std::min(wanted, kPcmFormatSize + 2));
      header.formatExtra.assign(format + kPcmFormatSize + 2, format + kPcmFormatSize + 2 + extra);
      haveFormat = true;
    } else if (isId(chunk, "data")) {
      if (!haveFormat) {
        return WaveFileProblem::kNoFormat;
      }
      header.dataOffset = body;
      header.dataSize = length;
      return WaveFileProblem::kNone;
    }
    position = body + length + (length & 1u);
  }
}

}  // namespace zq
