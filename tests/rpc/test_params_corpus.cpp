// Values (JVariant) and lists (JParams): text, conversions, parsing; the RPC
// errors; serialisation, also from threads; the fuzzer's corpus replayed.
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <set>
#include <typeinfo>

#include "base/format.h"
#include "params_property.h"
#include "rpc/params.h"
#include "rpc/rpc_client_test_support.h"
#include "rpc/serialisation.h"

namespace zq {
namespace {

using namespace std::string_view_literals;
using test::thrownText;

// Each value as "<type code>:<its text>", in list order.
std::string typed(const JParams& p) {
  std::string out;
  for (const JVariant& v : p) {
    out += (out.empty() ? "" : ", ") + std::to_string(v.type()) + ":" + v.toString();
  }
  return out;
}

const uint8_t kBytes[] = {0x0A, 0xFF};

TEST(ParamsList, NameOrderTextBoundAndAbsentNames) {
  JParams p;
  for (const char* name :
       {"\xC3\xA9", "ab", "a_b", "a[0]", "a.x", "a", "B", "\x80", "Z", "a0", ""}) {
    p.set(name, int64_t{1});
  }
  EXPECT_EQ(p.toString(';'),
            "=1; B=1; Z=1; a=1; a.x=1; a0=1; a[0]=1; a_b=1; ab=1; \x80=1; \xC3\xA9=1");
  p.clear();
  p.set("x", int64_t{1});
  p.set("x", "now a string");  // replaces
  p.set("f", kBytes, sizeof kBytes);
  p.set("d", -2.2250738585072014e-308);
  JVariant other("other", true);
  p.add(std::make_unique<JVariant>("a", 0.5, &other));  // its next is cleared
  EXPECT_EQ(p.size(), 4u);
  std::vector<char> buffer(p.textLength() + 1, '#');
  const size_t n = p.write(buffer.data(), ',');
  EXPECT_EQ(buffer[n], '#');
  EXPECT_EQ(std::string(buffer.data(), n), R"(a=0.5, d=-2.22507e-308, f=[0AFF], x="now a string")");
  int32_t out = 5000;
  EXPECT_EQ(p.find("ab", false), nullptr);
  EXPECT_FALSE(p.get("absent", out, false));
  EXPECT_EQ(thrownText<JRPCMissingParameterError>([&] { p.get("name", out, true); }),
            "RPCMissingParameter: 'name'");
  EXPECT_EQ(out, 5000);
}

TEST(VariantText, TypeTextAndLength) {
  // The type, the text and its length: 1, + name and "=", + the value's own count.
  const std::tuple<JVariant, int32_t, std::string_view, size_t> cases[] = {
      {JVariant(), 0, "", 1},
      {JVariant("b", static_cast<const uint8_t*>(nullptr), 0), 1, "b=[]", 5},
      {JVariant("t", true), 2, "t=true", 7},
      {JVariant("n", std::numeric_limits<int32_t>::min()), 3, "n=-2147483648", 23},
      {JVariant("na\0me"sv, "ab\0cd"sv), 5, "na=\"ab\"", 8},  // both stop at a NUL
      {JVariant("s", std::string_view("\x1B\x1F\t")), 5, R"(s="\x1B\x1F\t")", 17},
      // Single quotes, DEL and bytes 0x80-0xFF are written as they are.
      {JVariant("s", std::string("'\x7F\x80\xFF")), 5, "s=\"'\x7F\x80\xFF\"", 9},
  };
  for (const auto& [value, type, text, length] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(value.type(), type);
    EXPECT_EQ(value.toString(), text);
    EXPECT_EQ(value.textLength(), length);
  }
}

// The value read from a list with each typed get: bool|int32|int64|double|
// string|blob, "!" for each that throws a mismatch (its message is checked).
std::string conversions(const JVariant& v) {
  JParams p;
  p.add(std::make_unique<JVariant>(v));
  const std::string& name = v.name();
  std::string out;
  auto add = [&](int32_t wanted, auto convert) {
    try {
      out += convert() + "|";
    } catch (const JRPCTypeMismatchError& e) {
      EXPECT_EQ(e.message(), jformat("TypeMismatch for parameter '%s' : wanted '%d', actual '%d'",
                                     name.c_str(), wanted, v.type()));
      out += "!|";
    }
  };
  bool b = false;
  int32_t i32 = 0;
  int64_t i64 = 0;
  double d = 0;
  std::string s = "old";
  std::vector<uint8_t> bytes;
  add(2, [&] { return std::string(p.get(name, b, true) && b ? "true" : "false"); });
  add(3, [&] { return std::to_string(p.get(name, i32, true) ? i32 : 0); });
  add(3, [&] { return std::to_string(p.get(name, i64, true) ? i64 : 0); });
  add(4, [&] { return jformat("%g", p.get(name, d, true) ? d : 0); });
  add(5, [&] { return p.get(name, s, true) ? s : "?"; });
  add(1, [&] {
    return p.get(name, bytes, true) ? JVariant("", bytes.data(), bytes.size()).toString() : "?";
  });
  out.pop_back();
  return out;
}

TEST(VariantConversion, EachTypeToEachOther) {
  // clang-format off
  const std::pair<JVariant, std::string_view> cases[] = {
      {JVariant(), "!|!|!|!|!|!"}, {JVariant("k", kBytes, 2), "!|!|!|!|!|=[0AFF]"},
      {JVariant("b", true), "true|1|1|1|true|!"},
      // Integers: asInt32 keeps the low 32 bits.
      {JVariant("i", int64_t{0x100000005}), "true|5|4294967301|4.29497e+09|4294967301|!"},
      // Doubles: truncated toward zero, out of range the minimum; written as printf's "%g".
      {JVariant("d", -3.99), "true|-3|-3|-3.99|-3.99|!"},
      {JVariant("d", 2147483647.9), "true|2147483647|2147483647|2.14748e+09|2.14748e+09|!"},
      {JVariant("d", 2147483648.0), "true|-2147483648|2147483648|2.14748e+09|2.14748e+09|!"},
      {JVariant("d", std::nan("")), "true|-2147483648|-9223372036854775808|nan|nan|!"},
      // Strings: integers as scanf reads a decimal (wrapping), doubles as strtod reads them.
      {JVariant("s", " \t\n-7xyz"), "!|-7|-7|-7| \t\n-7xyz|!"},
      {JVariant("s", "0x10"), "!|0|0|16|0x10|!"}, {JVariant("s", ".5"), "!|!|!|0.5|.5|!"},
      {JVariant("s", "+ 1"), "!|!|!|!|+ 1|!"},  // no digit: a mismatch
  };
  // clang-format on
  for (const auto& [value, expected] : cases) {
    SCOPED_TRACE(value.toString());
    EXPECT_EQ(conversions(value), expected);
  }
  // Strings read as booleans: the listed words only.
  std::string read;
  for (const char* word : {"True", "ON", "1", "OFF", "0", "yes", "tRUE", " on"}) {
    read += conversions(JVariant("s", word)).front();
  }
  EXPECT_EQ(read, "tttff!!!");
}

// A copy keeps its class; a message asked for into a small buffer is cut and terminated.
TEST(RPCError, KindMessageCopyAndTruncationOfEachClass) {
  const struct {
    const JRPCError& error;
    int32_t kind;
    std::string_view message;
  } cases[] = {
      {JRPCMissingParameterError("port"), 0, "RPCMissingParameter: 'port'"},
      {JRPCTypeMismatchError("x", 3, 5), 1,
       "TypeMismatch for parameter 'x' : wanted '3', actual '5'"},
      {JRPCProtocolError("unknown function", "getParamz", -4), 2,
       "ProtocolError: unknown function 'getParamz'"},
      {JRPCProtocolError(), 2, "ProtocolError: Unknown error '?\?\?'"},
      {JRPCConnectionLostError(), 3, "Connection Lost"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    EXPECT_EQ(c.error.kind(), c.kind);
    EXPECT_EQ(c.error.message(), c.message);
    const std::unique_ptr<JError> copy = c.error.clone();
    EXPECT_EQ(typeid(*copy.get()), typeid(c.error));
    EXPECT_EQ(copy->message(), c.message);
  }
  EXPECT_EQ(dynamic_cast<const JRPCProtocolError&>(*cases[2].error.clone()).code(), -4);
  char buffer[12];
  cases[2].error.getMessage(buffer, sizeof buffer);  // a terminated prefix
  EXPECT_STREQ(buffer, "ProtocolErr");
}

// ---- parsing --------------------------------------------------------------

constexpr int64_t kAll = -1;  // the whole text

TEST(ParamsParse, ExtentAndValuesOrTheErrorWithItsTextContextAndCode) {
  const char* const kErrors[] = {
      "parameter name syntax error", "missing parameter name",
      "unterminated quoted string",  "unexpected character in binary block",
      "unterminated binary block",   "cannot determine parameter type"};
  // The text, what parse returns (an error: its code), the values (an error: its context).
  const std::tuple<std::string_view, int64_t, std::string_view> cases[] = {
      // clang-format off
      {"", 0, ""}, {" \t)", 2, ""}, {"a=1,b=2) trailing", 7, "3:a=1, 3:b=2"},
      {" a = 1 , b = \"x\" \t", kAll, "3:a=1, 5:b=\"x\""},
      {"a=1 b=2", 4, "3:a=1"}, {"a=1\0,b=2"sv, 3, "3:a=1"},
      {"a.b[0]_Z9=1, \x80\xFF=2, 1f=3", kAll, "3:1f=3, 3:a.b[0]_Z9=1, 3:\x80\xFF=2"},
      {"v=true,w=false", kAll, "2:v=true, 2:w=false"},
      {"a=[0AFF],b=[0a:ff],c=[\t0a  .ff ]", kAll, "1:a=[0AFF], 1:b=[0AFF], 1:c=[0AFF]"},
      {"a=[abc], b=[a b], c=[]", kAll, "1:a=[AB0C], 1:b=[0A0B], 1:c=[]"},
      {"a=-0x10, b=0X1f, c=010, d=0777, e=0, f=+5, g=123456789012", kAll,
       "3:a=-16, 3:b=31, 3:c=8, 3:d=511, 3:e=0, 3:f=5, 3:g=123456789012"},
      {"a=-9223372036854775808, b=18446744073709551617", kAll,
       "3:a=-9223372036854775808, 3:b=1"},
      {"v=08", 3, "3:v=0"}, {"x=12ab", 4, "3:x=12"},
      {"a=1e3, c=-.5, d=+2.5E-1, f=1e999", kAll, "4:a=1000, 4:c=-0.5, 4:d=0.25, 4:f=inf"},
      // Reading goes on where the conversion of the double stopped.
      {"x=1.5e, y=1", 5, "4:x=1.5"},
      // Escapes: \x takes 1-2 hex digits, \0 up to 3 more octal; a NUL cuts.
      {R"(a="\r\n\t\"\'\\", c="\q\1\ ", d="raw)" "\r\xFF\x80\"", kAll,
       R"(5:a="\r\n\t\"'\\", 5:c="\\q\\1\\ ", 5:d="raw\r)" "\xFF\x80\""},
      {R"(a="\x41", c="\x414", d="\x4g", f="\xg")", kAll,
       R"(5:a="A", 5:c="A4", 5:d="\x04g", 5:f="\\xg")"},
      {R"(a="\0101", c="\01012", e="\0777")", kAll, R"(5:a="A", 5:c="A2", 5:e=")" "\xFF" R"(")"},
      {R"(a="ab\0cd", d="ab\0400", e="ab\00400", g=1)", kAll,
       R"(5:a="ab", 5:d="ab", 5:e="ab 0", 3:g=1)"},
      {"a=1,)", -5, "a=1,)"}, {"a-b=1", -5, "a-b=1"}, {"a=1, =2", -6, "???"},
      {"s=\"abc", -7, "s"}, {"s=\"ab\0cd\""sv, -7, "s"}, {"k=[0g]", -8, "k"}, {"k=[0a", -9, "k"},
      {"x=yes", -10, "x"}, {"x=", -10, "x"},
      // clang-format on
  };
  for (const auto& [text, extent, values] : cases) {
    SCOPED_TRACE(text);
    JParams p;
    try {
      EXPECT_EQ(p.parse(text), extent == kAll ? text.size() : static_cast<size_t>(extent));
      EXPECT_EQ(typed(p), values);
    } catch (const JRPCProtocolError& e) {
      ASSERT_EQ(e.code(), extent);
      EXPECT_EQ(e.message(), "ProtocolError: " + std::string(kErrors[-5 - extent]) + " '" +
                                 std::string(values) + "'");
      EXPECT_TRUE(p.empty());
    }
  }
}

// ---- serialisation ----------------------------------------------------------

// An object read and written through members(each), each(name, member, required).
template <typename Self>
struct Listed : JRPCObject {
  using JRPCObject::JRPCObject;
  void serialise(JRPCSerialisation& out) const override {
    const_cast<Self*>(static_cast<const Self*>(this))
        ->members([&](const char* name, const auto& v, bool) { out.serialise(name, v); });
  }
  void deserialise(JRPCDeserialisation& in) override {
    static_cast<Self*>(this)->members(
        [&](const char* name, auto& v, bool required) { in.deserialise(name, v, required); });
  }
};

struct Inner : Listed<Inner> {
  explicit Inner(int32_t v = 0, std::string l = "", int listSize = 0)
      : Listed("ns::sub::Inner<a::b<c>>"), value(v), label(std::move(l)) {
    for (int k = 0; k < listSize; ++k) {
      list.push_back(jformat("e%d", k));
    }
  }
  int32_t value;
  std::string label;
  jrpc_vector<std::string> list;
  void members(const auto& each) {
    each("value", value, true);
    each("label", label, false);
    each("list", list, false);
  }
};

struct Desc : Listed<Desc> {
  Desc() : Listed("SharedMike::MikeDesc") {}
  bool live = false;
  uint32_t rate = 0;
  std::string device;
  Inner inner;
  jrpc_map<std::string, int32_t> ports;
  jrpc_vector<Inner> inners;
  void members(const auto& each) {
    each("live", live, true);
    each("rate", rate, true);
    each("device", device, true);
    each("inner", inner, true);
    each("ports", ports, true);
    each("inners", inners, false);
  }
};

TEST(Serialisation, NamesAndValuesOfMembersNestedObjectsMapsAndVectorsBothWaysEachNameOnce) {
  const std::string text =
      "device=\"wavein_mic_in\", "
      "jrpc_map_ports__map0_first=\"ipm\", jrpc_map_ports__map0_second=5002, "
      "jrpc_map_ports__map1_first=\"udp\", jrpc_map_ports__map1_second=5000, "
      "jrpc_map_ports__size=2, jrpc_vector_inners__ns00sub00Inner_vec0__label=\"\", "
      "jrpc_vector_inners__ns00sub00Inner_vec0__value=9, live=true, "
      "ns00sub00Inner_inner__jrpc_vector_list__vec0=\"e0\", "
      "ns00sub00Inner_inner__jrpc_vector_list__vec1=\"e1\", "
      "ns00sub00Inner_inner__label=\"in\", ns00sub00Inner_inner__value=7, rate=4294967295";
  JParams p;
  p.parse(text);
  Desc back;
  JRPCDeserialisation(p).deserialise(back);
  JRPCSerialisation out;
  out.serialise(back);
  EXPECT_EQ(out.takeParams().toString(), text);
  // A name written twice fails at every level.
  JRPCSerialisation s;
  s.serialise("m", Inner(1));
  EXPECT_EQ(thrownText<JSerialisationError>([&] { s.serialise("m", Inner(2)); }),
            "value 'ns00sub00Inner_m__value' written twice");
  s.serialise("y", true);  // the prefix is restored
  EXPECT_THROW(s.serialise("y", false), JSerialisationError);
  EXPECT_EQ(s.takeParams().toString(),
            "ns00sub00Inner_m__label=\"\", ns00sub00Inner_m__value=1, y=true");
  EXPECT_TRUE(s.takeParams().empty());
}

TEST(Deserialisation, ConvertsOrFailsAndSkipsAbsentOptionalValues) {
  JParams p;
  p.parse(R"(n="42", neg=-1, jrpc_vector_v__vec0="a", jrpc_vector_v__vec1="b", )"
          R"(jrpc_vector_v__vec3="d", ns00sub00Inne_o__value=1, ns00sub00Inner_p__value=6, )"
          R"(ns00sub00Inner_x__label="")");
  JRPCDeserialisation d(p);
  int32_t n = 0;
  double gain = 1.5;
  EXPECT_TRUE(d.deserialise("n", n, true));
  EXPECT_EQ(n, 42);
  EXPECT_FALSE(d.deserialise("gain", gain, false));
  EXPECT_EQ(gain, 1.5);
  uint32_t u = 0;
  EXPECT_EQ(thrownText<JDeserialisationError>([&] { d.deserialise("neg", u, false); }),
            "cannot deserialise");
  // A vector stops at the first missing index.
  jrpc_vector<std::string> v;
  EXPECT_TRUE(d.deserialise("v", v, true));
  EXPECT_EQ(static_cast<const std::vector<std::string>&>(v), (std::vector<std::string>{"a", "b"}));
  // An optional object is read only when one of its values is there (another
  // type's prefix is a near miss); reading "o" would fail for want of "value".
  Inner o;
  EXPECT_FALSE(d.deserialise("o", o, false));
  EXPECT_TRUE(d.deserialise("p", o, false));
  EXPECT_EQ(o.value, 6);
  // A failure inside a nested object restores the prefix.
  EXPECT_EQ(thrownText<JDeserialisationError>([&] { d.deserialise("x", o, true); }),
            "cannot deserialise");
  int64_t i = 0;
  EXPECT_TRUE(d.deserialise("neg", i, true));
  EXPECT_EQ(i, -1);
}

// Nested objects written from threads keep their prefixes (several values per
// object: a window for another thread's), and read from threads their values.
TEST(SerialisationConcurrency, NestedObjectsWrittenAndReadFromThreads) {
  constexpr int kThreads = 4, kObjects = 300;
  const auto inner = [](int i) { return Inner(i, jformat("l%d", i), 4); };
  const auto onThreads = [](const std::function<void(int)>& body) {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back(body, t);
    }
  };
  JRPCSerialisation s, alone;
  onThreads([&](int t) {
    for (int i = t * kObjects; i < (t + 1) * kObjects; ++i) {
      s.serialise(jformat("m%d", i), inner(i));
    }
  });
  for (int i = 0; i < kThreads * kObjects; ++i) {
    alone.serialise(jformat("m%d", i), inner(i));
  }
  const JParams p = s.takeParams();
  EXPECT_EQ(p.toString(), alone.takeParams().toString());
  JRPCDeserialisation d(p);
  std::atomic<int> wrong{0};
  onThreads([&](int) {
    for (int i = 0; i < kThreads * kObjects; i += 3) {
      Inner in;
      d.deserialise(jformat("m%d", i), in, true);
      wrong += in.value != i || in.label != jformat("l%d", i) || in.list.size() != 4;
    }
  });
  EXPECT_EQ(wrong.load(), 0);
}

// ---- the fuzzer's corpus --------------------------------------------------------

TEST(ParamsCorpus, EveryInputKeepsThePropertyAndAllTypesAndErrorsAreReached) {
  std::vector<std::string> inputs = {
      "", "a=1", "a=-0.", "a=1e999", "x=yes", "a=\"\\0\"", "a=[abc], b=2.5, c=true, d=\"\\x01\""};
  // The property seeds the list with a=1: a failed parse that set "a" first must undo it.
  inputs.insert(inputs.end(), {"a=2, y=\"unterminated", "a=2, y=[1", "a=2,", "a=2, y=maybe"});
  const size_t handWritten = inputs.size();
  for (const auto& entry : std::filesystem::directory_iterator(ZQ_PARAMS_CORPUS_DIR)) {
    std::ifstream in(entry.path(), std::ios::binary);
    inputs.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  ASSERT_GE(inputs.size(), handWritten + 20) << "corpus missing at " << ZQ_PARAMS_CORPUS_DIR;
  std::set<int32_t> types, codes;
  for (size_t i = 0; i < inputs.size(); ++i) {
    const std::string& input = inputs[i];
    EXPECT_EQ(
        fuzz::checkParamsProperty(reinterpret_cast<const uint8_t*>(input.data()), input.size()), "")
        << input;
    if (i < handWritten) {
      continue;  // the corpus alone must reach every type and error
    }
    JParams p;
    try {
      p.parse(input);
    } catch (const JRPCProtocolError& e) {
      codes.insert(e.code());
    }
    for (const JVariant& v : p) {
      types.insert(v.type());
    }
  }
  EXPECT_EQ(types, (std::set<int32_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ(codes, (std::set<int32_t>{-10, -9, -8, -7, -6, -5}));
}

}  // namespace
}  // namespace zq
