// The script language of the console host: one statement a line, read by a
// pure function so that the runner never sees text and the parser never
// sees the control.
//
//   Server = "127.0.0.1"          property put
//   Server                        property get, or a method without arguments
//   SetNetSource "udp" "h" 5000   call with arguments separated by blanks
//   wait 2.5                      pump events for that many seconds
//   help, help Server             list the members, or the one named
//   # comment                     (also after a statement)
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace zq::zqctl {

/// An argument: a 32-bit integer (decimal, or 0x hexadecimal for the bit
/// pattern) or a text.
using Value = std::variant<int32_t, std::string>;

struct Statement {
  enum class Kind {
    kEmpty,  // blank or comment only
    kCall,   // name with arguments: a method, or a property get without any
    kPut,    // name = value
    kWait,   // wait seconds
    kHelp,   // help, or help NAME: `name` is the member asked about, or empty
  };
  Kind kind = Kind::kEmpty;
  std::string name;
  std::vector<Value> args;  // the put's value is its one argument
  double seconds = 0;

  friend bool operator==(const Statement&, const Statement&) = default;
};

struct ParseError {
  size_t column = 0;  // 1-based, where the fault was seen
  std::string message;

  friend bool operator==(const ParseError&, const ParseError&) = default;
};

using ParseResult = std::variant<Statement, ParseError>;

/// Reads one statement; `line` holds no line break.
ParseResult parseStatement(std::string_view line);

/// Cuts a one-shot text into statements at ';' and line breaks outside
/// double quotes (a quote's escapes are honoured, so "a\";b" is one text).
std::vector<std::string> splitStatements(std::string_view text);

/// The text as a quoted literal that parseStatement reads back to the same
/// text: quotes and backslashes escaped, control characters as \n, \r, \t
/// or \xHH.
std::string quotedText(std::string_view text);

}  // namespace zq::zqctl
