// Loading the control, reading its type information and calling its
// members by name.
#include "host/control_host.h"

#include <dlfcn.h>

#include <charconv>
#include <chrono>

#include "base/error.h"
#include "com/apartment.h"
#include "com/class_factory.h"

namespace zq::host {

using namespace zq::com;

namespace {

using GetClassObjectFn = HRESULT (*)(const GUID& clsid, const GUID& iid, void** out);

std::string hex32(uint32_t bits) {
  char buffer[11];
  std::snprintf(buffer, sizeof buffer, "0x%08X", bits);
  return buffer;
}

// The library stays loaded for the rest of the process: the runtime's
// tables (proxy factories, class objects) may keep pointers into it after
// the control is gone, and a host about to exit gains nothing by unloading.
GetClassObjectFn loadLibrary(const std::string& path, void*& handle) {
  handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = ::dlerror();
    throw JTextError("cannot load the control: " + std::string(why ? why : path));
  }
  void* entry = ::dlsym(handle, "DllGetClassObject");
  if (entry == nullptr) {
    throw JTextError(path + " exports no DllGetClassObject");
  }
  return reinterpret_cast<GetClassObjectFn>(entry);
}

struct OwnedExcepInfo : EXCEPINFO {
  ~OwnedExcepInfo() {
    SysFreeString(bstrSource);
    SysFreeString(bstrDescription);
    SysFreeString(bstrHelpFile);
  }
};

}  // namespace

std::string vartypeName(VARTYPE vt) {
  static const char* const kNames[] = {
      "EMPTY",    "NULL",  "I2",   "I4",      "R4",      "R8",      "CY",   "DATE",    "BSTR",
      "DISPATCH", "ERROR", "BOOL", "VARIANT", "UNKNOWN", "DECIMAL", "?",    "I1",      "UI1",
      "UI2",      "UI4",   "I8",   "UI8",     "INT",     "UINT",    "VOID", "HRESULT",
  };
  const VARTYPE base = vt & VT_TYPEMASK;
  std::string name = base < std::size(kNames) ? kNames[base] : std::to_string(base);
  return (vt & VT_BYREF) != 0 ? name + "*" : name;
}

std::string hresultText(HRESULT hr) {
  static const struct {
    HRESULT hr;
    const char* text;
  } kTexts[] = {
      {S_OK, "The operation completed successfully."},
      {E_NOTIMPL, "Not implemented."},
      {E_NOINTERFACE, "No such interface supported."},
      {E_POINTER, "Invalid pointer."},
      {E_FAIL, "Unspecified error."},
      {E_UNEXPECTED, "Catastrophic failure."},
      {E_OUTOFMEMORY, "Not enough memory."},
      {E_INVALIDARG, "The parameter is incorrect."},
      {CLASS_E_NOAGGREGATION, "Class does not support aggregation."},
      {CLASS_E_CLASSNOTAVAILABLE, "ClassFactory cannot supply requested class."},
      {REGDB_E_CLASSNOTREG, "Class not registered."},
      {CONNECT_E_NOCONNECTION, "No connection for this connection ID."},
      {CONNECT_E_ADVISELIMIT, "The connection limit has been reached."},
      {CONNECT_E_CANNOTCONNECT, "The sink does not support the event interface."},
      {CO_E_NOTINITIALIZED, "CoInitialize has not been called."},
      {RPC_E_DISCONNECTED, "The object invoked has disconnected from its clients."},
      {DISP_E_UNKNOWNINTERFACE, "Unknown interface."},
      {DISP_E_MEMBERNOTFOUND, "Member not found."},
      {DISP_E_PARAMNOTFOUND, "Parameter not found."},
      {DISP_E_TYPEMISMATCH, "Type mismatch."},
      {DISP_E_UNKNOWNNAME, "Unknown name."},
      {DISP_E_NONAMEDARGS, "No named arguments."},
      {DISP_E_BADVARTYPE, "Bad variable type."},
      {DISP_E_EXCEPTION, "Exception occurred."},
      {DISP_E_OVERFLOW, "Out of present range."},
      {DISP_E_BADINDEX, "Invalid index."},
      {DISP_E_PARAMNOTOPTIONAL, "Parameter not optional."},
      {DISP_E_BADPARAMCOUNT, "Invalid number of parameters."},
  };
  const std::string code = hex32(static_cast<uint32_t>(hr));
  for (const auto& t : kTexts) {
    if (t.hr == hr) {
      return code + " " + t.text;
    }
  }
  return code;
}

size_t MemberInfo::inCount() const {
  size_t n = 0;
  for (const Param& p : params) {
    n += p.isOut() ? 0 : 1;
  }
  return n;
}

