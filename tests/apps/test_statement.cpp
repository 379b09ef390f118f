// The console host's statement parser: what each form reads as, what each
// fault is reported as and where, splitting a one-shot text, and completion.
#include <gtest/gtest.h>

#include "zqctl/cli.h"
#include "zqctl/statement.h"

namespace zq::zqctl {
namespace {

using Kind = Statement::Kind;

Statement call(std::string name, std::vector<Value> args = {}) {
  return Statement{Kind::kCall, std::move(name), std::move(args), 0};
}
Statement put(std::string name, Value v) {
  return Statement{Kind::kPut, std::move(name), {std::move(v)}, 0};
}
Statement wait(double s) {
  return Statement{Kind::kWait, "", {}, s};
}
Statement help(std::string topic) {
  return Statement{Kind::kHelp, std::move(topic), {}, 0};
}

TEST(Statement, GoodStatements) {
  const struct {
    const char* line;
    Statement expected;
  } kCases[] = {
      {"# only a comment", Statement{}},
      {R"(Server = "127.0.0.1")", put("Server", "127.0.0.1")},
      {"Port = -5 # negative", put("Port", -5)},
      {"Server", call("Server")},
      {R"(SetNetSource "udp" "127.0.0.1" 5000)", call("SetNetSource", {"udp", "127.0.0.1", 5000})},
      {R"(SetFileSource "C:\\audio\\a \"b\".mp3")",
       call("SetFileSource", {R"(C:\audio\a "b".mp3)"})},
      {R"(SetParams "a#b;c")", call("SetParams", {"a#b;c"})},
      {R"(SetParams "\n\t\x41\x7f")", call("SetParams", {"\n\tA\x7f"})},
      {"SetParams\t\"x\"\r", call("SetParams", {"x"})},
      {"Port = 0xFFFFFFFF", put("Port", -1)},
      {"Port = -2147483648", put("Port", INT32_MIN)},
      {"wait 2.5", wait(2.5)},
      {"wait 86400", wait(86400)},
      {"  help  ", help("")},
      {"help setNetSource # one", help("setNetSource")},
      {"help = 5", put("help", 5)},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.line);
    const ParseResult r = parseStatement(c.line);
    ASSERT_TRUE(std::holds_alternative<Statement>(r)) << std::get<ParseError>(r).message;
    EXPECT_EQ(std::get<Statement>(r), c.expected);
  }
}

TEST(Statement, BadStatementsSayWhatAndWhere) {
  const struct {
    const char* line;
    ParseError expected;
  } kCases[] = {
      {"= 5", {1, "expected a member name"}},
      {"Ser-ver", {4, "unexpected '-' after the name"}},
      {"Port =", {7, "expected a value after '='"}},
      {"Port = 1 2", {10, "'=' takes exactly one value"}},
      {R"(SetParams "abc)", {11, "unterminated text"}},
      {R"(SetParams "a\qb")", {13, "unknown escape \\q in a text"}},
      {R"(SetParams "\x4")", {12, "\\x takes two hexadecimal digits"}},
      {R"(SetParams "a"b)", {14, "expected a blank after the closing quote"}},
      {"Port = 2147483648", {8, "the integer 2147483648 does not fit in 32 bits"}},
      {"Port = 0x100000000", {8, "the integer 0x100000000 does not fit in 32 bits"}},
      {"Port = 12ab", {8, "expected a number or a quoted text, not '12ab'"}},
      {"Port = -0x10", {8, "expected a number or a quoted text, not '-0x10'"}},
      {"wait", {5, "wait takes a number of seconds (2.5, say)"}},
      {"wait 1 2", {8, "wait takes one number of seconds"}},
      {"wait 86400.5", {6, "wait takes at most 86400 seconds"}},
      {"help 5", {6, "help takes a member name"}},
      {"help Port Server", {11, "help takes one member name"}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.line);
    const ParseResult r = parseStatement(c.line);
    ASSERT_TRUE(std::holds_alternative<ParseError>(r));
    EXPECT_EQ(std::get<ParseError>(r), c.expected);
  }
}

TEST(Statement, SplitKeepsSeparatorsInsideTexts) {
  const struct {
    const char* text;
    std::vector<std::string> expected;
  } kCases[] = {
      {"Port = 1; Port", {"Port = 1", " Port"}},
      {R"(SetParams "x;y"; Port)", {R"(SetParams "x;y")", " Port"}},
      {R"(SetParams "q\";r"; Port)", {R"(SetParams "q\";r")", " Port"}},
      {R"(SetParams "back\\"; Port)", {R"(SetParams "back\\")", " Port"}},
      {"", {""}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(splitStatements(c.text), c.expected);
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
