// Object serialisation: the value names of members, nested objects, maps and
// vectors, the way back with its errors, and one instance shared by threads.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "base/format.h"
#include "rpc/rpc_error.h"
#include "rpc/serialisation.h"

namespace zq {
namespace {

struct Inner : JRPCObject {
  Inner() : JRPCObject("ns::Inner<int>") {}
  int32_t value = 0;
  std::string label;
  jrpc_vector<std::string> list;

  void serialise(JRPCSerialisation& out) const override {
    out.serialise("value", value);
    out.serialise("label", label);
    out.serialise("list", list);
  }
  void deserialise(JRPCDeserialisation& in) override {
    in.deserialise("value", value, true);
    in.deserialise("label", label, false);
    in.deserialise("list", list, false);
  }
  bool operator==(const Inner& o) const {
    return value == o.value && label == o.label &&
           static_cast<const std::vector<std::string>&>(list) ==
               static_cast<const std::vector<std::string>&>(o.list);
  }
};

struct Desc : JRPCObject {
  Desc() : JRPCObject("SharedMike::MikeDesc") {}
  bool live = false;
  int32_t board = 0;
  int64_t big = 0;
  uint32_t rate = 0;
  double gain = 0;
  std::string device;
  Inner inner;
  jrpc_map<std::string, int32_t> ports;
  jrpc_vector<Inner> inners;

