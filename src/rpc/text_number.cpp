// Number text in the C locale, whatever locale the host process has set.
#include "rpc/text_number.h"

#include <locale.h>

#include <charconv>
#include <clocale>
#include <cstdlib>

namespace zq {
namespace {

locale_t cLocale() {
  static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return locale;
}

bool isSpace(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// Optional white space and sign, then at least one decimal digit; the digits
// accumulate modulo 2^64.
bool scanDecimal(const std::string& text, uint64_t& out) {
  size_t i = 0;
  while (i < text.size() && isSpace(text[i])) {
    ++i;
  }
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  const size_t firstDigit = i;
  uint64_t value = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
    value = value * 10 + static_cast<uint64_t>(text[i] - '0');
    ++i;
  }
  if (i == firstDigit) {
    return false;
  }
  out = negative ? 0 - value : value;
  return true;
}

}  // namespace

size_t formatInteger(char* out, int64_t value) {
  return static_cast<size_t>(std::to_chars(out, out + 20, value).ptr - out);
}

size_t formatDouble(char* out, double value) {
  // The general format with precision 6 is defined as printf's "%g" in the C
  // locale.
  return static_cast<size_t>(
      std::to_chars(out, out + 32, value, std::chars_format::general, 6).ptr - out);
}

double readDouble(std::string_view text, size_t& consumed) {
  size_t span = 0;
  while (span < text.size()) {
    const char c = text[span];
    if (!((c >= '0' && c <= '9') || c == '.' || c == 'e' || c == 'E' || c == '+' || c == '-')) {
      break;
    }
    ++span;
  }
  char small[64];
  std::string large;
  char* copy = small;
  if (span >= sizeof small) {
    large.assign(text.substr(0, span));
    copy = large.data();
  } else {
    text.copy(small, span);
    small[span] = '\0';
  }
  char* end = nullptr;
  const double value = strtod_l(copy, &end, cLocale());
  consumed = static_cast<size_t>(end - copy);
  return value;
}

bool scanDecimal32(const std::string& text, int32_t& out) {
  uint64_t value = 0;
  if (!scanDecimal(text, value)) {
    return false;
  }
  out = static_cast<int32_t>(static_cast<uint32_t>(value));
  return true;
}

bool scanDecimal64(const std::string& text, int64_t& out) {
  uint64_t value = 0;
  if (!scanDecimal(text, value)) {
    return false;
  }
  out = static_cast<int64_t>(value);
  return true;
}

bool scanDouble(const std::string& text, double& out) {
  const char* start = text.c_str();
  char* end = nullptr;
  const double value = strtod_l(start, &end, cLocale());
  if (end == start) {
    return false;
  }
  out = value;
  return true;
}

}  // namespace zq
