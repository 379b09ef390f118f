// BSTR, the automation string: a pointer to UTF-16 code units preceded by a
// 4-byte byte length and followed by a 2-byte terminator. It may hold NULs;
// its length is the prefix, not the first NUL. A null BSTR is the empty
// string. The caller of any call returning a BSTR owns it and frees it with
// SysFreeString (or hands it to a JBstr).
//
// The system code page is UTF-8 here: stringFromBstr and bstrFromString
// convert between it and BSTRs, replacing what cannot be converted (a lone
// surrogate, a malformed UTF-8 sequence) by U+FFFD.
// Public: hosts include it.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "com/types.h"

namespace zq::com {

using BSTR = OLECHAR*;

/// A copy of the NUL-terminated `text`; null for a null `text` (or when
/// memory runs out).
BSTR SysAllocString(const OLECHAR* text);
/// `length` code units from `text`, or that many zeros for a null `text`.
BSTR SysAllocStringLen(const OLECHAR* text, UINT length);
/// `bytes` bytes from `data` (zeros for null `data`); the length may be odd.
BSTR SysAllocStringByteLen(const char* data, UINT bytes);
/// Replaces `*target` by a copy of `text`; false when memory runs out.
BOOL SysReAllocString(BSTR* target, const OLECHAR* text);
/// Frees what a SysAlloc call returned; null is allowed.
void SysFreeString(BSTR text);
/// The length in code units (the byte length halved); 0 for null.
UINT SysStringLen(BSTR text);
UINT SysStringByteLen(BSTR text);

/// The UTF-8 text of `text`, embedded NULs kept; "" for null.
std::string stringFromBstr(BSTR text);
/// A new BSTR of the UTF-8 `text`, embedded NULs kept; never null for an
/// empty text (the control gives an empty BSTR for a null string).
BSTR bstrFromString(std::string_view text);
/// UTF-16 of UTF-8 and back, on which the two above are built.
std::u16string utf16FromUtf8(std::string_view text);
std::string utf8FromUtf16(std::u16string_view text);

/// Owns one BSTR and frees it.
class JBstr {
 public:
  JBstr() = default;
  explicit JBstr(std::string_view text) : s_(bstrFromString(text)) {}
  explicit JBstr(std::u16string_view text)
      : s_(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
  JBstr(const JBstr& o) : s_(o.s_ == nullptr ? nullptr : SysAllocStringLen(o.s_, o.length())) {}
  JBstr(JBstr&& o) noexcept : s_(std::exchange(o.s_, nullptr)) {}
  JBstr& operator=(JBstr o) noexcept {
    std::swap(s_, o.s_);
    return *this;
  }
  ~JBstr() { SysFreeString(s_); }

  /// Takes over a BSTR the caller owns.
  static JBstr adopt(BSTR s) {
    JBstr b;
    b.s_ = s;
    return b;
  }
  BSTR get() const { return s_; }
  /// Frees what is held and gives the slot for an out-parameter.
  BSTR* put() {
    SysFreeString(std::exchange(s_, nullptr));
    return &s_;
  }
  BSTR detach() { return std::exchange(s_, nullptr); }
  UINT length() const { return SysStringLen(s_); }
  std::string str() const { return stringFromBstr(s_); }
  std::u16string_view view() const { return {s_ == nullptr ? u"" : s_, length()}; }

 private:
  BSTR s_ = nullptr;
};

}  // namespace zq::com
