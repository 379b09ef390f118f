// The control through its dual interface as a host drives it: its members'
// results alone and with a local AAM and live controllers, persistence, its
// interfaces and type information, LinkUp/LinkDown delivered into each sink's
// apartment and traced, GetId's hand-over to another thread, and final
// release while link events are in flight.
#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "activex/zq_atlcom_ext.h"
#include "activex/zq_audio_output_ctrl.h"
#include "com/apartment.h"
#include "com/bstr.h"
#include "com/com_ptr.h"
#include "com/global_interface_table.h"
#include "com/ref_count.h"
#include "com/storage.h"
#include "com/stream.h"
#include "helpers/aam/test_aam.h"
#include "helpers/log_capture.h"
#include "helpers/ports.h"
#include "helpers/waits.h"
#include "net/inet_addr.h"
#include "net/tcp_socket.h"

namespace zq::activex::test {
namespace {

/// A call's arguments in declaration order; `out` entries are filled in by
/// reference and read back in their order.
class Call {
 public:
  Call() = default;
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;
  Call& in(LONG v) { return push(JComVariant(v)); }
  Call& in(const char* s) { return push(JComVariant(s)); }
  Call& nullBstr() { return push(nullBstrVariant()); }
  Call& outLong(LONG initial = 0x5A5A) { return byRef(JComVariant(initial)); }
  Call& outBstr() { return byRef(nullBstrVariant()); }
  Call& outDouble(double initial) { return byRef(JComVariant(initial)); }
  /// Invoke with the arguments; a put passes its value as the named one.
  HRESULT invoke(IDispatch* d, DISPID member, WORD flags, VARIANT* result = nullptr) {
    std::vector<VARIANT> reversed(args_.rbegin(), args_.rend());
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    if (flags == DISPATCH_PROPERTYPUT) {
      params.rgdispidNamedArgs = &put;
      params.cNamedArgs = 1;
    }
    return d->Invoke(member, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, nullptr,
                     nullptr);
  }
  LONG longOut(size_t i = 0) const { return outs_.at(i).lVal; }
  std::string bstrOut(size_t i = 0) const { return stringFromBstr(outs_.at(i).bstrVal); }
  double doubleOut(size_t i = 0) const { return outs_.at(i).dblVal; }

 private:
  static JComVariant nullBstrVariant() {
    JComVariant v;
    v.vt = VT_BSTR;
    return v;
  }
  Call& push(const JComVariant& v) {
    args_.push_back(v);
    return *this;
  }
  // The value lives in `outs_` (a deque: its places stay put); the argument
  // points at it.
  Call& byRef(const JComVariant& initial) {
    JComVariant& out = outs_.emplace_back(initial);
    JComVariant& ref = args_.emplace_back();
    ref.vt = static_cast<VARTYPE>(VT_BYREF | out.vt);
    ref.byref = &out.lVal;  // every member of the value's union starts there
    return *this;
  }
  std::deque<JComVariant> args_;
  std::deque<JComVariant> outs_;
};

/// Puts property `id`; the answer.
template <class Value>
HRESULT put(IDispatch* d, DISPID id, Value value) {
  Call c;
  return c.in(value).invoke(d, id, DISPATCH_PROPERTYPUT);
}

/// An event sink: records each event with the thread it ran on, and
/// answers `answer`.
class EventSink : public JComObject<EventSink, IDispatch> {
 public:
  struct Event {
    DISPID dispid;
    std::vector<std::string> args;  // declaration order
    std::thread::id thread;
  };
  explicit EventSink(HRESULT answer = S_OK) : answer_(answer) {}
  HRESULT GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT Invoke(DISPID member, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                 UINT*) override {
    Event e{member, {}, std::this_thread::get_id()};
    for (UINT i = params->cArgs; i > 0; --i) {
      e.args.push_back(stringFromBstr(params->rgvarg[i - 1].bstrVal));
    }
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(e));
    return answer_;
  }
  std::vector<Event> events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }

 protected:
  bool queryMore(REFIID riid, void** object) override {
    if (riid == DIID__IZQAudioOutputCtrlEvents) {
      *object = static_cast<IDispatch*>(this);
      return true;
    }
    return false;
  }

