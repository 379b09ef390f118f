// JVariant: one named, typed value (none, blob, boolean, integer, double,
// string), its text form and its conversions; the element of JParams.
//
// Variants may be chained through a non-owning `next` pointer: that is how an
// argument list is handed to the RPC client and written as "a=1, b=2". Whoever
// builds a chain owns (and frees) each of its elements.
//
// Concurrency: no lock; one thread uses a variant at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

namespace zq {

class JVariant {
 public:
  /// Type codes; the numbers appear in messages sent to peers.
  enum Type : int32_t {
    kNone = 0,
    kBlob = 1,
    kBoolean = 2,
    kInteger = 3,
    kDouble = 4,
    kString = 5,
  };

  /// An empty variant: no name, type 0, writes nothing.
  JVariant() = default;
  JVariant(std::string_view name, bool value, JVariant* next = nullptr);
  JVariant(std::string_view name, int64_t value, JVariant* next = nullptr);
  /// Sign-extended to a 64-bit integer (type 3).
  JVariant(std::string_view name, int32_t value, JVariant* next = nullptr);
  JVariant(std::string_view name, double value, JVariant* next = nullptr);
  /// A string value. Values and names are byte strings without NUL: both are
  /// cut at their first NUL byte, if any.
  JVariant(std::string_view name, std::string_view value, JVariant* next = nullptr);
  /// Keeps a string literal from being taken for a boolean.
  JVariant(std::string_view name, const char* value, JVariant* next = nullptr);
  /// A blob: a copy of `length` bytes at `data`.
  JVariant(std::string_view name, const uint8_t* data, size_t length, JVariant* next = nullptr);

  /// Copies name and value; the copy points to the same `next` as the original.
  JVariant(const JVariant&) = default;
  JVariant& operator=(const JVariant&) = default;
  JVariant(JVariant&&) noexcept = default;
  JVariant& operator=(JVariant&&) noexcept = default;

  const std::string& name() const { return name_; }
  int32_t type() const { return static_cast<int32_t>(value_.index()); }
  JVariant* next() const { return next_; }
  void setNext(JVariant* next) { next_ = next; }

  // Conversions. Each throws JRPCTypeMismatchError (with this variant's name,
  // the target's type code and this variant's type code) when the value
  // cannot be converted:
  //   boolean: from boolean; integer/double: value != 0; string: "true",
  //     "True", "TRUE", "on", "On", "ON", "1" / "false", "False", "FALSE",
  //     "off", "Off", "OFF", "0" (whole text, exact), nothing else.
  //   integers: from boolean (0/1), integer (asInt32 keeps the low 32 bits),
  //     double (truncated toward zero; a value out of range or NaN gives the
  //     type's minimum), string (optional white space and sign, then at least
  //     one decimal digit; trailing text ignored; overflow wraps).
  //   double: from boolean, integer, double, string (the standard decimal,
  //     hexadecimal or inf/nan syntax after optional white space; trailing
  //     text ignored).
  //   string: from boolean ("true"/"false"), integer (decimal), double
  //     ("%g"), string.
  //   blob: from blob only.
  // A blob converts to nothing but a blob; type 0 to nothing at all.
  bool asBool() const;
  int32_t asInt32() const;
  int64_t asInt64() const;
  double asDouble() const;
  std::string asString() const;
  void asString(std::string& out) const;
  std::vector<uint8_t> asBinary() const;

  /// An upper bound of the length of the text of this variant and its chain.
  /// Per element: name length + 1 when the type is not 0, + 1, + the value's
  /// bound (blob 2 * length + 2, boolean 4 or 5, integer 20, double 32,
  /// string 2 + 1 per byte or 4 per byte that needs a backslash); + 2 between
  /// elements. A buffer of textLength() + 1 bytes holds the text and a NUL.
  size_t textLength() const;

  /// Writes the text of this variant and of its whole chain, elements joined
  /// by ", ", into `buffer` (at least textLength() bytes). Writes no NUL.
  /// Returns the number of bytes written.
  size_t write(char* buffer) const;

  /// The text that write() produces.
  std::string toString() const;

  /// Bound and text of this element alone, ignoring the chain.
  size_t elementTextLength() const;
  size_t writeElement(char* buffer) const;

 private:
  // The alternative's index is the type code.
  using Value =
      std::variant<std::monostate, std::vector<uint8_t>, bool, int64_t, double, std::string>;
  static_assert(std::is_same_v<std::variant_alternative_t<kBlob, Value>, std::vector<uint8_t>> &&
                std::is_same_v<std::variant_alternative_t<kBoolean, Value>, bool> &&
                std::is_same_v<std::variant_alternative_t<kInteger, Value>, int64_t> &&
                std::is_same_v<std::variant_alternative_t<kDouble, Value>, double> &&
                std::is_same_v<std::variant_alternative_t<kString, Value>, std::string>);

  std::string name_;
  Value value_;
  JVariant* next_ = nullptr;  // not owned
};

}  // namespace zq
