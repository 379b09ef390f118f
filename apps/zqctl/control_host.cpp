// Statements run through the shared host, and what they give printed.
#include "zqctl/control_host.h"

#include <charconv>

namespace zq::zqctl {

using namespace zq::com;

namespace {

host::Call callOf(const Statement& st) {
  return {st.name, st.args, st.kind == Statement::Kind::kPut};
}

}  // namespace

std::string valueText(const VARIANT& v) {
  switch (v.vt) {
    case VT_EMPTY:
      return "empty";
    case VT_NULL:
      return "null";
    case VT_I1:
      return std::to_string(v.cVal);
    case VT_UI1:
      return std::to_string(v.bVal);
    case VT_I2:
      return std::to_string(v.iVal);
    case VT_UI2:
      return std::to_string(v.uiVal);
    case VT_I4:
    case VT_INT:
      return std::to_string(v.lVal);
    case VT_UI4:
    case VT_UINT:
      return std::to_string(v.ulVal);
    case VT_I8:
      return std::to_string(v.llVal);
    case VT_UI8:
      return std::to_string(v.ullVal);
    case VT_ERROR:
      return hresultText(v.scode);
    case VT_BOOL:
      return v.boolVal != VARIANT_FALSE ? "true" : "false";
    case VT_BSTR:
      return quotedText(stringFromBstr(v.bstrVal));
    case VT_R4:
    case VT_R8: {
      char buffer[32];
      const double d = v.vt == VT_R4 ? v.fltVal : v.dblVal;
      const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, d);
      return ec == std::errc() ? std::string(buffer, end) : "?";
    }
    case VT_DISPATCH:
    case VT_UNKNOWN:
      return v.punkVal == nullptr ? "nothing" : "<object>";
    default:
      break;
  }
  JComVariant text;
  if (SUCCEEDED(VariantChangeType(&text, &v, 0, VT_BSTR))) {
    return quotedText(stringFromBstr(text.bstrVal));
  }
  return "<" + vartypeName(v.vt) + ">";
}

std::string eventLine(const host::Event& event) {
  std::string line = "event " + event.name;
  for (const std::string& arg : event.args) {
    line += " " + quotedText(arg);
  }
  return line;
}

ControlHost::ControlHost(const std::string& libraryPath, Printer print)
    : print_(std::move(print)),
      host_(libraryPath, [this](const host::Event& event) { print_(eventLine(event)); }) {}

bool ControlHost::check(const Statement& st, std::string& error) const {
  if (st.kind != Statement::Kind::kCall && st.kind != Statement::Kind::kPut) {
    return true;
  }
  return host_.resolve(callOf(st), error) != nullptr;
}

ControlHost::Outcome ControlHost::run(const Statement& st, std::string& error) {
  switch (st.kind) {
    case Statement::Kind::kEmpty:
    case Statement::Kind::kHelp:  // answered by the console from members()
      return Outcome::kDone;
    case Statement::Kind::kWait:
      wait(st.seconds);
      return Outcome::kDone;
    case Statement::Kind::kCall:
    case Statement::Kind::kPut:
      break;
  }
  std::vector<host::Output> outs;
  const Outcome outcome = host_.invoke(callOf(st), outs, error);
  if (outcome != Outcome::kDone) {
    return outcome;
  }
  std::string line;
  for (const host::Output& out : outs) {
    line += " " + valueText(out.value);
  }
  if (!line.empty()) {
    print_("->" + line);
  }
  return Outcome::kDone;
}

}  // namespace zq::zqctl