 private:
  const HRESULT answer_;
  mutable std::mutex mutex_;
  std::vector<Event> events_;
};

/// Advises `sink` on `control`'s event point; the point, to unadvise.
inline ComPtr<IConnectionPoint> advise(IUnknown* control, IDispatch* sink, DWORD* cookie) {
  ComPtr<IConnectionPoint> point;
  EXPECT_EQ(ComPtr<IConnectionPointContainer>::queryFrom(control)->FindConnectionPoint(
                DIID__IZQAudioOutputCtrlEvents, point.put()),
            S_OK);
  EXPECT_EQ(point->Advise(sink, cookie), S_OK);
  return point;
}

/// Runs this apartment's calls until `condition` holds (20 s at most).
template <class Condition>
bool pumpUntil(Condition&& condition, int limitMs = 20000) {
  return zq::test::eventually(
      [&] {
        waitApartmentMessages(5);
        return condition();
      },
      limitMs);
}

/// The test's thread in a single-threaded apartment, with a fresh control.
class ControlFixture : public ::testing::Test {
 protected:
  ControlFixture() {
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    EXPECT_EQ(JZQAudioOutputCtrl::create(IID_IZQAudioOutputCtrl, control_.putVoid()), S_OK);
  }
  ~ControlFixture() override {
    control_.reset();
    CoUninitialize();
  }
  IZQAudioOutputCtrl* control() { return control_.get(); }
  JZQAudioOutputCtrl& impl() { return *static_cast<JZQAudioOutputCtrl*>(control_.get()); }
  ComPtr<IZQAudioOutputCtrl> control_;
};

using zq::test::LogCapture;
using zq::test::RefusingPort;
using zq::test::TestAAM;

std::string getText(IDispatch* d, DISPID id) {
  JComVariant v;
  Call call;
  EXPECT_EQ(call.invoke(d, id, DISPATCH_PROPERTYGET, &v), S_OK);
  JComVariant t;
  VariantChangeType(&t, &v, 0, VT_BSTR);
  return stringFromBstr(t.bstrVal);
}

// A member with a Result out argument; that result.
LONG callForResult(IDispatch* d, DISPID id, const std::function<void(Call&)>& args) {
  Call call;
  args(call);
  call.outLong();
  EXPECT_EQ(call.invoke(d, id, DISPATCH_METHOD), S_OK);
  return call.longOut();
}

using Members = ControlFixture;

