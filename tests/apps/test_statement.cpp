// The console host's statement parser: what each form reads as, what each
// fault is reported as and where, and completion. Splitting a one-shot text
// is the host's test.
#include <gtest/gtest.h>

#include "zqctl/cli.h"
#include "zqctl/statement.h"

namespace zq::zqctl {
namespace {

using Kind = Statement::Kind;

// Each form once, then each fault with the column it is reported at.
TEST(Statement, ParsesEachFormAndSaysWhatIsWrongAndWhere) {
  const struct {
    const char* line;
    ParseResult expected;
  } kCases[] = {
      {"# only a comment", Statement{}},
      {"Port = -5 # negative", Statement{Kind::kPut, "Port", {-5}, 0}},
      {"Server", Statement{Kind::kCall, "Server", {}, 0}},
      {R"(SetNetSource "udp" "127.0.0.1" 5000)",
       Statement{Kind::kCall, "SetNetSource", {"udp", "127.0.0.1", 5000}, 0}},
      {R"(SetParams "C:\\a \"b\"#;\n\t\x41\x7f")",
       Statement{Kind::kCall, "SetParams", {"C:\\a \"b\"#;\n\tA\x7f"}, 0}},
      {"SetParams\t\"x\"\r", Statement{Kind::kCall, "SetParams", {"x"}, 0}},
      {"Port = 0xFFFFFFFF", Statement{Kind::kPut, "Port", {-1}, 0}},
      {"Port = -2147483648", Statement{Kind::kPut, "Port", {INT32_MIN}, 0}},
      {"wait 86400", Statement{Kind::kWait, "", {}, 86400}},
      {"  help  ", Statement{Kind::kHelp, "", {}, 0}},
      {"help setNetSource # one", Statement{Kind::kHelp, "setNetSource", {}, 0}},
      {"help = 5", Statement{Kind::kPut, "help", {5}, 0}},
      {"= 5", ParseError{1, "expected a member name"}},
      {"Ser-ver", ParseError{4, "unexpected '-' after the name"}},
      {"Port =", ParseError{7, "expected a value after '='"}},
      {"Port = 1 2", ParseError{10, "'=' takes exactly one value"}},
      {R"(SetParams "abc)", ParseError{11, "unterminated text"}},
      {R"(SetParams "a\qb")", ParseError{13, "unknown escape \\q in a text"}},
      {R"(SetParams "\x4")", ParseError{12, "\\x takes two hexadecimal digits"}},
      {R"(SetParams "a"b)", ParseError{14, "expected a blank after the closing quote"}},
      {"Port = 2147483648", ParseError{8, "the integer 2147483648 does not fit in 32 bits"}},
      {"Port = 0x100000000", ParseError{8, "the integer 0x100000000 does not fit in 32 bits"}},
      {"Port = 12ab", ParseError{8, "expected a number or a quoted text, not '12ab'"}},
      {"Port = -0x10", ParseError{8, "expected a number or a quoted text, not '-0x10'"}},
      {"wait", ParseError{5, "wait takes a number of seconds (2.5, say)"}},
      {"wait 1 2", ParseError{8, "wait takes one number of seconds"}},
      {"wait 86400.5", ParseError{6, "wait takes at most 86400 seconds"}},
      {"help 5", ParseError{6, "help takes a member name"}},
      {"help Port Server", ParseError{11, "help takes one member name"}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(parseStatement(c.line), c.expected);
  }
}

// Tab at the prompt: names at a statement's start or after help, matched
// without regard to case, each once, with the text they share first.
TEST(Statement, CompletionOffersNamesWhereANameGoes) {
  const std::vector<std::string> members = {"Server", "Server", "Port", "SetNetSource",
                                            "SetFileSource"};
  const std::vector<std::string> events = {"LinkUp", "LinkDown"};
  using V = std::vector<std::string>;
  const struct {
    const char* line;
    V expected;
  } kCases[] = {
      {"", {"", "Server", "Port", "SetNetSource", "SetFileSource", "help", "wait"}},
      {"se", {"Se", "Server", "SetNetSource", "SetFileSource"}},
      {"setn", {"SetNetSource", "SetNetSource"}},
      {"  \tPo", {"Port", "Port"}},
      {"help li", {"Link", "LinkUp", "LinkDown"}},
      {"x", {}},
      {"Port = Se", {}},
      {"SetNetSource \"u", {}},
      {"help Server Po", {}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(completionMatches(c.line, members, events), c.expected);
  }
}

}  // namespace
}  // namespace zq::zqctl
