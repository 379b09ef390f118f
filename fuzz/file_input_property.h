// The properties the MP3 and WAVE file inputs must keep for any bytes,
// shared by their fuzzers and by the test that replays their corpora. The
// bytes are held in an in-memory file of exactly their size, read by name
// like any file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zq::fuzz {

/// What a property check saw, for the replay test's coverage of the corpus.
struct FileInputOutcome {
  bool described = false;
  bool indexed = false;      // a time index came with the file
  size_t frames = 0;         // read through before the end
  bool seekRefused = false;  // some seek gave one of the seek errors
};

/// Reads the bytes as an MP3 file. Checks, whatever the bytes: it is refused
/// only with "not an mp3 file", never when it starts with a frame header;
/// the frames start after the whole ID3v2 tags in front of them, if any, and
/// the frames read, looping off, lie one after another from there within
/// the audio data, each a parsable header and
/// at most 1984 bytes, read back as the file holds them, with time stamps
/// that never go back; the read ends with the end result, and a file without
/// an index has one afterwards, of the frames read; seeks by frame and time
/// land on the frame asked (or its sync point) or give a seek error; looping
/// on, the frame after the last is frame 0 or the rewound file gives none.
/// Returns "" when everything holds, otherwise what failed.
std::string checkMp3FileProperty(const uint8_t* data, size_t size, FileInputOutcome& outcome);

/// Reads the bytes as a WAVE file. Checks: it is refused only with "invalid
/// wave format" or "unsupported wave format: " and why; no block is larger
/// than the system plays; the block count covers the data, which lies within the
/// file; every block reads back as the file's data bytes then silence; time
/// stamps grow by one block's duration; looping on, the block after the
/// last is block 0.
std::string checkWaveFileProperty(const uint8_t* data, size_t size, FileInputOutcome& outcome);

}  // namespace zq::fuzz
