// JVariant: the value types, the conversions between them with their mismatch
// errors, the text of one value and of a chain, and the length bound.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include "rpc/rpc_error.h"
#include "rpc/variant.h"

namespace zq {
namespace {

using namespace std::string_view_literals;

JVariant blob(std::string_view name, std::initializer_list<uint8_t> bytes) {
  return JVariant(name, std::data(bytes), bytes.size());
}

// Runs `convert` and returns the mismatch it throws as (message, wanted, actual).
template <typename F>
std::string mismatch(F convert) {
  try {
    convert();
  } catch (const JRPCTypeMismatchError& e) {
    EXPECT_EQ(e.kind(), JRPCError::kTypeMismatch);
    return e.message();
  }
  return "no error";
}

// ---- construction ---------------------------------------------------------

TEST(VariantConstruction, EachConstructorSetsItsTypeCode) {
  EXPECT_EQ(JVariant().type(), 0);
  EXPECT_EQ(blob("b", {1}).type(), 1);
  EXPECT_EQ(JVariant("b", true).type(), 2);
  EXPECT_EQ(JVariant("i", int64_t{1}).type(), 3);
  EXPECT_EQ(JVariant("i", int32_t{1}).type(), 3);
  EXPECT_EQ(JVariant("d", 1.0).type(), 4);
  EXPECT_EQ(JVariant("s", "text").type(), 5);
  EXPECT_EQ(JVariant("s", std::string("text")).type(), 5);
  EXPECT_EQ(JVariant("s", std::string_view("text")).type(), 5);
}

TEST(VariantConstruction, Int32IsSignExtended) {
  const JVariant v("n", int32_t{-2});
  EXPECT_EQ(v.asInt64(), -2);
  EXPECT_EQ(JVariant("n", std::numeric_limits<int32_t>::min()).asInt64(), -2147483648LL);
}

TEST(VariantConstruction, NameAndStringStopAtTheFirstNul) {
  const JVariant v("na\0me"sv, "ab\0cd"sv);
  EXPECT_EQ(v.name(), "na");
  EXPECT_EQ(v.asString(), "ab");
}

TEST(VariantConstruction, StringsKeepHighBytes) {
  const std::string text = "\x80\xFF\xC3\xA9";
  EXPECT_EQ(JVariant("s", text).asString(), text);
}

TEST(VariantConstruction, BlobIsACopyOfTheBytes) {
  uint8_t bytes[] = {0x00, 0x7F, 0xFF};
  JVariant v("b", bytes, sizeof bytes);
  bytes[0] = 0x55;
  EXPECT_EQ(v.asBinary(), (std::vector<uint8_t>{0x00, 0x7F, 0xFF}));
  EXPECT_TRUE(JVariant("b", static_cast<const uint8_t*>(nullptr), 0).asBinary().empty());
}

TEST(VariantConstruction, CopyDuplicatesValueAndKeepsTheSameNext) {
  JVariant tail("t", int64_t{1});
  JVariant head("h", "value", &tail);
  JVariant copy = head;
  EXPECT_EQ(copy.next(), &tail);
  EXPECT_EQ(copy.name(), "h");
  head = JVariant("x", false);
  EXPECT_EQ(copy.asString(), "value");
}

// ---- conversions ----------------------------------------------------------

TEST(VariantToBool, FromEachType) {
  EXPECT_TRUE(JVariant("b", true).asBool());
  EXPECT_FALSE(JVariant("b", false).asBool());
  EXPECT_TRUE(JVariant("i", int64_t{-1}).asBool());
  EXPECT_FALSE(JVariant("i", int64_t{0}).asBool());
  EXPECT_TRUE(JVariant("d", 0.25).asBool());
  EXPECT_FALSE(JVariant("d", 0.0).asBool());
  EXPECT_FALSE(JVariant("d", -0.0).asBool());
  EXPECT_EQ(mismatch([] { blob("x", {1}).asBool(); }),
            "TypeMismatch for parameter 'x' : wanted '2', actual '1'");
  EXPECT_EQ(mismatch([] { JVariant().asBool(); }),
            "TypeMismatch for parameter '' : wanted '2', actual '0'");
}

TEST(VariantToBool, FromTheListedWordsOnly) {
  for (const char* t : {"true", "True", "TRUE", "on", "On", "ON", "1"}) {
    EXPECT_TRUE(JVariant("s", t).asBool()) << t;
  }
  for (const char* f : {"false", "False", "FALSE", "off", "Off", "OFF", "0"}) {
    EXPECT_FALSE(JVariant("s", f).asBool()) << f;
  }
  for (const char* other : {"", "yes", "tRUE", "true ", " on", "01", "2", "oN"}) {
    EXPECT_EQ(mismatch([other] { JVariant("s", other).asBool(); }),
              "TypeMismatch for parameter 's' : wanted '2', actual '5'")
        << other;
  }
}

TEST(VariantToInt, FromBooleanIntegerAndDouble) {
  EXPECT_EQ(JVariant("b", true).asInt32(), 1);
  EXPECT_EQ(JVariant("b", false).asInt64(), 0);
  // asInt32 keeps the low 32 bits.
  EXPECT_EQ(JVariant("i", int64_t{0x100000005}).asInt32(), 5);
  EXPECT_EQ(JVariant("i", int64_t{0xFFFFFFFF}).asInt32(), -1);
  EXPECT_EQ(JVariant("i", int64_t{0x100000005}).asInt64(), 0x100000005);
  // Doubles are truncated toward zero.
  EXPECT_EQ(JVariant("d", 2.9).asInt32(), 2);
  EXPECT_EQ(JVariant("d", -2.9).asInt32(), -2);
  EXPECT_EQ(JVariant("d", -3.99).asInt64(), -3);
  EXPECT_EQ(JVariant("d", 2147483647.9).asInt32(), 2147483647);
  EXPECT_EQ(JVariant("d", -2147483648.9).asInt32(), std::numeric_limits<int32_t>::min());
  EXPECT_EQ(JVariant("d", -9223372036854775808.0).asInt64(), std::numeric_limits<int64_t>::min());
}

TEST(VariantToInt, DoubleOutOfRangeGivesTheMinimum) {
  const int32_t min32 = std::numeric_limits<int32_t>::min();
  const int64_t min64 = std::numeric_limits<int64_t>::min();
  EXPECT_EQ(JVariant("d", 2147483648.0).asInt32(), min32);
  EXPECT_EQ(JVariant("d", -1e10).asInt32(), min32);
  EXPECT_EQ(JVariant("d", std::nan("")).asInt32(), min32);
  EXPECT_EQ(JVariant("d", 9223372036854775808.0).asInt64(), min64);
  EXPECT_EQ(JVariant("d", -HUGE_VAL).asInt64(), min64);
  EXPECT_EQ(JVariant("d", std::nan("")).asInt64(), min64);
}

TEST(VariantToInt, FromStringAsScanfReadsADecimal) {
  EXPECT_EQ(JVariant("s", "42").asInt32(), 42);
  EXPECT_EQ(JVariant("s", " \t\n-7xyz").asInt32(), -7);
  EXPECT_EQ(JVariant("s", "+8").asInt64(), 8);
  EXPECT_EQ(JVariant("s", "0x10").asInt32(), 0);  // decimal only: "0" then "x10"
  EXPECT_EQ(JVariant("s", "9223372036854775807").asInt64(), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(JVariant("s", "-9223372036854775808").asInt64(), std::numeric_limits<int64_t>::min());
  EXPECT_EQ(JVariant("s", "4294967297").asInt32(), 1);  // wraps
  for (const char* bad : {"", " ", "abc", "-", "+ 1", "x1"}) {
    EXPECT_EQ(mismatch([bad] { JVariant("x", bad).asInt32(); }),
              "TypeMismatch for parameter 'x' : wanted '3', actual '5'")
        << bad;
    EXPECT_EQ(mismatch([bad] { JVariant("x", bad).asInt64(); }),
              "TypeMismatch for parameter 'x' : wanted '3', actual '5'")
        << bad;
  }
}

TEST(VariantToInt, BlobAndNoneMismatch) {
  EXPECT_EQ(mismatch([] { blob("k", {}).asInt32(); }),
            "TypeMismatch for parameter 'k' : wanted '3', actual '1'");
  EXPECT_EQ(mismatch([] { JVariant().asInt64(); }),
            "TypeMismatch for parameter '' : wanted '3', actual '0'");
}

TEST(VariantToDouble, FromEachType) {
  EXPECT_EQ(JVariant("b", true).asDouble(), 1.0);
  EXPECT_EQ(JVariant("b", false).asDouble(), 0.0);
  EXPECT_EQ(JVariant("i", int64_t{-3}).asDouble(), -3.0);
  EXPECT_EQ(JVariant("d", 0.1).asDouble(), 0.1);
  EXPECT_EQ(JVariant("s", " 1.5e3x").asDouble(), 1500.0);
  EXPECT_EQ(JVariant("s", ".5").asDouble(), 0.5);
  EXPECT_EQ(JVariant("s", "7").asDouble(), 7.0);
  EXPECT_EQ(mismatch([] { JVariant("x", "abc").asDouble(); }),
            "TypeMismatch for parameter 'x' : wanted '4', actual '5'");
  EXPECT_EQ(mismatch([] { JVariant("x", "").asDouble(); }),
            "TypeMismatch for parameter 'x' : wanted '4', actual '5'");
  EXPECT_EQ(mismatch([] { blob("x", {1}).asDouble(); }),
            "TypeMismatch for parameter 'x' : wanted '4', actual '1'");
  EXPECT_EQ(mismatch([] { JVariant().asDouble(); }),
            "TypeMismatch for parameter '' : wanted '4', actual '0'");
}

TEST(VariantToString, FromEachType) {
  EXPECT_EQ(JVariant("b", true).asString(), "true");
  EXPECT_EQ(JVariant("b", false).asString(), "false");
  EXPECT_EQ(JVariant("i", std::numeric_limits<int64_t>::min()).asString(), "-9223372036854775808");
  EXPECT_EQ(JVariant("d", 2.0).asString(), "2");
  EXPECT_EQ(JVariant("d", 1e-5).asString(), "1e-05");
  EXPECT_EQ(JVariant("d", 123456789.0).asString(), "1.23457e+08");
  EXPECT_EQ(JVariant("s", "as is").asString(), "as is");
  std::string out = "old";
  JVariant("i", int64_t{12}).asString(out);
  EXPECT_EQ(out, "12");
  EXPECT_EQ(mismatch([] { blob("x", {1}).asString(); }),
            "TypeMismatch for parameter 'x' : wanted '5', actual '1'");
  EXPECT_EQ(mismatch([] { JVariant().asString(); }),
            "TypeMismatch for parameter '' : wanted '5', actual '0'");
}

TEST(VariantToString, DoubleTextIsPrintfG) {
  // The writer does not go through printf (locale), so check it against it.
  const double values[] = {
      0.0,      -0.0,      1.0,     -1.5,     0.1,     1e-5,     1e-4,     123456.0,
      1234567., 1e100,     -1e-300, 4.9e-324, 1.0 / 3, 99999.95, 999999.5, 1.7976931348623157e308,
      HUGE_VAL, -HUGE_VAL, 5e-7,    2.5};
  for (double d : values) {
    char expected[64];
    std::snprintf(expected, sizeof expected, "%g", d);
    EXPECT_EQ(JVariant("d", d).asString(), expected);
  }
}

TEST(VariantToBinary, OnlyFromBlob) {
  EXPECT_EQ(blob("b", {0x0A, 0xFF}).asBinary(), (std::vector<uint8_t>{0x0A, 0xFF}));
  EXPECT_EQ(mismatch([] { JVariant("x", "0AFF").asBinary(); }),
            "TypeMismatch for parameter 'x' : wanted '1', actual '5'");
  EXPECT_EQ(mismatch([] { JVariant("x", true).asBinary(); }),
            "TypeMismatch for parameter 'x' : wanted '1', actual '2'");
  EXPECT_EQ(mismatch([] { JVariant("x", int64_t{1}).asBinary(); }),
            "TypeMismatch for parameter 'x' : wanted '1', actual '3'");
  EXPECT_EQ(mismatch([] { JVariant("x", 1.0).asBinary(); }),
            "TypeMismatch for parameter 'x' : wanted '1', actual '4'");
}

// ---- text -----------------------------------------------------------------

TEST(VariantText, EachType) {
  EXPECT_EQ(blob("b", {0x0A, 0xFF}).toString(), "b=[0AFF]");
  EXPECT_EQ(blob("b", {}).toString(), "b=[]");
  EXPECT_EQ(JVariant("t", true).toString(), "t=true");
  EXPECT_EQ(JVariant("f", false).toString(), "f=false");
  EXPECT_EQ(JVariant("i", int64_t{-42}).toString(), "i=-42");
  EXPECT_EQ(JVariant("d", 2.0).toString(), "d=2");
  EXPECT_EQ(JVariant("d", 0.5).toString(), "d=0.5");
  EXPECT_EQ(JVariant("s", "out1").toString(), "s=\"out1\"");
  EXPECT_EQ(JVariant("s", "").toString(), "s=\"\"");
  EXPECT_EQ(JVariant().toString(), "");
}

TEST(VariantText, StringEscapes) {
  EXPECT_EQ(JVariant("s", "\t\"\\").toString(), R"(s="\t\"\\")");
  EXPECT_EQ(JVariant("s", R"(C:\audio\a.mp3)").toString(), R"(s="C:\\audio\\a.mp3")");
  EXPECT_EQ(JVariant("s", "two\nwords\r").toString(), R"(s="two\nwords\r")");
  EXPECT_EQ(JVariant("s", "\x1B\x01\x1F").toString(), R"(s="\x1B\x01\x1F")");
  // Single quotes, DEL and bytes 0x80-0xFF are not escaped.
  EXPECT_EQ(JVariant("s", "'\x7F\x80\xFF").toString(), "s=\"'\x7F\x80\xFF\"");
}

TEST(VariantText, ChainIsJoinedByCommaBlank) {
  JVariant c("c", "x");
  JVariant none;
  none.setNext(&c);
  JVariant b("b", int64_t{2}, &none);
  JVariant a("a", int64_t{1}, &b);
  EXPECT_EQ(a.toString(), R"(a=1, b=2, , c="x")");
  EXPECT_EQ(b.toString(), R"(b=2, , c="x")");

  char buffer[128];
  std::memset(buffer, '#', sizeof buffer);
  const size_t n = a.write(buffer);
  EXPECT_EQ(std::string(buffer, n), R"(a=1, b=2, , c="x")");
  EXPECT_EQ(buffer[n], '#');  // no NUL written
}

TEST(VariantTextLength, FollowsTheCountingRule) {
  EXPECT_EQ(JVariant().textLength(), 1u);
  EXPECT_EQ(JVariant("bb", true).textLength(), 2u + 1 + 1 + 4);
  EXPECT_EQ(JVariant("bb", false).textLength(), 2u + 1 + 1 + 5);
  EXPECT_EQ(JVariant("n", int64_t{1}).textLength(), 1u + 1 + 1 + 20);
  EXPECT_EQ(JVariant("d", 1.0).textLength(), 1u + 1 + 1 + 32);
  EXPECT_EQ(blob("b", {1, 2, 3}).textLength(), 1u + 1 + 1 + 8);
  // "a", tab, "b", 0x01: 2 quotes + 1 + 4 + 1 + 4.
  EXPECT_EQ(JVariant("s", "a\tb\x01").textLength(), 1u + 1 + 1 + 12);
  JVariant tail("t", true);
  JVariant head("n", int64_t{1}, &tail);
  EXPECT_EQ(head.textLength(), 23u + 2 + 7);
}

TEST(VariantTextLength, BoundsTheTextOfExtremeValues) {
  std::string controls;
  for (int c = 1; c < 0x20; ++c) {
    controls.push_back(static_cast<char>(c));
  }
  controls += "\"\\";
  std::vector<uint8_t> bytes(300, 0xAB);
  JVariant values[] = {
      JVariant("i", std::numeric_limits<int64_t>::min()),
      JVariant("d", -1.2345678e-308),
      JVariant("d", -HUGE_VAL),
      JVariant("d", -std::nan("")),
      JVariant("s", controls),
      JVariant("b", bytes.data(), bytes.size()),
      JVariant("f", false),
  };
  for (size_t i = 0; i + 1 < std::size(values); ++i) {
    values[i].setNext(&values[i + 1]);
  }
  for (const JVariant& v : values) {
    std::string text(v.textLength() + 1, '\0');
    EXPECT_LE(v.write(text.data()), v.textLength()) << v.name();
  }
}

}  // namespace
}  // namespace zq