// Each member's result, in the order an operator uses them: refusals
// forwarded from the group; the transport settings stored for the next
// open as the access manager reads them (not available restores the
// defaults and disables the transport); then a local AAM opened on the
// test-tone device on a port the system picks (LocalAAMPort tells which),
// the transports locked while it runs, its sources switched, and the
// failures that leave the running one or none. A non-zero Blocking reads
// back as 1, a null BSTR as "" (the defaults are the refused loads' below).
TEST_F(Members, ResultsSettingsAndTheLocalAAM) {
  // A script's True is -1.
  ASSERT_EQ(put(control(), 3, -1), S_OK);
  EXPECT_EQ(getText(control(), 3), "1");
  ASSERT_EQ(put(control(), 3, 0), S_OK);
  EXPECT_EQ(getText(control(), 3), "0");
  Call nullServer;
  ASSERT_EQ(nullServer.nullBstr().invoke(control(), 1, DISPATCH_PROPERTYPUT), S_OK);
  EXPECT_EQ(getText(control(), 1), "");

  zq::test::ScopedRegistryDir registry;  // the default devices: device 1 is the test tone
  JTCPSocket taken;
  taken.bind(JInetAddr("127.0.0.1", 0));
  taken.listen(1);
  const LONG takenPort = taken.localAddress().port();
  auto open = [](LONG port, const char* connector) {
    return [=](Call& c) { c.in(port).in(connector).in(1).in(128000).in("op1"); };
  };
  const auto settings = [&] {
    JParams p;
    impl().group().localAAMConfig().provider.write(p);
    return p.toString();
  };
  struct Case {
    const char* name;
    DISPID id;
    std::function<void(Call&)> args;
    LONG result;
    std::vector<std::string> shown = {};  // in the settings afterwards
    bool running = false;                 // a local AAM listens on LocalAAMPort afterwards
  };
  const Case cases[] = {
      {"SetHardSource card 29", 11, [](Call& c) { c.in(29).in("pci2_line_in"); }, -1},
      {"StreamMic without local AAM", 33, [](Call&) {}, -1},
      {"StreamFiles without local AAM", 32, [](Call& c) { c.in("a.mp3").in(0); }, -1},
      {"UdpConfig",
       29,
       [](Call& c) { c.in(1).in(0).in(2).in(5000).in(1400); },
       0,
       {"UdpEnable=true", "UdpPrecedence=2", "UdpSourcePort=5000", "UdpMtu=1400"}},
      {"UdpConfig not available",
       29,
       [](Call& c) { c.in(0).in(0).in(2).in(5000).in(1400); },
       0,
       {"UdpEnable=false", "UdpSourcePort=0"}},
      {"AtmConfig VBR multicast",
       30,
       [](Call& c) { c.in(1).in(1).in("VBR").in(2).in(48); },
       0,
       {"AtmEnable=true", "AtmQosClass=\"VBR\"", "AtmMulticastEnabled=true", "AtmInterface=2"}},
      {"AtmConfig unknown QoS",
       30,
       [](Call& c) { c.in(1).in(0).in("ABR").in(0).in(53); },
       -2,
       {"AtmQosClass=\"VBR\"", "AtmMtu=48"}},
      {"AtmConfig not available",
       30,
       [](Call& c) { c.in(0).in(0).in("ABR").in(0).in(48); },
       0,
       {"AtmEnable=false", "AtmMulticastEnabled=false", "AtmInterface=0"}},
      {"IpmConfig",
       31,
       [](Call& c) { c.in(1).in(0).in(3).in("239.1.1.1").in(5000).in(4).in(1400); },
       0,
       {"IpmEnable=true", "IpmGroupAddress=\"239.1.1.1\"", "IpmPort=5000", "IpmTtl=4"}},
      {"IpmConfig not available",
       31,
       [](Call& c) { c.in(0).in(0).in(3).in("239.1.1.1").in(5000).in(4).in(1400); },
       0,
       {"IpmEnable=false", "IpmPort=6666"}},
      {"open on the tone device", 17, open(0, "wavein_mic_in"), 0, {}, true},
      {"UDP settings while open",
       29,
       [](Call& c) { c.in(1).in(0).in(0).in(5000).in(1400); },
       -1,
       {"UdpEnable=false"},
       true},
      {"files that are not there",
       32,
       [](Call& c) { c.in("/nonexistent.mp3").in(0); },
       -2,
       {},
       true},
      {"back to the microphone", 33, [](Call&) {}, 0, {}, true},
      {"an unknown connector leaves it running", 17, open(0, "line_in"), -1, {}, true},
      {"a port in use leaves none", 17, open(takenPort, "wavein_mic_in"), -1},
      {"open again", 17, open(0, "wavein_line_in"), 0, {}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(callForResult(control(), c.id, c.args), c.result);
    const std::string now = settings();
    for (const std::string& key : c.shown) {
      EXPECT_NE(now.find(key), std::string::npos) << key << " in " << now;
    }
    const std::string port = getText(control(), 19);
    JTCPSocket client;
    if (c.running) {
      EXPECT_NO_THROW(
          client.connect(JInetAddr("127.0.0.1", static_cast<uint16_t>(std::stoi(port)))))
          << "nothing listens on the port LocalAAMPort gives, " << port;
    } else {
      EXPECT_EQ(port, "-1");
    }
  }
  EXPECT_EQ(getText(control(), 20), "1");
  Call close;
  ASSERT_EQ(close.invoke(control(), 18, DISPATCH_METHOD), S_OK);
  EXPECT_EQ(getText(control(), 19), "-1");
  EXPECT_EQ(getText(control(), 20), "-1");
}

// The members with a text or typed out value: a name never added gives a
// message; the extraction members replace the caller's value when found and
// leave it when absent (strings become empty).
TEST_F(Members, TextAndExtractedResults) {
  const char* text = R"(Type="Audio", channels=2, gain=1.5, on=true)";
  const struct {
    DISPID id;
    const char* parameter;
    const char* params;    // null: a one-argument member
    const char* expected;  // the out value as text
  } cases[] = {
      {26, "nobody:1", nullptr, "Name not found"},
      {14, "channels", text, "2"},
      {15, "mute", "", "23130"},
      {37, "volume", text, "2.5"},
      {36, "Type", text, "Audio"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.id) + " " + c.parameter);
    Call call;
    call.in(c.parameter);
    if (c.params != nullptr) {
      call.in(c.params);
    }
    const bool textOut = c.id == 26 || c.id == 36;
    if (c.id == 37) {
      call.outDouble(2.5);
    } else if (textOut) {
      call.outBstr();
    } else {
      call.outLong();
    }
    ASSERT_EQ(call.invoke(control(), c.id, DISPATCH_METHOD), S_OK);
    const std::string got = c.id == 37 ? ::testing::PrintToString(call.doubleOut())
                            : textOut  ? call.bstrOut()
                                       : std::to_string(call.longOut());
    EXPECT_EQ(got, c.expected);
  }
}

