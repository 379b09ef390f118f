// VARIANT ownership and conversion. Conversions go through one of four
// intermediate forms (signed, unsigned, real, text) so that every pair of
// scalar types shares the same rounding and range rules.
#include "com/variant.h"

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>

#include "com/dispatch.h"

namespace zq::com {
namespace {

bool knownType(VARTYPE vt) {
  switch (vt & VT_TYPEMASK) {
    case VT_EMPTY:
    case VT_NULL:
    case VT_I2:
    case VT_I4:
    case VT_R4:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
    case VT_BSTR:
    case VT_DISPATCH:
    case VT_ERROR:
    case VT_BOOL:
    case VT_UNKNOWN:
    case VT_I1:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_I8:
    case VT_UI8:
    case VT_INT:
    case VT_UINT:
      break;
    case VT_VARIANT:
      // Only as the target of a reference.
      return (vt & VT_BYREF) != 0;
    default:
      return false;
  }
  if ((vt & VT_ARRAY) != 0 || (vt & ~(VT_TYPEMASK | VT_BYREF)) != 0) {
    return false;
  }
  // Empty and null have no storage to refer to.
  return (vt & VT_BYREF) == 0 || ((vt & VT_TYPEMASK) != VT_EMPTY && (vt & VT_TYPEMASK) != VT_NULL);
}

// The value a by-reference VARIANT points to, as a VARIANT that owns
// nothing (a view); `v` itself when it is not by reference.
HRESULT dereference(const VARIANT& v, VARIANT& view) {
  if ((v.vt & VT_BYREF) == 0) {
    view = v;
    return S_OK;
  }
  if (v.byref == nullptr) {
    return E_INVALIDARG;
  }
  const VARTYPE vt = v.vt & ~VT_BYREF;
  VariantInit(&view);
  view.vt = vt;
  switch (vt) {
    case VT_I1:
      view.cVal = *v.pcVal;
      break;
    case VT_UI1:
      view.bVal = *v.pbVal;
      break;
    case VT_I2:
      view.iVal = *v.piVal;
      break;
    case VT_UI2:
      view.uiVal = *v.puiVal;
      break;
    case VT_I4:
      view.lVal = *v.plVal;
      break;
    case VT_UI4:
      view.ulVal = *v.pulVal;
      break;
    case VT_INT:
      view.intVal = *v.pintVal;
      break;
    case VT_UINT:
      view.uintVal = *v.puintVal;
      break;
    case VT_I8:
      view.llVal = *v.pllVal;
      break;
    case VT_UI8:
      view.ullVal = *v.pullVal;
      break;
    case VT_R4:
      view.fltVal = *v.pfltVal;
      break;
    case VT_R8:
      view.dblVal = *v.pdblVal;
      break;
    case VT_DATE:
      view.date = *v.pdate;
      break;
    case VT_CY:
      view.cyVal = *v.pcyVal;
      break;
    case VT_BOOL:
      view.boolVal = *v.pboolVal;
      break;
    case VT_ERROR:
      view.scode = *v.pscode;
      break;
    case VT_BSTR:
      view.bstrVal = *v.pbstrVal;
      break;
    case VT_UNKNOWN:
      view.punkVal = *v.ppunkVal;
      break;
    case VT_DISPATCH:
      view.pdispVal = *v.ppdispVal;
      break;
    case VT_VARIANT:
      if ((v.pvarVal->vt & VT_BYREF) != 0) {
        return DISP_E_BADVARTYPE;
      }
      view = *v.pvarVal;
      break;
    default:
      return DISP_E_BADVARTYPE;
  }
  return S_OK;
}

// A deep copy of the non-reference `src` into the cleared `dest`.
HRESULT copyValue(VARIANT* dest, const VARIANT& src) {
  VARIANT out = src;
  if (src.vt == VT_BSTR && src.bstrVal != nullptr) {
    out.bstrVal = SysAllocStringByteLen(reinterpret_cast<const char*>(src.bstrVal),
                                        SysStringByteLen(src.bstrVal));
    if (out.bstrVal == nullptr) {
      return E_OUTOFMEMORY;
    }
  } else if ((src.vt == VT_UNKNOWN || src.vt == VT_DISPATCH) && src.punkVal != nullptr) {
    src.vt == VT_UNKNOWN ? src.punkVal->AddRef() : src.pdispVal->AddRef();
  }
  HRESULT hr = VariantClear(dest);
  if (FAILED(hr)) {
    VariantClear(&out);
    return hr;
  }
  *dest = out;
  return S_OK;
}

// The intermediate form of a scalar.
struct Scalar {
  enum Kind { Signed, Unsigned, Real, Text, Bool } kind = Signed;
  int64_t i = 0;
  uint64_t u = 0;
  double d = 0;
  std::string text;
};

HRESULT scalarOf(const VARIANT& v, Scalar& s) {
  switch (v.vt) {
    case VT_EMPTY:
      s.kind = Scalar::Signed, s.i = 0;
      break;
    case VT_I1:
      s.kind = Scalar::Signed, s.i = static_cast<signed char>(v.cVal);
      break;
    case VT_I2:
      s.kind = Scalar::Signed, s.i = v.iVal;
      break;
    case VT_I4:
      s.kind = Scalar::Signed, s.i = v.lVal;
      break;
    case VT_INT:
      s.kind = Scalar::Signed, s.i = v.intVal;
      break;
    case VT_I8:
      s.kind = Scalar::Signed, s.i = v.llVal;
      break;
    case VT_UI1:
      s.kind = Scalar::Unsigned, s.u = v.bVal;
      break;
    case VT_UI2:
      s.kind = Scalar::Unsigned, s.u = v.uiVal;
      break;
    case VT_UI4:
      s.kind = Scalar::Unsigned, s.u = v.ulVal;
      break;
    case VT_UINT:
      s.kind = Scalar::Unsigned, s.u = v.uintVal;
      break;
    case VT_UI8:
      s.kind = Scalar::Unsigned, s.u = v.ullVal;
      break;
    case VT_R4:
      s.kind = Scalar::Real, s.d = v.fltVal;
      break;
    case VT_R8:
      s.kind = Scalar::Real, s.d = v.dblVal;
      break;
    case VT_CY:
      s.kind = Scalar::Real, s.d = static_cast<double>(v.cyVal.int64) / 10000;
      break;
    case VT_BOOL:
      s.kind = Scalar::Bool, s.i = v.boolVal != 0 ? -1 : 0;
      break;
    case VT_BSTR:
      s.kind = Scalar::Text, s.text = stringFromBstr(v.bstrVal);
      break;
    default:
      return DISP_E_TYPEMISMATCH;
  }
  return S_OK;
}

// Reals in %G form, with the significant digits of their width.
std::string realText(double d, bool single) {
  char text[64];
  if (single) {
    std::snprintf(text, sizeof text, "%.7G", d);
  } else {
    std::snprintf(text, sizeof text, "%.15G", d);
  }
  return text;
}

std::string currencyText(LONGLONG value) {
  const bool negative = value < 0;
  const uint64_t magnitude =
      negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  std::string text = std::to_string(magnitude / 10000);
  if (const uint64_t fraction = magnitude % 10000; fraction != 0) {
    char digits[8];
    std::snprintf(digits, sizeof digits, ".%04" PRIu64, fraction);
    std::string f = digits;
    while (f.back() == '0') {
      f.pop_back();
    }
    text += f;
  }
  return negative ? "-" + text : text;
}

HRESULT toText(const VARIANT& v, USHORT flags, std::string& text) {
  switch (v.vt) {
    case VT_BOOL:
      if ((flags & VARIANT_ALPHABOOL) != 0) {
        text = v.boolVal != 0 ? "True" : "False";
      } else {
        text = v.boolVal != 0 ? "-1" : "0";
      }
      return S_OK;
    case VT_R4:
      text = realText(v.fltVal, true);
      return S_OK;
    case VT_R8:
      text = realText(v.dblVal, false);
      return S_OK;
    case VT_CY:
      text = currencyText(v.cyVal.int64);
      return S_OK;
    default:
      break;
  }
  Scalar s;
  if (HRESULT hr = scalarOf(v, s); FAILED(hr)) {
    return hr;
  }
  switch (s.kind) {
    case Scalar::Signed:
      text = std::to_string(s.i);
      break;
    case Scalar::Unsigned:
      text = std::to_string(s.u);
      break;
    case Scalar::Text:
      text = std::move(s.text);
      break;
    default:
      return DISP_E_TYPEMISMATCH;
  }
  // An empty VARIANT is the empty text, not "0".
  if (v.vt == VT_EMPTY) {
    text.clear();
  }
  return S_OK;
}

bool equalsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// A text as a number: an integer when it is one, a real otherwise.
HRESULT parseNumber(const std::string& text, Scalar& s, bool wantBool) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) {
    ++begin;
  }
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) {
    --end;
  }
  const std::string trimmed = text.substr(begin, end - begin);
  if (wantBool && (equalsNoCase(trimmed, "true") || equalsNoCase(trimmed, "false"))) {
    s.kind = Scalar::Bool, s.i = equalsNoCase(trimmed, "true") ? -1 : 0;
    return S_OK;
  }
  if (trimmed.empty() || trimmed.find_first_of("xXpP") != std::string::npos ||
      !(std::isdigit(static_cast<unsigned char>(trimmed.back())) || trimmed.back() == '.')) {
    return DISP_E_TYPEMISMATCH;
  }
  char* stop = nullptr;
  errno = 0;
  const long long i = std::strtoll(trimmed.c_str(), &stop, 10);
  if (*stop == '\0' && errno == 0) {
    s.kind = Scalar::Signed, s.i = i;
    return S_OK;
  }
  errno = 0;
  const double d = std::strtod(trimmed.c_str(), &stop);
  if (*stop != '\0') {
    return DISP_E_TYPEMISMATCH;
  }
  if (errno == ERANGE && std::isinf(d)) {
    return DISP_E_OVERFLOW;
  }
  s.kind = Scalar::Real, s.d = d;
  return S_OK;
}

