// The control with live controllers: member results that need a remote AAM,
// connection points and their codes, LinkUp/LinkDown delivered into each
// sink's apartment, the call and event tracing records, GetId's hand-over to
// another thread, and final release while link events are in flight.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "activex/zq_atlcom_ext.h"
#include "com/global_interface_table.h"
#include "com/stream.h"
#include "control_test_support.h"
#include "helpers/aam/test_aam.h"
#include "helpers/log_capture.h"
#include "helpers/waits.h"

namespace zq::activex::test {
namespace {

using zq::test::LogCapture;
using zq::test::TestAAM;

template <class Condition>
bool pumpUntil(Condition&& condition, int limitMs = 20000) {
  return zq::test::eventually(
      [&] {
        waitApartmentMessages(5);
        return condition();
      },
      limitMs);
}

class Events : public ControlFixture {
 protected:
  ComPtr<IConnectionPoint> point() {
    ComPtr<IConnectionPoint> p;
    EXPECT_EQ(ComPtr<IConnectionPointContainer>::queryFrom(control())->FindConnectionPoint(
                  DIID__IZQAudioOutputCtrlEvents, p.put()),
              S_OK);
    return p;
  }
  LONG call1(DISPID id, const char* name) {
    Call c;
    EXPECT_EQ(c.in(name).outLong().invoke(control(), id, DISPATCH_METHOD), S_OK);
    return c.longOut();
  }
  std::string text1(DISPID id, const char* name) {
    Call c;
    EXPECT_EQ(c.in(name).outBstr().invoke(control(), id, DISPATCH_METHOD), S_OK);
    return c.bstrOut();
  }
  // Adds a controller for 127.0.0.1:`port`; its name.
  std::string add(uint16_t port, LONG blocking = 0, LONG* result = nullptr) {
    Call server, p, b, addCall;
    EXPECT_EQ(server.in("127.0.0.1").invoke(control(), 1, DISPATCH_PROPERTYPUT), S_OK);
    EXPECT_EQ(p.in(port).invoke(control(), 2, DISPATCH_PROPERTYPUT), S_OK);
    EXPECT_EQ(b.in(blocking).invoke(control(), 3, DISPATCH_PROPERTYPUT), S_OK);
    EXPECT_EQ(addCall.outLong().invoke(control(), 21, DISPATCH_METHOD), S_OK);
    if (result != nullptr) {
      *result = addCall.longOut();
    }
    return "127.0.0.1:" + std::to_string(port);
  }
};

TEST_F(Events, LinkEventsReachEverySinkOnItsOwnThread) {
  LogCapture log;
  TestAAM aam;
  ComPtr<IConnectionPoint> p = point();
  auto failing = ComPtr<EventSink>::adopt(new EventSink(E_FAIL));
  auto good = ComPtr<EventSink>::adopt(new EventSink);
  DWORD c1 = 0, c2 = 0;
  ASSERT_EQ(p->Advise(failing.get(), &c1), S_OK);
  ASSERT_EQ(p->Advise(good.get(), &c2), S_OK);
  const std::string name = add(aam.port());
  ASSERT_TRUE(pumpUntil([&] { return !good->events().empty(); }));
  const auto me = std::this_thread::get_id();
  for (EventSink* sink : {failing.get(), good.get()}) {
    const auto events = sink->events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].dispid, DISPID_LinkUp);
    EXPECT_EQ(events[0].args, std::vector<std::string>{name});
    EXPECT_EQ(events[0].thread, me) << "run in the sink's apartment, not the controller's thread";
  }
  EXPECT_EQ(call1(23, name.c_str()), 2);
  EXPECT_TRUE(
      log.waitFor("EventDispatchLog<class JZQAudioOutputCtrl>: Firing event LinkUp (Name = '" +
                  name + "' (VT_BSTR))"));

  aam.stop();
  ASSERT_TRUE(pumpUntil([&] { return good->events().size() >= 2; }));
  const auto down = good->events()[1];
  EXPECT_EQ(down.dispid, DISPID_LinkDown);
  ASSERT_EQ(down.args.size(), 2u);
  EXPECT_EQ(down.args[0], name);
  EXPECT_FALSE(down.args[1].empty()) << "the error's message text";
  EXPECT_TRUE(pumpUntil([&] {
    return log.contains(
        "EventDispatchLog<class JZQAudioOutputCtrl>: Firing event LinkDown (Name = '" + name +
        "' (VT_BSTR), TextError = '" + down.args[1] + "' (VT_BSTR))");
  }));
  EXPECT_EQ(failing->events().size(), good->events().size());
  EXPECT_EQ(p->Unadvise(c1), S_OK);
  EXPECT_EQ(p->Unadvise(c2), S_OK);
}

