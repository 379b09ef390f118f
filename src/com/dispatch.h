// IDispatch, late-bound calls by DISPID: the interface through which scripts
// and the console host drive the control, and through which events reach
// their sinks. DISPPARAMS carries the arguments in reverse order (the last
// argument first), named arguments after them at the front of the array.
// Public: hosts include it.
#pragma once

#include "com/unknown.h"
#include "com/variant.h"

namespace zq::com {

struct ITypeInfo;

inline constexpr IID IID_IDispatch = makeGuid("{00020400-0000-0000-C000-000000000046}");

constexpr DISPID DISPID_VALUE = 0;
constexpr DISPID DISPID_UNKNOWN = -1;
constexpr DISPID DISPID_PROPERTYPUT = -3;

/// Invoke's wFlags.
enum : WORD {
  DISPATCH_METHOD = 0x1,
  DISPATCH_PROPERTYGET = 0x2,
  DISPATCH_PROPERTYPUT = 0x4,
  DISPATCH_PROPERTYPUTREF = 0x8,
};

struct DISPPARAMS {
  /// The arguments, the last one first; named ones at the front.
  VARIANTARG* rgvarg = nullptr;
  /// The DISPIDs of the named arguments (DISPID_PROPERTYPUT for a put's value).
  DISPID* rgdispidNamedArgs = nullptr;
  UINT cArgs = 0;
  UINT cNamedArgs = 0;
};

/// What an object reports when Invoke answers DISP_E_EXCEPTION. The caller
/// frees the three strings.
struct EXCEPINFO {
  WORD wCode = 0;
  WORD wReserved = 0;
  BSTR bstrSource = nullptr;
  BSTR bstrDescription = nullptr;
  BSTR bstrHelpFile = nullptr;
  DWORD dwHelpContext = 0;
  void* pvReserved = nullptr;
  HRESULT (*pfnDeferredFillIn)(EXCEPINFO*) = nullptr;
  SCODE scode = 0;
};

struct IDispatch : IUnknown {
  static constexpr const IID& iid = IID_IDispatch;

  /// 1 when the object gives type information, else 0.
  virtual HRESULT GetTypeInfoCount(UINT* count) = 0;
  virtual HRESULT GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) = 0;
  /// The member's DISPID in ids[0], then its parameters' (by name) in
  /// ids[1...]. DISP_E_UNKNOWNNAME when any is unknown; those get
  /// DISPID_UNKNOWN.
  virtual HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                DISPID* ids) = 0;
  /// Calls the member. Errors: DISP_E_MEMBERNOTFOUND (no such member or not
  /// for this kind of call), DISP_E_BADPARAMCOUNT, DISP_E_TYPEMISMATCH and
  /// DISP_E_PARAMNOTFOUND (the argument's index in rgvarg in `*argErr`),
  /// DISP_E_EXCEPTION (with `*excepInfo` filled when given).
  virtual HRESULT Invoke(DISPID member, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                         VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr) = 0;
};

}  // namespace zq::com