// `s` as an integer within [lo, hi] (or [0, uhi] when unsigned).
HRESULT toSigned(const Scalar& s, int64_t lo, int64_t hi, int64_t& out) {
  switch (s.kind) {
    case Scalar::Signed:
    case Scalar::Bool:
      if (s.i < lo || s.i > hi) {
        return DISP_E_OVERFLOW;
      }
      out = s.i;
      return S_OK;
    case Scalar::Unsigned:
      if (s.u > static_cast<uint64_t>(hi)) {
        return DISP_E_OVERFLOW;
      }
      out = static_cast<int64_t>(s.u);
      return S_OK;
    case Scalar::Real: {
      const double r = std::nearbyint(s.d);
      if (!(r >= static_cast<double>(lo) && r < static_cast<double>(hi) + 1.0)) {
        return DISP_E_OVERFLOW;
      }
      out = static_cast<int64_t>(r);
      return S_OK;
    }
    default:
      return DISP_E_TYPEMISMATCH;
  }
}

HRESULT toUnsigned(const Scalar& s, uint64_t hi, uint64_t& out) {
  switch (s.kind) {
    case Scalar::Bool:
      // True is all bits set in the target's width.
      out = s.i != 0 ? hi : 0;
      return S_OK;
    case Scalar::Signed:
      if (s.i < 0 || static_cast<uint64_t>(s.i) > hi) {
        return DISP_E_OVERFLOW;
      }
      out = static_cast<uint64_t>(s.i);
      return S_OK;
    case Scalar::Unsigned:
      if (s.u > hi) {
        return DISP_E_OVERFLOW;
      }
      out = s.u;
      return S_OK;
    case Scalar::Real: {
      const double r = std::nearbyint(s.d);
      if (!(r >= 0 && r < static_cast<double>(hi) + 1.0)) {
        return DISP_E_OVERFLOW;
      }
      out = static_cast<uint64_t>(r);
      return S_OK;
    }
    default:
      return DISP_E_TYPEMISMATCH;
  }
}