std::string MemberInfo::usage() const {
  std::string ins;
  std::string outs;
  for (const Param& p : params) {
    std::string& to = p.isOut() ? outs : ins;
    to += (to.empty() ? "" : " ") + p.name + ":" + vartypeName(p.vt);
  }
  if (kind == INVOKE_PROPERTYPUT || kind == INVOKE_PROPERTYPUTREF) {
    return name + " = " + ins;
  }
  std::string line = name;
  if (!ins.empty()) {
    line += " " + ins;
  }
  if (!outs.empty()) {
    line += " -> " + outs;
  }
  return line;
}

ControlHost::ControlHost(const std::string& libraryPath, EventHandler onEvent) {
  const HRESULT joined = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (FAILED(joined)) {
    throw JTextError("cannot join an apartment: " + hresultText(joined));
  }
  joined_ = true;
  try {
    GetClassObjectFn getClassObject = loadLibrary(libraryPath, library_);
    ComPtr<IClassFactory> factory;
    HRESULT hr = getClassObject(CLSID_ZQAudioOutputCtrl, IID_IClassFactory, factory.putVoid());
    if (FAILED(hr) || !factory) {
      throw JTextError("DllGetClassObject failed: " + hresultText(hr));
    }
    hr = factory->CreateInstance(nullptr, IID_IDispatch, control_.putVoid());
    if (FAILED(hr) || !control_) {
      throw JTextError("the control cannot be created: " + hresultText(hr));
    }
    readTypeInfo();
    auto container = ComPtr<IConnectionPointContainer>::queryFrom(control_.get());
    if (!container) {
      throw JTextError("the control fires no events (no IConnectionPointContainer)");
    }
    hr = container->FindConnectionPoint(DIID_IZQAudioOutputCtrlEvents, point_.put());
    if (FAILED(hr)) {
      throw JTextError("the control has no point for its events: " + hresultText(hr));
    }
    auto sink = ComPtr<EventSink>::adopt(new EventSink(std::move(onEvent)));
    hr = point_->Advise(static_cast<IControlEvents*>(sink.get()), &cookie_);
    if (FAILED(hr)) {
      point_.reset();
      throw JTextError("the control refused the event sink: " + hresultText(hr));
    }
  } catch (...) {
    point_.reset();
    control_.reset();
    CoUninitialize();
    throw;
  }
}

ControlHost::~ControlHost() {
  if (point_) {
    point_->Unadvise(cookie_);
    point_.reset();
  }
  CoUninitialize();
  control_.reset();
}

void ControlHost::readTypeInfo() {
  ComPtr<ITypeInfo> info;
  if (FAILED(control_->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.put())) || !info) {
    throw JTextError("the control gives no type information");
  }
  BSTR typeName = nullptr;
  if (SUCCEEDED(info->GetDocumentation(MEMBERID_NIL, &typeName, nullptr, nullptr, nullptr))) {
    typeName_ = stringFromBstr(typeName);
    SysFreeString(typeName);
  }
  for (UINT i = 0;; ++i) {
    FUNCDESC* desc = nullptr;
    if (FAILED(info->GetFuncDesc(i, &desc)) || desc == nullptr) {
      break;
    }
    MemberInfo m;
    m.dispid = desc->memid;
    m.kind = desc->invkind;
    BSTR names[kMaxParams + 1] = {};
    UINT count = 0;
    info->GetNames(desc->memid, names, kMaxParams + 1, &count);
    for (SHORT k = 0; k < desc->cParams; ++k) {
      const ELEMDESC& e = desc->lprgelemdescParam[k];
      // An out parameter is described as a pointer to its type.
      const VARTYPE vt =
          e.tdesc.vt == VT_PTR && e.tdesc.lptdesc != nullptr ? e.tdesc.lptdesc->vt : e.tdesc.vt;
      const auto index = static_cast<UINT>(k) + 1;
      m.params.push_back({index < count ? stringFromBstr(names[index]) : "arg" + std::to_string(k),
                          vt, e.paramdesc.wParamFlags});
    }
    m.name = count > 0 ? stringFromBstr(names[0]) : std::to_string(m.dispid);
    for (UINT k = 0; k < count; ++k) {
      SysFreeString(names[k]);
    }
    info->ReleaseFuncDesc(desc);
    BSTR help = nullptr;
    if (SUCCEEDED(info->GetDocumentation(m.dispid, nullptr, &help, nullptr, nullptr))) {
      m.help = stringFromBstr(help);
      SysFreeString(help);
    }
    members_.push_back(std::move(m));
  }
}

