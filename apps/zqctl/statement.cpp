// The statement parser and the quoting that is its inverse.
#include "zqctl/statement.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <optional>

namespace zq::zqctl {
namespace {

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r';
}
bool isNameStart(char c) {
  return std::isalpha(static_cast<unsigned char>(c)) != 0 || c == '_';
}
bool isNameChar(char c) {
  return isNameStart(c) || std::isdigit(static_cast<unsigned char>(c)) != 0;
}
int hexValue(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

class Reader {
 public:
  explicit Reader(std::string_view line) : s_(line) {}

  void skipBlanks() {
    while (pos_ < s_.size() && isBlank(s_[pos_])) {
      ++pos_;
    }
  }
  // End of the statement: the line's end or a comment.
  bool atEnd() const { return pos_ >= s_.size() || s_[pos_] == '#'; }
  char peek() const { return pos_ < s_.size() ? s_[pos_] : '\0'; }
  size_t column() const { return pos_ + 1; }
  ParseError error(std::string message, size_t column = 0) const {
    return ParseError{column == 0 ? pos_ + 1 : column, std::move(message)};
  }

  void advance() { ++pos_; }
  // The characters up to a blank, a comment or the end.
  std::string_view word() {
    const size_t start = pos_;
    while (pos_ < s_.size() && !isBlank(s_[pos_]) && s_[pos_] != '#') {
      ++pos_;
    }
    return s_.substr(start, pos_ - start);
  }

  std::string name() {
    const size_t start = pos_;
    while (pos_ < s_.size() && isNameChar(s_[pos_])) {
      ++pos_;
    }
    return std::string(s_.substr(start, pos_ - start));
  }

  // A value ends at a blank, a comment or the end of the line.
  std::variant<Value, ParseError> value() {
    if (peek() == '"') {
      return text();
    }
    const size_t column = pos_ + 1;
    return integer(word(), column);
  }

  std::variant<Value, ParseError> text() {
    const size_t open = pos_ + 1;
    std::string out;
    for (++pos_; pos_ < s_.size(); ++pos_) {
      const char c = s_[pos_];
      if (c == '"') {
        ++pos_;
        if (!atEnd() && !isBlank(peek())) {
          return error("expected a blank after the closing quote");
        }
        return Value{std::move(out)};
      }
      if (c != '\\') {
        out += c;
        continue;
      }
      if (++pos_ >= s_.size()) {
        break;
      }
      switch (s_[pos_]) {
        case '\\':
          out += '\\';
          break;
        case '"':
          out += '"';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'x': {
          const int hi = pos_ + 1 < s_.size() ? hexValue(s_[pos_ + 1]) : -1;
          const int lo = pos_ + 2 < s_.size() ? hexValue(s_[pos_ + 2]) : -1;
          if (hi < 0 || lo < 0) {
            return error("\\x takes two hexadecimal digits", pos_);
          }
          out += static_cast<char>(hi * 16 + lo);
          pos_ += 2;
          break;
        }
        default:
          return error(std::string("unknown escape \\") + s_[pos_] + " in a text", pos_);
      }
    }
    return error("unterminated text", open);
  }

 private:
  static std::variant<Value, ParseError> integer(std::string_view word, size_t column) {
    const bool negative = !word.empty() && word.front() == '-';
    std::string_view digits = negative ? word.substr(1) : word;
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
      base = 16;
      digits.remove_prefix(2);
    }
    if (digits.empty() || (base == 16 && negative)) {
      return ParseError{column,
                        "expected a number or a quoted text, not '" + std::string(word) + "'"};
    }
    uint64_t magnitude = 0;
    const auto [end, ec] =
        std::from_chars(digits.data(), digits.data() + digits.size(), magnitude, base);
    if (ec == std::errc() && end != digits.data() + digits.size()) {
      return ParseError{column,
                        "expected a number or a quoted text, not '" + std::string(word) + "'"};
    }
    if (ec != std::errc() && ec != std::errc::result_out_of_range) {
      return ParseError{column,
                        "expected a number or a quoted text, not '" + std::string(word) + "'"};
    }
    // Hexadecimal writes the 32-bit pattern (0xFFFFFFFF is -1); decimal the value.
    const uint64_t limit = base == 16 ? 0xFFFFFFFFu : (negative ? 0x80000000u : 0x7FFFFFFFu);
    if (ec == std::errc::result_out_of_range || magnitude > limit) {
      return ParseError{column, "the integer " + std::string(word) + " does not fit in 32 bits"};
    }
    const auto bits = static_cast<uint32_t>(negative ? 0 - magnitude : magnitude);
    return Value{static_cast<int32_t>(bits)};
  }

  std::string_view s_;
  size_t pos_ = 0;
};

std::optional<double> seconds(std::string_view word) {
  double value = 0;
  const auto [end, ec] =
      std::from_chars(word.data(), word.data() + word.size(), value, std::chars_format::fixed);
  if (ec != std::errc() || end != word.data() + word.size() || !std::isfinite(value) || value < 0) {
    return std::nullopt;
  }
  return value;
}

}  // namespace