double realOf(const Scalar& s) {
  switch (s.kind) {
    case Scalar::Unsigned:
      return static_cast<double>(s.u);
    case Scalar::Real:
      return s.d;
    default:
      return static_cast<double>(s.i);
  }
}

// Converts the non-reference scalar `src` to the scalar type `vt` in `out`.
HRESULT convertScalar(const VARIANT& src, USHORT flags, VARTYPE vt, VARIANT& out) {
  VariantInit(&out);
  if (vt == VT_BSTR) {
    std::string text;
    if (HRESULT hr = toText(src, flags, text); FAILED(hr)) {
      return hr;
    }
    out.bstrVal = bstrFromString(text);
    if (out.bstrVal == nullptr) {
      return E_OUTOFMEMORY;
    }
    out.vt = VT_BSTR;
    return S_OK;
  }
  Scalar s;
  if (HRESULT hr = scalarOf(src, s); FAILED(hr)) {
    return hr;
  }
  if (s.kind == Scalar::Text) {
    if (HRESULT hr = parseNumber(s.text, s, vt == VT_BOOL); FAILED(hr)) {
      return hr;
    }
  }
  int64_t i = 0;
  uint64_t u = 0;
  HRESULT hr = S_OK;
  switch (vt) {
    case VT_I1:
      hr = toSigned(s, INT8_MIN, INT8_MAX, i), out.cVal = static_cast<CHAR>(i);
      break;
    case VT_I2:
      hr = toSigned(s, INT16_MIN, INT16_MAX, i), out.iVal = static_cast<SHORT>(i);
      break;
    case VT_I4:
      hr = toSigned(s, INT32_MIN, INT32_MAX, i), out.lVal = static_cast<LONG>(i);
      break;
    case VT_INT:
      hr = toSigned(s, INT32_MIN, INT32_MAX, i), out.intVal = static_cast<INT>(i);
      break;
    case VT_I8:
      hr = toSigned(s, INT64_MIN, INT64_MAX, i), out.llVal = i;
      break;
    case VT_UI1:
      hr = toUnsigned(s, UINT8_MAX, u), out.bVal = static_cast<BYTE>(u);
      break;
    case VT_UI2:
      hr = toUnsigned(s, UINT16_MAX, u), out.uiVal = static_cast<USHORT>(u);
      break;
    case VT_UI4:
      hr = toUnsigned(s, UINT32_MAX, u), out.ulVal = static_cast<ULONG>(u);
      break;
    case VT_UINT:
      hr = toUnsigned(s, UINT32_MAX, u), out.uintVal = static_cast<UINT>(u);
      break;
    case VT_UI8:
      hr = toUnsigned(s, UINT64_MAX, u), out.ullVal = u;
      break;
    case VT_R8:
      out.dblVal = realOf(s);
      break;
    case VT_R4: {
      const double d = realOf(s);
      if (std::isfinite(d) && std::fabs(d) > std::numeric_limits<float>::max()) {
        return DISP_E_OVERFLOW;
      }
      out.fltVal = static_cast<float>(d);
      break;
    }
    case VT_CY: {
      const double d = realOf(s) * 10000;
      if (!(std::fabs(d) < 9.2e18)) {
        return DISP_E_OVERFLOW;
      }
      out.cyVal.int64 = static_cast<LONGLONG>(std::nearbyint(d));
      break;
    }
    case VT_BOOL:
      out.boolVal = realOf(s) != 0 ? VARIANT_TRUE : VARIANT_FALSE;
      break;
    default:
      return DISP_E_TYPEMISMATCH;
  }
  if (FAILED(hr)) {
    VariantInit(&out);
    return hr;
  }
  out.vt = vt;
  return S_OK;
}

}  // namespace

