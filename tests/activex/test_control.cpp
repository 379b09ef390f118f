// The control through its dual interface as a host drives it: its members'
// results alone and with a local AAM and live controllers, persistence, its
// interfaces and type information, LinkUp/LinkDown delivered into each sink's
// apartment and traced, GetId's hand-over to another thread, and final
// release while link events are in flight. Then its in-process server: the
// registration keys written and removed, and the shared library loaded with
// dlopen and used as a host uses it.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <fstream>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "activex/module.h"
#include "activex/zq_atlcom_ext.h"
#include "activex/zq_audio_output_ctrl.h"
#include "com/apartment.h"
#include "com/bstr.h"
#include "com/class_factory.h"
#include "com/com_ptr.h"
#include "com/global_interface_table.h"
#include "com/ref_count.h"
#include "com/registry_lookup.h"
#include "com/storage.h"
#include "com/stream.h"
#include "helpers/aam/test_aam.h"
#include "helpers/log_capture.h"
#include "helpers/ports.h"
#include "helpers/temp_dir.h"
#include "helpers/waits.h"
#include "net/inet_addr.h"
#include "net/tcp_socket.h"

// This program links the control's layers and also loads the library that
// holds another copy of them (the runtime and the foundation below them are
// one shared copy), which the address sanitizer reports as one definition
// twice.
extern "C" const char* __asan_default_options();
extern "C" const char* __asan_default_options() {
  return "detect_odr_violation=0";
}

namespace zq::activex::test {
namespace {

/// The arguments of a call by value, in declaration order.
using Args = std::vector<std::variant<LONG, const char*>>;

/// A value as text, as a script would show it.
std::string textOf(const VARIANT& v) {
  JComVariant t;
  VariantChangeType(&t, &v, 0, VT_BSTR);
  return stringFromBstr(t.bstrVal);
}

/// A BSTR argument or out value that is a null pointer.
JComVariant nullBstrValue() {
  JComVariant v;
  v.vt = VT_BSTR;
  return v;
}

/// A call's arguments in declaration order; `out` entries are filled in by
/// reference and read back in their order.
class Call {
 public:
  Call() = default;
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;
  Call& in(LONG v) { return push(JComVariant(v)); }
  Call& in(const char* s) { return push(JComVariant(s)); }
  Call& in(const Args& args) {
    for (const auto& arg : args) {
      std::visit([this](auto v) { in(v); }, arg);
    }
    return *this;
  }
  Call& nullBstr() { return push(nullBstrValue()); }
  /// An argument by reference, holding `initial` until the call.
  Call& out(const JComVariant& initial = nullBstrValue()) {
    JComVariant& value = outs_.emplace_back(initial);
    JComVariant& ref = args_.emplace_back();
    ref.vt = static_cast<VARTYPE>(VT_BYREF | value.vt);
    ref.byref = &value.lVal;  // every member of the value's union starts there
    return *this;
  }
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
  std::string textOut(size_t i = 0) const { return textOf(outs_.at(i)); }

