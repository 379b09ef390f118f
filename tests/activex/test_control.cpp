// The control through its dual interface as a host drives it: defaults, the
// result codes of the members, persistence, connection points and events
// delivered into the sink's apartment, and the call and event tracing.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "activex/module.h"
#include "com/global_interface_table.h"
#include "com/storage.h"
#include "control_test_support.h"
#include "helpers/aam/test_aam.h"
#include "helpers/log_capture.h"
#include "helpers/waits.h"

namespace zq::activex::test {
namespace {

using zq::test::LogCapture;
using zq::test::TestAAM;

// Pumps the test thread's apartment until `condition` holds (bounded).
template <class Condition>
bool pumpUntil(Condition&& condition, int limitMs = 20000) {
  return zq::test::eventually(
      [&] {
        waitApartmentMessages(5);
        return condition();
      },
      limitMs);
}

std::string getText(IDispatch* d, DISPID id) {
  JComVariant v;
  Call call;
  EXPECT_EQ(call.invoke(d, id, DISPATCH_PROPERTYGET, &v), S_OK);
  JComVariant t;
  VariantChangeType(&t, &v, 0, VT_BSTR);
  return stringFromBstr(t.bstrVal);
}

using ControlDefaults = ControlFixture;

TEST_F(ControlDefaults, FreshControlAnswersItsDefaults) {
  const struct {
    const char* name;
    DISPID id;
    const char* value;
  } cases[] = {
      {"Server", 1, "localhost"}, {"Port", 2, "10001"},        {"Blocking", 3, "0"},
      {"TimeOut", 4, "2000"},     {"LocalAAMPort", 19, "-1"}, {"LocalAAMBoard", 20, "-1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(getText(control(), c.id), c.value);
  }
}

TEST_F(ControlDefaults, PropertiesReachTheGroupAndBlockingIsNormalised) {
  const struct {
    const char* name;
    DISPID id;
    LONG put;
    const char* got;
  } cases[] = {
      {"Port", 2, 5000, "5000"},     {"TimeOut", 4, 150, "150"}, {"Blocking any non-zero", 3, 7, "1"},
      {"Blocking negative", 3, -1, "1"}, {"Blocking zero", 3, 0, "0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Call put;
    ASSERT_EQ(put.in(c.put).invoke(control(), c.id, DISPATCH_PROPERTYPUT), S_OK);
    EXPECT_EQ(getText(control(), c.id), c.got);
  }
  Call server;
  ASSERT_EQ(server.nullBstr().invoke(control(), 1, DISPATCH_PROPERTYPUT), S_OK);
  EXPECT_EQ(getText(control(), 1), "") << "a null BSTR is the empty string";
  EXPECT_EQ(impl().group().getServer(), "");
}

// Every member answers S_OK; its outcome is in the out parameter.
TEST_F(ControlDefaults, ResultCodesOfMembersWithoutControllers) {
  struct Case {
    const char* name;
    DISPID id;
    void (*args)(Call&);
    LONG result;
  };
  const Case cases[] = {
      {"Rehash unknown name", 8, [](Call& c) { c.in("nobody:1").outLong(); }, -2},
      {"DeleteFromGroup unknown", 22, [](Call& c) { c.in("nobody:1").outLong(); }, -2},
      {"GetStatusOf unknown", 23, [](Call& c) { c.in("nobody:1").outLong(); }, -2},
      {"SetParamsOf unknown", 27, [](Call& c) { c.in("nobody:1").in("a=1").outLong(); }, -2},
      {"SetHardSource card 0", 11, [](Call& c) { c.in(0).in("pci2_line_in").outLong(); }, -1},
      {"SetHardSource card 29", 11, [](Call& c) { c.in(29).in("pci2_line_in").outLong(); }, -1},
      {"SetHardSource unknown connector", 11, [](Call& c) { c.in(1).in("line_in").outLong(); }, -2},
      {"SetHardSource card 28 mic", 11, [](Call& c) { c.in(28).in("wavein_mic_in").outLong(); }, 0},
      {"SetNetSource tcp", 16, [](Call& c) { c.in("tcp").in("h").in(5000).outLong(); }, -1},
      {"SetNetSource port 0", 16, [](Call& c) { c.in("udp").in("h").in(0).outLong(); }, -2},
      {"SetNetSource port 65536", 16, [](Call& c) { c.in("udp").in("h").in(65536).outLong(); }, -2},
      {"SetNetSource port tested first", 16, [](Call& c) { c.in("tcp").in("h").in(0).outLong(); }, -2},
      {"SetNetSource ipm 65535", 16, [](Call& c) { c.in("ipm").in("239.1.1.1").in(65535).outLong(); }, 0},
      {"StreamMic without local AAM", 33, [](Call& c) { c.outLong(); }, -1},
      {"StreamFiles without local AAM", 32, [](Call& c) { c.in("a.mp3,b.mp3").in(0).outLong(); }, -1},
      {"OpenLocalAAM unknown connector", 17,
       [](Call& c) { c.in(7000).in("line_in").in(1).in(32000).in("id").outLong(); }, -1},
      {"UdpConfig while none open", 29,
       [](Call& c) { c.in(1).in(0).in(0).in(5000).in(1400).outLong(); }, 0},
      {"AtmConfig unknown QoS", 30, [](Call& c) { c.in(1).in(0).in("ABR").in(0).in(48).outLong(); }, -2},
      {"AtmConfig unknown QoS not available", 30,
       [](Call& c) { c.in(0).in(0).in("ABR").in(0).in(48).outLong(); }, 0},
      {"AtmConfig CBR", 30, [](Call& c) { c.in(1).in(1).in("CBR").in(0).in(48).outLong(); }, 0},
      {"IpmConfig", 31,
       [](Call& c) { c.in(1).in(0).in(0).in("239.1.1.1").in(5000).in(4).in(1400).outLong(); }, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Call call;
    c.args(call);
    ASSERT_EQ(call.invoke(control(), c.id, DISPATCH_METHOD), S_OK);
    EXPECT_EQ(call.longOut(), c.result);
  }
}

TEST_F(ControlDefaults, TextResultsForUnknownNamesAndExtraction) {
  const struct {
    const char* name;
    DISPID id;
    const char* first;
    const char* second;  // null: a one-argument member
    const char* text;
  } cases[] = {
      {"GetParamsOf unknown", 26, "nobody:1", nullptr, "Name not found"},
      {"GetStatOf unknown", 34, "nobody:1", nullptr, "Name not found"},
      {"ExtractString in empty text", 36, "volume", "", ""},
      {"ExtractString absent", 36, "volume", "rate=3\n", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Call call;
    call.in(c.first);
    if (c.second != nullptr) {
      call.in(c.second);
    }
    ASSERT_EQ(call.outBstr().invoke(control(), c.id, DISPATCH_METHOD), S_OK);
    EXPECT_EQ(call.bstrOut(), c.text);
  }
}

// The extraction members through the dispatch interface: found values
// replace the caller's, absent ones and unreadable text leave it (strings
// become empty).
TEST_F(ControlDefaults, ExtractMembersConvertOrLeaveTheValue) {
  const char* text = R"(Type="Audio", channels=2, gain=1.5, on=true)";
  struct Case {
    const char* name;
    DISPID id;
    const char* parameter;
    const char* params;
    const char* expected;  // the out value as text
  };
  const Case cases[] = {
      {"integer found", 14, "channels", text, "2"},
      {"integer absent", 14, "volume", text, "23130"},
      {"integer unreadable text", 14, "a", "a=yes", "23130"},
      {"boolean found", 15, "on", text, "1"},
      {"boolean absent", 15, "mute", "", "23130"},
      {"number found", 37, "gain", text, "1.5"},
      {"number absent", 37, "volume", text, "2.5"},
      {"string found", 36, "Type", text, "Audio"},
      {"string in empty text", 36, "volume", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Call call;
    call.in(c.parameter).in(c.params);
    if (c.id == 37) {
      call.outDouble(2.5);
    } else if (c.id == 36) {
      call.outBstr();
    } else {
      call.outLong();
    }
    ASSERT_EQ(call.invoke(control(), c.id, DISPATCH_METHOD), S_OK);
    const std::string got = c.id == 37   ? ::testing::PrintToString(call.doubleOut())
                            : c.id == 36 ? call.bstrOut()
                                         : std::to_string(call.longOut());
    EXPECT_EQ(got, c.expected);
  }
}

}  // namespace
}  // namespace zq::activex::test