void VariantInit(VARIANT* v) {
  v->vt = VT_EMPTY;
  v->wReserved1 = v->wReserved2 = v->wReserved3 = 0;
  v->llVal = 0;
}

HRESULT VariantClear(VARIANT* v) {
  if (v == nullptr) {
    return E_INVALIDARG;
  }
  if (!knownType(v->vt)) {
    return DISP_E_BADVARTYPE;
  }
  switch (v->vt) {
    case VT_BSTR:
      SysFreeString(v->bstrVal);
      break;
    case VT_UNKNOWN:
      if (v->punkVal != nullptr) {
        v->punkVal->Release();
      }
      break;
    case VT_DISPATCH:
      if (v->pdispVal != nullptr) {
        v->pdispVal->Release();
      }
      break;
    default:
      break;
  }
  VariantInit(v);
  return S_OK;
}

HRESULT VariantCopy(VARIANT* dest, const VARIANT* src) {
  if (dest == nullptr || src == nullptr) {
    return E_INVALIDARG;
  }
  if (!knownType(src->vt)) {
    return DISP_E_BADVARTYPE;
  }
  if (dest == src) {
    return S_OK;
  }
  return copyValue(dest, *src);
}

HRESULT VariantCopyInd(VARIANT* dest, const VARIANT* src) {
  if (dest == nullptr || src == nullptr) {
    return E_INVALIDARG;
  }
  if (!knownType(src->vt)) {
    return DISP_E_BADVARTYPE;
  }
  VARIANT view;
  if (HRESULT hr = dereference(*src, view); FAILED(hr)) {
    return hr;
  }
  // Copy before clearing: `dest` may be `src`, or hold what it refers to.
  VARIANT copy;
  VariantInit(&copy);
  if (HRESULT hr = copyValue(&copy, view); FAILED(hr)) {
    return hr;
  }
  VariantClear(dest);
  *dest = copy;
  return S_OK;
}

HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, USHORT flags, VARTYPE vt) {
  if (dest == nullptr || src == nullptr) {
    return E_INVALIDARG;
  }
  if (!knownType(src->vt) || !knownType(vt) || (vt & VT_BYREF) != 0) {
    return DISP_E_BADVARTYPE;
  }
  VARIANT view;
  if (HRESULT hr = dereference(*src, view); FAILED(hr)) {
    return hr;
  }
  VARIANT out;
  VariantInit(&out);
  if (view.vt == vt) {
    if (HRESULT hr = copyValue(&out, view); FAILED(hr)) {
      return hr;
    }
  } else if (view.vt == VT_DISPATCH || view.vt == VT_UNKNOWN) {
    IUnknown* object = view.punkVal;
    if (object == nullptr) {
      return DISP_E_TYPEMISMATCH;
    }
    if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
      void* p = nullptr;
      if (FAILED(object->QueryInterface(vt == VT_UNKNOWN ? IID_IUnknown : IID_IDispatch, &p))) {
        return DISP_E_TYPEMISMATCH;
      }
      out.vt = vt;
      out.byref = p;
    } else {
      if (view.vt != VT_DISPATCH || (flags & VARIANT_NOVALUEPROP) != 0) {
        return DISP_E_TYPEMISMATCH;
      }
      // A dispatch value stands for its default property.
      DISPPARAMS none;
      JComVariant value;
      if (FAILED(view.pdispVal->Invoke(DISPID_VALUE, IID_NULL, LOCALE_USER_DEFAULT,
                                       DISPATCH_PROPERTYGET, &none, &value, nullptr, nullptr)) ||
          value.vt == VT_DISPATCH || value.vt == VT_UNKNOWN) {
        return DISP_E_TYPEMISMATCH;
      }
      if (HRESULT hr = VariantChangeType(&out, &value, flags, vt); FAILED(hr)) {
        return hr;
      }
    }
  } else if (HRESULT hr = convertScalar(view, flags, vt, out); FAILED(hr)) {
    return hr;
  }
  VariantClear(dest);
  *dest = out;
  return S_OK;
}

HRESULT VariantChangeTypeEx(VARIANT* dest, const VARIANT* src, LCID /*lcid*/, USHORT flags,
                            VARTYPE vt) {
  return VariantChangeType(dest, src, flags, vt);
}

JComVariant::JComVariant(IDispatch* p) : JComVariant() {
  vt = VT_DISPATCH;
  pdispVal = p;
  if (p != nullptr) {
    p->AddRef();
  }
}

}  // namespace zq::com
