// The property a stream's control interface must keep for any command text,
// shared by the fuzzer and by the test that replays the fuzzer's corpus.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zq::fuzz {

/// Runs `size` bytes (up to the first NUL) as a command on a fresh JStream of
/// 5 + 1 + 1 buffers and checks what must hold whatever the text is:
/// - the result is 0, -1 (buffers could not be added), -3 or -5;
/// - the answer is terminated inside its buffer and nothing is written past
///   it; a done query answers the queue length in decimal;
/// - -3 and -5 change nothing; a done setting leaves the queue length it
///   asked for, with that many buffers plus the two extra ones;
/// - the result agrees with the grammar: "JStream." and a name ending at "?"
///   (alone) or "=", name and value at most 255 characters, only "queue"
///   known, its value a whole decimal number from 0 to 200.
/// Returns "" when everything holds, otherwise what failed.
std::string checkControlProperty(const uint8_t* data, size_t size);

}  // namespace zq::fuzz
