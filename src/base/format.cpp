// printf-style formatting into std::string.
#include "base/format.h"

#include <cstdio>
#include <cstring>

namespace zq {

std::string jvformat(const char* format, va_list args) {
  char small[256];
  va_list copy;
  va_copy(copy, args);
  const int needed = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (needed < 0) {
    return {};
  }
  if (static_cast<size_t>(needed) < sizeof small) {
    return std::string(small, static_cast<size_t>(needed));
  }
  std::string result(static_cast<size_t>(needed), '\0');
  std::vsnprintf(result.data(), result.size() + 1, format, args);
  return result;
}

std::string jformat(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string result = jvformat(format, args);
  va_end(args);
  return result;
}

size_t copyTruncated(char* buffer, size_t size, const std::string& text) {
  if (size == 0) {
    return 0;
  }
  const size_t n = text.size() < size - 1 ? text.size() : size - 1;
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
  return n;
}

}  // namespace zq