TEST_F(Events, MembersThatNeedARemoteOutput) {
  TestAAM aam;
  TestAAM gone;
  const uint16_t closedPort = gone.port();
  gone.stop();
  const std::string live = add(aam.port());
  ASSERT_TRUE(pumpUntil([&] { return call1(23, live.c_str()) == 2; }));
  const std::string dead = add(closedPort);

  Call setParams;
  ASSERT_EQ(
      setParams.in(live.c_str()).in("volume=3").outLong().invoke(control(), 27, DISPATCH_METHOD),
      S_OK);
  EXPECT_EQ(setParams.longOut(), 0);
  EXPECT_FALSE(aam.requests("setParams").empty());
  Call deadParams;
  ASSERT_EQ(
      deadParams.in(dead.c_str()).in("volume=3").outLong().invoke(control(), 27, DISPATCH_METHOD),
      S_OK);
  EXPECT_EQ(deadParams.longOut(), -1);

  const struct {
    const char* name;
    DISPID id;
    std::string controller;
    bool message;  // the answer is a message rather than the AAM's text
    const char* text;
  } texts[] = {
      {"GetParamsOf connected", 26, live, false, "Not Connected"},
      {"GetStatOf connected", 34, live, false, "Not Connected"},
      {"GetParamsOf not connected", 26, dead, true, "Not Connected"},
      {"GetStatOf not connected", 34, dead, true, "Not Connected"},
  };
  for (const auto& t : texts) {
    SCOPED_TRACE(t.name);
    const std::string got = text1(t.id, t.controller.c_str());
    if (t.message) {
      EXPECT_EQ(got, t.text);
    } else {
      EXPECT_NE(got, t.text);
      EXPECT_NE(got, "Name not found");
    }
  }
  EXPECT_EQ(call1(8, live.c_str()), 0);   // Rehash
  EXPECT_EQ(call1(22, dead.c_str()), 0);  // DeleteFromGroup
  EXPECT_EQ(impl().group().names(), std::vector<std::string>{live});

  LONG result = 7;
  add(closedPort, 1, &result);
  EXPECT_EQ(result, -1) << "a blocking connection that failed";
  EXPECT_EQ(impl().group().names(), std::vector<std::string>{live});
  Call reset;
  ASSERT_EQ(reset.invoke(control(), 25, DISPATCH_METHOD), S_OK);
  EXPECT_TRUE(impl().group().names().empty());
}

TEST_F(Events, TracingRecordsOfCalls) {
  LogCapture log;
  struct Case {
    const char* name;
    DISPID id;
    WORD flags;
    void (*args)(Call&);
    bool wantResult;
    const char* dispatching;
    const char* result;
  };
  const Case cases[] = {
      {"no arguments", 24, DISPATCH_METHOD, [](Call&) {}, false, "Dispatching DISPID = 24(  )",
       "Result hr = 0x00000000; pvarResult = 'null'"},
      {"property get", 2, DISPATCH_PROPERTYGET, [](Call&) {}, true, "Dispatching DISPID = 2(  )",
       "Result hr = 0x00000000; pvarResult = '10001' (VT_I4)"},
      {"a put", 1, DISPATCH_PROPERTYPUT, [](Call& c) { c.in("host1"); }, false,
       "Dispatching DISPID = 1( 'host1' (VT_BSTR) )",
       "Result hr = 0x00000000; pvarResult = 'null'"},
      {"by reference", 8, DISPATCH_METHOD, [](Call& c) { c.in("x").outLong(); }, false,
       "Dispatching DISPID = 8( 'x' (VT_BSTR), '23130' (Unknown) )",
       "Result hr = 0x00000000; pvarResult = 'null'"},
      {"unknown DISPID", 99, DISPATCH_METHOD, [](Call& c) { c.in(5); }, true,
       "Dispatching DISPID = 99( '5' (VT_I4) )",
       "Result hr = 0x80020003; pvarResult = '' (Unknown)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    log.clear();
    Call call;
    c.args(call);
    JComVariant result;
    call.invoke(control(), c.id, c.flags, c.wantResult ? &result : nullptr);
    const auto records = log.records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].text,
              std::string("IZQDispatchImpl<struct IZQAudioOutputCtrl>: ") + c.dispatching);
    EXPECT_EQ(records[1].text, c.result);
    for (const auto& r : records) {
      EXPECT_EQ(r.level, 2);
      EXPECT_EQ(r.file, "zq_atlcom_ext");
    }
  }
}

