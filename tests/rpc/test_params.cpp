// JParams as a list: name order, replacement, look-ups and typed gets with
// their errors, moves, and the writer.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "rpc/params.h"
#include "rpc/rpc_error.h"

namespace zq {
namespace {

std::vector<std::string> names(const JParams& params) {
  std::vector<std::string> out;
  for (const JVariant& v : params) {
    out.push_back(v.name());
  }
  return out;
}

// ---- order and replacement ------------------------------------------------

TEST(ParamsOrder, WrittenInNameOrderNotInsertionOrder) {
  JParams p;
  p.set("notification", true);
  p.set("audioOutputName", "out1");
  p.set("audioOutputTcpPort", int64_t{5000});
  p.set("audioOutputChannel", int64_t{2});
  EXPECT_EQ(p.toString(','),
            "audioOutputChannel=2, audioOutputName=\"out1\", audioOutputTcpPort=5000, "
            "notification=true");
}

TEST(ParamsOrder, TwoEntriesAddedBThenAAreWrittenAFirst) {
  JParams p;
  p.set("b", int64_t{2});
  p.set("a", int64_t{1});
  EXPECT_EQ(p.toString(), "a=1, b=2");
}

TEST(ParamsOrder, ComparesUnsignedBytesAndAPrefixSortsFirst) {
  JParams p;
  for (const char* name :
       {"\xC3\xA9t\xC3\xA9", "ab", "a_b", "a[0]", "a.x", "a", "B", "\x80", "Z", "a0", ""}) {
    p.set(name, true);
  }
  // Upper case before lower case, "." (0x2E) < digits < "[" (0x5B) < "_"
  // (0x5F) < letters, and bytes 0x80-0xFF after all of ASCII.
  EXPECT_EQ(names(p), (std::vector<std::string>{"", "B", "Z", "a", "a.x", "a0", "a[0]", "a_b", "ab",
                                                "\x80", "\xC3\xA9t\xC3\xA9"}));
}

TEST(ParamsOrder, AddingAnExistingNameReplacesTheValue) {
  JParams p;
  p.set("x", int64_t{1});
  p.set("x", "now a string");
  EXPECT_EQ(p.size(), 1u);
  EXPECT_EQ(p.toString(), "x=\"now a string\"");
}

TEST(ParamsOrder, AddTakesOwnershipAndClearsNext) {
  JVariant other("other", true);
  auto v = std::make_unique<JVariant>("v", int64_t{3}, &other);
  JVariant* raw = v.get();
  JParams p;
  p.add(std::move(v));
  EXPECT_EQ(p.find("v", false), raw);
  EXPECT_EQ(raw->next(), nullptr);
  EXPECT_EQ(p.toString(), "v=3");
  p.add(nullptr);
  EXPECT_EQ(p.size(), 1u);
}

TEST(ParamsOrder, SetStoresEachType) {
  JParams p;
  const uint8_t bytes[] = {0x0A, 0xFF};
  p.set("a", true);
  p.set("b", int32_t{-5});
  p.set("c", int64_t{1} << 40);
  p.set("d", 0.5);
  p.set("e", std::string("str"));
  p.set("f", bytes, sizeof bytes);
  p.set("g", "literal");
  EXPECT_EQ(p.find("b", true)->type(), JVariant::kInteger);
  EXPECT_EQ(p.find("g", true)->type(), JVariant::kString);
  EXPECT_EQ(p.toString(),
            R"(a=true, b=-5, c=1099511627776, d=0.5, e="str", f=[0AFF], g="literal")");
}

// ---- look-ups -------------------------------------------------------------

TEST(ParamsLookup, AbsentNameNotRequiredFindsNothing) {
  JParams p;
  p.set("here", int64_t{1});
  EXPECT_EQ(p.find("absent", false), nullptr);
  EXPECT_EQ(p.find("her", false), nullptr);
  int32_t out = 77;
  EXPECT_FALSE(p.get("absent", out, false));
  EXPECT_EQ(out, 77);
}

TEST(ParamsLookup, AbsentNameRequiredThrowsMissingParameter) {
  JParams p;
  try {
    p.find("name", true);
    FAIL() << "no error";
  } catch (const JRPCMissingParameterError& e) {
    EXPECT_EQ(e.message(), "RPCMissingParameter: 'name'");
    EXPECT_EQ(e.parameterName(), "name");
    EXPECT_EQ(e.kind(), JRPCError::kMissingParameter);
  }
  std::string s = "untouched";
  EXPECT_THROW(p.get("x", s, true), JRPCMissingParameterError);
  EXPECT_EQ(s, "untouched");
}

TEST(ParamsLookup, GetConvertsToEachTargetType) {
  JParams p;
  const uint8_t bytes[] = {1, 2};
  p.set("flag", "ON");
  p.set("port", "5000");
  p.set("big", int64_t{0x100000002});
  p.set("two", 2.0);
  p.set("blob", bytes, sizeof bytes);
  bool flag = false;
  int32_t port = 0;
  int32_t big32 = 0;
  int64_t big64 = 0;
  double two = 0;
  std::string text;
  std::vector<uint8_t> blob;
  EXPECT_TRUE(p.get("flag", flag, true));
  EXPECT_TRUE(p.get("port", port, true));
  EXPECT_TRUE(p.get("big", big32, true));
  EXPECT_TRUE(p.get("big", big64, true));
  EXPECT_TRUE(p.get("two", two, true));
  EXPECT_TRUE(p.get("two", text, true));
  EXPECT_TRUE(p.get("blob", blob, true));
  EXPECT_TRUE(flag);
  EXPECT_EQ(port, 5000);
  EXPECT_EQ(big32, 2);
  EXPECT_EQ(big64, 0x100000002);
  EXPECT_EQ(two, 2.0);
  EXPECT_EQ(text, "2");
  EXPECT_EQ(blob, (std::vector<uint8_t>{1, 2}));
}

TEST(ParamsLookup, GetThatCannotConvertThrowsMismatchAndLeavesOut) {
  JParams p;
  p.set("x", "abc");
  int64_t out = 5;
  try {
    p.get("x", out, false);
    FAIL() << "no error";
  } catch (const JRPCTypeMismatchError& e) {
    EXPECT_EQ(e.message(), "TypeMismatch for parameter 'x' : wanted '3', actual '5'");
    EXPECT_EQ(e.wanted(), 3);
    EXPECT_EQ(e.actual(), 5);
  }
  EXPECT_EQ(out, 5);
  std::vector<uint8_t> blob;
  EXPECT_THROW(p.get("x", blob, false), JRPCTypeMismatchError);
}

// ---- moves ----------------------------------------------------------------

TEST(ParamsMove, ConstructionTakesTheValuesAndTheSourceFindsNothing) {
  JParams source;
  source.set("a", int64_t{1});
  source.set("b", "two");
  const JVariant* a = source.find("a", true);
  JParams target(std::move(source));
  EXPECT_EQ(target.find("a", true), a);  // the same object, not a copy
  EXPECT_EQ(target.toString(), "a=1, b=\"two\"");
  // The moved-from list keeps its names without values.
  EXPECT_EQ(source.find("a", false), nullptr);  // NOLINT(bugprone-use-after-move)
  EXPECT_THROW(source.find("b", true), JRPCMissingParameterError);
  EXPECT_EQ(source.size(), 0u);
  EXPECT_EQ(source.toString(), "");
  source.clear();
  source.set("a", int64_t{9});
  EXPECT_EQ(source.toString(), "a=9");
}

TEST(ParamsMove, AssignmentDropsTheTargetsOwnEntriesFirst) {
  JParams target;
  target.set("old", true);
  target.set("a", "replaced");
  JParams source;
  source.set("a", int64_t{1});
  target = std::move(source);
  EXPECT_EQ(target.toString(), "a=1");
  EXPECT_EQ(source.find("a", false), nullptr);  // NOLINT(bugprone-use-after-move)
}

TEST(ParamsMove, SelfAssignmentKeepsTheValues) {
  JParams p;
  p.set("a", int64_t{1});
  JParams& alias = p;
  p = std::move(alias);
  EXPECT_EQ(p.toString(), "a=1");
}

TEST(ParamsMove, MovingAMovedFromListMovesNothing) {
  JParams first;
  first.set("a", int64_t{1});
  JParams second(std::move(first));
  JParams third(std::move(first));  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(third.size(), 0u);
  EXPECT_EQ(third.find("a", false), nullptr);
  EXPECT_EQ(second.toString(), "a=1");
}

// ---- writing --------------------------------------------------------------

TEST(ParamsWrite, SeparatorIsFollowedByABlank) {
  JParams p;
  p.set("a", int64_t{1});
  p.set("b", "x");
  EXPECT_EQ(p.toString(), "a=1, b=\"x\"");
  EXPECT_EQ(p.toString(';'), "a=1; b=\"x\"");
}

TEST(ParamsWrite, EmptyListWritesNothing) {
  JParams p;
  EXPECT_EQ(p.toString(), "");
  EXPECT_EQ(p.textLength(), 0u);
  char c = '#';
  EXPECT_EQ(p.write(&c, ','), 0u);
  EXPECT_EQ(c, '#');
}

TEST(ParamsWrite, WriteReturnsTheLengthAndFitsTheBound) {
  JParams p;
  p.set("s", "\x01\x02\"\\\t");
  p.set("i", std::numeric_limits<int64_t>::min());
  p.set("d", -2.2250738585072014e-308);
  p.set("b", false);
  std::vector<char> buffer(p.textLength() + 1, '#');
  const size_t n = p.write(buffer.data(), ',');
  EXPECT_LE(n, p.textLength());
  EXPECT_EQ(buffer[n], '#');
  EXPECT_EQ(std::string(buffer.data(), n),
            R"(b=false, d=-2.22507e-308, i=-9223372036854775808, s="\x01\x02\"\\\t")");
}

TEST(ParamsWrite, ClearEmptiesTheList) {
  JParams p;
  p.set("a", int64_t{1});
  p.clear();
  EXPECT_TRUE(p.empty());
  EXPECT_EQ(p.find("a", false), nullptr);
}

}  // namespace
}  // namespace zq