const MemberInfo* ControlHost::resolve(const Call& call, std::string& error) const {
  std::u16string name = utf16FromUtf8(call.member);
  LPOLESTR names[] = {name.data()};
  DISPID dispid = DISPID_UNKNOWN;
  const HRESULT hr = control_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &dispid);
  if (FAILED(hr)) {
    error = "unknown member " + call.member +
            (hr == DISP_E_UNKNOWNNAME ? std::string() : " (" + hresultText(hr) + ")");
    return nullptr;
  }
  const MemberInfo* func = nullptr;
  const MemberInfo* get = nullptr;
  const MemberInfo* put = nullptr;
  for (const MemberInfo& m : members_) {
    if (m.dispid != dispid) {
      continue;
    }
    const MemberInfo*& slot = m.kind == INVOKE_FUNC          ? func
                              : m.kind == INVOKE_PROPERTYGET ? get
                                                             : put;
    slot = slot != nullptr ? slot : &m;
  }
  const MemberInfo* m = call.put ? put : (func != nullptr ? func : get);
  if (m == nullptr) {
    if (call.put) {
      error = call.member + " is not a property that can be set";
    } else if (put != nullptr) {
      error = call.member + " can only be set: " + put->usage();
    } else {
      error = call.member + " has no description in the control's type information";
    }
    return nullptr;
  }
  if (call.args.size() != m->inCount()) {
    error = m->name + " takes " + std::to_string(m->inCount()) +
            (m->inCount() == 1 ? " argument" : " arguments") + ", " +
            std::to_string(call.args.size()) + " given: " + m->usage();
    return nullptr;
  }
  return m;
}

ControlHost::Outcome ControlHost::invoke(const Call& call, std::vector<Output>& outs,
                                         std::string& error) {
  outs.clear();
  const MemberInfo* m = resolve(call, error);
  if (m == nullptr) {
    return Outcome::kRejected;
  }
  // One VARIANT per parameter in declaration order: in values, out slots;
  // Invoke takes them last first, out ones by reference.
  std::vector<JComVariant> values(m->params.size());
  std::vector<VARIANT> args;
  size_t nextArg = 0;
  for (size_t k = 0; k < m->params.size(); ++k) {
    const MemberInfo::Param& p = m->params[k];
    if (p.isRetval()) {
      continue;
    }
    VARIANT arg;
    VariantInit(&arg);
    if (p.isOut()) {
      arg.vt = VT_BYREF | VT_VARIANT;
      arg.pvarVal = &values[k];
    } else {
      const Value& v = call.args[nextArg++];
      JComVariant& slot = values[k];
      if (const auto* i = std::get_if<int32_t>(&v)) {
        slot.vt = VT_I4, slot.lVal = *i;
      } else {
        slot.vt = VT_BSTR, slot.bstrVal = bstrFromString(std::get<std::string>(v));
      }
      arg = slot;  // borrowed: `values` owns it
    }
    args.push_back(arg);
  }
  std::reverse(args.begin(), args.end());
  DISPID putId = DISPID_PROPERTYPUT;
  DISPPARAMS params;
  params.rgvarg = args.empty() ? nullptr : args.data();
  params.cArgs = static_cast<UINT>(args.size());
  WORD flags = DISPATCH_METHOD;
  if (call.put) {
    flags = m->kind == INVOKE_PROPERTYPUTREF ? DISPATCH_PROPERTYPUTREF : DISPATCH_PROPERTYPUT;
    params.rgdispidNamedArgs = &putId;
    params.cNamedArgs = 1;
  } else if (m->kind == INVOKE_PROPERTYGET) {
    flags = DISPATCH_PROPERTYGET;
  }
  JComVariant result;
  OwnedExcepInfo excep;
  UINT argErr = 0;
  const HRESULT hr = control_->Invoke(m->dispid, IID_NULL, LOCALE_USER_DEFAULT, flags, &params,
                                      &result, &excep, &argErr);
  if (FAILED(hr)) {
    error = m->name + " failed: " + hresultText(hr);
    if (hr == DISP_E_EXCEPTION) {
      error += " (" + hresultText(excep.scode);
      if (SysStringLen(excep.bstrDescription) > 0) {
        error += " " + stringFromBstr(excep.bstrDescription);
      }
      error += ")";
    } else if ((hr == DISP_E_TYPEMISMATCH || hr == DISP_E_PARAMNOTFOUND) && argErr < params.cArgs) {
      // argErr counts from the last argument; name the in parameter it is.
      size_t position = params.cArgs - 1 - argErr;
      for (const MemberInfo::Param& p : m->params) {
        if (p.isRetval()) {
          continue;
        }
        if (position-- == 0) {
          error += " (argument " + p.name + ")";
          break;
        }
      }
    }
    return Outcome::kFailed;
  }
  for (size_t k = 0; k < m->params.size(); ++k) {
    const MemberInfo::Param& p = m->params[k];
    if (p.isOut()) {
      outs.push_back({p.name, p.isRetval() ? result : values[k]});
    }
  }
  return Outcome::kDone;
}

void* ControlHost::entryPoint(const char* name) const {
  return library_ == nullptr ? nullptr : ::dlsym(library_, name);
}

void ControlHost::pump() {
  pumpApartmentMessages();
}

void ControlHost::wait(double seconds) {
  using Clock = std::chrono::steady_clock;
  const auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(seconds));
  for (auto now = Clock::now(); now < until; now = Clock::now()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count();
    waitApartmentMessages(static_cast<int>(std::max<int64_t>(left, 1)));
  }
  pump();
}

}  // namespace zq::host