// ---- persistence -------------------------------------------------------------

// Version, the extent (25 x 25 pixels in HIMETRIC), then Server, Port,
// TimeOut and Blocking in the map's order, each a VARTYPE and its value.
const std::vector<uint8_t> kKnownBytes = {
    0x00, 0x03, 0x00, 0x00, 0x95, 0x02, 0x00, 0x00, 0x95, 0x02, 0x00, 0x00,  // head
    0x08, 0x00, 0x06, 0x00, 0x00, 0x00, 'a',  0x00, 'b',  0x00, 0x00, 0x00,  // Server
    0x03, 0x00, 0x88, 0x13, 0x00, 0x00,                                      // Port 5000
    0x03, 0x00, 0x96, 0x00, 0x00, 0x00,                                      // TimeOut 150
    0x03, 0x00, 0x01, 0x00, 0x00, 0x00,                                      // Blocking 1
};

// Saved into a storage's Contents stream byte for byte (saving clears the
// dirty flag), then streams of other versions and bad ones loaded into
// fresh controls: a refused stream leaves the defaults.
TEST_F(Members, PersistenceSavesTheLayoutAndLoadsOrRefuses) {
  ASSERT_EQ(put(control(), 1, "ab"), S_OK);
  for (const auto& [id, value] : {std::pair<DISPID, LONG>{2, 5000}, {4, 150}, {3, 9}}) {
    ASSERT_EQ(put(control(), id, value), S_OK);
  }
  auto persist = ComPtr<IPersistStreamInit>::queryFrom(control());
  EXPECT_EQ(persist->IsDirty(), S_OK);
  ComPtr<IStorage> storage;
  ASSERT_EQ(createMemoryStorage(storage.put()), S_OK);
  ASSERT_EQ(ComPtr<IPersistStorage>::queryFrom(control())->Save(storage.get(), 1), S_OK);
  EXPECT_EQ(persist->IsDirty(), S_FALSE);
  ComPtr<IStream> contents;
  ASSERT_EQ(storage->OpenStream(u"Contents", nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0,
                                contents.put()),
            S_OK);
  std::vector<uint8_t> saved(kKnownBytes.size() + 1);
  ULONG read = 0;
  ASSERT_EQ(contents->Read(saved.data(), static_cast<ULONG>(saved.size()), &read), S_OK);
  saved.resize(read);
  EXPECT_EQ(saved, kKnownBytes);
  ASSERT_EQ(put(control(), 1, "cd"), S_OK);
  ASSERT_EQ(ComPtr<IPersistStorage>::queryFrom(control())->Load(storage.get()), S_OK);
  EXPECT_EQ(getText(control(), 1), "ab");

  auto with = [](size_t at, uint8_t value) {
    std::vector<uint8_t> b = kKnownBytes;
    b[at] = value;
    return b;
  };
  std::vector<uint8_t> nullServer = {0x00, 0x03, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 0x08, 0, 0, 0, 0, 0};
  nullServer.insert(nullServer.end(), kKnownBytes.begin() + 24, kKnownBytes.end());
  const struct {
    const char* name;
    std::vector<uint8_t> bytes;
    HRESULT hr;
    const char* properties;  // Server Port TimeOut Blocking afterwards
  } cases[] = {
      {"an older version", with(1, 0x02), S_OK, "ab 5000 150 1"},
      {"a null string", nullServer, S_OK, " 5000 150 1"},
      {"version 0x301", with(0, 0x01), E_FAIL, "localhost 10001 2000 0"},
      {"cut short", std::vector<uint8_t>(kKnownBytes.begin(), kKnownBytes.begin() + 20), E_FAIL,
       "localhost 10001 2000 0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ComPtr<IZQAudioOutputCtrl> fresh;
    ASSERT_EQ(JZQAudioOutputCtrl::create(IID_IZQAudioOutputCtrl, fresh.putVoid()), S_OK);
    ComPtr<IStream> stream;
    ASSERT_EQ(createMemoryStream(stream.put()), S_OK);
    ULONG written = 0;
    ASSERT_EQ(stream->Write(c.bytes.data(), static_cast<ULONG>(c.bytes.size()), &written), S_OK);
    ASSERT_EQ(stream->Seek({0}, STREAM_SEEK_SET, nullptr), S_OK);
    EXPECT_EQ(ComPtr<IPersistStreamInit>::queryFrom(fresh.get())->Load(stream.get()), c.hr);
    EXPECT_EQ(getText(fresh.get(), 1) + " " + getText(fresh.get(), 2) + " " +
                  getText(fresh.get(), 4) + " " + getText(fresh.get(), 3),
              c.properties);
  }
  ComPtr<IStorage> empty;
  ASSERT_EQ(createMemoryStorage(empty.put()), S_OK);
  EXPECT_EQ(ComPtr<IPersistStorage>::queryFrom(control())->Load(empty.get()), STG_E_FILENOTFOUND);
}

// ---- interfaces, type information, drawing -------------------------------------

TEST_F(Members, InterfacesAndTheirAnswers) {
  const struct {
    IID iid;
    HRESULT hr;
  } interfaces[] = {
      {IID_IUnknown, S_OK},
      {IID_IOleControl, S_OK},
      {IID_IDataObject, S_OK},
      {IID_IOleInPlaceActiveObject, S_OK},
      {IID_IOleInPlaceObjectWindowless, S_OK},
      {IID_IQuickActivate, S_OK},
      {IID_ISpecifyPropertyPages, S_OK},
      {DIID__IZQAudioOutputCtrlEvents, E_NOINTERFACE},
      {IID_IConnectionPoint, E_NOINTERFACE},
  };
  for (const auto& c : interfaces) {
    void* out = nullptr;
    EXPECT_EQ(control()->QueryInterface(c.iid, &out), c.hr);
    if (out != nullptr) {
      // Identity: the IUnknown of any interface is the control's.
      EXPECT_EQ(ComPtr<IUnknown>::queryFrom(static_cast<IUnknown*>(out)).get(),
                static_cast<IUnknown*>(control()));
      static_cast<IUnknown*>(out)->Release();
    }
  }
  auto errors = ComPtr<ISupportErrorInfo>::queryFrom(control());
  EXPECT_EQ(errors->InterfaceSupportsErrorInfo(IID_IZQAudioOutputCtrl), S_OK);
  EXPECT_EQ(errors->InterfaceSupportsErrorInfo(IID_IDispatch), S_FALSE);
  GUID source{};
  auto classInfo = ComPtr<IProvideClassInfo2>::queryFrom(control());
  EXPECT_EQ(classInfo->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &source), S_OK);
  EXPECT_EQ(source, DIID__IZQAudioOutputCtrlEvents);
  // What a host asks before it lets a page script the control.
  auto safety = ComPtr<IObjectSafety>::queryFrom(control());
  EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, 3, 2), S_OK);
  EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, 4, 4), E_FAIL);
  DWORD supported = 0, enabled = 0;
  ASSERT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
  EXPECT_EQ(supported, 3u);
  EXPECT_EQ(enabled, 2u);
  DWORD misc = 0;
  ASSERT_EQ(ComPtr<IOleObject>::queryFrom(control())->GetMiscStatus(DVASPECT_CONTENT, &misc), S_OK);
  EXPECT_EQ(misc, 132497u);
}

