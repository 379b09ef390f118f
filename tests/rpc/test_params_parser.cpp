// The parameter text parser: values of every type, escapes, numbers in every
// base, the return value, each error with its message, context and code, and
// round trips through the writer.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "rpc/params.h"
#include "rpc/rpc_error.h"

namespace zq {
namespace {

using namespace std::string_view_literals;

struct ParseError {
  std::string message;
  std::string context;
  int32_t code = 0;
};

ParseError parseError(std::string_view text) {
  JParams p;
  try {
    p.parse(text);
  } catch (const JRPCProtocolError& e) {
    EXPECT_EQ(e.kind(), JRPCError::kProtocolError);
    return {e.protocolMessage(), e.context(), e.code()};
  }
  return {"no error", "", 0};
}

// Parses `text`, which must succeed, and returns the single value `name`.
JVariant parsedValue(std::string_view text, std::string_view name = "v") {
  JParams p;
  p.parse(text);
  const JVariant* v = p.find(name, true);
  return *v;
}

std::string parsedString(std::string_view text) {
  return parsedValue(text).asString();
}

// ---- the return value -----------------------------------------------------

TEST(ParamsParseExtent, EmptyBlankOrClosedTextAddsNothing) {
  JParams p;
  EXPECT_EQ(p.parse(""), 0u);
  EXPECT_EQ(p.parse("   "), 3u);
  EXPECT_EQ(p.parse(" \t)"), 2u);
  EXPECT_EQ(p.parse(")a=1"), 0u);
  EXPECT_TRUE(p.empty());
}

TEST(ParamsParseExtent, ReturnsWhereTheListEnded) {
  JParams p;
  EXPECT_EQ(p.parse("a=1"), 3u);
  EXPECT_EQ(p.parse("a=1  )"), 5u);
  EXPECT_EQ(p.parse("a=1,b=2) trailing"), 7u);
  EXPECT_EQ(p.parse(" a = 1 , b = \"x\" \t"), 18u);
}

TEST(ParamsParseExtent, AValueNotFollowedByACommaEndsTheList) {
  JParams p;
  EXPECT_EQ(p.parse("a=1 b=2"), 4u);
  EXPECT_EQ(p.toString(), "a=1");
  // Carriage return and line feed are not blanks.
  EXPECT_EQ(p.parse("c=3\r\n"), 3u);
  EXPECT_EQ(p.toString(), "a=1, c=3");
}

TEST(ParamsParseExtent, TextNeedNotBeTerminatedAndEndsAtANul) {
  const std::string buffer = "v=12345, w=\"abc\"";
  JParams p;
  EXPECT_EQ(p.parse(std::string_view(buffer).substr(0, 4)), 4u);
  EXPECT_EQ(p.find("v", true)->asInt64(), 12);
  EXPECT_EQ(parseError(std::string_view(buffer).substr(0, 15)).code, -7);

  JParams q;
  EXPECT_EQ(q.parse("a=1\0,b=2"sv), 3u);
  EXPECT_EQ(q.toString(), "a=1");
  EXPECT_EQ(parseError("s=\"ab\0cd\""sv).code, -7);
}

// ---- values ---------------------------------------------------------------

TEST(ParamsParseValues, TheWorkedExample) {
  JParams p;
  const std::string_view text =
      "  equipmentName = \"hall\" ,audioOutputChannel=0x2,notification=false";
  EXPECT_EQ(p.parse(text), text.size());
  EXPECT_EQ(p.find("equipmentName", true)->asString(), "hall");
  EXPECT_EQ(p.find("equipmentName", true)->type(), JVariant::kString);
  EXPECT_EQ(p.find("audioOutputChannel", true)->asInt64(), 2);
  EXPECT_EQ(p.find("audioOutputChannel", true)->type(), JVariant::kInteger);
  EXPECT_FALSE(p.find("notification", true)->asBool());
  EXPECT_EQ(p.find("notification", true)->type(), JVariant::kBoolean);
}

TEST(ParamsParseValues, NameCharacters) {
  JParams p;
  p.parse("a.b[0]_Z9=1, \x80\xFF=2, 1f=3");
  EXPECT_EQ(p.toString(), "1f=3, a.b[0]_Z9=1, \x80\xFF=2");
}

TEST(ParamsParseValues, ALaterDuplicateReplacesAnEarlierOne) {
  JParams p;
  p.set("a", "before");
  p.parse("a=1, a=2");
  EXPECT_EQ(p.toString(), "a=2");
}

TEST(ParamsParseValues, BooleansAreLowerCaseAndConsumeOnlyTheWord) {
  EXPECT_TRUE(parsedValue("v=true").asBool());
  EXPECT_FALSE(parsedValue("v=false").asBool());
  JParams p;
  EXPECT_EQ(p.parse("v=truex"), 6u);
  EXPECT_EQ(p.find("v", true)->type(), JVariant::kBoolean);
}

TEST(ParamsParseValues, BlobForms) {
  const std::vector<uint8_t> expected = {0x0A, 0xFF};
  for (const char* text :
       {"v=[0AFF]", "v=[0a:ff]", "v=[0A FF]", "v=[0a,ff]", "v=[0a.ff]", "v=[\t0a  :ff ]"}) {
    EXPECT_EQ(parsedValue(text).asBinary(), expected) << text;
  }
  EXPECT_EQ(parsedValue("v=[abc]").asBinary(), (std::vector<uint8_t>{0xAB, 0x0C}));
  EXPECT_EQ(parsedValue("v=[a b]").asBinary(), (std::vector<uint8_t>{0x0A, 0x0B}));
  EXPECT_EQ(parsedValue("v=[]").asBinary(), std::vector<uint8_t>{});
  EXPECT_EQ(parsedValue("v=[]").type(), JVariant::kBlob);
}

TEST(ParamsParseStrings, Escapes) {
  EXPECT_EQ(parsedString(R"(v="\r\n\t\"\'\\")"), "\r\n\t\"'\\");
  EXPECT_EQ(parsedString(R"(v="C:\\audio\\a.mp3")"), R"(C:\audio\a.mp3)");
  EXPECT_EQ(parsedString("v=\"raw\r\n\xFF\x80\""), "raw\r\n\xFF\x80");
}

TEST(ParamsParseStrings, HexEscapeTakesOneOrTwoDigits) {
  EXPECT_EQ(parsedString(R"(v="\x41")"), "A");
  EXPECT_EQ(parsedString(R"(v="\x6a")"), "j");
  EXPECT_EQ(parsedString(R"(v="\x414")"), "A4");
  EXPECT_EQ(parsedString(R"(v="\x4g")"), "\x04g");
  EXPECT_EQ(parsedString(R"(v="\xFf")"), "\xFF");
  // Without a digit the backslash stays.
  EXPECT_EQ(parsedString(R"(v="\xg")"), R"(\xg)");
  EXPECT_EQ(parsedString(R"(v="\x")"), R"(\x)");
}

TEST(ParamsParseStrings, OctalEscapeTakesUpToThreeDigitsAfterTheZero) {
  EXPECT_EQ(parsedString(R"(v="\0101")"), "A");
  EXPECT_EQ(parsedString(R"(v="\0101x")"), "Ax");
  EXPECT_EQ(parsedString(R"(v="\01012")"), "A2");
  EXPECT_EQ(parsedString(R"(v="\012")"), "\n");
  EXPECT_EQ(parsedString(R"(v="\0777")"), "\xFF");  // 511 keeps its low byte
  EXPECT_EQ(parsedString(R"(v="\0018")"),
            "\x01"
            "8");
}

TEST(ParamsParseStrings, ANulByteCutsTheStoredValue) {
  EXPECT_EQ(parsedString(R"(v="ab\0cd")"), "ab");
  EXPECT_EQ(parsedString(R"(v="ab\x00cd")"), "ab");
  EXPECT_EQ(parsedString(R"(v="\0")"), "");
  EXPECT_EQ(parsedString(R"(v="ab\0400")"), "ab");     // 0400 keeps its low byte: a NUL
  EXPECT_EQ(parsedString(R"(v="ab\00400")"), "ab 0");  // 040 is a blank; the last 0 is text
  // The rest of the string is still consumed.
  JParams p;
  EXPECT_EQ(p.parse(R"(v="a\0\"b", w=1)"), 15u);
  EXPECT_EQ(p.toString(), R"(v="a", w=1)");
}

TEST(ParamsParseStrings, OtherEscapesKeepTheBackslash) {
  EXPECT_EQ(parsedString(R"(v="\q\1\ ")"), R"(\q\1\ )");
  EXPECT_EQ(parsedString(R"(v="a\")"
                         "\"\""),
            "a\"");
}

TEST(ParamsParseNumbers, IntegersInEachBase) {
  EXPECT_EQ(parsedValue("v=-0x10").asInt64(), -16);
  EXPECT_EQ(parsedValue("v=0X1f").asInt64(), 31);
  EXPECT_EQ(parsedValue("v=010").asInt64(), 8);
  EXPECT_EQ(parsedValue("v=0777").asInt64(), 511);
  EXPECT_EQ(parsedValue("v=0").asInt64(), 0);
  EXPECT_EQ(parsedValue("v=+5").asInt64(), 5);
  EXPECT_EQ(parsedValue("v=123456789012").asInt64(), 123456789012);
  EXPECT_EQ(parsedValue("v=-9223372036854775808").asInt64(), std::numeric_limits<int64_t>::min());
  EXPECT_EQ(parsedValue("v=-0x10").type(), JVariant::kInteger);
}

TEST(ParamsParseNumbers, DigitsOutsideTheBaseEndTheNumber) {
  JParams p;
  EXPECT_EQ(p.parse("v=08"), 3u);  // "0" in base 8, then "8" ends the list
  EXPECT_EQ(p.find("v", true)->asInt64(), 0);
  EXPECT_EQ(p.parse("w=0x"), 4u);  // "0x" without a digit is 0
  EXPECT_EQ(p.find("w", true)->asInt64(), 0);
  EXPECT_EQ(p.parse("x=12ab"), 4u);
  EXPECT_EQ(p.find("x", true)->asInt64(), 12);
}

TEST(ParamsParseNumbers, ASignWithoutDigitsIsZero) {
  EXPECT_EQ(parsedValue("v=+").asInt64(), 0);
  EXPECT_EQ(parsedValue("v=+").type(), JVariant::kInteger);
  JParams p;
  EXPECT_EQ(p.parse("v=--5"), 3u);
  EXPECT_EQ(p.find("v", true)->asInt64(), 0);
}

TEST(ParamsParseNumbers, OverflowWraps) {
  EXPECT_EQ(parsedValue("v=18446744073709551617").asInt64(), 1);
  EXPECT_EQ(parsedValue("v=0xFFFFFFFFFFFFFFFF").asInt64(), -1);
  EXPECT_EQ(parsedValue("v=9223372036854775808").asInt64(), std::numeric_limits<int64_t>::min());
}

TEST(ParamsParseNumbers, DoublesAreReadFromTheValueStart) {
  EXPECT_EQ(parsedValue("v=1e3").asDouble(), 1000.0);
  EXPECT_EQ(parsedValue("v=1e3").type(), JVariant::kDouble);
  EXPECT_EQ(parsedValue("v=1.").asDouble(), 1.0);
  EXPECT_EQ(parsedValue("v=1.").type(), JVariant::kDouble);
  EXPECT_EQ(parsedValue("v=-.5").asDouble(), -0.5);
  EXPECT_EQ(parsedValue("v=+2.5E-1").asDouble(), 0.25);
  EXPECT_EQ(parsedValue("v=012.5").asDouble(), 12.5);  // decimal, not octal
  EXPECT_TRUE(std::isinf(parsedValue("v=1e999").asDouble()));
}

TEST(ParamsParseNumbers, ReadingContinuesWhereTheConversionStopped) {
  JParams p;
  // "d" and "D" select a double, but the conversion does not read them.
  EXPECT_EQ(p.parse("v=1d5"), 3u);
  EXPECT_EQ(p.find("v", true)->type(), JVariant::kDouble);
  EXPECT_EQ(p.find("v", true)->asDouble(), 1.0);
  EXPECT_EQ(p.parse("w=2D"), 3u);
  EXPECT_EQ(p.find("w", true)->asDouble(), 2.0);
  EXPECT_EQ(p.parse("x=1.5e, y=1"), 5u);
  EXPECT_EQ(p.find("y", false), nullptr);
  // A lone "." converts nothing: 0.0, and the list ends at the ".".
  EXPECT_EQ(p.parse("z=., y=1"), 2u);
  EXPECT_EQ(p.find("z", true)->type(), JVariant::kDouble);
  EXPECT_EQ(p.find("z", true)->asDouble(), 0.0);
  EXPECT_EQ(p.parse("u=+e5"), 2u);
  EXPECT_EQ(p.find("u", true)->type(), JVariant::kDouble);
}

// ---- errors ---------------------------------------------------------------

TEST(ParamsParseErrors, NameErrors) {
  ParseError e = parseError("a=1,)");
  EXPECT_EQ(e.message, "parameter name syntax error");
  EXPECT_EQ(e.context, "a=1,)");
  EXPECT_EQ(e.code, -5);

  e = parseError("=1");
  EXPECT_EQ(e.message, "missing parameter name");
  EXPECT_EQ(e.context, "???");
  EXPECT_EQ(e.code, -6);

  EXPECT_EQ(parseError("a=1,").code, -5);
  EXPECT_EQ(parseError("abc").code, -5);
  EXPECT_EQ(parseError("a-b=1").code, -5);
  EXPECT_EQ(parseError("a\r=1").code, -5);
  EXPECT_EQ(parseError("\n").code, -5);
  EXPECT_EQ(parseError("a=1, =2").code, -6);
}

TEST(ParamsParseErrors, ValueErrorsNameTheParameter) {
  ParseError e = parseError("s=\"abc");
  EXPECT_EQ(e.message, "unterminated quoted string");
  EXPECT_EQ(e.context, "s");
  EXPECT_EQ(e.code, -7);

  e = parseError("k=[0g]");
  EXPECT_EQ(e.message, "unexpected character in binary block");
  EXPECT_EQ(e.context, "k");
  EXPECT_EQ(e.code, -8);

  e = parseError("k=[0a");
  EXPECT_EQ(e.message, "unterminated binary block");
  EXPECT_EQ(e.context, "k");
  EXPECT_EQ(e.code, -9);

  e = parseError("x=yes");
  EXPECT_EQ(e.message, "cannot determine parameter type");
  EXPECT_EQ(e.context, "x");
  EXPECT_EQ(e.code, -10);
}

TEST(ParamsParseErrors, MoreValueErrors) {
  EXPECT_EQ(parseError("x=True").code, -10);
  EXPECT_EQ(parseError("x=t").code, -10);
  EXPECT_EQ(parseError("x=").code, -10);
  EXPECT_EQ(parseError("x= ").code, -10);
  EXPECT_EQ(parseError("x=inf").code, -10);
  EXPECT_EQ(parseError("x=\"a\\\"").code, -7);  // the last quote is escaped
  EXPECT_EQ(parseError("x=\"a\\").code, -7);
  EXPECT_EQ(parseError("k=[").code, -9);
  EXPECT_EQ(parseError("k=[0a)").code, -8);
}

TEST(ParamsParseErrors, TheMessageOfAnError) {
  JParams p;
  try {
    p.parse("a=1, b=[zz]");
    FAIL() << "no error";
  } catch (const JError& e) {
    EXPECT_EQ(e.message(), "ProtocolError: unexpected character in binary block 'b'");
  }
}

TEST(ParamsParseErrors, AFailedParseLeavesTheListUnchanged) {
  JParams p;
  p.set("x", int64_t{1});
  p.set("keep", "me");
  const std::string before = p.toString();
  for (const char* bad : {"x=2, y=\"unterminated", "x=2, y=[1", "x=2,", "x=2, y=maybe"}) {
    EXPECT_THROW(p.parse(bad), JRPCProtocolError) << bad;
    EXPECT_EQ(p.toString(), before) << bad;
  }
}

// ---- round trips ----------------------------------------------------------

TEST(ParamsRoundTrip, EveryTypeComesBack) {
  std::vector<uint8_t> bytes(256);
  for (size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<uint8_t>(i);
  }
  std::string allBytes;
  for (int c = 1; c < 256; ++c) {
    allBytes.push_back(static_cast<char>(c));
  }
  JParams p;
  p.set("blob", bytes.data(), bytes.size());
  p.set("empty", "");
  p.set("t", true);
  p.set("f", false);
  p.set("min", std::numeric_limits<int64_t>::min());
  p.set("max", std::numeric_limits<int64_t>::max());
  p.set("half", 0.5);
  p.set("small", -1.25e-7);
  p.set("text", allBytes);

  const std::string text = p.toString();
  JParams back;
  EXPECT_EQ(back.parse(text), text.size());
  EXPECT_EQ(back.toString(), text);
  EXPECT_EQ(back.find("blob", true)->asBinary(), bytes);
  EXPECT_EQ(back.find("text", true)->asString(), allBytes);
  EXPECT_EQ(back.find("empty", true)->asString(), "");
  EXPECT_TRUE(back.find("t", true)->asBool());
  EXPECT_FALSE(back.find("f", true)->asBool());
  EXPECT_EQ(back.find("min", true)->asInt64(), std::numeric_limits<int64_t>::min());
  EXPECT_EQ(back.find("max", true)->asInt64(), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(back.find("half", true)->asDouble(), 0.5);
  EXPECT_EQ(back.find("small", true)->asDouble(), -1.25e-7);
  EXPECT_EQ(back.find("small", true)->type(), JVariant::kDouble);
}

TEST(ParamsRoundTrip, AWholeDoubleComesBackAsAnInteger) {
  JParams p;
  p.set("d", 2.0);
  JParams back;
  back.parse(p.toString());
  EXPECT_EQ(back.find("d", true)->type(), JVariant::kInteger);
  double d = 0;
  EXPECT_TRUE(back.get("d", d, true));
  EXPECT_EQ(d, 2.0);
}

TEST(ParamsRoundTrip, DoublesKeepSixSignificantDigits) {
  JParams p;
  p.set("pi", 3.14159265358979);
  p.set("big", 1234567.0);
  JParams back;
  back.parse(p.toString());
  EXPECT_EQ(p.toString(), "big=1.23457e+06, pi=3.14159");
  EXPECT_EQ(back.find("pi", true)->asDouble(), 3.14159);
  EXPECT_EQ(back.find("big", true)->asDouble(), 1234570.0);
}

}  // namespace
}  // namespace zq
