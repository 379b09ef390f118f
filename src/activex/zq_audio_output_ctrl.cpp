// The control object: its members forwarding to the group, its events, its
// persistence and its container interfaces, with the type tables that drive
// its dispatch and describe it to hosts.
#include "activex/zq_audio_output_ctrl.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "base/error.h"
#include "base/log.h"
#include "com/apartment.h"
#include "com/apartment_proxy.h"
#include "com/class_factory.h"
#include "com/global_interface_table.h"
#include "com/stream.h"

namespace zq::activex {

namespace {

constexpr USHORT kOut = PARAMFLAG_FOUT;
constexpr USHORT kRet = PARAMFLAG_FOUT | PARAMFLAG_FRETVAL;
constexpr DWORD kSafetySupported =
    INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA;
constexpr DWORD kMiscStatus = OLEMISC_SETCLIENTSITEFIRST | OLEMISC_INVISIBLEATRUNTIME |
                              OLEMISC_ACTIVATEWHENVISIBLE | OLEMISC_INSIDEOUT |
                              OLEMISC_CANTLINKINSIDE | OLEMISC_RECOMPOSEONRESIZE;
constexpr size_t kMessageBytes = 1024;

std::string text(BSTR s) {
  return stringFromBstr(s);
}

// Runs every call of the dual interface in the control's apartment, for a
// thread that got the control through GetId's stream or the interface table.
#define ZQ_FORWARD(Name, Params, Args)                                                 \
  HRESULT Name Params override {                                                       \
    return forward([&](IZQAudioOutputCtrl* zqTarget) { return zqTarget->Name Args; }); \
  }

struct ControlProxy : JDispatchProxy<IZQAudioOutputCtrl> {
  using JDispatchProxy::JDispatchProxy;
  ZQ_FORWARD(get_Server, (BSTR * a), (a))
  ZQ_FORWARD(put_Server, (BSTR a), (a))
  ZQ_FORWARD(get_Port, (LONG * a), (a))
  ZQ_FORWARD(put_Port, (LONG a), (a))
  ZQ_FORWARD(get_Blocking, (LONG * a), (a))
  ZQ_FORWARD(put_Blocking, (LONG a), (a))
  ZQ_FORWARD(get_TimeOut, (LONG * a), (a))
  ZQ_FORWARD(put_TimeOut, (LONG a), (a))
  ZQ_FORWARD(Rehash, (BSTR a, LONG* b), (a, b))
  ZQ_FORWARD(GetId, (LONG * a), (a))
  ZQ_FORWARD(SetFileSource, (BSTR a), (a))
  ZQ_FORWARD(SetHardSource, (LONG a, BSTR b, LONG* c), (a, b, c))
  ZQ_FORWARD(SetParams, (BSTR a), (a))
  ZQ_FORWARD(ExtractInteger, (BSTR a, BSTR b, LONG* c), (a, b, c))
  ZQ_FORWARD(ExtractBoolean, (BSTR a, BSTR b, LONG* c), (a, b, c))
  ZQ_FORWARD(SetNetSource, (BSTR a, BSTR b, LONG c, LONG* d), (a, b, c, d))
  ZQ_FORWARD(OpenLocalAAM, (LONG a, BSTR b, LONG c, LONG d, BSTR e, LONG* f), (a, b, c, d, e, f))
  ZQ_FORWARD(CloseLocalAAM, (), ())
  ZQ_FORWARD(get_LocalAAMPort, (LONG * a), (a))
  ZQ_FORWARD(get_LocalAAMBoard, (LONG * a), (a))
  ZQ_FORWARD(AddToGroupAndConnect, (LONG * a), (a))
  ZQ_FORWARD(DeleteFromGroup, (BSTR a, LONG* b), (a, b))
  ZQ_FORWARD(GetStatusOf, (BSTR a, LONG* b), (a, b))
  ZQ_FORWARD(RehashGroup, (), ())
  ZQ_FORWARD(ResetGroup, (), ())
  ZQ_FORWARD(GetParamsOf, (BSTR a, BSTR* b), (a, b))
  ZQ_FORWARD(SetParamsOf, (BSTR a, BSTR b, LONG* c), (a, b, c))
  ZQ_FORWARD(ResetSource, (), ())
  ZQ_FORWARD(SetLocalAAM_UdpConfig, (LONG a, LONG b, LONG c, LONG d, LONG e, LONG* f),
             (a, b, c, d, e, f))
  ZQ_FORWARD(SetLocalAAM_AtmConfig, (LONG a, LONG b, BSTR c, LONG d, LONG e, LONG* f),
             (a, b, c, d, e, f))
  ZQ_FORWARD(SetLocalAAM_IpmConfig,
             (LONG a, LONG b, LONG c, BSTR d, LONG e, LONG f, LONG g, LONG* h),
             (a, b, c, d, e, f, g, h))
  ZQ_FORWARD(StreamFiles, (BSTR a, LONG b, LONG* c), (a, b, c))
  ZQ_FORWARD(StreamMic, (LONG * a), (a))
  ZQ_FORWARD(GetStatOf, (BSTR a, BSTR* b), (a, b))
  ZQ_FORWARD(FlushGroup, (), ())
  ZQ_FORWARD(ExtractString, (BSTR a, BSTR b, BSTR* c), (a, b, c))
  ZQ_FORWARD(ExtractNumber, (BSTR a, BSTR b, DOUBLE* c), (a, b, c))
};
#undef ZQ_FORWARD

// Streams handed out by GetId, by number.
struct StreamKeeping {
  std::mutex mutex;
  std::map<LONG, IStream*> streams;
  LONG next = 0;
};
StreamKeeping& keeping() {
  static StreamKeeping k;
  return k;
}

// The proxies this module needs, made known once per process.
void registerProxies() {
  static std::once_flag once;
  std::call_once(once, [] {
    registerProxyFactory(IID_IZQAudioOutputCtrl, &proxyFactory<ControlProxy>);
    registerDispatchProxy(DIID__IZQAudioOutputCtrlEvents);
  });
}

// One property of the map, read and written through the dual interface.
struct MappedProperty {
  DISPID dispid;
  VARTYPE vt;
};
constexpr MappedProperty kPropertyMap[] = {
    {1, VT_BSTR},  // Server
    {2, VT_I4},    // Port
    {4, VT_I4},    // TimeOut
    {3, VT_I4},    // Blocking
};

HRESULT writeAll(IStream* s, const void* data, ULONG size) {
  ULONG written = 0;
  const HRESULT hr = s->Write(data, size, &written);
  return FAILED(hr) ? hr : written == size ? S_OK : STG_E_WRITEFAULT;
}
HRESULT readAll(IStream* s, void* data, ULONG size) {
  ULONG read = 0;
  const HRESULT hr = s->Read(data, size, &read);
  return FAILED(hr) ? hr : read == size ? S_OK : E_FAIL;
}

// Takes `mutex` for this thread; in a single-threaded apartment it keeps
// serving the apartment while it waits, so that the holder (a worker of
// servingApartment) can finish.
void lockServing(std::mutex& mutex) {
  if (apartmentMessageSignal() == nullptr) {
    mutex.lock();
    return;
  }
  while (!mutex.try_lock()) {
    waitApartmentMessages(5);
  }
}

// Runs `operation` under `mutex`, where it may wait for a controller's event
// thread, while this thread keeps serving its apartment: that event thread
// may itself be waiting to deliver a link event into this apartment. A call
// that arrives meanwhile runs here and waits for `mutex` the same way.
// Outside a single-threaded apartment there is nothing to serve.
template <class Operation>
auto servingApartment(std::mutex& mutex, Operation&& operation) {
  if (apartmentMessageSignal() == nullptr) {
    std::lock_guard lock(mutex);
    return operation();
  }
  std::atomic<bool> done{false};
  decltype(operation()) result{};
  std::thread worker([&] {
    std::lock_guard lock(mutex);
    result = operation();
    done = true;
  });
  while (!done) {
    waitApartmentMessages(10);
  }
  worker.join();
  return result;
}

// The 16 x 16 toolbox picture: a loudspeaker on white.
constexpr const char* kPicture[kBitmapSize] = {
    "................", "................", "........#.......", ".......##...#...",
    "......###....#..", "..#######..#..#.", "..#######...#.#.", "..#######...#.#.",
    "..#######...#.#.", "..#######...#.#.", "..#######..#..#.", "......###....#..",
    ".......##...#...", "........#.......", "................", "................",
};

}  // namespace

const uint32_t* toolboxBitmap() {
  static const auto bitmap = [] {
    std::array<uint32_t, kBitmapSize * kBitmapSize> b{};
    for (int y = 0; y < kBitmapSize; ++y) {
      for (int x = 0; x < kBitmapSize; ++x) {
        b[static_cast<size_t>(y * kBitmapSize + x)] = kPicture[y][x] == '#' ? 0x000080u : 0xFFFFFFu;
      }
    }
    return b;
  }();
  return bitmap.data();
}

// ---- the type tables ------------------------------------------------------

using M = JMembers<JZQAudioOutputCtrl>;
using C = JZQAudioOutputCtrl;
inline constexpr JMemberDesc kControlMembers[] = {
    M::propertyGet<&C::get_Server>(1, "Server", {{"Hostname", VT_BSTR, kRet}}, "property Server"),
    M::propertyPut<&C::put_Server>(1, "Server", {{"Hostname", VT_BSTR}}, "property Server"),
    M::propertyGet<&C::get_Port>(2, "Port", {{"Port", VT_I4, kRet}}, "property Port"),
    M::propertyPut<&C::put_Port>(2, "Port", {{"Port", VT_I4}}, "property Port"),
    M::propertyGet<&C::get_Blocking>(3, "Blocking", {{"Blocking", VT_I4, kRet}},
                                     "property Blocking"),
    M::propertyPut<&C::put_Blocking>(3, "Blocking", {{"Blocking", VT_I4}}, "property Blocking"),
    M::propertyGet<&C::get_TimeOut>(4, "TimeOut", {{"TimeOut", VT_I4, kRet}}, "property TimeOut"),
    M::propertyPut<&C::put_TimeOut>(4, "TimeOut", {{"TimeOut", VT_I4}}, "property TimeOut"),
    M::method<&C::Rehash>(8, "Rehash", {{"Name", VT_BSTR}, {"Result", VT_I4, kOut}},
                          "method Rehash"),
    M::method<&C::GetId>(9, "GetId", {{"pInterface", VT_I4, kOut}}, "method GetId"),
    M::method<&C::SetFileSource>(10, "SetFileSource", {{"FileSource", VT_BSTR}},
                                 "method SetFileSource"),
    M::method<&C::SetHardSource>(
        11, "SetHardSource",
        {{"CardNumber", VT_I4}, {"Connector", VT_BSTR}, {"Result", VT_I4, kOut}},
        "method SetHardSource"),
    M::method<&C::SetParams>(12, "SetParams", {{"Params", VT_BSTR}}, "method SetParams"),
    M::method<&C::ExtractInteger>(
        14, "ExtractInteger", {{"Parameter", VT_BSTR}, {"Params", VT_BSTR}, {"Value", VT_I4, kOut}},
        "method ExtractInteger"),
    M::method<&C::ExtractBoolean>(
        15, "ExtractBoolean", {{"Parameter", VT_BSTR}, {"Params", VT_BSTR}, {"Value", VT_I4, kOut}},
        "method ExtractBoolean"),
    M::method<&C::SetNetSource>(
        16, "SetNetSource",
        {{"Proto", VT_BSTR}, {"Host", VT_BSTR}, {"Port", VT_I4}, {"Result", VT_I4, kOut}},
        "method SetNetSource"),
    M::method<&C::OpenLocalAAM>(17, "OpenLocalAAM",
                                {{"Port", VT_I4},
                                 {"Connector", VT_BSTR},
                                 {"Board", VT_I4},
                                 {"TargetRate", VT_I4},
                                 {"Id", VT_BSTR},
                                 {"Result", VT_I4, kOut}},
                                "method OpenLocalAAM"),
    M::method<&C::CloseLocalAAM>(18, "CloseLocalAAM", {}, "method CloseLocalAAM"),
    M::propertyGet<&C::get_LocalAAMPort>(19, "LocalAAMPort", {{"LocalPort", VT_I4, kRet}},
                                         "property LocalAAMPort"),
    M::propertyGet<&C::get_LocalAAMBoard>(20, "LocalAAMBoard", {{"LocalBoard", VT_I4, kRet}},
                                          "property LocalAAMBoard"),
    M::method<&C::AddToGroupAndConnect>(21, "AddToGroupAndConnect", {{"Result", VT_I4, kOut}},
                                        "method AddToGroupAndConnect"),
    M::method<&C::DeleteFromGroup>(22, "DeleteFromGroup",
                                   {{"Name", VT_BSTR}, {"Result", VT_I4, kOut}},
                                   "method DeleteFromGroup"),
    M::method<&C::GetStatusOf>(23, "GetStatusOf", {{"Name", VT_BSTR}, {"Result", VT_I4, kOut}},
                               "method GetStatusOf"),
    M::method<&C::RehashGroup>(24, "RehashGroup", {}, "method RehashGroup"),
    M::method<&C::ResetGroup>(25, "ResetGroup", {}, "method ResetGroup"),
    M::method<&C::GetParamsOf>(26, "GetParamsOf", {{"Name", VT_BSTR}, {"Params", VT_BSTR, kOut}},
                               "method GetParamsOf"),
    M::method<&C::SetParamsOf>(27, "SetParamsOf",
                               {{"Name", VT_BSTR}, {"Params", VT_BSTR}, {"Result", VT_I4, kOut}},
                               "method SetParamsOf"),
    M::method<&C::ResetSource>(28, "ResetSource", {}, "method ResetSource"),
    M::method<&C::SetLocalAAM_UdpConfig>(29, "SetLocalAAM_UdpConfig",
                                         {{"Available", VT_I4},
                                          {"OfInterface", VT_I4},
                                          {"Precedence", VT_I4},
                                          {"SourcePort", VT_I4},
                                          {"MTU", VT_I4},
                                          {"Result", VT_I4, kOut}},
                                         "method SetLocalAAM_UdpConfig"),
    M::method<&C::SetLocalAAM_AtmConfig>(30, "SetLocalAAM_AtmConfig",
                                         {{"Available", VT_I4},
                                          {"Multicast", VT_I4},
                                          {"QOS", VT_BSTR},
                                          {"OfInterface", VT_I4},
                                          {"Chunk", VT_I4},
                                          {"Result", VT_I4, kOut}},
                                         "method SetLocalAAM_AtmConfig"),
    M::method<&C::SetLocalAAM_IpmConfig>(31, "SetLocalAAM_IpmConfig",
                                         {{"Available", VT_I4},
                                          {"OfInterface", VT_I4},
                                          {"Precedence", VT_I4},
                                          {"Addr", VT_BSTR},
                                          {"Port", VT_I4},
                                          {"TTL", VT_I4},
                                          {"MTU", VT_I4},
                                          {"Result", VT_I4, kOut}},
                                         "method SetLocalAAM_IpmConfig"),
    M::method<&C::StreamFiles>(32, "StreamFiles",
                               {{"Files", VT_BSTR}, {"Looping", VT_I4}, {"Result", VT_I4, kOut}},
                               "method StreamFiles"),
    M::method<&C::StreamMic>(33, "StreamMic", {{"Result", VT_I4, kOut}}, "method StreamMic"),
    M::method<&C::GetStatOf>(34, "GetStatOf", {{"bstrName", VT_BSTR}, {"Params", VT_BSTR, kOut}},
                             "method GetStatOf"),
    M::method<&C::FlushGroup>(35, "FlushGroup", {}, "method FlushGroup"),
    M::method<&C::ExtractString>(
        36, "ExtractString",
        {{"Parameter", VT_BSTR}, {"Params", VT_BSTR}, {"Value", VT_BSTR, kOut}},
        "method ExtractString"),
    M::method<&C::ExtractNumber>(
        37, "ExtractNumber", {{"Parameter", VT_BSTR}, {"Params", VT_BSTR}, {"Value", VT_R8, kOut}},
        "method ExtractNumber"),
};
constexpr JTypeDescription kIZQAudioOutputCtrlType{"IZQAudioOutputCtrl",
                                                   IID_IZQAudioOutputCtrl,
                                                   TKIND_INTERFACE,
                                                   "IZQAudioOutputCtrl Interface",
                                                   TYPEFLAG_FDUAL | TYPEFLAG_FDISPATCHABLE,
                                                   kControlMembers,
                                                   {},
                                                   &kZQAudioOutputControllerLib};

inline constexpr JMemberDesc kEventMembers[] = {
    describedMember(DISPID_LinkUp, "LinkUp", {{"Name", VT_BSTR}}, "event LinkUp"),
    describedMember(DISPID_LinkDown, "LinkDown", {{"Name", VT_BSTR}, {"TextError", VT_BSTR}},
                    "event LinkDown"),
};
constexpr JTypeDescription kIZQAudioOutputCtrlEventsType{"_IZQAudioOutputCtrlEvents",
                                                         DIID__IZQAudioOutputCtrlEvents,
                                                         TKIND_DISPATCH,
                                                         "_IZQAudioOutputCtrlEvents Interface",
                                                         0,
                                                         kEventMembers,
                                                         {},
                                                         &kZQAudioOutputControllerLib};

inline constexpr JImplementedType kClassInterfaces[] = {
    {&kIZQAudioOutputCtrlType, IMPLTYPEFLAG_FDEFAULT},
    {&kIZQAudioOutputCtrlEventsType, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE},
};
constexpr JTypeDescription kZQAudioOutputCtrlClassType{"ZQAudioOutputCtrl",
                                                       CLSID_ZQAudioOutputCtrl,
                                                       TKIND_COCLASS,
                                                       "ZQAudioOutputCtrl Class",
                                                       TYPEFLAG_FCANCREATE,
                                                       {},
                                                       kClassInterfaces,
                                                       &kZQAudioOutputControllerLib};

inline constexpr const JTypeDescription* kLibraryTypes[] = {
    &kIZQAudioOutputCtrlType, &kIZQAudioOutputCtrlEventsType, &kZQAudioOutputCtrlClassType};
constexpr JTypeLibraryDescription kZQAudioOutputControllerLib{
    "ZQAUDIOOUTPUTCONTROLLERLib", LIBID_ZQAUDIOOUTPUTCONTROLLERLib, 1, 0,
    "ZQAudioOutputController 1.0 Type Library", kLibraryTypes};

// ---- construction and release ---------------------------------------------

JZQAudioOutputCtrl::JZQAudioOutputCtrl()
    : events_(*static_cast<IZQAudioOutputCtrl*>(this), DIID__IZQAudioOutputCtrlEvents),
      propertyNotify_(*static_cast<IZQAudioOutputCtrl*>(this), IID_IPropertyNotifySink),
      extent_{pixelsToHimetric(kNaturalExtentPixels), pixelsToHimetric(kNaturalExtentPixels)},
      group_(std::make_unique<AudioOutputControllerGroup>(this)) {
  registerProxies();
  lockModule();
}

JZQAudioOutputCtrl::~JZQAudioOutputCtrl() {
  unlockModule();
}

HRESULT JZQAudioOutputCtrl::create(REFIID riid, void** object) {
  if (object == nullptr) {
    return E_POINTER;
  }
  *object = nullptr;
  JZQAudioOutputCtrl* control = nullptr;
  try {
    control = new JZQAudioOutputCtrl();
  } catch (const JError& e) {
    JLog::log(10, e.message(), __FILE__, __LINE__, "Exception CATCH", nullptr);
    return E_FAIL;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  control->finalConstruct();
  const HRESULT hr = control->QueryInterface(riid, object);
  control->Release();
  return hr;
}

void JZQAudioOutputCtrl::finalConstruct() {
  subscribe(static_cast<IZQAudioOutputCtrl*>(this));
}

void JZQAudioOutputCtrl::finalRelease() {
  unsubscribe(&events_);
  closing_ = true;
  // Deleting the controllers waits for a link event in progress.
  servingApartment(groupMutex_, [this] {
    group_.reset();
    return 0;
  });
}

JZQAudioOutputCtrl::LockedGroup JZQAudioOutputCtrl::lockedGroup() {
  lockServing(groupMutex_);
  return {std::unique_lock<std::mutex>(groupMutex_, std::adopt_lock), group_.get()};
}

HRESULT JZQAudioOutputCtrl::QueryInterface(REFIID riid, void** object) {
  if (object == nullptr) {
    return E_POINTER;
  }
  *object = nullptr;
  if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IZQAudioOutputCtrl) {
    *object = static_cast<IZQAudioOutputCtrl*>(this);
  } else if (riid == IID_IPersistStreamInit) {
    *object = static_cast<IPersistStreamInit*>(this);
  } else if (riid == IID_IOleControl) {
    *object = static_cast<IOleControl*>(this);
  } else if (riid == IID_IOleObject) {
    *object = static_cast<IOleObject*>(this);
  } else if (riid == IID_IOleInPlaceActiveObject) {
    *object = static_cast<IOleInPlaceActiveObject*>(this);
  } else if (riid == IID_IViewObjectEx) {
    *object = static_cast<IViewObjectEx*>(this);
  } else if (riid == IID_IOleInPlaceObjectWindowless) {
    *object = static_cast<IOleInPlaceObjectWindowless*>(this);
  } else if (riid == IID_ISupportErrorInfo) {
    *object = static_cast<ISupportErrorInfo*>(this);
  } else if (riid == IID_IConnectionPointContainer) {
    *object = static_cast<IConnectionPointContainer*>(this);
  } else if (riid == IID_IPersistStorage) {
    *object = static_cast<IPersistStorage*>(this);
  } else if (riid == IID_ISpecifyPropertyPages) {
    *object = static_cast<ISpecifyPropertyPages*>(this);
  } else if (riid == IID_IQuickActivate) {
    *object = static_cast<IQuickActivate*>(this);
  } else if (riid == IID_IDataObject) {
    *object = static_cast<IDataObject*>(this);
  } else if (riid == IID_IProvideClassInfo || riid == IID_IProvideClassInfo2) {
    *object = static_cast<IProvideClassInfo2*>(this);
  } else if (riid == IID_IObjectSafety) {
    *object = static_cast<IObjectSafety*>(this);
  } else {
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

ULONG JZQAudioOutputCtrl::AddRef() {
  return refs_.fetch_add(1, std::memory_order_relaxed) + 1;
}

ULONG JZQAudioOutputCtrl::Release() {
  const ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (left == 0) {
    // Held while the final release runs, so that references taken and
    // dropped by it do not delete the control twice.
    refs_ = 1;
    finalRelease();
    delete this;
  }
  return left;
}

// ---- properties -------------------------------------------------------------

HRESULT JZQAudioOutputCtrl::get_Server(BSTR* hostname) {
  *hostname = bstrFromString(lockedGroup()->getServer());
  return S_OK;
}
HRESULT JZQAudioOutputCtrl::put_Server(BSTR hostname) {
  lockedGroup()->setServer(text(hostname));
  dirty_ = true;
  return S_OK;
}
HRESULT JZQAudioOutputCtrl::get_Port(LONG* port) {
  *port = lockedGroup()->getPort();
  return S_OK;
}
HRESULT JZQAudioOutputCtrl::put_Port(LONG port) {
  lockedGroup()->setPort(port);
  dirty_ = true;
  return S_OK;
}
HRESULT JZQAudioOutputCtrl::get_Blocking(LONG* blocking) {
  *blocking = lockedGroup()->getBlocking() ? 1 : 0;
  return S_OK;
}
HRESULT JZQAudioOutputCtrl::put_Blocking(LONG blocking) {
  lockedGroup()->setBlocking(blocking != 0);
  dirty_ = true;
  return S_OK;
}
HRESULT JZQAudioOutputCtrl::get_TimeOut(LONG* timeOut) {
  *timeOut = lockedGroup()->getTimeOut();
  return S_OK;
}
HRESULT JZQAudioOutputCtrl::put_TimeOut(LONG timeOut) {
  lockedGroup()->setTimeOut(timeOut);
  dirty_ = true;
  return S_OK;
}

// ---- methods ----------------------------------------------------------------

HRESULT JZQAudioOutputCtrl::Rehash(BSTR name, LONG* result) {
  const std::string n = text(name);
  *result = servingApartment(groupMutex_, [&] { return group_->Rehash(n); });
  return S_OK;
}

HRESULT JZQAudioOutputCtrl::GetId(LONG* id) {
  *id = 0;
  ComPtr<IStream> stream;
  if (FAILED(CoMarshalInterThreadInterfaceInStream(
          IID_IZQAudioOutputCtrl, static_cast<IZQAudioOutputCtrl*>(this), stream.put()))) {
    return S_OK;
  }
  StreamKeeping& k = keeping();
  std::lock_guard lock(k.mutex);
  // Numbers start at 1 and skip those still kept, so that 0 stays "failed".
  do {
    k.next = k.next == INT32_MAX ? 1 : k.next + 1;
  } while (k.streams.contains(k.next));
  k.streams[k.next] = stream.detach();
  *id = k.next;
  return S_OK;
}

IStream* takeInterfaceStream(LONG id) {
  StreamKeeping& k = keeping();
  std::lock_guard lock(k.mutex);
  auto it = k.streams.find(id);
  if (it == k.streams.end()) {
    return nullptr;
  }
  IStream* s = it->second;
  k.streams.erase(it);
  return s;
}

HRESULT JZQAudioOutputCtrl::SetFileSource(BSTR fileSource) {
  lockedGroup()->SetFileSource(text(fileSource));
  return S_OK;
}
HRESULT JZQAudioOutputCtrl::SetHardSource(LONG cardNumber, BSTR connector, LONG* result) {
  *result = lockedGroup()->SetHardSource(cardNumber, text(connector));
  return S_OK;
}
HRESULT JZQAudioOutputCtrl::SetParams(BSTR params) {
  lockedGroup()->SetParams(text(params));
  return S_OK;
}
HRESULT JZQAudioOutputCtrl::ExtractInteger(BSTR parameter, BSTR params, LONG* value) {
  int32_t v = *value;
  group_->ExtractInteger(text(parameter), text(params), v);
  *value = v;
  return S_OK;
}
HRESULT JZQAudioOutputCtrl::ExtractBoolean(BSTR parameter, BSTR params, LONG* value) {
  bool v = false;
  if (group_->ExtractBoolean(text(parameter), text(params), v) == 0) {
    *value = v ? 1 : 0;
  }
  return S_OK;
}
HRESULT JZQAudioOutputCtrl::SetNetSource(BSTR proto, BSTR host, LONG port, LONG* result) {
  *result = lockedGroup()->SetNetSource(text(proto), text(host), port);
  return S_OK;
}

// The local AAM: opening it starts a capture and a service, closing it waits
// for their threads; both run serving the apartment.
HRESULT JZQAudioOutputCtrl::OpenLocalAAM(LONG port, BSTR connector, LONG board, LONG targetRate,
                                         BSTR id, LONG* result) {
  const std::string c = text(connector);
  const std::string i = text(id);
  *result = servingApartment(groupMutex_, [&] {
    return group_->OpenLocalAAM(port, c, board, targetRate, i);
  });
  return S_OK;
}
HRESULT JZQAudioOutputCtrl::CloseLocalAAM() {
  servingApartment(groupMutex_, [this] {
    group_->CloseLocalAAM();
    return 0;
  });
  return S_OK;
}
HRESULT JZQAudioOutputCtrl::get_LocalAAMPort(LONG* localPort) {
  *localPort = lockedGroup()->getLocalAAMPort();
  return S_OK;
}
HRESULT JZQAudioOutputCtrl::get_LocalAAMBoard(LONG* localBoard) {
  *localBoard = lockedGroup()->getLocalAAMBoard();
  return S_OK;
}
HRESULT JZQAudioOutputCtrl::SetLocalAAM_UdpConfig(LONG available, LONG ofInterface,
                                                  LONG precedence, LONG sourcePort, LONG mtu,
                                                  LONG* result) {
  *result = lockedGroup()->SetLocalAAM_UdpConfig(available != 0, ofInterface, precedence,
                                                 sourcePort, mtu);
  return S_OK;
}
HRESULT JZQAudioOutputCtrl::SetLocalAAM_AtmConfig(LONG available, LONG multicast, BSTR qos,
                                                  LONG ofInterface, LONG chunk, LONG* result) {
  *result = lockedGroup()->SetLocalAAM_AtmConfig(available != 0, multicast != 0, text(qos),
                                                 ofInterface, chunk);
  return S_OK;
}
HRESULT JZQAudioOutputCtrl::SetLocalAAM_IpmConfig(LONG available, LONG ofInterface,
                                                  LONG precedence, BSTR addr, LONG port, LONG ttl,
                                                  LONG mtu, LONG* result) {
  *result = lockedGroup()->SetLocalAAM_IpmConfig(available != 0, ofInterface, precedence,
                                                 text(addr), port, ttl, mtu);
  return S_OK;
}
HRESULT JZQAudioOutputCtrl::StreamFiles(BSTR files, LONG looping, LONG* result) {
  const std::string f = text(files);
  *result = servingApartment(groupMutex_, [&] { return group_->StreamFiles(f, looping != 0); });
  return S_OK;
}
HRESULT JZQAudioOutputCtrl::StreamMic(LONG* result) {
  *result = servingApartment(groupMutex_, [this] { return group_->StreamMic(); });
  return S_OK;
}

HRESULT JZQAudioOutputCtrl::AddToGroupAndConnect(LONG* result) {
  *result = servingApartment(groupMutex_, [this] { return group_->AddToGroupAndConnect(); });
  return S_OK;
}
HRESULT JZQAudioOutputCtrl::DeleteFromGroup(BSTR name, LONG* result) {
  const std::string n = text(name);
  *result = servingApartment(groupMutex_, [&] { return group_->DeleteFromGroup(n); });
  return S_OK;
}
HRESULT JZQAudioOutputCtrl::GetStatusOf(BSTR name, LONG* result) {
  *result = lockedGroup()->GetStatusOf(text(name));
  return S_OK;
}
HRESULT JZQAudioOutputCtrl::RehashGroup() {
  servingApartment(groupMutex_, [this] {
    group_->RehashGroup();
    return 0;
  });
  return S_OK;
}
HRESULT JZQAudioOutputCtrl::ResetGroup() {
  servingApartment(groupMutex_, [this] {
    group_->ResetGroup();
    return 0;
  });
  return S_OK;
}

namespace {
// The answer's text, or the message that replaces it.
BSTR paramsOrMessage(int32_t result, const std::string& answer) {
  return bstrFromString(result == -2 ? "Name not found" : result == -1 ? "Not Connected" : answer);
}
}  // namespace

HRESULT JZQAudioOutputCtrl::GetParamsOf(BSTR name, BSTR* params) {
  std::string answer;
  *params = paramsOrMessage(lockedGroup()->GetParamsOf(text(name), answer), answer);
  return S_OK;
}
HRESULT JZQAudioOutputCtrl::GetStatOf(BSTR name, BSTR* params) {
  std::string answer;
  *params = paramsOrMessage(lockedGroup()->GetStatOf(text(name), answer), answer);
  return S_OK;
}
HRESULT JZQAudioOutputCtrl::SetParamsOf(BSTR name, BSTR params, LONG* result) {
  *result = lockedGroup()->SetParamsOf(text(name), text(params));
  return S_OK;
}
HRESULT JZQAudioOutputCtrl::ResetSource() {
  lockedGroup()->ResetSource();
  return S_OK;
}
HRESULT JZQAudioOutputCtrl::FlushGroup() {
  lockedGroup()->FlushGroup();
  return S_OK;
}
HRESULT JZQAudioOutputCtrl::ExtractString(BSTR parameter, BSTR params, BSTR* value) {
  std::string v;
  group_->ExtractString(text(parameter), text(params), v);
  *value = bstrFromString(v);
  return S_OK;
}
HRESULT JZQAudioOutputCtrl::ExtractNumber(BSTR parameter, BSTR params, DOUBLE* value) {
  double v = *value;
  group_->ExtractNumber(text(parameter), text(params), v);
  *value = v;
  return S_OK;
}

// ---- events -----------------------------------------------------------------

void JZQAudioOutputCtrl::fireLinkUp(BSTR name) {
  VARIANTARG args[1];
  VariantInit(&args[0]);
  args[0].vt = VT_BSTR;
  args[0].bstrVal = name;
  DISPPARAMS params{args, nullptr, 1, 0};
  events_.fire(DISPID_LinkUp, &params);
}

void JZQAudioOutputCtrl::fireLinkDown(BSTR name, BSTR textError) {
  // The dispatch convention: the last argument first.
  VARIANTARG args[2];
  VariantInit(&args[0]);
  VariantInit(&args[1]);
  args[0].vt = VT_BSTR;
  args[0].bstrVal = textError;
  args[1].vt = VT_BSTR;
  args[1].bstrVal = name;
  DISPPARAMS params{args, nullptr, 2, 0};
  events_.fire(DISPID_LinkDown, &params);
}

void JZQAudioOutputCtrl::linkUp(const std::string& name) {
  if (closing_) {
    return;
  }
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  JBstr n(name);
  fireLinkUp(n.get());
}

void JZQAudioOutputCtrl::linkDown(const std::string& name, JError* error) {
  if (closing_) {
    return;
  }
  char message[kMessageBytes] = {};
  if (error != nullptr) {
    error->getMessage(message, sizeof message);
  }
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  JBstr n(name);
  JBstr t{std::string_view(message)};
  fireLinkDown(n.get(), t.get());
}

// ---- persistence ------------------------------------------------------------

HRESULT JZQAudioOutputCtrl::GetClassID(CLSID* clsid) {
  if (clsid == nullptr) {
    return E_POINTER;
  }
  *clsid = CLSID_ZQAudioOutputCtrl;
  return S_OK;
}
HRESULT JZQAudioOutputCtrl::IsDirty() {
  return dirty_ ? S_OK : S_FALSE;
}

HRESULT JZQAudioOutputCtrl::Save(IStream* stream, BOOL clearDirty) {
  if (stream == nullptr) {
    return E_POINTER;
  }
  const uint32_t head[3] = {kPersistVersion, static_cast<uint32_t>(extent_.cx),
                            static_cast<uint32_t>(extent_.cy)};
  HRESULT hr = writeAll(stream, head, sizeof head);
  for (const MappedProperty& p : kPropertyMap) {
    if (FAILED(hr)) {
      return hr;
    }
    JComVariant value;
    DISPPARAMS none{};
    hr = Invoke(p.dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, &value,
                nullptr, nullptr);
    if (SUCCEEDED(hr)) {
      hr = VariantChangeType(&value, &value, 0, p.vt);
    }
    if (FAILED(hr)) {
      return hr;
    }
    hr = writeAll(stream, &value.vt, sizeof value.vt);
    if (SUCCEEDED(hr) && p.vt == VT_BSTR) {
      const uint32_t bytes =
          value.bstrVal == nullptr ? 0 : (SysStringLen(value.bstrVal) + 1) * sizeof(OLECHAR);
      hr = writeAll(stream, &bytes, sizeof bytes);
      if (SUCCEEDED(hr) && bytes != 0) {
        hr = writeAll(stream, value.bstrVal, bytes);
      }
    } else if (SUCCEEDED(hr)) {
      hr = writeAll(stream, &value.lVal, sizeof value.lVal);
    }
  }
  if (SUCCEEDED(hr) && clearDirty) {
    dirty_ = false;
  }
  return hr;
}

HRESULT JZQAudioOutputCtrl::Load(IStream* stream) {
  if (stream == nullptr) {
    return E_POINTER;
  }
  uint32_t head[3] = {};
  if (FAILED(readAll(stream, head, sizeof head)) || head[0] > kPersistVersion) {
    return E_FAIL;
  }
  extent_ = {static_cast<LONG>(head[1]), static_cast<LONG>(head[2])};
  for (const MappedProperty& p : kPropertyMap) {
    JComVariant value;
    VARTYPE vt = VT_EMPTY;
    if (FAILED(readAll(stream, &vt, sizeof vt))) {
      return E_FAIL;
    }
    if (vt == VT_BSTR) {
      uint32_t bytes = 0;
      if (FAILED(readAll(stream, &bytes, sizeof bytes)) || bytes % 2 != 0 || bytes > (1u << 20)) {
        return E_FAIL;
      }
      std::u16string chars(bytes / 2, u'\0');
      if (FAILED(readAll(stream, chars.data(), bytes))) {
        return E_FAIL;
      }
      value.vt = VT_BSTR;
      value.bstrVal = bytes == 0
                          ? nullptr
                          : SysAllocStringLen(chars.data(), static_cast<UINT>(chars.size() - 1));
    } else if (vt == VT_I4) {
      value.vt = VT_I4;
      if (FAILED(readAll(stream, &value.lVal, sizeof value.lVal))) {
        return E_FAIL;
      }
    } else {
      return E_FAIL;
    }
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS params{&value, &put, 1, 1};
    if (HRESULT hr = Invoke(p.dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUT, &params,
                            nullptr, nullptr, nullptr);
        FAILED(hr)) {
      return hr;
    }
  }
  dirty_ = false;
  return S_OK;
}

HRESULT JZQAudioOutputCtrl::GetSizeMax(ULARGE_INTEGER* size) {
  if (size == nullptr) {
    return E_POINTER;
  }
  const std::string server = lockedGroup()->getServer();
  size->QuadPart = 3 * 4 + 4 * 2 + 3 * 4 + 4 + (utf16FromUtf8(server).size() + 1) * 2;
  return S_OK;
}
HRESULT JZQAudioOutputCtrl::InitNew() {
  return S_OK;
}
HRESULT JZQAudioOutputCtrl::InitNew(IStorage* /*storage*/) {
  return S_OK;
}
HRESULT JZQAudioOutputCtrl::Load(IStorage* storage) {
  if (storage == nullptr) {
    return E_POINTER;
  }
  ComPtr<IStream> stream;
  if (HRESULT hr = storage->OpenStream(u"Contents", nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0,
                                       stream.put());
      FAILED(hr)) {
    return hr;
  }
  return Load(stream.get());
}
HRESULT JZQAudioOutputCtrl::Save(IStorage* storage, BOOL /*sameAsLoad*/) {
  if (storage == nullptr) {
    return E_POINTER;
  }
  ComPtr<IStream> stream;
  if (HRESULT hr = storage->CreateStream(
          u"Contents", STGM_READWRITE | STGM_SHARE_EXCLUSIVE | STGM_CREATE, 0, 0, stream.put());
      FAILED(hr)) {
    return hr;
  }
  return Save(stream.get(), 1);
}
HRESULT JZQAudioOutputCtrl::SaveCompleted(IStorage* /*storage*/) {
  return S_OK;
}
HRESULT JZQAudioOutputCtrl::HandsOffStorage() {
  return S_OK;
}

// ---- container interfaces ---------------------------------------------------

HRESULT JZQAudioOutputCtrl::OnAmbientPropertyChange(DISPID) {
  return S_OK;
}
HRESULT JZQAudioOutputCtrl::FreezeEvents(BOOL) {
  return S_OK;
}
HRESULT JZQAudioOutputCtrl::GetExtent(DWORD aspect, SIZEL* size) {
  if (size == nullptr) {
    return E_POINTER;
  }
  if (aspect != DVASPECT_CONTENT) {
    return E_FAIL;
  }
  *size = extent_;
  return S_OK;
}
HRESULT JZQAudioOutputCtrl::SetExtent(DWORD aspect, SIZEL* size) {
  if (size == nullptr) {
    return E_POINTER;
  }
  if (aspect != DVASPECT_CONTENT) {
    return E_FAIL;
  }
  extent_ = *size;
  dirty_ = true;
  return S_OK;
}
HRESULT JZQAudioOutputCtrl::GetMiscStatus(DWORD /*aspect*/, DWORD* status) {
  if (status == nullptr) {
    return E_POINTER;
  }
  *status = kMiscStatus;
  return S_OK;
}
HRESULT JZQAudioOutputCtrl::GetUserClassID(CLSID* clsid) {
  return GetClassID(clsid);
}
HRESULT JZQAudioOutputCtrl::Close(DWORD) {
  return S_OK;
}
HRESULT JZQAudioOutputCtrl::EnableModeless(BOOL) {
  return E_NOTIMPL;
}
HRESULT JZQAudioOutputCtrl::Draw(DWORD aspect, const RECTL* bounds, JPixelBuffer* target) {
  if (bounds == nullptr || target == nullptr || target->pixels == nullptr) {
    return E_POINTER;
  }
  if (aspect != DVASPECT_CONTENT) {
    return E_FAIL;
  }
  const LONG w = bounds->right - bounds->left;
  const LONG h = bounds->bottom - bounds->top;
  if (w <= 0 || h <= 0) {
    return S_OK;
  }
  const uint32_t* bitmap = toolboxBitmap();
  for (LONG y = std::max<LONG>(bounds->top, 0); y < std::min(bounds->bottom, target->height); ++y) {
    const LONG sy = (y - bounds->top) * kBitmapSize / h;
    for (LONG x = std::max<LONG>(bounds->left, 0); x < std::min(bounds->right, target->width);
         ++x) {
      const LONG sx = (x - bounds->left) * kBitmapSize / w;
      target->pixels[static_cast<size_t>(y) * static_cast<size_t>(target->stride) +
                     static_cast<size_t>(x)] = bitmap[sy * kBitmapSize + sx];
    }
  }
  return S_OK;
}
HRESULT JZQAudioOutputCtrl::InPlaceDeactivate() {
  return E_NOTIMPL;
}
HRESULT JZQAudioOutputCtrl::GetPageCount(ULONG* count) {
  if (count == nullptr) {
    return E_POINTER;
  }
  *count = 0;
  return S_OK;
}
HRESULT JZQAudioOutputCtrl::SetContentExtent(SIZEL* size) {
  return SetExtent(DVASPECT_CONTENT, size);
}
HRESULT JZQAudioOutputCtrl::GetContentExtent(SIZEL* size) {
  return GetExtent(DVASPECT_CONTENT, size);
}
HRESULT JZQAudioOutputCtrl::QueryGetData(void*) {
  return E_NOTIMPL;
}

HRESULT JZQAudioOutputCtrl::InterfaceSupportsErrorInfo(REFIID riid) {
  return riid == IID_IZQAudioOutputCtrl ? S_OK : S_FALSE;
}
HRESULT JZQAudioOutputCtrl::GetClassInfo(ITypeInfo** info) {
  return createTypeInfo(kZQAudioOutputCtrlClassType, info);
}
HRESULT JZQAudioOutputCtrl::GetGUID(DWORD kind, GUID* guid) {
  if (guid == nullptr) {
    return E_POINTER;
  }
  if (kind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) {
    return E_INVALIDARG;
  }
  *guid = DIID__IZQAudioOutputCtrlEvents;
  return S_OK;
}
HRESULT JZQAudioOutputCtrl::GetInterfaceSafetyOptions(REFIID, DWORD* supported, DWORD* enabled) {
  if (supported == nullptr || enabled == nullptr) {
    return E_POINTER;
  }
  *supported = kSafetySupported;
  *enabled = safetyEnabled_;
  return S_OK;
}
HRESULT JZQAudioOutputCtrl::SetInterfaceSafetyOptions(REFIID, DWORD mask, DWORD enabled) {
  if ((mask & ~kSafetySupported) != 0) {
    return E_FAIL;
  }
  safetyEnabled_ = (safetyEnabled_ & ~mask) | (enabled & mask);
  return S_OK;
}

}  // namespace zq::activex