// A rectangle past every edge of the buffer: the bitmap stretched into it
// (each pixel 4 x 4) and clipped, nothing written into the stride's padding
// nor the 8 rows above and below the buffer.
TEST_F(Members, DrawStretchesAndClipsTheBitmap) {
  auto view = ComPtr<IViewObjectEx>::queryFrom(control());
  std::vector<uint32_t> rows(48 * 56, 0xDEADBEEF);
  JPixelBuffer buffer{rows.data() + 48 * 8, 40, 40, 48};
  const RECTL bounds{-8, -8, 56, 56};
  ASSERT_EQ(view->Draw(DVASPECT_CONTENT, &bounds, &buffer), S_OK);
  const uint32_t* bitmap = toolboxBitmap();
  for (int row = 0; row < 56; ++row) {  // the buffer's row 0 is row 8
    for (int x = 0; x < 48; ++x) {
      const bool inside = x < 40 && row >= 8 && row < 48;
      const uint32_t expected = inside ? bitmap[row / 4 * kBitmapSize + (x + 8) / 4] : 0xDEADBEEF;
      ASSERT_EQ(rows[static_cast<size_t>(row * 48 + x)], expected) << x << "," << row;
    }
  }
  EXPECT_EQ(view->Draw(DVASPECT_CONTENT, nullptr, &buffer), E_POINTER);
}