  void serialise(JRPCSerialisation& out) const override {
    out.serialise("live", live);
    out.serialise("board", board);
    out.serialise("big", big);
    out.serialise("rate", rate);
    out.serialise("gain", gain);
    out.serialise("device", device);
    out.serialise("inner", inner);
    out.serialise("ports", ports);
    out.serialise("inners", inners);
  }
  void deserialise(JRPCDeserialisation& in) override {
    in.deserialise("live", live, true);
    in.deserialise("board", board, true);
    in.deserialise("big", big, true);
    in.deserialise("rate", rate, true);
    in.deserialise("gain", gain, true);
    in.deserialise("device", device, true);
    in.deserialise("inner", inner, true);
    in.deserialise("ports", ports, true);
    in.deserialise("inners", inners, false);
  }
};

Desc sample() {
  Desc d;
  d.live = true;
  d.board = -3;
  d.big = int64_t{1} << 40;
  d.rate = 4000000000u;
  d.gain = 0.5;
  d.device = "wavein_mic_in";
  d.inner.value = 7;
  d.inner.label = "in";
  d.inner.list = {};
  d.inner.list.push_back("a");
  d.inner.list.push_back("b");
  d.ports["udp"] = 5000;
  d.ports["ipm"] = 5002;
  Inner second;
  second.value = 9;
  d.inners.push_back(second);
  return d;
}

JParams serialised(const JRPCObject& object) {
  JRPCSerialisation s;
  s.serialise(object);
  return s.takeParams();
}

std::vector<std::string> names(const JParams& params) {
  std::vector<std::string> out;
  for (const JVariant& v : params) {
    out.push_back(v.name());
  }
  return out;
}

void expectCannotDeserialise(const std::function<void()>& f) {
  try {
    f();
    ADD_FAILURE() << "no error";
  } catch (const JDeserialisationError& e) {
    EXPECT_EQ(e.function(), "deserialise");
    EXPECT_EQ(e.message(), "cannot deserialise");
  }
}

// ---- names ----------------------------------------------------------------

TEST(SerialisationNames, MembersNestedObjectsMapsAndVectors) {
  const JParams p = serialised(sample());
  EXPECT_EQ(names(p), (std::vector<std::string>{
                          "big",
                          "board",
                          "device",
                          "gain",
                          "jrpc_map_ports__map0_first",
                          "jrpc_map_ports__map0_second",
                          "jrpc_map_ports__map1_first",
                          "jrpc_map_ports__map1_second",
                          "jrpc_map_ports__size",
                          "jrpc_vector_inners__ns00Inner_vec0__label",
                          "jrpc_vector_inners__ns00Inner_vec0__value",
                          "live",
                          "ns00Inner_inner__jrpc_vector_list__vec0",
                          "ns00Inner_inner__jrpc_vector_list__vec1",
                          "ns00Inner_inner__label",
                          "ns00Inner_inner__value",
                          "rate",
                      }));
}

TEST(SerialisationNames, ValuesAndTheirTypes) {
  const JParams p = serialised(sample());
  EXPECT_EQ(p.find("rate", true)->type(), JVariant::kInteger);
  EXPECT_EQ(p.find("rate", true)->asInt64(), 4000000000);
  EXPECT_EQ(p.find("board", true)->asInt64(), -3);
  EXPECT_EQ(p.find("live", true)->type(), JVariant::kBoolean);
  EXPECT_EQ(p.find("gain", true)->type(), JVariant::kDouble);
  // Map elements in key order.
  EXPECT_EQ(p.find("jrpc_map_ports__size", true)->asInt64(), 2);
  EXPECT_EQ(p.find("jrpc_map_ports__map0_first", true)->asString(), "ipm");
  EXPECT_EQ(p.find("jrpc_map_ports__map0_second", true)->asInt64(), 5002);
  EXPECT_EQ(p.find("jrpc_map_ports__map1_first", true)->asString(), "udp");
  EXPECT_EQ(p.find("ns00Inner_inner__jrpc_vector_list__vec1", true)->asString(), "b");
}

TEST(SerialisationNames, ATypeNameIsCutAtTheFirstAngleBracket) {
  struct Odd : JRPCObject {
    Odd() : JRPCObject("a::b::C<x::y<z>>") {}
    void serialise(JRPCSerialisation& out) const override { out.serialise("v", true); }
    void deserialise(JRPCDeserialisation&) override {}
  };
  struct Holder : JRPCObject {
    Holder() : JRPCObject("Holder") {}
    Odd odd;
    void serialise(JRPCSerialisation& out) const override { out.serialise("m", odd); }
    void deserialise(JRPCDeserialisation&) override {}
  };
  EXPECT_EQ(names(serialised(Holder())), std::vector<std::string>{"a00b00C_m__v"});
}

TEST(SerialisationNames, WritingANameTwiceFails) {
  struct Twice : JRPCObject {
    Twice() : JRPCObject("Twice") {}
    void serialise(JRPCSerialisation& out) const override {
      out.serialise("x", int32_t{1});
      out.serialise("x", int32_t{2});
    }
    void deserialise(JRPCDeserialisation&) override {}
  };
  JRPCSerialisation s;
  EXPECT_THROW(s.serialise(Twice()), JSerialisationError);
  // The instance is still usable once the values are taken.
  s.takeParams();
  s.serialise("y", true);
  EXPECT_EQ(s.takeParams().toString(), "y=true");
}

TEST(SerialisationNames, TakeParamsStartsAgainEmpty) {
  JRPCSerialisation s;
  s.serialise("a", "x");
  EXPECT_EQ(s.takeParams().toString(), "a=\"x\"");
  EXPECT_TRUE(s.takeParams().empty());
}

// ---- reading back ---------------------------------------------------------

TEST(DeserialisationValues, RoundTripRestoresEveryMember) {
  const Desc original = sample();
  const JParams p = serialised(original);
  Desc back;
  JRPCDeserialisation d(p);
  d.deserialise(back);
  EXPECT_EQ(back.live, original.live);
  EXPECT_EQ(back.board, original.board);
  EXPECT_EQ(back.big, original.big);
  EXPECT_EQ(back.rate, original.rate);
  EXPECT_EQ(back.gain, original.gain);
  EXPECT_EQ(back.device, original.device);
  EXPECT_EQ(back.inner, original.inner);
  using PortMap = std::map<std::string, int32_t>;
  EXPECT_EQ(static_cast<const PortMap&>(back.ports), static_cast<const PortMap&>(original.ports));
  ASSERT_EQ(back.inners.size(), 1u);
  EXPECT_EQ(back.inners[0], original.inners[0]);
}

TEST(DeserialisationValues, ThroughTheTextForm) {
  JParams text;
  text.parse(serialised(sample()).toString());
  Desc back;
  JRPCDeserialisation d(text);
  d.deserialise(back);
  EXPECT_EQ(back.device, "wavein_mic_in");
  EXPECT_EQ(back.ports.at("udp"), 5000);
  EXPECT_EQ(back.inner.list.size(), 2u);
}

TEST(DeserialisationValues, ValuesAreConverted) {
  JParams p;
  p.set("n", "42");
  p.set("b", "on");
  p.set("s", int64_t{5});
  JRPCDeserialisation d(p);
  int32_t n = 0;
  bool b = false;
  std::string s;
  EXPECT_TRUE(d.deserialise("n", n, true));
  EXPECT_TRUE(d.deserialise("b", b, true));
  EXPECT_TRUE(d.deserialise("s", s, true));
  EXPECT_EQ(n, 42);
  EXPECT_TRUE(b);
  EXPECT_EQ(s, "5");
}

TEST(DeserialisationValues, AbsentOptionalValueKeepsTheMember) {
  JParams p;
  JRPCDeserialisation d(p);
  double gain = 1.5;
  EXPECT_FALSE(d.deserialise("gain", gain, false));
  EXPECT_EQ(gain, 1.5);
}

TEST(DeserialisationValues, AbsentOptionalObjectIsNotRead) {
  struct Counting : JRPCObject {
    Counting() : JRPCObject("Counting") {}
    int reads = 0;
    void serialise(JRPCSerialisation&) const override {}
    void deserialise(JRPCDeserialisation&) override { ++reads; }
  };
  JParams p;
  p.set("Countin_c__x", true);  // a near miss: another type's prefix
  JRPCDeserialisation d(p);
  Counting c;
  EXPECT_FALSE(d.deserialise("c", c, false));
  EXPECT_EQ(c.reads, 0);
  p.set("Counting_c__x", true);
  EXPECT_TRUE(d.deserialise("c", c, false));
  EXPECT_EQ(c.reads, 1);
}

TEST(DeserialisationValues, VectorStopsAtTheFirstMissingIndex) {
  JParams p;
  p.set("jrpc_vector_v__vec0", "a");
  p.set("jrpc_vector_v__vec1", "b");
  p.set("jrpc_vector_v__vec3", "d");
  struct Holder : JRPCObject {
    Holder() : JRPCObject("Holder") {}
    jrpc_vector<std::string> v;
    void serialise(JRPCSerialisation& out) const override { out.serialise("v", v); }
    void deserialise(JRPCDeserialisation& in) override { in.deserialise("v", v, true); }
  } holder;
  holder.v.push_back("stale");
  JRPCDeserialisation d(p);
  d.deserialise(holder);
  EXPECT_EQ(static_cast<const std::vector<std::string>&>(holder.v),
            (std::vector<std::string>{"a", "b"}));
}

TEST(DeserialisationErrors, MissingRequiredValue) {
  JParams p = serialised(sample());
  JParams partial;
  for (const JVariant& v : p) {
    if (v.name() != "ns00Inner_inner__value") {
      partial.add(std::make_unique<JVariant>(v));
    }
  }
  JRPCDeserialisation d(partial);
  Desc back;
  expectCannotDeserialise([&] { d.deserialise(back); });
  // The prefix is restored after the failure: a top-level value reads again.
  int32_t board = 0;
  EXPECT_TRUE(d.deserialise("board", board, true));
  EXPECT_EQ(board, -3);
}

TEST(DeserialisationErrors, ValueThatDoesNotConvert) {
  JParams p;
  p.set("n", "abc");
  p.set("neg", int64_t{-1});
  p.set("huge", int64_t{1} << 32);
  p.set("blob", reinterpret_cast<const uint8_t*>("\x01"), 1);
  JRPCDeserialisation d(p);
  int64_t n = 0;
  uint32_t u = 0;
  std::string s;
  expectCannotDeserialise([&] { d.deserialise("n", n, false); });
  expectCannotDeserialise([&] { d.deserialise("neg", u, false); });
  expectCannotDeserialise([&] { d.deserialise("huge", u, false); });
  expectCannotDeserialise([&] { d.deserialise("blob", s, false); });
  expectCannotDeserialise([&] { d.deserialise("absent", s, true); });
  EXPECT_EQ(u, 0u);
}

TEST(DeserialisationErrors, MapWithFewerElementsThanItsSize) {
  JParams p;
  p.set("jrpc_map_m__size", int64_t{2});
  p.set("jrpc_map_m__map0_first", int64_t{1});
  p.set("jrpc_map_m__map0_second", "one");
  struct Holder : JRPCObject {
    Holder() : JRPCObject("Holder") {}
    jrpc_map<int32_t, std::string> m;
    void serialise(JRPCSerialisation& out) const override { out.serialise("m", m); }
    void deserialise(JRPCDeserialisation& in) override { in.deserialise("m", m, true); }
  } holder;
  JRPCDeserialisation d(p);
  expectCannotDeserialise([&] { d.deserialise(holder); });
}

// ---- shared between threads ----------------------------------------------

TEST(SerialisationConcurrency, NestedObjectsWrittenFromThreadsKeepTheirPrefixes) {
  constexpr int kThreads = 4;
  constexpr int kObjects = 300;
  JRPCSerialisation s;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&s, t] {
      for (int i = 0; i < kObjects; ++i) {
        Inner inner;
        inner.value = t * kObjects + i;
        inner.label = jformat("t%d", t);
        // A few more values per object widen the window another thread's
        // prefix could slip into.
        for (int k = 0; k < 4; ++k) {
          inner.list.push_back(jformat("e%d", k));
        }
        s.serialise(jformat("m%d_%d", t, i), inner);
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  const JParams p = s.takeParams();
  EXPECT_EQ(p.size(), size_t{kThreads} * kObjects * 6);
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kObjects; ++i) {
      const std::string prefix = jformat("ns00Inner_m%d_%d__", t, i);
      const JVariant* value = p.find(prefix + "value", false);
      ASSERT_NE(value, nullptr) << prefix;
      EXPECT_EQ(value->asInt64(), t * kObjects + i);
      EXPECT_EQ(p.find(prefix + "label", true)->asString(), jformat("t%d", t));
    }
  }
}

TEST(SerialisationConcurrency, NestedObjectsReadFromThreadsGetTheirOwnValues) {
  constexpr int kThreads = 4;
  constexpr int kObjects = 300;
  JParams p;
  {
    JRPCSerialisation s;
    for (int i = 0; i < kObjects; ++i) {
      Inner inner;
      inner.value = i;
      inner.label = jformat("l%d", i);
      for (int k = 0; k < 4; ++k) {
        inner.list.push_back(jformat("e%d", k));
      }
      s.serialise(jformat("m%d", i), inner);
    }
    p = s.takeParams();
  }
  JRPCDeserialisation d(p);
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kObjects; ++i) {
        Inner inner;
        d.deserialise(jformat("m%d", i), inner, true);
        if (inner.value != i || inner.label != jformat("l%d", i) || inner.list.size() != 4) {
          ++wrong;
        }
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace zq
