// Recognising an audio or video file by its first bytes, before anything
// else is read from it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace zq {

enum class FileType { kUnreadable, kWave, kAvi, kAsf, kMp3 };

/// How many first bytes fileTypeOf looks at (fewer may be given).
constexpr size_t kFileTypeBytes = 12;

/// The type of a file whose first bytes are `first`: "RIFF" then "WAVE" after
/// the size is WAVE, any other "RIFF" is AVI, the word 0xD6E229D1 is ASF, an
/// MPEG audio sync (0xFF, then a byte with its top three bits set) is MP3;
/// anything else, and fewer than 4 bytes, is unreadable.
FileType fileTypeOf(std::span<const uint8_t> first);

}  // namespace zq