ParseResult parseStatement(std::string_view line) {
  Reader r(line);
  r.skipBlanks();
  Statement st;
  if (r.atEnd()) {
    return st;
  }
  if (!isNameStart(r.peek())) {
    return r.error("expected a member name");
  }
  st.name = r.name();
  if (!r.atEnd() && !isBlank(r.peek()) && r.peek() != '=') {
    return r.error(std::string("unexpected '") + r.peek() + "' after the name");
  }
  r.skipBlanks();
  if (st.name == "wait") {
    const size_t column = r.column();
    const std::optional<double> s = seconds(r.word());
    if (!s) {
      return ParseError{column, "wait takes a number of seconds (2.5, say)"};
    }
    // A day is more than any script means, and keeps the deadline computable.
    if (*s > 86400) {
      return ParseError{column, "wait takes at most 86400 seconds"};
    }
    r.skipBlanks();
    if (!r.atEnd()) {
      return r.error("wait takes one number of seconds");
    }
    st.kind = Statement::Kind::kWait;
    st.name.clear();
    st.seconds = *s;
    return st;
  }
  if (st.name == "help" && r.peek() != '=') {
    st.kind = Statement::Kind::kHelp;
    st.name.clear();
    if (r.atEnd()) {
      return st;
    }
    if (!isNameStart(r.peek())) {
      return r.error("help takes a member name");
    }
    st.name = r.name();
    r.skipBlanks();
    if (!r.atEnd()) {
      return r.error("help takes one member name");
    }
    return st;
  }
  st.kind = Statement::Kind::kCall;
  if (r.peek() == '=') {
    st.kind = Statement::Kind::kPut;
    r.advance();
    r.skipBlanks();
    if (r.atEnd()) {
      return r.error("expected a value after '='");
    }
  }
  while (!r.atEnd()) {
    std::variant<Value, ParseError> v = r.value();
    if (auto* e = std::get_if<ParseError>(&v)) {
      return *e;
    }
    st.args.push_back(std::move(std::get<Value>(v)));
    r.skipBlanks();
    if (st.kind == Statement::Kind::kPut && !r.atEnd()) {
      return r.error("'=' takes exactly one value");
    }
  }
  return st;
}

std::vector<std::string> splitStatements(std::string_view text) {
  std::vector<std::string> out(1);
  bool inText = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inText && c == '\\' && i + 1 < text.size()) {
      out.back() += c;
      out.back() += text[++i];
      continue;
    }
    if (c == '"') {
      inText = !inText;
    }
    if (!inText && (c == ';' || c == '\n')) {
      out.emplace_back();
      continue;
    }
    out.back() += c;
  }
  return out;
}

std::string quotedText(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
          char hex[5];
          std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(c));
          out += hex;
        } else {
          out += c;
        }
    }
  }
  return out + '"';
}

}  // namespace zq::zqctl
