// JVariant: construction, text form and conversions.
#include "rpc/variant.h"

#include <charconv>
#include <cstring>
#include <limits>

#include "rpc/rpc_error.h"
#include "rpc/text_number.h"

namespace zq {
namespace {

std::string_view cutAtNul(std::string_view text) {
  return text.substr(0, text.find('\0'));
}

bool needsBackslash(unsigned char c) {
  return c < 0x20 || c == '"' || c == '\\';
}

constexpr char kHexDigits[] = "0123456789ABCDEF";

size_t writeEscaped(char* out, std::string_view text) {
  char* p = out;
  *p++ = '"';
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (!needsBackslash(c)) {
      *p++ = ch;
      continue;
    }
    *p++ = '\\';
    switch (c) {
      case '\r':
        *p++ = 'r';
        break;
      case '\n':
        *p++ = 'n';
        break;
      case '\t':
        *p++ = 't';
        break;
      case '"':
      case '\\':
        *p++ = ch;
        break;
      default:
        *p++ = 'x';
        *p++ = kHexDigits[c >> 4];
        *p++ = kHexDigits[c & 0xF];
        break;
    }
  }
  *p++ = '"';
  return static_cast<size_t>(p - out);
}

// A double converted to an integer type the way the processor's truncating
// conversion does it: toward zero, and the type's minimum when out of range.
template <typename Int>
Int truncateDouble(double d) {
  constexpr double limit = -static_cast<double>(std::numeric_limits<Int>::min());  // 2^(bits-1)
  if (!(d > -limit - 1.0 && d < limit)) {
    return std::numeric_limits<Int>::min();
  }
  return static_cast<Int>(d);
}

}  // namespace

JVariant::JVariant(std::string_view name, bool value, JVariant* next)
    : name_(cutAtNul(name)), value_(std::in_place_index<kBoolean>, value), next_(next) {}

JVariant::JVariant(std::string_view name, int64_t value, JVariant* next)
    : name_(cutAtNul(name)), value_(std::in_place_index<kInteger>, value), next_(next) {}

JVariant::JVariant(std::string_view name, int32_t value, JVariant* next)
    : JVariant(name, static_cast<int64_t>(value), next) {}

JVariant::JVariant(std::string_view name, double value, JVariant* next)
    : name_(cutAtNul(name)), value_(std::in_place_index<kDouble>, value), next_(next) {}

JVariant::JVariant(std::string_view name, std::string_view value, JVariant* next)
    : name_(cutAtNul(name)), value_(std::in_place_index<kString>, cutAtNul(value)), next_(next) {}

JVariant::JVariant(std::string_view name, const char* value, JVariant* next)
    : JVariant(name, value != nullptr ? std::string_view(value) : std::string_view(), next) {}

JVariant::JVariant(std::string_view name, const uint8_t* data, size_t length, JVariant* next)
    : name_(cutAtNul(name)),
      value_(std::in_place_index<kBlob>, data, data == nullptr ? data : data + length),
      next_(next) {}

// ---- conversions ----------------------------------------------------------

bool JVariant::asBool() const {
  switch (value_.index()) {
    case kBoolean:
      return std::get<kBoolean>(value_);
    case kInteger:
      return std::get<kInteger>(value_) != 0;
    case kDouble:
      return std::get<kDouble>(value_) != 0.0;
    case kString: {
      const std::string& s = std::get<kString>(value_);
      for (const char* t : {"true", "True", "TRUE", "on", "On", "ON", "1"}) {
        if (s == t) {
          return true;
        }
      }
      for (const char* f : {"false", "False", "FALSE", "off", "Off", "OFF", "0"}) {
        if (s == f) {
          return false;
        }
      }
      break;
    }
    default:
      break;
  }
  throw JRPCTypeMismatchError(name_, kBoolean, type());
}

int32_t JVariant::asInt32() const {
  switch (value_.index()) {
    case kBoolean:
      return std::get<kBoolean>(value_) ? 1 : 0;
    case kInteger:
      return static_cast<int32_t>(static_cast<uint32_t>(std::get<kInteger>(value_)));
    case kDouble:
      return truncateDouble<int32_t>(std::get<kDouble>(value_));
    case kString: {
      int32_t value = 0;
      if (scanDecimal32(std::get<kString>(value_), value)) {
        return value;
      }
      break;
    }
    default:
      break;
  }
  throw JRPCTypeMismatchError(name_, kInteger, type());
}

