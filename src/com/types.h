// The scalar types of the automation calls, with the widths their callers
// rely on (a LONG is 32 bits here too, whatever the platform's long is).
// Public: a host that embeds the control includes it.
#pragma once

#include <cstdint>

namespace zq::com {

using BYTE = uint8_t;
using CHAR = char;
using SHORT = int16_t;
using USHORT = uint16_t;
using WORD = uint16_t;
using LONG = int32_t;
using ULONG = uint32_t;
using DWORD = uint32_t;
using INT = int32_t;
using UINT = uint32_t;
using LONGLONG = int64_t;
using ULONGLONG = uint64_t;
using FLOAT = float;
using DOUBLE = double;
using BOOL = int32_t;
using LCID = uint32_t;
using DISPID = int32_t;
using MEMBERID = DISPID;
/// A boolean of the automation calls: all bits set for true.
using VARIANT_BOOL = int16_t;
/// UTF-16 code unit of the automation strings.
using OLECHAR = char16_t;
using LPOLESTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;

constexpr VARIANT_BOOL VARIANT_TRUE = -1;
constexpr VARIANT_BOOL VARIANT_FALSE = 0;
constexpr LCID LOCALE_USER_DEFAULT = 0x400;
constexpr LCID LOCALE_SYSTEM_DEFAULT = 0x800;

}  // namespace zq::com
