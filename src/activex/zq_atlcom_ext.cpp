// The call descriptions and records of the automation tracing.
#include "activex/zq_atlcom_ext.h"

#include <cstdarg>

#include "base/format.h"
#include "base/log.h"

namespace zq::activex {

namespace {

constexpr int kTraceLevel = 2;
constexpr UINT kMaxNames = 20;

// A copy converted to text; empty when the value has no text form.
std::string textOf(const VARIANT& value) {
  JComVariant text;
  if (FAILED(VariantChangeType(&text, &value, 0, VT_BSTR))) {
    return {};
  }
  return stringFromBstr(text.bstrVal);
}

}  // namespace

const char* vartypeName(VARTYPE vt) {
  switch (vt) {
    case 2:
      return "VT_I2";
    case 3:
      return "VT_I4";
    case 4:
      return "VT_R4";
    case 5:
      return "VT_R8";
    case 6:
      return "VT_CY";
    case 7:
      return "VT_DATE";
    case 8:
      return "VT_BSTR";
    case 0x0B:
      return "VT_BOOL";
    case 0x0C:
      return "VT_VARIANT";
    case 0x0D:
      return "VT_UNKNOWN";
    case 0x0E:
      return "VT_DECIMAL";
    case 0x10:
      return "VT_I1";
    case 0x11:
      return "VT_UI1";
    case 0x12:
      return "VT_UI2";
    case 0x13:
      return "VT_UI4";
    case 0x14:
      return "VT_I8";
    case 0x15:
      return "VT_UI8";
    case 0x16:
      return "VT_INT";
    case 0x17:
      return "VT_UINT";
    case 0x18:
      return "VT_VOID";
    case 0x19:
      return "VT_HRESULT";
    case 0x1A:
      return "VT_PTR";
    case 0x1B:
      return "VT_SAFEARRAY";
    case 0x1C:
      return "VT_CARRAY";
    case 0x1E:
      return "VT_LPSTR";
    case 0x1F:
      return "VT_LPWSTR";
    case 0x25:
      return "VT_INT_PTR";
    case 0x26:
      return "VT_UINT_PTR";
    case 0x40:
      return "VT_FILETIME";
    case 0x41:
      return "VT_BLOB";
    case 0x47:
      return "VT_CF";
    case 0x48:
      return "VT_CLSID";
    case 0x0FFF:
      return "VT_BSTR_BLOB";
    default:
      return "Unknown";
  }
}

JCallDescription describeCall(DISPID member, const DISPPARAMS* params, ITypeInfo* info) {
  JCallDescription d;
  BSTR names[kMaxNames] = {};
  UINT count = 0;
  if (info == nullptr || FAILED(info->GetNames(member, names, kMaxNames, &count)) || count == 0) {
    for (UINT i = 0; i < count; ++i) {
      SysFreeString(names[i]);
    }
    count = 0;
    d.member = "DISPID = " + std::to_string(member);
  } else {
    d.member = stringFromBstr(names[0]);
  }
  const UINT args = params == nullptr ? 0 : params->cArgs;
  for (UINT k = 1; k <= args; ++k) {
    // Declaration order runs from the last element of the array down.
    const VARIANT& arg = params->rgvarg[args - k];
    if (k < count) {
      d.arguments += stringFromBstr(names[k]);
      d.arguments += " = '";
    } else {
      d.arguments += "'";
    }
    d.arguments += textOf(arg);
    d.arguments += "' (";
    d.arguments += vartypeName(arg.vt);
    d.arguments += k < args ? "), " : ")";
  }
  for (UINT i = 0; i < count; ++i) {
    SysFreeString(names[i]);
  }
  return d;
}

void traceRecord(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = jvformat(format, args);
  va_end(args);
  JLog::log(kTraceLevel, text, "zq_atlcom_ext", __LINE__, "void *", nullptr);
}

HRESULT tracedInvoke(const char* interfaceName, ITypeInfo* classInfo, DISPID member,
                     DISPPARAMS* params, VARIANT* result, HRESULT (*forward)(void*),
                     void* context) {
  const JCallDescription d = describeCall(member, params, classInfo);
  traceRecord("IZQDispatchImpl<%s>: Dispatching %s( %s )", interfaceName, d.member.c_str(),
              d.arguments.c_str());
  const HRESULT hr = forward(context);
  const auto bits = static_cast<unsigned>(hr);
  if (result == nullptr) {
    traceRecord("Result hr = 0x%.8X; pvarResult = 'null'", bits);
  } else {
    traceRecord("Result hr = 0x%.8X; pvarResult = '%s' (%s)", bits, textOf(*result).c_str(),
                vartypeName(result->vt));
  }
  return hr;
}

}  // namespace zq::activex