// What the traces of calls and events above do not reach: a call with more
// arguments than the type names, and a member the type does not know.
TEST(CallDescription, NamesTypesAndOrder) {
  ComPtr<ITypeInfo> events;
  ASSERT_EQ(createTypeInfo(kIZQAudioOutputCtrlEventsType, events.put()), S_OK);
  JComVariant name("n1"), number(LONG{7});
  const struct {
    DISPID id;
    std::vector<VARIANT> reversed;  // the dispatch order: last argument first
    const char* member;
    const char* arguments;
  } cases[] = {
      {1, {number, name}, "LinkUp", "Name = 'n1' (VT_BSTR), '7' (VT_I4)"},
      {9, {name}, "DISPID = 9", "'n1' (VT_BSTR)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.member);
    std::vector<VARIANT> args = c.reversed;
    DISPPARAMS params{args.data(), nullptr, static_cast<UINT>(args.size()), 0};
    const JCallDescription d = describeCall(c.id, &params, events.get());
    EXPECT_EQ(d.member, c.member);
    EXPECT_EQ(d.arguments, c.arguments);
  }
  const struct {
    VARTYPE vt;
    const char* name;
  } names[] = {{VT_I4, "VT_I4"},       {0x0FFF, "VT_BSTR_BLOB"}, {0x48, "VT_CLSID"},
               {VT_EMPTY, "Unknown"}, {VT_BYREF | VT_I4, "Unknown"}, {0x1D, "Unknown"}};
  for (const auto& n : names) {
    EXPECT_STREQ(vartypeName(n.vt), n.name) << n.vt;
  }
}

// GetId hands the control to another thread, once; that thread's calls
// arrive while members wait for controllers' threads (and serve this
// apartment meanwhile): they run one at a time with them.
TEST_F(Events, CallsFromAnotherThreadThroughGetIdAreSerialised) {
  TestAAM aam;
  Call put;
  ASSERT_EQ(put.in(4321).invoke(control(), 2, DISPATCH_PROPERTYPUT), S_OK);
  Call getId;
  ASSERT_EQ(getId.outLong().invoke(control(), 9, DISPATCH_METHOD), S_OK);
  const LONG id = getId.longOut();
  ASSERT_NE(id, 0);
  std::atomic<bool> done{false};
  std::atomic<int> wrong{0};
  std::atomic<LONG> seen{0};
  HRESULT unmarshalled = E_FAIL;
  std::thread other([&] {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    ComPtr<IZQAudioOutputCtrl> remote;
    unmarshalled = CoGetInterfaceAndReleaseStream(takeInterfaceStream(id), IID_IZQAudioOutputCtrl,
                                                  remote.putVoid());
    LONG port = -1;
    if (remote) {
      remote->get_Port(&port);
    }
    seen = port;
    for (int i = 0; remote && i < 40; ++i) {
      remote->put_Port(aam.port());
      remote->get_Port(&port);
      wrong += port == aam.port() ? 0 : 1;
    }
    remote.reset();
    CoUninitialize();
    done = true;
  });
  // Its first call reads what this thread set, before this thread sets more.
  pumpUntil([&] { return seen != 0; });
  for (int i = 0; i < 10 && !done; ++i) {
    const std::string name = add(aam.port());
    pumpUntil([&] { return call1(23, name.c_str()) == 2; }, 5000);
    EXPECT_EQ(call1(22, name.c_str()), 0);
  }
  const bool finished = pumpUntil([&] { return done.load(); });
  other.join();
  ASSERT_TRUE(finished);
  EXPECT_EQ(unmarshalled, S_OK);
  EXPECT_EQ(seen.load(), 4321) << "the other thread reaches this control";
  EXPECT_EQ(takeInterfaceStream(id), nullptr) << "an id is good once";
  EXPECT_EQ(wrong.load(), 0);
  pumpApartmentMessages();
}

// Final release while controllers' link events are on their way into this
// apartment: the control goes without waiting for itself.
TEST(EventsAtRelease, ReleasingWhileLinksChangeEndsCleanly) {
  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
  TestAAM aam;
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    ComPtr<IZQAudioOutputCtrl> control;
    ASSERT_EQ(JZQAudioOutputCtrl::create(IID_IZQAudioOutputCtrl, control.putVoid()), S_OK);
    auto sink = ComPtr<EventSink>::adopt(new EventSink);
    ComPtr<IConnectionPoint> point;
    ASSERT_EQ(ComPtr<IConnectionPointContainer>::queryFrom(control.get())
                  ->FindConnectionPoint(DIID__IZQAudioOutputCtrlEvents, point.put()),
              S_OK);
    DWORD cookie = 0;
    ASSERT_EQ(point->Advise(sink.get(), &cookie), S_OK);
    point.reset();
    control->put_Server(JBstr("127.0.0.1").get());
    control->put_Port(aam.port());
    LONG result = 1;
    control->AddToGroupAndConnect(&result);
    ASSERT_EQ(result, 0);
    if (round > 0) {
      ASSERT_TRUE(pumpUntil([&] { return !sink->events().empty(); }));
    }
    aam.stop();  // LinkDown on its way as the control goes
    control.reset();
    aam.restart();
  }
  pumpApartmentMessages();
  CoUninitialize();
}

}  // namespace
}  // namespace zq::activex::test
