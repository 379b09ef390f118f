// The property the parameter parser and writer must keep for any input, shared
// by the fuzzer and by the test that replays the fuzzer's corpus.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zq::fuzz {

/// Parses `size` bytes as a parameter list and checks what must hold whatever
/// the bytes are:
/// - a parse either succeeds or throws a JRPCProtocolError with a code from -5
///   to -10, and a failed parse leaves the list as it was;
/// - the returned extent lies within the text, and the written text fits the
///   length bound;
/// - writing the parsed list and parsing that text again consumes all of it
///   and gives the same names with equal values: strings, blobs, booleans and
///   integers exactly, a double equal in its written "%g" form (a whole double
///   may come back as an integer of that text, and -0.0 as 0); so writing
///   again gives the same text, and from then on always does.
/// A list holding an infinite double has no text that reads back; only the
/// first part is checked for it. Returns "" when everything holds, otherwise
/// what failed.
std::string checkParamsProperty(const uint8_t* data, size_t size);

}  // namespace zq::fuzz
