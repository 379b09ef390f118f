// VARIANT, the tagged value of automation calls, with the calls that own,
// copy and convert it.
//
// Ownership: a VARIANT owns its BSTR and holds one reference on its
// interface; VariantClear frees the one and releases the other. A
// by-reference VARIANT (VT_BYREF | type) points into its caller's storage and
// owns nothing. Every call here leaves its destination either converted or,
// when it fails, untouched.
// Public: hosts include it.
#pragma once

#include <string_view>

#include "com/bstr.h"
#include "com/hresult.h"
#include "com/types.h"

namespace zq::com {

struct IUnknown;
struct IDispatch;

using VARTYPE = uint16_t;
using DATE = double;

enum : VARTYPE {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_CY = 6,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_DECIMAL = 14,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_INT = 22,
  VT_UINT = 23,
  VT_VOID = 24,
  VT_HRESULT = 25,
  VT_PTR = 26,
  VT_SAFEARRAY = 27,
  VT_CARRAY = 28,
  VT_USERDEFINED = 29,
  VT_LPSTR = 30,
  VT_LPWSTR = 31,
  VT_ARRAY = 0x2000,
  VT_BYREF = 0x4000,
  VT_TYPEMASK = 0x0FFF,
};

/// Currency: a 64-bit integer of ten-thousandths.
struct CY {
  LONGLONG int64;
};

struct VARIANT {
  VARTYPE vt;
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  union {
    LONGLONG llVal;
    LONG lVal;
    BYTE bVal;
    SHORT iVal;
    FLOAT fltVal;
    DOUBLE dblVal;
    VARIANT_BOOL boolVal;
    SCODE scode;
    CY cyVal;
    DATE date;
    BSTR bstrVal;
    IUnknown* punkVal;
    IDispatch* pdispVal;
    CHAR cVal;
    USHORT uiVal;
    ULONG ulVal;
    ULONGLONG ullVal;
    INT intVal;
    UINT uintVal;
    BYTE* pbVal;
    SHORT* piVal;
    LONG* plVal;
    LONGLONG* pllVal;
    FLOAT* pfltVal;
    DOUBLE* pdblVal;
    VARIANT_BOOL* pboolVal;
    SCODE* pscode;
    CY* pcyVal;
    DATE* pdate;
    BSTR* pbstrVal;
    IUnknown** ppunkVal;
    IDispatch** ppdispVal;
    VARIANT* pvarVal;
    void* byref;
    CHAR* pcVal;
    USHORT* puiVal;
    ULONG* pulVal;
    ULONGLONG* pullVal;
    INT* pintVal;
    UINT* puintVal;
  };
};
using VARIANTARG = VARIANT;

/// VariantChangeType flags.
enum : USHORT {
  /// A dispatch value is refused instead of read through its default property.
  VARIANT_NOVALUEPROP = 0x01,
  /// Booleans become "True" and "False" instead of "-1" and "0".
  VARIANT_ALPHABOOL = 0x02,
};

/// Makes `v` VT_EMPTY without looking at what it held.
void VariantInit(VARIANT* v);
/// Frees what `v` owns and makes it VT_EMPTY. DISP_E_BADVARTYPE (and `v`
/// untouched) for a type this runtime does not know (arrays among them).
HRESULT VariantClear(VARIANT* v);
/// Clears `dest`, then makes it a deep copy of `src` (its own BSTR, another
/// reference); a by-reference `src` is copied as the reference.
HRESULT VariantCopy(VARIANT* dest, const VARIANT* src);
/// As VariantCopy, but a by-reference `src` is copied as the value it
/// points to.
HRESULT VariantCopyInd(VARIANT* dest, const VARIANT* src);

/// Converts `src` (by reference or not) to `vt` into `dest`, which may be
/// `src` itself. To VT_BSTR from: VT_EMPTY (""), integers and VT_BOOL (in
/// decimal, a boolean as -1 or 0 unless VARIANT_ALPHABOOL), VT_R4 and VT_R8
/// (7 and 15 significant digits, %G form), VT_CY, VT_BSTR, and VT_DISPATCH
/// (through its default property, DISPID_VALUE). Between VT_EMPTY, the
/// numeric types, VT_BOOL and VT_BSTR (a number's text, or "True"/"False"
/// for a boolean) in every direction; reals are rounded half to even.
/// VT_UNKNOWN and VT_DISPATCH to each other by QueryInterface. Refusals:
/// DISP_E_TYPEMISMATCH for any other pair (VT_NULL, VT_ERROR, VT_DATE,
/// VT_DECIMAL among them) or a text that is no number, DISP_E_OVERFLOW for a
/// value out of the target's range, DISP_E_BADVARTYPE for an unknown type.
HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, USHORT flags, VARTYPE vt);
HRESULT VariantChangeTypeEx(VARIANT* dest, const VARIANT* src, LCID lcid, USHORT flags, VARTYPE vt);

/// A VARIANT owned by the scope: cleared at destruction.
class JComVariant : public VARIANT {
 public:
  JComVariant() { VariantInit(this); }
  explicit JComVariant(LONG value) : JComVariant() { vt = VT_I4, lVal = value; }
  explicit JComVariant(DOUBLE value) : JComVariant() { vt = VT_R8, dblVal = value; }
  explicit JComVariant(bool value) : JComVariant() {
    vt = VT_BOOL, boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
  }
  /// A VT_BSTR of the UTF-8 `text`.
  explicit JComVariant(std::string_view text) : JComVariant() {
    vt = VT_BSTR, bstrVal = bstrFromString(text);
  }
  /// Without it a literal would pick the bool constructor.
  explicit JComVariant(const char* text) : JComVariant(std::string_view(text)) {}
  /// A VT_DISPATCH holding a new reference on `p`.
  explicit JComVariant(IDispatch* p);
  JComVariant(const JComVariant& o) : JComVariant() { VariantCopy(this, &o); }
  JComVariant& operator=(const JComVariant& o) {
    if (this != &o) {
      VariantCopy(this, &o);
    }
    return *this;
  }
  ~JComVariant() { VariantClear(this); }
};

}  // namespace zq::com
