// Call and event tracing for the control's automation surface: every
// automation call into the control, and every event it fires, is written to
// the log at level 2 with its member and arguments.
//
// IZQDispatchImpl wraps the standard dispatch implementation of a dual
// interface and writes a record before and after each Invoke.
// IZQControlEventsLog subscribes an EventDispatchLog sink to the control's own
// event connection point, so that each event fired to the host is also
// written to the log.
#pragma once

#include <cstdint>
#include <string>

#include "base/format.h"
#include "com/class_info.h"
#include "com/connection_point.h"
#include "com/dispatch_impl.h"

namespace zq::activex {

using namespace zq::com;

/// The record name of a VARTYPE, chosen by its exact value ("VT_I4"); any
/// value without a name (flags included) is "Unknown".
const char* vartypeName(VARTYPE vt);

/// The member text and argument text of a call. With `info` null, or when
/// it does not know `member`, the member text is "DISPID = <n>" and no
/// parameter names are known.
struct JCallDescription {
  std::string member;
  std::string arguments;
};
JCallDescription describeCall(DISPID member, const DISPPARAMS* params, ITypeInfo* info);

/// Writes one tracing record (level 2, source "zq_atlcom_ext", category
/// "void *", no traceable object).
void traceRecord(const char* format, ...) ZQ_PRINTF(1, 2);

/// The records around one Invoke: the dispatching record, then the result
/// record once `forward` answered. `classInfo` may be null.
HRESULT tracedInvoke(const char* interfaceName, ITypeInfo* classInfo, DISPID member,
                     DISPPARAMS* params, VARIANT* result, HRESULT (*forward)(void*), void* context);

/// The dual interface `Interface` (with a static `runtimeName`) of `Class`,
/// described by `Type`. `Class` answers IProvideClassInfo, whose class
/// information names the call.
template <class Class, class Interface, const JTypeDescription& Type>
class IZQDispatchImpl : public IDispatchImpl<Class, Interface, Type> {
  using Base = IDispatchImpl<Class, Interface, Type>;

 public:
  HRESULT Invoke(DISPID member, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                 VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr) override {
    ComPtr<ITypeInfo> classInfo;
    static_cast<Class*>(this)->GetClassInfo(classInfo.put());
    struct Forward {
      Base* self;
      DISPID member;
      REFIID riid;
      LCID lcid;
      WORD flags;
      DISPPARAMS* params;
      VARIANT* result;
      EXCEPINFO* excepInfo;
      UINT* argErr;
    } call{this, member, riid, lcid, flags, params, result, excepInfo, argErr};
    return tracedInvoke(
        Interface::runtimeName, classInfo.get(), member, params, result,
        [](void* context) {
          Forward& c = *static_cast<Forward*>(context);
          return c.self->Base::Invoke(c.member, c.riid, c.lcid, c.flags, c.params, c.result,
                                      c.excepInfo, c.argErr);
        },
        &call);
  }

 protected:
  ~IZQDispatchImpl() override = default;
};

/// A sink of the event dispinterface `Events` that only traces. It lives
/// exactly as long as its control, so it counts no references.
template <class Class, const JTypeDescription& Events>
class EventDispatchLog : public IDispatch {
 public:
  EventDispatchLog() { createTypeInfo(Events, typeInfo_.put()); }
  EventDispatchLog(const EventDispatchLog&) = delete;
  EventDispatchLog& operator=(const EventDispatchLog&) = delete;
  ~EventDispatchLog() override = default;

  HRESULT QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) {
      return E_POINTER;
    }
    if (riid == IID_IUnknown || riid == Events.guid) {
      *object = static_cast<IDispatch*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return static_cast<ULONG>(E_NOTIMPL); }
  ULONG Release() override { return static_cast<ULONG>(E_NOTIMPL); }
  HRESULT GetTypeInfoCount(UINT* /*count*/) override { return E_NOTIMPL; }
  HRESULT GetTypeInfo(UINT /*index*/, LCID /*lcid*/, ITypeInfo** /*info*/) override {
    return E_NOTIMPL;
  }
  HRESULT GetIDsOfNames(REFIID /*riid*/, LPOLESTR* /*names*/, UINT /*count*/, LCID /*lcid*/,
                        DISPID* /*ids*/) override {
    return E_NOTIMPL;
  }
  HRESULT Invoke(DISPID member, REFIID /*riid*/, LCID /*lcid*/, WORD /*flags*/, DISPPARAMS* params,
                 VARIANT* /*result*/, EXCEPINFO* /*excepInfo*/, UINT* /*argErr*/) override {
    const JCallDescription d = describeCall(member, params, typeInfo_.get());
    traceRecord("EventDispatchLog<%s>: Firing event %s (%s)", Class::runtimeName, d.member.c_str(),
                d.arguments.c_str());
    return S_OK;
  }

 private:
  ComPtr<ITypeInfo> typeInfo_;
};

/// Subscribes an EventDispatchLog to the control's own connection point for
/// `Events`. Failures leave the control without event tracing, unreported.
template <class Class, const JTypeDescription& Events>
class IZQControlEventsLog {
 public:
  /// From the control's FinalConstruct, with the control's identity.
  void subscribe(IUnknown* control) {
    ComPtr<IConnectionPoint> point = findPoint(control);
    if (point) {
      point->Advise(static_cast<IDispatch*>(&sink_), &cookie_);
    }
  }
  /// From the control's final release, before its group goes.
  void unsubscribe(IConnectionPoint* point) {
    if (point != nullptr && cookie_ != 0) {
      point->Unadvise(cookie_);
    }
    cookie_ = 0;
  }
  DWORD eventsLogCookie() const { return cookie_; }

 private:
  static ComPtr<IConnectionPoint> findPoint(IUnknown* control) {
    ComPtr<IConnectionPoint> point;
    auto container = ComPtr<IConnectionPointContainer>::queryFrom(control);
    if (container) {
      container->FindConnectionPoint(Events.guid, point.put());
    }
    return point;
  }

  DWORD cookie_ = 0;
  EventDispatchLog<Class, Events> sink_;
};

}  // namespace zq::activex
