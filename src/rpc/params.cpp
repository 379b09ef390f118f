// JParams: the ordered list of values, its writer and its parser.
#include "rpc/params.h"

#include <cstring>
#include <iterator>
#include <utility>

#include "rpc/rpc_error.h"
#include "rpc/text_number.h"

namespace zq {

// ---- the list -------------------------------------------------------------

bool JParams::NameLess::operator()(std::string_view a, std::string_view b) const {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  const int c = n == 0 ? 0 : std::memcmp(a.data(), b.data(), n);  // memcmp compares unsigned bytes
  return c != 0 ? c < 0 : a.size() < b.size();
}

JParams::JParams(JParams&& other) {
  *this = std::move(other);
}

JParams& JParams::operator=(JParams&& other) {
  if (this == &other) {
    return *this;
  }
  // The map's nodes change hands: each value stays the same object, and the
  // source keeps nothing a look-up could find.
  entries_.clear();
  entries_.swap(other.entries_);
  return *this;
}

void JParams::add(std::unique_ptr<JVariant> variant) {
  if (variant) {
    add(std::move(*variant));
  }
}

void JParams::add(JVariant&& variant) {
  variant.setNext(nullptr);
  const std::string_view name = variant.name();
  // Values often arrive in name order (a list this class wrote, such as an
  // answer): their place is then the end, found with one comparison.
  auto place = entries_.end();
  if (!entries_.empty() && !NameLess{}(std::prev(place)->first, name)) {
    place = entries_.lower_bound(name);
    if (place != entries_.end() && !NameLess{}(name, place->first)) {
      place->second = std::move(variant);
      return;
    }
  }
  // The key is made from the name before the value moves in.
  entries_.emplace_hint(place, std::piecewise_construct, std::forward_as_tuple(name),
                        std::forward_as_tuple(std::move(variant)));
}

void JParams::set(std::string_view name, bool value) {
  add(JVariant(name, value));
}

void JParams::set(std::string_view name, int32_t value) {
  add(JVariant(name, static_cast<int64_t>(value)));
}

void JParams::set(std::string_view name, int64_t value) {
  add(JVariant(name, value));
}

void JParams::set(std::string_view name, double value) {
  add(JVariant(name, value));
}

void JParams::set(std::string_view name, std::string_view value) {
  add(JVariant(name, value));
}

void JParams::set(std::string_view name, const char* value) {
  add(JVariant(name, value));
}

void JParams::set(std::string_view name, const uint8_t* data, size_t length) {
  add(JVariant(name, data, length));
}

const JVariant* JParams::find(std::string_view name, bool required) const {
  auto it = entries_.find(name);
  if (it != entries_.end()) {
    return &it->second;
  }
  if (required) {
    throw JRPCMissingParameterError(name);
  }
  return nullptr;
}

JVariant* JParams::find(std::string_view name, bool required) {
  return const_cast<JVariant*>(std::as_const(*this).find(name, required));
}

bool JParams::get(std::string_view name, bool& out, bool required) const {
  const JVariant* v = find(name, required);
  if (v == nullptr) {
    return false;
  }
  out = v->asBool();
  return true;
}

bool JParams::get(std::string_view name, int32_t& out, bool required) const {
  const JVariant* v = find(name, required);
  if (v == nullptr) {
    return false;
  }
  out = v->asInt32();
  return true;
}

bool JParams::get(std::string_view name, int64_t& out, bool required) const {
  const JVariant* v = find(name, required);
  if (v == nullptr) {
    return false;
  }
  out = v->asInt64();
  return true;
}

bool JParams::get(std::string_view name, double& out, bool required) const {
  const JVariant* v = find(name, required);
  if (v == nullptr) {
    return false;
  }
  out = v->asDouble();
  return true;
}

bool JParams::get(std::string_view name, std::string& out, bool required) const {
  const JVariant* v = find(name, required);
  if (v == nullptr) {
    return false;
  }
  v->asString(out);
  return true;
}

bool JParams::get(std::string_view name, std::vector<uint8_t>& out, bool required) const {
  const JVariant* v = find(name, required);
  if (v == nullptr) {
    return false;
  }
  out = v->asBinary();
  return true;
}

size_t JParams::size() const {
  return entries_.size();
}

// ---- writing --------------------------------------------------------------

size_t JParams::textLength() const {
  size_t length = 0;
  bool first = true;
  for (const JVariant& v : *this) {
    length += first ? 0 : 2;
    length += v.elementTextLength();
    first = false;
  }
  return length;
}

size_t JParams::write(char* buffer, char separator) const {
  char* p = buffer;
  bool first = true;
  for (const JVariant& v : *this) {
    if (!first) {
      *p++ = separator;
      *p++ = ' ';
    }
    p += v.writeElement(p);
    first = false;
  }
  return static_cast<size_t>(p - buffer);
}

std::string JParams::toString(char separator) const {
  std::string text(textLength(), '\0');
  text.resize(write(text.data(), separator));
  return text;
}

// ---- parsing --------------------------------------------------------------
//
// list   := blanks value-pair (blanks "," value-pair)* blanks
// pair   := name blanks "=" blanks value
// name   := (letter | digit | "_" | "[" | "]" | "." | byte 0x80-0xFF)*
// value  := string | blob | number | "true" | "false"
//
// Blanks are space and tab only. The parser never reads past the end of the
// text and keeps no state between calls: every byte sequence either parses or
// throws a JRPCProtocolError.

namespace {

bool isBlank(char c) {
  return c == ' ' || c == '\t';
}

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

bool isNameChar(char c) {
  const auto u = static_cast<unsigned char>(c);
  return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || isDigit(c) || u == '_' || u >= 0x80 ||
         u == '[' || u == ']' || u == '.';
}

int hexValue(char c) {
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

class ListParser {
 public:
  explicit ListParser(std::string_view text) : text_(text) {}

  // Parses the list that starts at `pos`, handing each value to `take` in
  // order; returns where the list ended.
  template <typename Take>
  size_t parse(size_t pos, Take&& take) {
    pos_ = pos;
    while (true) {
      skipBlanks();
      const std::string_view name = readName();
      skipBlanks();
      if (!at('=')) {
        throw JRPCProtocolError("parameter name syntax error", text_, -5);
      }
      if (name.empty()) {
        throw JRPCProtocolError("missing parameter name", JRPCProtocolError::kNoContext, -6);
      }
      ++pos_;
      skipBlanks();
      take(readValue(name));
      skipBlanks();
      if (!at(',')) {
        return pos_;
      }
      ++pos_;
    }
  }

 private:
  bool atEnd() const { return pos_ >= text_.size(); }
  bool at(char c) const { return pos_ < text_.size() && text_[pos_] == c; }

  void skipBlanks() {
    while (pos_ < text_.size() && isBlank(text_[pos_])) {
      ++pos_;
    }
  }

  std::string_view readName() {
    const size_t start = pos_;
    while (pos_ < text_.size() && isNameChar(text_[pos_])) {
      ++pos_;
    }
    return text_.substr(start, pos_ - start);
  }

  JVariant readValue(std::string_view name) {
    if (atEnd()) {
      throw JRPCProtocolError("cannot determine parameter type", name, -10);
    }
    const char c = text_[pos_];
    if (c == '"') {
      return readString(name);
    }
    if (c == '[') {
      return readBlob(name);
    }
    if (isDigit(c) || c == '.' || c == '+' || c == '-') {
      return readNumber(name);
    }
    if (text_.substr(pos_, 4) == "true") {
      pos_ += 4;
      return JVariant(name, true);
    }
    if (text_.substr(pos_, 5) == "false") {
      pos_ += 5;
      return JVariant(name, false);
    }
    throw JRPCProtocolError("cannot determine parameter type", name, -10);
  }

  JVariant readString(std::string_view name) {
    ++pos_;  // the opening quote
    std::string value;
    // A NUL byte ends the stored value; the text up to the closing quote is
    // still consumed.
    bool cut = false;
    auto append = [&](char byte) {
      cut = cut || byte == '\0';
      if (!cut) {
        value.push_back(byte);
      }
    };
    while (true) {
      if (atEnd()) {
        throw JRPCProtocolError("unterminated quoted string", name, -7);
      }
      const char c = text_[pos_];
      if (c == '"') {
        ++pos_;
        break;
      }
      if (c != '\\') {
        append(c);
        ++pos_;
        continue;
      }
      if (pos_ + 1 >= text_.size()) {
        append('\\');
        ++pos_;
        continue;  // and the string is unterminated
      }
      const char e = text_[pos_ + 1];
      switch (e) {
        case 'r':
          append('\r');
          pos_ += 2;
          continue;
        case 'n':
          append('\n');
          pos_ += 2;
          continue;
        case 't':
          append('\t');
          pos_ += 2;
          continue;
        case '"':
        case '\'':
        case '\\':
          append(e);
          pos_ += 2;
          continue;
        case 'x': {
          const int high = pos_ + 2 < text_.size() ? hexValue(text_[pos_ + 2]) : -1;
          if (high < 0) {
            break;  // no digit: the backslash stands for itself
          }
          int byte = high;
          pos_ += 3;
          if (pos_ < text_.size() && hexValue(text_[pos_]) >= 0) {
            byte = byte * 16 + hexValue(text_[pos_]);
            ++pos_;
          }
          append(static_cast<char>(byte));
          continue;
        }
        case '0': {
          pos_ += 2;
          int byte = 0;
          for (int i = 0; i < 3 && pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '7';
               ++i, ++pos_) {
            byte = byte * 8 + (text_[pos_] - '0');
          }
          append(static_cast<char>(byte & 0xFF));
          continue;
        }
        default:
          break;
      }
      // Any other escape keeps its backslash; the next character is read
      // normally.
      append('\\');
      ++pos_;
    }
    return JVariant(name, std::string_view(value));
  }

  JVariant readBlob(std::string_view name) {
    ++pos_;  // the "["
    std::vector<uint8_t> bytes;
    while (true) {
      if (atEnd()) {
        throw JRPCProtocolError("unterminated binary block", name, -9);
      }
      const char c = text_[pos_];
      if (c == ']') {
        ++pos_;
        break;
      }
      if (c == ':' || c == '.' || c == ',' || isBlank(c)) {
        ++pos_;
        continue;
      }
      const int high = hexValue(c);
      if (high < 0) {
        throw JRPCProtocolError("unexpected character in binary block", name, -8);
      }
      ++pos_;
      const int low = pos_ < text_.size() ? hexValue(text_[pos_]) : -1;
      if (low < 0) {
        bytes.push_back(static_cast<uint8_t>(high));
      } else {
        bytes.push_back(static_cast<uint8_t>(high * 16 + low));
        ++pos_;
      }
    }
    return JVariant(name, bytes.data(), bytes.size());
  }

  JVariant readNumber(std::string_view name) {
    const size_t start = pos_;
    size_t p = start;
    const bool hasSign = text_[p] == '+' || text_[p] == '-';
    const bool negative = text_[p] == '-';
    if (hasSign) {
      ++p;
    }
    while (p < text_.size() && isDigit(text_[p])) {
      ++p;
    }
    if (p < text_.size()) {
      const char c = text_[p];
      if (c == '.' || c == 'e' || c == 'E' || c == 'd' || c == 'D') {
        // strtod from the start of the value decides both the value and where
        // reading continues; it does not know "d" exponents, nor a lone "."
        // (which then converts nothing and the value is 0.0).
        size_t consumed = 0;
        const double value = readDouble(text_.substr(start), consumed);
        pos_ = start + consumed;
        return JVariant(name, value);
      }
    }
    p = hasSign ? start + 1 : start;
    unsigned base = 10;
    if (p < text_.size() && text_[p] == '0') {
      if (p + 1 < text_.size() && (text_[p + 1] == 'x' || text_[p + 1] == 'X')) {
        base = 16;
        p += 2;
      } else {
        base = 8;
        ++p;
      }
    }
    uint64_t value = 0;  // wraps on overflow
    while (p < text_.size()) {
      const int digit = hexValue(text_[p]);
      if (digit < 0 || static_cast<unsigned>(digit) >= base) {
        break;
      }
      value = value * base + static_cast<unsigned>(digit);
      ++p;
    }
    pos_ = p;
    return JVariant(name, static_cast<int64_t>(negative ? 0 - value : value));
  }

  std::string_view text_;
  size_t pos_ = 0;
};

}  // namespace

size_t JParams::parse(std::string_view text) {
  text = text.substr(0, text.find('\0'));
  size_t pos = 0;
  while (pos < text.size() && isBlank(text[pos])) {
    ++pos;
  }
  if (pos == text.size() || text[pos] == ')') {
    return pos;
  }
  if (entries_.empty()) {
    // Nothing to keep unchanged but emptiness: values go in as they come.
    try {
      return ListParser(text).parse(
          pos, [this](JVariant&& value) { add(std::move(value)); });
    } catch (...) {
      entries_.clear();
      throw;
    }
  }
  std::vector<JVariant> values;
  const size_t end = ListParser(text).parse(
      pos, [&values](JVariant&& value) { values.push_back(std::move(value)); });
  for (auto& value : values) {
    add(std::move(value));
  }
  return end;
}

}  // namespace zq