// ---- with live controllers ------------------------------------------------------

class Live : public ControlFixture {
 protected:
  LONG call1(DISPID id, const std::string& name) {
    return callForResult(control(), id, [&](Call& c) { c.in(name.c_str()); });
  }
  // Adds a controller for 127.0.0.1:`port`; its name.
  std::string add(uint16_t port) {
    EXPECT_EQ(put(control(), 1, "127.0.0.1"), S_OK);
    EXPECT_EQ(put(control(), 2, LONG{port}), S_OK);
    EXPECT_EQ(callForResult(control(), 21, [](Call&) {}), 0);
    return "127.0.0.1:" + std::to_string(port);
  }
};

// A connected and a refused controller through the members that reach the
// output, with two sinks (one failing its events) told of the link going up
// and down on this thread; each call traced as its arguments in declaration
// order, then its result, and each event with its arguments.
TEST_F(Live, MembersAndLinkEventsWithARemoteOutput) {
  LogCapture log(1u << 2, "%f %m");  // the trace level alone
  TestAAM aam;
  RefusingPort refusing;
  auto failing = ComPtr<EventSink>::adopt(new EventSink(E_FAIL));
  auto good = ComPtr<EventSink>::adopt(new EventSink);
  DWORD c1 = 0, c2 = 0;
  ComPtr<IConnectionPoint> point = advise(control(), failing.get(), &c1);
  advise(control(), good.get(), &c2);
  const std::string live = add(aam.port());
  ASSERT_TRUE(pumpUntil([&] { return !good->events().empty(); }));
  for (EventSink* sink : {failing.get(), good.get()}) {
    const auto events = sink->events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].dispid, DISPID_LinkUp);
    EXPECT_EQ(events[0].args, std::vector<std::string>{live});
    EXPECT_EQ(events[0].thread, std::this_thread::get_id()) << "run in the sink's apartment";
  }
  EXPECT_EQ(call1(23, live), 2);
  const std::string dead = add(refusing.port());

  const auto setParams = [](const std::string& name) {
    return [name](Call& c) { c.in(name.c_str()).in("volume=3"); };
  };
  EXPECT_EQ(callForResult(control(), 27, setParams(live)), 0);
  EXPECT_FALSE(aam.requests("setParams").empty());
  EXPECT_EQ(callForResult(control(), 27, setParams(dead)), -1);
  for (DISPID id : {26, 34}) {  // GetParamsOf, GetStatOf
    Call c;
    ASSERT_EQ(c.in(dead.c_str()).outBstr().invoke(control(), id, DISPATCH_METHOD), S_OK);
    EXPECT_EQ(c.bstrOut(), "Not Connected") << id;
  }
  EXPECT_EQ(call1(8, live), 0);  // Rehash
  EXPECT_EQ(getText(control(), 3), "0");
  Call unknown;
  JComVariant unknownResult;
  EXPECT_EQ(unknown.in(5).invoke(control(), 99, DISPATCH_METHOD, &unknownResult),
            DISP_E_MEMBERNOTFOUND);
  const std::string call = "zq_atlcom_ext IZQDispatchImpl<struct IZQAudioOutputCtrl>: ";
  const std::string answer = "zq_atlcom_ext Result hr = ";
  for (const std::string& record : {
           call + "Dispatching DISPID = 8( '" + live + "' (VT_BSTR), '23130' (Unknown) )",
           answer + "0x00000000; pvarResult = 'null'",
           call + "Dispatching DISPID = 3(  )",
           answer + "0x00000000; pvarResult = '0' (VT_I4)",
           call + "Dispatching DISPID = 99( '5' (VT_I4) )",
           answer + "0x80020003; pvarResult = '' (Unknown)",
       }) {
    EXPECT_TRUE(log.contains(record)) << record;
  }
  EXPECT_EQ(call1(22, dead), 0);  // DeleteFromGroup
  ASSERT_EQ(put(control(), 3, 1), S_OK);
  EXPECT_EQ(callForResult(control(), 21, [](Call&) {}), -1) << "a blocking connection that failed";
  EXPECT_EQ(impl().group().names(), std::vector<std::string>{live});

  aam.stop();
  EventSink::Event down;
  ASSERT_TRUE(pumpUntil([&] {
    for (const auto& e : good->events()) {
      if (e.dispid == DISPID_LinkDown && e.args.at(0) == live) {
        down = e;
      }
    }
    return !down.args.empty();
  }));
  ASSERT_EQ(down.args.size(), 2u);
  EXPECT_FALSE(down.args[1].empty()) << "the error's message text";
  EXPECT_TRUE(pumpUntil([&] {
    return log.contains(
        "zq_atlcom_ext EventDispatchLog<class JZQAudioOutputCtrl>: Firing event LinkDown (Name = "
        "'" +
        live + "' (VT_BSTR), TextError = '" + down.args[1] + "' (VT_BSTR))");
  }));
  EXPECT_EQ(failing->events().size(), good->events().size());
  Call reset;
  ASSERT_EQ(reset.invoke(control(), 25, DISPATCH_METHOD), S_OK);
  EXPECT_TRUE(impl().group().names().empty());
  EXPECT_EQ(point->Unadvise(c1), S_OK);
  EXPECT_EQ(point->Unadvise(c2), S_OK);
}