 private:
  Call& push(const JComVariant& v) {
    args_.push_back(v);
    return *this;
  }
  // The out values live in `outs_` (a deque: their places stay put); their
  // arguments point at them.
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
bool pumpUntil(Condition&& condition) {
  return zq::test::eventually([&] {
    waitApartmentMessages(5);
    return condition();
  });
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
  return textOf(v);
}

// A member with `args` and then a Result out argument; that result.
LONG callForResult(IDispatch* d, DISPID id, const Args& args) {
  Call call;
  call.in(args).out(JComVariant(LONG{0x5A5A}));
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
// failures that leave the running one or none. A null BSTR reads back as
// "" (the defaults are the refused loads' below).
TEST_F(Members, ResultsSettingsAndTheLocalAAM) {
  Call nullServer;
  ASSERT_EQ(nullServer.nullBstr().invoke(control(), 1, DISPATCH_PROPERTYPUT), S_OK);
  EXPECT_EQ(getText(control(), 1), "");

  zq::test::ScopedRegistryDir registry;  // the default devices: device 1 is the test tone
  JTCPSocket taken;
  taken.bind(JInetAddr("127.0.0.1", 0));
  taken.listen(1);
  const LONG takenPort = taken.localAddress().port();
  const auto settings = [&] {
    JParams p;
    impl().group().localAAMConfig().provider.write(p);
    return p.toString();
  };
  struct Case {
    const char* name;
    DISPID id;
    Args args;
    LONG result;
    const char* shown = "";  // in the settings afterwards, separated by spaces
    bool running = false;    // a local AAM listens on LocalAAMPort afterwards
  };
  const Case cases[] = {
      {"SetHardSource card 29", 11, Args{29, "pci2_line_in"}, -1},
      {"StreamMic without local AAM", 33, Args{}, -1},
      {"StreamFiles without local AAM", 32, Args{"a.mp3", 0}, -1},
      {"UdpConfig", 29, Args{1, 0, 2, 5000, 1400}, 0,
       "UdpEnable=true UdpPrecedence=2 UdpSourcePort=5000 UdpMtu=1400"},
      {"UdpConfig not available", 29, Args{0, 0, 2, 5000, 1400}, 0,
       "UdpEnable=false UdpSourcePort=0"},
      {"AtmConfig VBR multicast", 30, Args{1, 1, "VBR", 2, 48}, 0,
       "AtmEnable=true AtmQosClass=\"VBR\" AtmMulticastEnabled=true AtmInterface=2"},
      {"AtmConfig unknown QoS", 30, Args{1, 0, "ABR", 0, 53}, -2, "AtmQosClass=\"VBR\" AtmMtu=48"},
      {"AtmConfig not available", 30, Args{0, 0, "ABR", 0, 48}, 0,
       "AtmEnable=false AtmMulticastEnabled=false AtmInterface=0"},
      {"IpmConfig", 31, Args{1, 0, 3, "239.1.1.1", 5000, 4, 1400}, 0,
       "IpmEnable=true IpmGroupAddress=\"239.1.1.1\" IpmPort=5000 IpmTtl=4"},
      {"IpmConfig not available", 31, Args{0, 0, 3, "239.1.1.1", 5000, 4, 1400}, 0,
       "IpmEnable=false IpmPort=6666"},
      {"open on the tone device", 17, Args{0, "wavein_mic_in", 1, 128000, "op1"}, 0, "", true},
      {"UDP settings while open", 29, Args{1, 0, 0, 5000, 1400}, -1, "UdpEnable=false", true},
      {"files that are not there", 32, Args{"/nonexistent.mp3", 0}, -2, "", true},
      {"back to the microphone", 33, Args{}, 0, "", true},
      {"unknown connector, still running", 17, Args{0, "line_in", 1, 128000, "op1"}, -1, "", true},
      {"a port in use leaves none", 17, Args{takenPort, "wavein_mic_in", 1, 128000, "op1"}, -1},
      {"open again", 17, Args{0, "wavein_line_in", 1, 128000, "op1"}, 0, "", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(callForResult(control(), c.id, c.args), c.result);
    const std::string now = settings();
    std::istringstream shown(c.shown);
    for (std::string key; shown >> key;) {
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
    Args args;
    JComVariant out;       // the out argument before the call
    const char* expected;  // and after it, as text
  } cases[] = {
      {26, Args{"nobody:1"}, nullBstrValue(), "Name not found"},
      {14, Args{"channels", text}, JComVariant(LONG{0x5A5A}), "2"},
      {15, Args{"mute", ""}, JComVariant(LONG{0x5A5A}), "23130"},
      {37, Args{"volume", text}, JComVariant(2.5), "2.5"},
      {36, Args{"Type", text}, nullBstrValue(), "Audio"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.id);
    Call call;
    ASSERT_EQ(call.in(c.args).out(c.out).invoke(control(), c.id, DISPATCH_METHOD), S_OK);
    EXPECT_EQ(call.textOut(), c.expected);
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
  // A script's True (-1) is saved as Blocking 1.
  for (const auto& [id, value] : {std::pair<DISPID, LONG>{2, 5000}, {4, 150}, {3, -1}}) {
    ASSERT_EQ(put(control(), id, value), S_OK);
  }
  EXPECT_EQ(getText(control(), 3), "1");  // and read back as 1
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
    return callForResult(control(), id, {name.c_str()});
  }
  // Adds a controller for 127.0.0.1:`port`; its name.
  std::string add(uint16_t port) {
    EXPECT_EQ(put(control(), 1, "127.0.0.1"), S_OK);
    EXPECT_EQ(put(control(), 2, LONG{port}), S_OK);
    EXPECT_EQ(callForResult(control(), 21, {}), 0);
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

  EXPECT_EQ(callForResult(control(), 27, {live.c_str(), "volume=3"}), 0);
  EXPECT_FALSE(aam.requests("setParams").empty());
  EXPECT_EQ(callForResult(control(), 27, {dead.c_str(), "volume=3"}), -1);
  for (DISPID id : {26, 34}) {  // GetParamsOf, GetStatOf
    Call c;
    ASSERT_EQ(c.in(dead.c_str()).out().invoke(control(), id, DISPATCH_METHOD), S_OK);
    EXPECT_EQ(c.textOut(), "Not Connected") << id;
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
  EXPECT_EQ(callForResult(control(), 21, {}), -1) << "a blocking connection that failed";
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
  const LONG id = callForResult(control(), 9, {});
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

// ---- the in-process server ------------------------------------------------------

const std::string kClsidKey = "CLSID\\{EF82A84C-2CB5-4738-8968-2A757693A44A}";

// A registry file's keys, each with its values, in any order.
std::multiset<std::string> keysOf(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::multiset<std::string> keys;
  std::string key;
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with('[') && !key.empty()) {
      keys.insert(key);
      key.clear();
    }
    key +=
        line.starts_with('[') || line.starts_with('@') || line.starts_with('"') ? line + "\n" : "";
  }
  keys.insert(key);
  return keys;
}

// The store's file after registration holds the class's, its type
// library's and both interfaces' keys with their values, as
// registered_classes.reg does; registering again gives the same (an empty
// marker key is made again: a value left in one goes); unregistering leaves
// what was there before, someone else's class and the parent keys.
TEST(Registration, WritesAndRemovesExactlyTheListedKeys) {
  zq::test::ScopedRegistryDir registry;
  const std::filesystem::path file = registry.path() / "HKEY_CLASSES_ROOT.reg";
  JSystemRegistryKey(HKEY_CLASSES_ROOT, "CLSID\\{00000000-1111-2222-3333-444444444444}")
      .setString("", "other");
  for (const char* parent : {"TypeLib", "Interface"}) {
    JSystemRegistryKey(HKEY_CLASSES_ROOT, parent);
  }
  const std::multiset<std::string> before = keysOf(file);
  const std::string module = "/opt/zq/lib/libZQAudioOutputController.so";
  ASSERT_EQ(registerServer(module), S_OK);
  EXPECT_EQ(keysOf(file), keysOf(ZQ_REGISTERED_CLASSES));
  JSystemRegistryKey(HKEY_CLASSES_ROOT, kClsidKey + "\\Control").setString("stale", "x");
  ASSERT_EQ(registerServer(module), S_OK);
  EXPECT_EQ(keysOf(file), keysOf(ZQ_REGISTERED_CLASSES));
  ASSERT_EQ(unregisterServer(module), S_OK);
  EXPECT_EQ(keysOf(file), before);
  EXPECT_EQ(unregisterServer(module), S_OK) << "nothing left to remove is no error";
}

using GetClassObjectFn = HRESULT (*)(const GUID&, const GUID&, void**);
using NoArgumentFn = HRESULT (*)();

// As a host: the library loaded, its entry points, the class object of
// this class only, and registration that lets CoCreateInstance find it
// until it is removed (zqctl's tests drive the library's control itself).
TEST(SharedLibrary, CreatesRegistersAndServesTheControl) {
  zq::test::ScopedRegistryDir registry;
  void* const library = ::dlopen(ZQ_CONTROL_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << ::dlerror();
  const auto getClassObject =
      reinterpret_cast<GetClassObjectFn>(::dlsym(library, "DllGetClassObject"));
  const auto canUnload = reinterpret_cast<NoArgumentFn>(::dlsym(library, "DllCanUnloadNow"));
  const auto registerIt = reinterpret_cast<NoArgumentFn>(::dlsym(library, "DllRegisterServer"));
  const auto unregisterIt = reinterpret_cast<NoArgumentFn>(::dlsym(library, "DllUnregisterServer"));
  ASSERT_TRUE(getClassObject && canUnload && registerIt && unregisterIt);
  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
  ComPtr<IClassFactory> factory;
  EXPECT_EQ(getClassObject(IID_IDispatch, IID_IClassFactory, factory.putVoid()),
            CLASS_E_CLASSNOTAVAILABLE);
  ASSERT_EQ(getClassObject(CLSID_ZQAudioOutputCtrl, IID_IClassFactory, factory.putVoid()), S_OK);
  ComPtr<IDispatch> control;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, control.putVoid()), S_OK);
  factory.reset();
  EXPECT_EQ(canUnload(), S_FALSE) << "a control lives";

  control.reset();
  EXPECT_EQ(canUnload(), S_OK);

  ASSERT_EQ(registerIt(), S_OK);
  std::string module;
  EXPECT_TRUE(openExistingKey(HKEY_CLASSES_ROOT, kClsidKey + "\\InprocServer32", KEY_READ)
                  .value()
                  .getString("", module));
  EXPECT_EQ(std::filesystem::canonical(module), std::filesystem::canonical(ZQ_CONTROL_LIBRARY));
  ASSERT_EQ(CoCreateInstance(CLSID_ZQAudioOutputCtrl, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                             control.putVoid()),
            S_OK);
  control.reset();
  ASSERT_EQ(unregisterIt(), S_OK);
  EXPECT_EQ(CoCreateInstance(CLSID_ZQAudioOutputCtrl, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                             control.putVoid()),
            REGDB_E_CLASSNOTREG);
  CoUninitialize();
  ::dlclose(library);
}

}  // namespace
}  // namespace zq::activex::test
