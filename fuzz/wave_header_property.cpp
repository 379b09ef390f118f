// The header reader's property (wave_header_property.h).
#include "wave_header_property.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <span>

namespace zq::fuzz {

std::string checkWaveHeaderProperty(const uint8_t* data, size_t size, WaveFileProblem& problem) {
  const std::unique_ptr<uint8_t[]> copy(new uint8_t[size == 0 ? 1 : size]);
  if (size > 0) {
    std::memcpy(copy.get(), data, size);
  }
  const std::span<const uint8_t> bytes(copy.get(), size);
  WaveFileHeader header;
  problem = readWaveHeader(bytes, header);
  WaveFileHeader again;
  if (readWaveHeader(bytes, again) != problem) {
    return "a second read gave another answer";
  }
  if (problem != WaveFileProblem::kNone) {
    return "";
  }
  const WaveFormat& f = header.format;
  if (f.formatTag != kWaveFormatPcm || f.channels == 0 || f.samplesPerSec == 0 ||
      f.bitsPerSample == 0 || f.blockAlign == 0) {
    return "a format read that is not a usable PCM format";
  }
  if (header.dataOffset < 20 || header.dataOffset > size ||
      header.dataLength > size - header.dataOffset) {
    return "data outside the bytes";
  }
  if (std::memcmp(copy.get() + header.dataOffset - 8, "data", 4) != 0) {
    return "data not after a data chunk header";
  }
  if (header.dataLength == 0 || header.dataLength % f.blockAlign != 0) {
    return "data not a whole number of frames";
  }
  const uint8_t* claimedAt = copy.get() + header.dataOffset - 4;
  const size_t claimed = static_cast<size_t>(claimedAt[0]) | (size_t{claimedAt[1]} << 8) |
                         (size_t{claimedAt[2]} << 16) | (size_t{claimedAt[3]} << 24);
  const size_t held = size - header.dataOffset;
  if (header.dataTruncated != (claimed > held)) {
    return "truncation misreported";
  }
  const size_t expected = std::min(claimed, held);
  if (header.dataLength != expected - expected % f.blockAlign) {
    return "data length is not the claimed length in whole frames";
  }
  return "";
}

}  // namespace zq::fuzz