// GetId hands the control to another thread, once; that thread's calls
// arrive while members wait for controllers' threads (and serve this
// apartment meanwhile): they run one at a time with them.
TEST_F(Live, CallsFromAnotherThreadThroughGetIdAreSerialised) {
  TestAAM aam;
  ASSERT_EQ(put(control(), 2, 4321), S_OK);
  const LONG id = callForResult(control(), 9, [](Call&) {});
  ASSERT_NE(id, 0);
  std::atomic<bool> done{false};
  std::atomic<LONG> seen{0};
  std::thread other([&] {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    ComPtr<IZQAudioOutputCtrl> remote;
    LONG port = -1;
    if (SUCCEEDED(CoGetInterfaceAndReleaseStream(takeInterfaceStream(id), IID_IZQAudioOutputCtrl,
                                                 remote.putVoid()))) {
      remote->get_Port(&port);
    }
    seen = port;
    for (int i = 0; remote && i < 40; ++i) {
      remote->put_Port(aam.port());
      remote->get_Port(&port);
    }
    remote.reset();
    CoUninitialize();
    done = true;
  });
  // Its first call reads what this thread set, before this thread sets more.
  pumpUntil([&] { return seen != 0; });
  for (int i = 0; i < 10 && !done; ++i) {
    EXPECT_EQ(call1(22, add(aam.port())), 0);
  }
  const bool finished = pumpUntil([&] { return done.load(); });
  other.join();
  ASSERT_TRUE(finished);
  EXPECT_EQ(seen.load(), 4321) << "the other thread reaches this control";
  EXPECT_EQ(takeInterfaceStream(id), nullptr) << "an id is good once";
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
    DWORD cookie = 0;
    advise(control.get(), sink.get(), &cookie);
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
