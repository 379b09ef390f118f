// IDispatchImpl, the standard dispatch implementation of a dual interface:
// GetTypeInfoCount, GetTypeInfo, GetIDsOfNames and Invoke answered from the
// interface's static description. A class derives from it once per dual
// interface and may override Invoke to wrap the standard call.
// Public: the control derives from it.
#pragma once

#include "com/type_description.h"

namespace zq::com {

/// `Interface` derives from IDispatch; `Type` describes it, with members
/// bound to `Class`, which derives from this.
template <class Class, class Interface, const JTypeDescription& Type>
class IDispatchImpl : public Interface {
 public:
  HRESULT GetTypeInfoCount(UINT* count) override {
    if (count == nullptr) {
      return E_POINTER;
    }
    *count = 1;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT index, LCID /*lcid*/, ITypeInfo** info) override {
    if (info == nullptr) {
      return E_POINTER;
    }
    *info = nullptr;
    return index != 0 ? DISP_E_BADINDEX : createTypeInfo(Type, info);
  }
  HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID /*lcid*/,
                        DISPID* ids) override {
    if (!(riid == IID_NULL)) {
      return DISP_E_UNKNOWNINTERFACE;
    }
    return getIDsOfNames(Type, names, count, ids);
  }
  HRESULT Invoke(DISPID member, REFIID riid, LCID /*lcid*/, WORD flags, DISPPARAMS* params,
                 VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr) override {
    if (!(riid == IID_NULL)) {
      return DISP_E_UNKNOWNINTERFACE;
    }
    return invokeByDescription(Type, static_cast<Class*>(this), member, flags, params, result,
                               excepInfo, argErr);
  }

  static const JTypeDescription& typeDescription() { return Type; }

 protected:
  ~IDispatchImpl() override = default;
};

}  // namespace zq::com
