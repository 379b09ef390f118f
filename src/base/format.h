// printf-style formatting into std::string, used wherever a message or a
// record is composed from a format the system quotes ("Closed socket '%d'").
#pragma once

#include <cstdarg>
#include <string>

#define ZQ_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))

namespace zq {

/// Formats like snprintf, without a length limit.
std::string jformat(const char* format, ...) ZQ_PRINTF(1, 2);

/// va_list form of jformat.
std::string jvformat(const char* format, va_list args) ZQ_PRINTF(1, 0);

/// Copies `text` into `buffer` of `size` bytes, truncating; always terminates
/// when size > 0. Returns the number of characters copied.
size_t copyTruncated(char* buffer, size_t size, const std::string& text);

}  // namespace zq
