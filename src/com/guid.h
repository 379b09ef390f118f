// GUID, the 128-bit identity of classes, interfaces and type libraries, with
// its registry text form "{EF82A84C-2CB5-4738-8968-2A757693A44A}".
// Public: hosts name classes and interfaces by it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zq::com {

struct GUID {
  uint32_t Data1 = 0;
  uint16_t Data2 = 0;
  uint16_t Data3 = 0;
  uint8_t Data4[8] = {};

  friend constexpr bool operator==(const GUID& a, const GUID& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) {
      return false;
    }
    for (size_t i = 0; i < 8; ++i) {
      if (a.Data4[i] != b.Data4[i]) {
        return false;
      }
    }
    return true;
  }
};

using IID = GUID;
using CLSID = GUID;
using REFIID = const IID&;
using REFCLSID = const CLSID&;
using REFGUID = const GUID&;

constexpr GUID GUID_NULL{};
constexpr IID IID_NULL{};

namespace detail {
constexpr int hexDigit(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}
}  // namespace detail

/// Parses the text form, braces included, hexadecimal in either case;
/// nothing when the text is anything else.
constexpr std::optional<GUID> guidFromText(std::string_view text) {
  // Where each of the 32 hexadecimal digits stands in "{8-4-4-4-12}".
  constexpr size_t kLength = 38;
  if (text.size() != kLength || text.front() != '{' || text.back() != '}' || text[9] != '-' ||
      text[14] != '-' || text[19] != '-' || text[24] != '-') {
    return std::nullopt;
  }
  uint8_t bytes[16] = {};
  size_t n = 0;
  for (size_t i = 1; i + 1 < kLength; ++i) {
    if (i == 9 || i == 14 || i == 19 || i == 24) {
      continue;
    }
    const int d = detail::hexDigit(text[i]);
    if (d < 0) {
      return std::nullopt;
    }
    bytes[n / 2] = static_cast<uint8_t>(bytes[n / 2] << 4 | d);
    ++n;
  }
  GUID g;
  g.Data1 = static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
            static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
  g.Data2 = static_cast<uint16_t>(bytes[4] << 8 | bytes[5]);
  g.Data3 = static_cast<uint16_t>(bytes[6] << 8 | bytes[7]);
  for (size_t i = 0; i < 8; ++i) {
    g.Data4[i] = bytes[8 + i];
  }
  return g;
}

/// A GUID written in the source as its text form; a malformed literal does
/// not compile.
consteval GUID makeGuid(std::string_view text) {
  return guidFromText(text).value();
}

/// The text form in upper case, as the registry holds it.
std::string guidToString(const GUID& guid);

/// Writes the text form with its terminator into `buffer` of `size`
/// characters; the number of characters written, terminator included, or 0
/// when the buffer is too small.
int StringFromGUID2(REFGUID guid, char16_t* buffer, int size);
/// E_INVALIDARG when the text is not a GUID (CO_E_CLASSSTRING on the
/// system this mirrors; the control never tells the two apart).
int32_t CLSIDFromString(const char16_t* text, CLSID* clsid);

struct GuidHash {
  size_t operator()(const GUID& g) const noexcept;
};

}  // namespace zq::com
