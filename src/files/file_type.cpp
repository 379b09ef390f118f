// File type recognition (file_type.h): the first four bytes as one
// little-endian word, as the players of these files have always read them.
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
  if (w == 0xD6E229D1u) {
    return FileType::kAsf;
  }
  if ((w & 0xE0FFu) == 0xE0FFu) {
    return FileType::kMp3;
  }
  return FileType::kUnreadable;
}

}  // namespace zq
