// Locale-independent number text for the parameter text form: the writer's
// "%g" and decimal integers, and the readers behind the parser and the
// string conversions of JVariant.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zq {

/// Writes `value` in decimal into `out` (at least 20 bytes); no NUL. Returns
/// the length.
size_t formatInteger(char* out, int64_t value);

/// Writes `value` as printf's "%g" does in the C locale into `out` (at least
/// 32 bytes); no NUL. Returns the length.
size_t formatDouble(char* out, double value);

/// Reads a double with the C library's strtod in the C locale from the start
/// of `text`, which need not be terminated. Only the decimal syntax (digits,
/// ".", "e", "E", signs) is considered. `consumed` is the number of bytes the
/// conversion used, 0 when it converted nothing (the result is then 0.0).
double readDouble(std::string_view text, size_t& consumed);

// The string conversions: each needs at least one converted item and ignores
// what follows it, like sscanf with "%d", "%lld" and "%lg". Leading white
// space is skipped; integer overflow wraps.
bool scanDecimal32(const std::string& text, int32_t& out);
bool scanDecimal64(const std::string& text, int64_t& out);
bool scanDouble(const std::string& text, double& out);

}  // namespace zq
