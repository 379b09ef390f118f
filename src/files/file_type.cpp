// File type recognition (file_type.h): the first four bytes as one
// little-endian word, as the players of these files have always read them,
// and the ID3v2 tag that may stand in front of an MP3 file's frames.
#include "files/file_type.h"

#include <cstring>

namespace zq {

FileType fileTypeOf(std::span<const uint8_t> first) {
  if (first.size() < 4) {
    return FileType::kUnreadable;
  }
  const uint32_t w = static_cast<uint32_t>(first[0]) | static_cast<uint32_t>(first[1]) << 8 |
                     static_cast<uint32_t>(first[2]) << 16 | static_cast<uint32_t>(first[3]) << 24;
  if (std::memcmp(first.data(), "RIFF", 4) == 0) {
    return first.size() >= 12 && std::memcmp(first.data() + 8, "WAVE", 4) == 0 ? FileType::kWave
                                                                               : FileType::kAvi;
  }
  if (const int64_t tag = id3v2TagSize(first); tag != 0) {
    return tag > 0 ? FileType::kMp3 : FileType::kUnreadable;
  }
  if (w == 0xD6E229D1u) {
    return FileType::kAsf;
  }
  if ((w & 0xE0FFu) == 0xE0FFu) {
    return FileType::kMp3;
  }
  return FileType::kUnreadable;
}

int64_t id3v2TagSize(std::span<const uint8_t> bytes) {
  if (bytes.size() < 3 || std::memcmp(bytes.data(), "ID3", 3) != 0) {
    return 0;
  }
  if (bytes.size() < kId3v2HeaderSize || bytes[3] == 0xFF || bytes[4] == 0xFF) {
    return -1;
  }
  int64_t size = 0;
  for (size_t i = 6; i < kId3v2HeaderSize; ++i) {
    if ((bytes[i] & 0x80) != 0) {
      return -1;
    }
    size = size << 7 | bytes[i];
  }
  constexpr uint8_t kFooterFlag = 0x10;
  const int64_t footer = (bytes[5] & kFooterFlag) != 0 ? kId3v2HeaderSize : 0;
  return static_cast<int64_t>(kId3v2HeaderSize) + size + footer;
}

}  // namespace zq
