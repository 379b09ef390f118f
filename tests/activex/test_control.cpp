// The control through its dual interface as a host drives it: defaults, the
// result codes of the members, with and without live controllers,
// persistence, its interfaces and type information; LinkUp/LinkDown delivered
// into each sink's apartment, the call and event tracing records, GetId's
// hand-over to another thread, and final release while link events are in
// flight.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <optional>
#include <thread>

#include "aam/aam_channel_manager.h"
#include "activex/zq_atlcom_ext.h"
#include "com/global_interface_table.h"
#include "com/storage.h"
#include "com/stream.h"
#include "control_test_support.h"
#include "helpers/aam/test_aam.h"
#include "helpers/log_capture.h"
#include "helpers/temp_dir.h"
#include "helpers/waits.h"
#include "net/inet_addr.h"
#include "net/tcp_socket.h"

namespace zq::activex::test {
namespace {

using zq::test::LogCapture;
using zq::test::TestAAM;

std::string getText(IDispatch* d, DISPID id) {
  JComVariant v;
  Call call;
  EXPECT_EQ(call.invoke(d, id, DISPATCH_PROPERTYGET, &v), S_OK);
  JComVariant t;
  VariantChangeType(&t, &v, 0, VT_BSTR);
  return stringFromBstr(t.bstrVal);
}

using ControlDefaults = ControlFixture;

// A fresh control's defaults, then puts that reach the group (a non-zero
// Blocking reads back as 1) and a null BSTR taken as "".
TEST_F(ControlDefaults, DefaultsAndPutsOfTheProperties) {
  const struct {
    const char* name;
    DISPID id;
    std::optional<LONG> put;
    const char* got;
  } cases[] = {
      {"Server", 1, {}, "localhost"},       {"Port", 2, {}, "10001"},
      {"Blocking", 3, {}, "0"},             {"TimeOut", 4, {}, "2000"},
      {"LocalAAMPort", 19, {}, "-1"},       {"LocalAAMBoard", 20, {}, "-1"},
      {"Port put", 2, 5000, "5000"},        {"TimeOut put", 4, 150, "150"},
      {"Blocking any non-zero", 3, 7, "1"}, {"Blocking negative", 3, -1, "1"},
      {"Blocking zero", 3, 0, "0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Call put;
    if (c.put) {
      ASSERT_EQ(put.in(*c.put).invoke(control(), c.id, DISPATCH_PROPERTYPUT), S_OK);
    }
    EXPECT_EQ(getText(control(), c.id), c.got);
  }
  Call server;
  ASSERT_EQ(server.nullBstr().invoke(control(), 1, DISPATCH_PROPERTYPUT), S_OK);
  EXPECT_EQ(getText(control(), 1), "") << "a null BSTR is the empty string";
  EXPECT_EQ(impl().group().getServer(), "");
}

// Every member answers S_OK; its outcome is in the out parameter (each
// argument forwarded: the group's own tests hold the boundaries). The
// transport settings the SetLocalAAM members store for the next open are
// read back as the access manager reports them: each setting enables its
// transport, "not available" restores the defaults and disables it, an
// unknown QoS text changes nothing.
TEST_F(ControlDefaults, ResultCodesOfMembersWithoutControllers) {
  const auto settings = [&] {
    JParams p;
    impl().group().localAAMConfig().provider.write(p);
    return p.toString();
  };
  const auto is = [](const char* key, int32_t value) { return key + std::to_string(value); };
  struct Case {
    const char* name;
    DISPID id;
    void (*args)(Call&);
    LONG result;
    std::vector<std::string> shown = {};  // in the settings afterwards
  };
  for (const char* key : {"UdpEnable=true", "IpmEnable=false", "AtmEnable=false"}) {
    EXPECT_NE(settings().find(key), std::string::npos) << key << " by default";
  }
  const Case cases[] = {
      {"SetHardSource card 29", 11, [](Call& c) { c.in(29).in("pci2_line_in").outLong(); }, -1},
      {"SetHardSource unknown connector", 11, [](Call& c) { c.in(1).in("line_in").outLong(); }, -2},
      {"SetNetSource tcp", 16, [](Call& c) { c.in("tcp").in("h").in(5000).outLong(); }, -1},
      {"SetNetSource port 0", 16, [](Call& c) { c.in("udp").in("h").in(0).outLong(); }, -2},
      {"StreamMic without local AAM", 33, [](Call& c) { c.outLong(); }, -1},
      {"StreamFiles without local AAM", 32, [](Call& c) { c.in("a.mp3,b.mp3").in(0).outLong(); },
       -1},
      {"OpenLocalAAM unknown connector", 17,
       [](Call& c) { c.in(7000).in("line_in").in(1).in(32000).in("id").outLong(); }, -1},
      {"UdpConfig while none open", 29,
       [](Call& c) { c.in(1).in(0).in(2).in(5000).in(1400).outLong(); }, 0,
       {"UdpEnable=true", "UdpPrecedence=2", "UdpSourcePort=5000", "UdpMtu=1400"}},
      {"AtmConfig VBR multicast", 30,
       [](Call& c) { c.in(1).in(1).in("VBR").in(2).in(48).outLong(); }, 0,
       {"AtmEnable=true", "AtmQosClass=\"VBR\"", "AtmMulticastEnabled=true", "AtmInterface=2",
        "AtmMtu=48", "AtmPcrScrRatio=400", "AtmBandwidthMargin=100"}},
      {"AtmConfig unknown QoS", 30, [](Call& c) { c.in(1).in(0).in("ABR").in(0).in(53).outLong(); },
       -2, {"AtmQosClass=\"VBR\"", "AtmMtu=48"}},
      {"AtmConfig unknown QoS not available", 30,
       [](Call& c) { c.in(0).in(0).in("ABR").in(0).in(48).outLong(); }, 0,
       {"AtmEnable=false", "AtmMulticastEnabled=false", is("AtmMtu=", AtmConfig().mtu())}},
      {"AtmConfig CBR", 30, [](Call& c) { c.in(1).in(1).in("CBR").in(0).in(48).outLong(); }, 0,
       {"AtmEnable=true", "AtmQosClass=\"CBR\""}},
      {"AtmConfig UBR", 30, [](Call& c) { c.in(1).in(0).in("UBR").in(0).in(53).outLong(); }, 0,
       {"AtmQosClass=\"UBR\"", "AtmMulticastEnabled=false", "AtmMtu=53"}},
      {"IpmConfig", 31,
       [](Call& c) { c.in(1).in(0).in(3).in("239.1.1.1").in(5000).in(4).in(1400).outLong(); }, 0,
       {"IpmEnable=true", "IpmGroupAddress=\"239.1.1.1\"", "IpmPort=5000", "IpmPrecedence=3",
        "IpmTtl=4", "IpmMtu=1400"}},
      {"IpmConfig not available", 31,
       [](Call& c) { c.in(0).in(0).in(3).in("239.1.1.1").in(5000).in(4).in(1400).outLong(); }, 0,
       {"IpmEnable=false", is("IpmPort=", IpmConfig().port())}},
      {"UdpConfig not available", 29,
       [](Call& c) { c.in(0).in(0).in(2).in(5000).in(1400).outLong(); }, 0,
       {"UdpEnable=false", is("UdpSourcePort=", UdpConfig().sourcePort())}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Call call;
    c.args(call);
    ASSERT_EQ(call.invoke(control(), c.id, DISPATCH_METHOD), S_OK);
    EXPECT_EQ(call.longOut(), c.result);
    const std::string now = settings();
    for (const std::string& key : c.shown) {
      EXPECT_NE(now.find(key), std::string::npos) << key << " in " << now;
    }
  }
}

// The local AAM members in the order an operator uses them: open on the
// test-tone device, the transports locked while it runs, a file list that
// plays and gives the microphone back, and the failures that leave no
// local AAM or the running one untouched.
TEST_F(ControlDefaults, LocalAAMMembersOpenSwitchAndClose) {
  zq::test::ScopedRegistryDir registry;  // the default devices: device 1 is the test tone
  zq::test::TempDir dir;
  std::vector<std::string> files;
  for (const char* name : {"a.mp3", "b.mp3"}) {
    files.push_back((dir.path() / name).string());
    std::ofstream out(files.back(), std::ios::binary);
    const std::vector<uint8_t>& silence = ZQAAMChannelManager::silentFrame(128000);
    for (int i = 0; i < 12; ++i) {
      out.write(reinterpret_cast<const char*>(silence.data()),
                static_cast<std::streamsize>(silence.size()));
    }
  }
  JTCPSocket taken;
  taken.bind(JInetAddr("127.0.0.1", 0));
  taken.listen(1);
  const LONG takenPort = taken.localAddress().port();
  const std::string list = files[0] + "," + files[1];
  // Port 0: the service takes any free port, and LocalAAMPort tells which.
  auto open = [](const char* connector) {
    return [connector](Call& c) { c.in(0).in(connector).in(1).in(128000).in("op1").outLong(); };
  };
  struct Case {
    const char* name;
    DISPID id;
    std::function<void(Call&)> args;
    LONG result;
    bool running;  // LocalAAMPort after the call: the port it listens on, or -1
  };
  const Case cases[] = {
      {"open on the tone device", 17, open("wavein_mic_in"), 0, true},
      {"UDP settings while open", 29,
       [](Call& c) { c.in(1).in(0).in(0).in(5000).in(1400).outLong(); }, -1, true},
      {"ATM settings while open", 30,
       [](Call& c) { c.in(1).in(0).in("CBR").in(0).in(48).outLong(); }, -1, true},
      {"IP multicast settings while open", 31,
       [](Call& c) { c.in(1).in(0).in(0).in("239.1.1.1").in(5000).in(4).in(1400).outLong(); }, -1,
       true},
      {"files that are not there", 32, [](Call& c) { c.in("/nonexistent.mp3").in(0).outLong(); },
       -2, true},
      {"back to the microphone", 33, [](Call& c) { c.outLong(); }, 0, true},
      {"an unknown connector leaves it running", 17, open("line_in"), -1, true},
      {"a port in use leaves none", 17,
       [&](Call& c) { c.in(takenPort).in("wavein_mic_in").in(1).in(128000).in("op1").outLong(); },
       -1, false},
      {"open again", 17, open("wavein_line_in"), 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Call call;
    c.args(call);
    ASSERT_EQ(call.invoke(control(), c.id, DISPATCH_METHOD), S_OK);
    EXPECT_EQ(call.longOut(), c.result);
    const std::string port = getText(control(), 19);
    if (!c.running) {
      EXPECT_EQ(port, "-1");
      continue;
    }
    ASSERT_NE(port, "0");
    JTCPSocket client;
    EXPECT_NO_THROW(client.connect(JInetAddr("127.0.0.1", static_cast<uint16_t>(std::stoi(port)))))
        << "nothing listens on the port LocalAAMPort gives, " << port;
  }
  EXPECT_EQ(getText(control(), 20), "1");
  ASSERT_NE(impl().group().localAAM(), nullptr);
  EXPECT_TRUE(impl().group().localAAM()->openingSourceIsCurrent());

  // Two short files without looping: played, then the opening source again.
  Call files2;
  files2.in(list.c_str()).in(0).outLong();
  ASSERT_EQ(files2.invoke(control(), 32, DISPATCH_METHOD), S_OK);
  EXPECT_EQ(files2.longOut(), 0);
  EXPECT_FALSE(impl().group().localAAM()->openingSourceIsCurrent());
  EXPECT_TRUE(
      zq::test::eventually([&] { return impl().group().localAAM()->openingSourceIsCurrent(); }));

  Call close;
  ASSERT_EQ(close.invoke(control(), 18, DISPATCH_METHOD), S_OK);
  EXPECT_EQ(getText(control(), 19), "-1");
  EXPECT_EQ(getText(control(), 20), "-1");
  Call udp;
  udp.in(1).in(0).in(0).in(5000).in(1400).outLong();
  ASSERT_EQ(udp.invoke(control(), 29, DISPATCH_METHOD), S_OK);
  EXPECT_EQ(udp.longOut(), 0);
  EXPECT_EQ(impl().group().localAAMConfig().provider.udp().sourcePort(), 5000);
}

// The members with a text or typed out value: a name never added gives a
// message; the extraction members replace the caller's value when found,
// leave it when absent or unreadable (strings become empty).
TEST_F(ControlDefaults, TextAndExtractedResults) {
  const char* text = R"(Type="Audio", channels=2, gain=1.5, on=true)";
  struct Case {
    const char* name;
    DISPID id;
    const char* parameter;
    const char* params;    // null: a one-argument member
    const char* expected;  // the out value as text
  };
  const Case cases[] = {
      {"GetParamsOf unknown", 26, "nobody:1", nullptr, "Name not found"},
      {"GetStatOf unknown", 34, "nobody:1", nullptr, "Name not found"},
      {"integer found", 14, "channels", text, "2"},
      {"integer absent", 14, "volume", text, "23130"},
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
    call.in(c.parameter);
    if (c.params != nullptr) {
      call.in(c.params);
    }
    const bool textOut = c.id == 26 || c.id == 34 || c.id == 36;
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

std::vector<uint8_t> bytesOf(IStream* stream) {
  STATSTG stat{};
  EXPECT_EQ(stream->Stat(&stat, STATFLAG_NONAME), S_OK);
  std::vector<uint8_t> bytes(stat.cbSize.QuadPart);
  EXPECT_EQ(stream->Seek({0}, STREAM_SEEK_SET, nullptr), S_OK);
  ULONG read = 0;
  EXPECT_EQ(stream->Read(bytes.data(), static_cast<ULONG>(bytes.size()), &read), S_OK);
  return bytes;
}

ComPtr<IStream> streamOf(const std::vector<uint8_t>& bytes) {
  ComPtr<IStream> s;
  EXPECT_EQ(createMemoryStream(s.put()), S_OK);
  ULONG written = 0;
  EXPECT_EQ(s->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &written), S_OK);
  EXPECT_EQ(s->Seek({0}, STREAM_SEEK_SET, nullptr), S_OK);
  return s;
}

class Persistence : public ControlFixture {
 protected:
  void setKnownProperties() {
    Call server, port, timeOut, blocking;
    ASSERT_EQ(server.in("ab").invoke(control(), 1, DISPATCH_PROPERTYPUT), S_OK);
    ASSERT_EQ(port.in(5000).invoke(control(), 2, DISPATCH_PROPERTYPUT), S_OK);
    ASSERT_EQ(timeOut.in(150).invoke(control(), 4, DISPATCH_PROPERTYPUT), S_OK);
    ASSERT_EQ(blocking.in(9).invoke(control(), 3, DISPATCH_PROPERTYPUT), S_OK);
  }
  ComPtr<IPersistStreamInit> persist() { return ComPtr<IPersistStreamInit>::queryFrom(control()); }
};

// Version, the extent (25 x 25 pixels in HIMETRIC), then Server, Port,
// TimeOut and Blocking in the map's order, each a VARTYPE and its value.
const std::vector<uint8_t> kKnownBytes = {
    0x00, 0x03, 0x00, 0x00, 0x95, 0x02, 0x00, 0x00, 0x95, 0x02, 0x00, 0x00,  // head
    0x08, 0x00, 0x06, 0x00, 0x00, 0x00, 'a',  0x00, 'b',  0x00, 0x00, 0x00,  // Server
    0x03, 0x00, 0x88, 0x13, 0x00, 0x00,                                      // Port 5000
    0x03, 0x00, 0x96, 0x00, 0x00, 0x00,                                      // TimeOut 150
    0x03, 0x00, 0x01, 0x00, 0x00, 0x00,                                      // Blocking 1
};

TEST_F(Persistence, LoadsSavedStreamsAndRefusesBadOnes) {
  auto with = [](size_t at, uint8_t value) {
    std::vector<uint8_t> b = kKnownBytes;
    b[at] = value;
    return b;
  };
  std::vector<uint8_t> nullServer = {0x00, 0x03, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 0x08, 0, 0, 0, 0, 0};
  nullServer.insert(nullServer.end(), kKnownBytes.begin() + 24, kKnownBytes.end());
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    HRESULT hr;
    const char* server;  // the properties afterwards
    const char* port;
    const char* timeOut;
    const char* blocking;
  };
  const Case cases[] = {
      {"the saved layout", kKnownBytes, S_OK, "ab", "5000", "150", "1"},
      {"an older version", with(1, 0x02), S_OK, "ab", "5000", "150", "1"},
      {"a null string", nullServer, S_OK, "", "5000", "150", "1"},
      {"version 0x301", with(0, 0x01), E_FAIL, "localhost", "10001", "2000", "0"},
      {"cut short", std::vector<uint8_t>(kKnownBytes.begin(), kKnownBytes.begin() + 20), E_FAIL,
       "localhost", "10001", "2000", "0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ComPtr<IZQAudioOutputCtrl> fresh;
    ASSERT_EQ(JZQAudioOutputCtrl::create(IID_IZQAudioOutputCtrl, fresh.putVoid()), S_OK);
    auto p = ComPtr<IPersistStreamInit>::queryFrom(fresh.get());
    EXPECT_EQ(p->Load(streamOf(c.bytes).get()), c.hr);
    EXPECT_EQ(getText(fresh.get(), 1), c.server);
    EXPECT_EQ(getText(fresh.get(), 2), c.port);
    EXPECT_EQ(getText(fresh.get(), 4), c.timeOut);
    EXPECT_EQ(getText(fresh.get(), 3), c.blocking);
  }
}

// Saved into a storage's Contents stream (the stream's layout), which a
// fresh control loads; saving clears the dirty flag.
TEST_F(Persistence, SavesTheExactLayoutInContentsAndClearsDirty) {
  setKnownProperties();
  EXPECT_EQ(persist()->IsDirty(), S_OK);
  ULARGE_INTEGER max{};
  ASSERT_EQ(persist()->GetSizeMax(&max), S_OK);
  EXPECT_GE(max.QuadPart, kKnownBytes.size());
  ComPtr<IStorage> storage;
  ASSERT_EQ(createMemoryStorage(storage.put()), S_OK);
  auto ps = ComPtr<IPersistStorage>::queryFrom(control());
  ASSERT_EQ(ps->Save(storage.get(), 1), S_OK);
  ComPtr<IStream> contents;
  ASSERT_EQ(storage->OpenStream(u"Contents", nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0,
                                contents.put()),
            S_OK);
  EXPECT_EQ(bytesOf(contents.get()), kKnownBytes);
  EXPECT_EQ(persist()->IsDirty(), S_FALSE);
  ComPtr<IZQAudioOutputCtrl> other;
  ASSERT_EQ(JZQAudioOutputCtrl::create(IID_IZQAudioOutputCtrl, other.putVoid()), S_OK);
  ASSERT_EQ(ComPtr<IPersistStorage>::queryFrom(other.get())->Load(storage.get()), S_OK);
  EXPECT_EQ(getText(other.get(), 1), "ab");
  EXPECT_EQ(getText(other.get(), 2), "5000");
  ComPtr<IStorage> empty;
  ASSERT_EQ(createMemoryStorage(empty.put()), S_OK);
  EXPECT_EQ(ComPtr<IPersistStorage>::queryFrom(other.get())->Load(empty.get()), STG_E_FILENOTFOUND);
}

// ---- interfaces -----------------------------------------------------------------

// The interfaces no other test here queries (each that one does fails it
// when missing), and identity.
TEST_F(ControlDefaults, AnswersItsInterfacesAndOnlyThose) {
  const struct {
    const char* name;
    IID iid;
    HRESULT hr;
  } cases[] = {
      {"IUnknown", IID_IUnknown, S_OK},
      {"IDispatch", IID_IDispatch, S_OK},
      {"IZQAudioOutputCtrl", IID_IZQAudioOutputCtrl, S_OK},
      {"IOleControl", IID_IOleControl, S_OK},
      {"IOleInPlaceActiveObject", IID_IOleInPlaceActiveObject, S_OK},
      {"IOleInPlaceObjectWindowless", IID_IOleInPlaceObjectWindowless, S_OK},
      {"IQuickActivate", IID_IQuickActivate, S_OK},
      {"IDataObject", IID_IDataObject, S_OK},
      {"ISpecifyPropertyPages", IID_ISpecifyPropertyPages, S_OK},
      {"the event interface", DIID__IZQAudioOutputCtrlEvents, E_NOINTERFACE},
      {"IConnectionPoint", IID_IConnectionPoint, E_NOINTERFACE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    void* out = nullptr;
    EXPECT_EQ(control()->QueryInterface(c.iid, &out), c.hr);
    if (out != nullptr) {
      // Identity: the IUnknown of any interface is the control's.
      auto unknown = ComPtr<IUnknown>::queryFrom(static_cast<IUnknown*>(out));
      EXPECT_EQ(unknown.get(), static_cast<IUnknown*>(control()));
      static_cast<IUnknown*>(out)->Release();
    }
  }
}

TEST_F(ControlDefaults, ErrorInfoSafetyAndClassInfo) {
  auto errors = ComPtr<ISupportErrorInfo>::queryFrom(control());
  EXPECT_EQ(errors->InterfaceSupportsErrorInfo(IID_IZQAudioOutputCtrl), S_OK);
  EXPECT_EQ(errors->InterfaceSupportsErrorInfo(IID_IDispatch), S_FALSE);

  auto safety = ComPtr<IObjectSafety>::queryFrom(control());
  const struct {
    const char* name;
    DWORD mask, enabled;
    HRESULT hr;
    DWORD nowEnabled;
  } steps[] = {
      {"enable both", 3, 3, S_OK, 3},
      {"disable the caller option", 1, 0, S_OK, 2},
      {"an unsupported option", 4, 4, E_FAIL, 2},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(s.name);
    EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, s.mask, s.enabled), s.hr);
    DWORD supported = 0, enabled = 0;
    ASSERT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
    EXPECT_EQ(supported, 3u);
    EXPECT_EQ(enabled, s.nowEnabled);
  }

  auto classInfo = ComPtr<IProvideClassInfo2>::queryFrom(control());
  GUID source{};
  EXPECT_EQ(classInfo->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &source), S_OK);
  EXPECT_EQ(source, DIID__IZQAudioOutputCtrlEvents);
  EXPECT_EQ(classInfo->GetGUID(2, &source), E_INVALIDARG);

  auto object = ComPtr<IOleObject>::queryFrom(control());
  DWORD misc = 0;
  ASSERT_EQ(object->GetMiscStatus(DVASPECT_CONTENT, &misc), S_OK);
  EXPECT_EQ(misc, 132497u);
  SIZEL extent{};
  ASSERT_EQ(object->GetExtent(DVASPECT_CONTENT, &extent), S_OK);
  EXPECT_EQ(extent.cx, 661);
  EXPECT_EQ(extent.cy, 661);
}

TEST_F(ControlDefaults, TypeInformationNamesMembersParametersAndHelp) {
  ComPtr<ITypeInfo> info;
  ASSERT_EQ(control()->GetTypeInfo(0, 0, info.put()), S_OK);
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
  EXPECT_EQ(attr->cFuncs, 37);
  EXPECT_EQ(attr->guid, IID_IZQAudioOutputCtrl);
  info->ReleaseTypeAttr(attr);
  const struct {
    DISPID id;
    const char* names;  // the member's, then its parameters'
    const char* help;
  } cases[] = {
      {1, "Server Hostname", "property Server"},
      {8, "Rehash Name Result", "method Rehash"},
      {31, "SetLocalAAM_IpmConfig Available OfInterface Precedence Addr Port TTL MTU Result",
       "method SetLocalAAM_IpmConfig"},
      {34, "GetStatOf bstrName Params", "method GetStatOf"},
      {37, "ExtractNumber Parameter Params Value", "method ExtractNumber"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.names);
    BSTR names[20] = {};
    UINT count = 0;
    ASSERT_EQ(info->GetNames(c.id, names, 20, &count), S_OK);
    std::string joined;
    for (UINT i = 0; i < count; ++i) {
      joined += (i ? " " : "") + stringFromBstr(names[i]);
      SysFreeString(names[i]);
    }
    EXPECT_EQ(joined, c.names);
    JBstr help;
    ASSERT_EQ(info->GetDocumentation(c.id, nullptr, help.put(), nullptr, nullptr), S_OK);
    EXPECT_EQ(help.str(), c.help);
  }
  for (DISPID unused : {5, 6, 7, 13}) {
    BSTR name = nullptr;
    UINT count = 0;
    EXPECT_NE(info->GetNames(unused, &name, 1, &count), S_OK) << unused;
  }

  // The library that holds the interface, the events and the class, in
  // that order, each found back from its own information.
  ComPtr<ITypeLib> lib;
  UINT index = 9;
  ASSERT_EQ(info->GetContainingTypeLib(lib.put(), &index), S_OK);
  EXPECT_EQ(index, 0u);
  const char* const kDocs[][2] = {
      {"ZQAUDIOOUTPUTCONTROLLERLib", "ZQAudioOutputController 1.0 Type Library"},
      {"IZQAudioOutputCtrl", "IZQAudioOutputCtrl Interface"},
      {"_IZQAudioOutputCtrlEvents", "_IZQAudioOutputCtrlEvents Interface"},
      {"ZQAudioOutputCtrl", "ZQAudioOutputCtrl Class"}};
  for (INT i = -1; i < 3; ++i) {
    JBstr name, help;
    ASSERT_EQ(lib->GetDocumentation(i, name.put(), help.put(), nullptr, nullptr), S_OK);
    EXPECT_EQ(name.str() + " / " + help.str(), std::string(kDocs[i + 1][0]) + " / " + kDocs[i + 1][1]);
  }
  ComPtr<ITypeInfo> classInfo;
  ASSERT_EQ(ComPtr<IProvideClassInfo2>::queryFrom(control())->GetClassInfo(classInfo.put()), S_OK);
  ASSERT_EQ(classInfo->GetContainingTypeLib(nullptr, &index), S_OK);
  EXPECT_EQ(index, 2u);
}

TEST_F(ControlDefaults, DrawStretchesTheBitmapIntoTheRectangle) {
  auto view = ComPtr<IViewObjectEx>::queryFrom(control());
  std::vector<uint32_t> pixels(40 * 40, 0xDEADBEEF);
  JPixelBuffer buffer{pixels.data(), 40, 40, 40};
  const RECTL bounds{4, 4, 36, 36};  // 32 x 32: each bitmap pixel becomes 2 x 2
  ASSERT_EQ(view->Draw(DVASPECT_CONTENT, &bounds, &buffer), S_OK);
  const uint32_t* bitmap = toolboxBitmap();
  for (int y = 0; y < 40; ++y) {
    for (int x = 0; x < 40; ++x) {
      const bool inside = x >= 4 && x < 36 && y >= 4 && y < 36;
      const uint32_t expected =
          inside ? bitmap[((y - 4) / 2) * kBitmapSize + (x - 4) / 2] : 0xDEADBEEFu;
      ASSERT_EQ(pixels[static_cast<size_t>(y * 40 + x)], expected) << x << "," << y;
    }
  }
  // Past the buffer's edge: clipped, nothing written out of it.
  const RECTL over{30, 30, 60, 60};
  EXPECT_EQ(view->Draw(DVASPECT_CONTENT, &over, &buffer), S_OK);
  EXPECT_EQ(view->Draw(DVASPECT_CONTENT, nullptr, &buffer), E_POINTER);
}

// ---- with live controllers ------------------------------------------------------

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
