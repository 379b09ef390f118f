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
/// MPEG audio sync (0xFF, then a byte with its top three bits set) is MP3,
/// and so is a well-formed ID3v2 tag header (id3v2TagSize), which most MP3
/// files begin with; anything else, and fewer than 4 bytes, is unreadable.
FileType fileTypeOf(std::span<const uint8_t> first);

/// The bytes of an ID3v2 tag header.
constexpr size_t kId3v2HeaderSize = 10;

/// The length of the ID3v2 tag that starts `bytes`: 0 when they do not start
/// with "ID3"; -1 when they do but the header is not whole or not well
/// formed (a version or revision of 0xFF, a size byte with its top bit set);
/// otherwise the 10-byte header, the 28-bit size it states (7 bits a byte,
/// most significant first) and a 10-byte footer when its flags say so
/// (0x10). The length is not checked against anything: the caller compares
/// it with the file before skipping it.
int64_t id3v2TagSize(std::span<const uint8_t> bytes);

}  // namespace zq
