// BSTR allocation with its byte-length prefix, and the conversions between
// UTF-16 and the system code page (UTF-8).
#include "com/bstr.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace zq::com {
namespace {

constexpr size_t kPrefix = sizeof(uint32_t);
constexpr char32_t kReplacement = 0xFFFD;

// The allocation a BSTR points into.
char* blockOf(BSTR s) {
  return reinterpret_cast<char*>(s) - kPrefix;
}

void appendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | c >> 6));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | c >> 12));
    out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | c >> 18));
    out.push_back(static_cast<char>(0x80 | (c >> 12 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

void appendUtf16(std::u16string& out, char32_t c) {
  if (c < 0x10000) {
    out.push_back(static_cast<char16_t>(c));
  } else {
    c -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 | c >> 10));
    out.push_back(static_cast<char16_t>(0xDC00 | (c & 0x3FF)));
  }
}

}  // namespace

BSTR SysAllocStringByteLen(const char* data, UINT bytes) {
  // The owning raw block is the interface's contract: the caller frees it
  // with SysFreeString.
  char* block = static_cast<char*>(std::malloc(kPrefix + size_t{bytes} + sizeof(OLECHAR)));
  if (block == nullptr) {
    return nullptr;
  }
  const uint32_t length = bytes;
  std::memcpy(block, &length, kPrefix);
  if (data != nullptr) {
    std::memcpy(block + kPrefix, data, bytes);
  } else {
    std::memset(block + kPrefix, 0, bytes);
  }
  std::memset(block + kPrefix + bytes, 0, sizeof(OLECHAR));
  return reinterpret_cast<BSTR>(block + kPrefix);
}

BSTR SysAllocStringLen(const OLECHAR* text, UINT length) {
  return SysAllocStringByteLen(reinterpret_cast<const char*>(text), length * sizeof(OLECHAR));
}

BSTR SysAllocString(const OLECHAR* text) {
  if (text == nullptr) {
    return nullptr;
  }
  return SysAllocStringLen(text, static_cast<UINT>(std::char_traits<char16_t>::length(text)));
}

BOOL SysReAllocString(BSTR* target, const OLECHAR* text) {
  if (target == nullptr) {
    return 0;
  }
  BSTR copy = SysAllocString(text);
  if (copy == nullptr && text != nullptr) {
    return 0;
  }
  SysFreeString(*target);
  *target = copy;
  return 1;
}

void SysFreeString(BSTR text) {
  if (text != nullptr) {
    std::free(blockOf(text));
  }
}

UINT SysStringByteLen(BSTR text) {
  if (text == nullptr) {
    return 0;
  }
  uint32_t length = 0;
  std::memcpy(&length, blockOf(text), kPrefix);
  return length;
}

UINT SysStringLen(BSTR text) {
  return SysStringByteLen(text) / sizeof(OLECHAR);
}

std::string utf8FromUtf16(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t u = text[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      appendUtf8(out, 0x10000 + ((char32_t{u} - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      appendUtf8(out, kReplacement);
    } else {
      appendUtf8(out, u);
    }
  }
  return out;
}

std::u16string utf16FromUtf8(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    size_t extra = 0;
    char32_t c = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
      c = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      extra = 1, c = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2, c = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3, c = lead & 0x07, minimum = 0x10000;
    } else {
      appendUtf16(out, kReplacement);
      ++i;
      continue;
    }
    size_t taken = 1;
    for (; taken <= extra && i + taken < text.size(); ++taken) {
      const auto next = static_cast<unsigned char>(text[i + taken]);
      if ((next & 0xC0) != 0x80) {
        break;
      }
      c = c << 6 | (next & 0x3F);
    }
    // A cut or overlong sequence, a surrogate or a value past Unicode is
    // one replacement for what was consumed; the next lead byte starts anew.
    if (taken != extra + 1 || c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
      appendUtf16(out, kReplacement);
    } else {
      appendUtf16(out, c);
    }
    i += taken;
  }
  return out;
}

std::string stringFromBstr(BSTR text) {
  return text == nullptr ? std::string() : utf8FromUtf16({text, SysStringLen(text)});
}

BSTR bstrFromString(std::string_view text) {
  const std::u16string wide = utf16FromUtf8(text);
  return SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
}

}  // namespace zq::com