int64_t JVariant::asInt64() const {
  switch (value_.index()) {
    case kBoolean:
      return std::get<kBoolean>(value_) ? 1 : 0;
    case kInteger:
      return std::get<kInteger>(value_);
    case kDouble:
      return truncateDouble<int64_t>(std::get<kDouble>(value_));
    case kString: {
      int64_t value = 0;
      if (scanDecimal64(std::get<kString>(value_), value)) {
        return value;
      }
      break;
    }
    default:
      break;
  }
  throw JRPCTypeMismatchError(name_, kInteger, type());
}

double JVariant::asDouble() const {
  switch (value_.index()) {
    case kBoolean:
      return std::get<kBoolean>(value_) ? 1.0 : 0.0;
    case kInteger:
      return static_cast<double>(std::get<kInteger>(value_));
    case kDouble:
      return std::get<kDouble>(value_);
    case kString: {
      double value = 0.0;
      if (scanDouble(std::get<kString>(value_), value)) {
        return value;
      }
      break;
    }
    default:
      break;
  }
  throw JRPCTypeMismatchError(name_, kDouble, type());
}

std::string JVariant::asString() const {
  std::string out;
  asString(out);
  return out;
}

void JVariant::asString(std::string& out) const {
  char text[32];
  switch (value_.index()) {
    case kBoolean:
      out = std::get<kBoolean>(value_) ? "true" : "false";
      return;
    case kInteger:
      out.assign(text, formatInteger(text, std::get<kInteger>(value_)));
      return;
    case kDouble:
      out.assign(text, formatDouble(text, std::get<kDouble>(value_)));
      return;
    case kString:
      out = std::get<kString>(value_);
      return;
    default:
      break;
  }
  throw JRPCTypeMismatchError(name_, kString, type());
}

std::vector<uint8_t> JVariant::asBinary() const {
  if (value_.index() == kBlob) {
    return std::get<kBlob>(value_);
  }
  throw JRPCTypeMismatchError(name_, kBlob, type());
}

// ---- text form ------------------------------------------------------------

size_t JVariant::elementTextLength() const {
  size_t length = 1;
  if (type() != kNone) {
    length += name_.size() + 1;
  }
  switch (value_.index()) {
    case kBlob:
      length += 2 * std::get<kBlob>(value_).size() + 2;
      break;
    case kBoolean:
      length += std::get<kBoolean>(value_) ? 4 : 5;
      break;
    case kInteger:
      length += 20;
      break;
    case kDouble:
      length += 32;
      break;
    case kString:
      length += 2;
      for (const char c : std::get<kString>(value_)) {
        length += needsBackslash(static_cast<unsigned char>(c)) ? 4 : 1;
      }
      break;
    default:
      break;
  }
  return length;
}

size_t JVariant::textLength() const {
  size_t length = 0;
  for (const JVariant* v = this; v != nullptr; v = v->next_) {
    if (v != this) {
      length += 2;
    }
    length += v->elementTextLength();
  }
  return length;
}

size_t JVariant::writeElement(char* buffer) const {
  if (type() == kNone) {
    return 0;
  }
  char* p = buffer;
  std::memcpy(p, name_.data(), name_.size());
  p += name_.size();
  *p++ = '=';
  switch (value_.index()) {
    case kBlob:
      *p++ = '[';
      for (const uint8_t b : std::get<kBlob>(value_)) {
        *p++ = kHexDigits[b >> 4];
        *p++ = kHexDigits[b & 0xF];
      }
      *p++ = ']';
      break;
    case kBoolean: {
      const std::string_view text = std::get<kBoolean>(value_) ? "true" : "false";
      std::memcpy(p, text.data(), text.size());
      p += text.size();
      break;
    }
    case kInteger:
      p += formatInteger(p, std::get<kInteger>(value_));
      break;
    case kDouble:
      p += formatDouble(p, std::get<kDouble>(value_));
      break;
    case kString:
      p += writeEscaped(p, std::get<kString>(value_));
      break;
    default:
      break;
  }
  return static_cast<size_t>(p - buffer);
}

size_t JVariant::write(char* buffer) const {
  char* p = buffer;
  for (const JVariant* v = this; v != nullptr; v = v->next_) {
    if (v != this) {
      *p++ = ',';
      *p++ = ' ';
    }
    p += v->writeElement(p);
  }
  return static_cast<size_t>(p - buffer);
}

std::string JVariant::toString() const {
  std::string text(textLength(), '\0');
  text.resize(write(text.data()));
  return text;
}

}  // namespace zq
