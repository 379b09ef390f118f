// Bodies to calls and values to JSON (api.h).
#include "zqweb/api.h"

#include <strings.h>

#include <limits>

#include "base/error.h"
#include "rpc/params.h"

namespace zq::zqweb {

using namespace zq::com;
using host::MemberInfo;

namespace {

bool sameName(const std::string& a, const std::string& b) {
  return ::strcasecmp(a.c_str(), b.c_str()) == 0;
}

bool isNumberType(VARTYPE vt) {
  switch (vt) {
    case VT_I1:
    case VT_UI1:
    case VT_I2:
    case VT_UI2:
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_BOOL:
      return true;
    default:
      return false;
  }
}

std::string ordinal(size_t n) {
  return "argument " + std::to_string(n);
}

// One JSON argument as a value of the call, or why not.
std::variant<host::Value, std::string> valueOf(const json& v) {
  if (v.is_boolean()) {
    return host::Value(int32_t{v.get<bool>() ? 1 : 0});
  }
  if (v.is_number_integer()) {
    const auto i = v.get<int64_t>();
    if (v.is_number_unsigned() && v.get<uint64_t>() > uint64_t{std::numeric_limits<int64_t>::max()}) {
      return std::string("is out of the 32-bit range");
    }
    if (i < std::numeric_limits<int32_t>::min() || i > std::numeric_limits<int32_t>::max()) {
      return std::string("is out of the 32-bit range");
    }
    return host::Value(static_cast<int32_t>(i));
  }
  if (v.is_string()) {
    return host::Value(v.get<std::string>());
  }
  return std::string("must be an integer or a text, not ") +
         (v.is_number() ? "a real number" : v.type_name());
}

}  // namespace

std::variant<host::Call, ApiError> callFromJson(const json& body,
                                                const std::vector<MemberInfo>& members) {
  if (!body.is_object()) {
    return ApiError{400, "the body must be a JSON object"};
  }
  const bool isMember = body.contains("member");
  const bool isProperty = body.contains("property");
  if (isMember == isProperty) {
    return ApiError{400, "give either \"member\" or \"property\""};
  }
  const json& name = body.at(isMember ? "member" : "property");
  if (!name.is_string() || name.get<std::string>().empty()) {
    return ApiError{400, std::string("\"") + (isMember ? "member" : "property") +
                             "\" must be a non-empty text"};
  }
  host::Call call;
  call.member = name.get<std::string>();
  bool known = false;
  bool property = false;
  for (const MemberInfo& m : members) {
    if (sameName(m.name, call.member)) {
      known = true;
      property = property || m.kind != INVOKE_FUNC;
    }
  }
  if (!known) {
    return ApiError{404, std::string("unknown ") + (isMember ? "member " : "property ") + call.member};
  }
  std::vector<json> args;
  if (isProperty) {
    if (!property) {
      return ApiError{400, call.member + " is a method, not a property: call it with \"member\""};
    }
    if (body.contains("args")) {
      return ApiError{400, "a property takes \"value\", not \"args\""};
    }
    if (body.contains("value")) {
      call.put = true;
      args.push_back(body.at("value"));
    }
  } else {
    if (body.contains("value")) {
      return ApiError{400, "a member takes \"args\", not \"value\": set a property with \"property\""};
    }
    if (body.contains("args")) {
      const json& a = body.at("args");
      if (!a.is_array()) {
        return ApiError{400, "\"args\" must be an array"};
      }
      args.assign(a.begin(), a.end());
    }
  }
  for (size_t i = 0; i < args.size(); ++i) {
    auto value = valueOf(args[i]);
    if (const auto* why = std::get_if<std::string>(&value)) {
      return ApiError{400, call.member + ": " + (call.put ? std::string("the value") : ordinal(i + 1)) +
                               " " + *why};
    }
    call.args.push_back(std::move(std::get<host::Value>(value)));
  }
  return call;
}

std::optional<ApiError> checkArguments(const host::Call& call, const MemberInfo& member) {
  size_t k = 0;
  for (const MemberInfo::Param& p : member.params) {
    if (p.isOut()) {
      continue;
    }
    if (k >= call.args.size()) {
      break;
    }
    const bool isInt = std::holds_alternative<int32_t>(call.args[k++]);
    if (isNumberType(p.vt) && !isInt) {
      return ApiError{400, member.name + ": " + p.name + " must be an integer (" +
                               host::vartypeName(p.vt) + "), not a text"};
    }
    if (p.vt == VT_BSTR && isInt) {
      return ApiError{400, member.name + ": " + p.name + " must be a text, not a number"};
    }
  }
  return std::nullopt;
}

json jsonFromVariant(const VARIANT& v) {
  switch (v.vt) {
    case VT_EMPTY:
    case VT_NULL:
      return nullptr;
    case VT_I1:
      return v.cVal;
    case VT_UI1:
      return v.bVal;
    case VT_I2:
      return v.iVal;
    case VT_UI2:
      return v.uiVal;
    case VT_I4:
    case VT_INT:
      return v.lVal;
    case VT_UI4:
    case VT_UINT:
      return v.ulVal;
    case VT_I8:
      return v.llVal;
    case VT_UI8:
      return v.ullVal;
    case VT_R4:
      return v.fltVal;
    case VT_R8:
      return v.dblVal;
    case VT_BOOL:
      return v.boolVal != VARIANT_FALSE;
    case VT_BSTR:
      return stringFromBstr(v.bstrVal);
    default:
      break;
  }
  JComVariant text;
  if (SUCCEEDED(VariantChangeType(&text, &v, 0, VT_BSTR))) {
    return stringFromBstr(text.bstrVal);
  }
  return nullptr;
}

json resultJson(const std::vector<host::Output>& outs) {
  if (outs.empty()) {
    return {{"result", nullptr}};
  }
  if (outs.size() == 1) {
    return {{"result", jsonFromVariant(outs[0].value)}};
  }
  json all = json::object();
  for (const host::Output& out : outs) {
    all[out.name] = jsonFromVariant(out.value);
  }
  return {{"result", all}};
}

json membersJson(const std::vector<MemberInfo>& members) {
  json list = json::array();
  for (const MemberInfo& m : members) {
    json params = json::array();
    for (const MemberInfo::Param& p : m.params) {
      params.push_back({{"name", p.name}, {"type", host::vartypeName(p.vt)}, {"out", p.isOut()}});
    }
    const char* kind = m.kind == INVOKE_FUNC          ? "method"
                       : m.kind == INVOKE_PROPERTYGET ? "get"
                                                      : "put";
    list.push_back({{"name", m.name},
                    {"kind", kind},
                    {"dispid", m.dispid},
                    {"help", m.help},
                    {"usage", m.usage()},
                    {"params", params}});
  }
  return list;
}

json paramsJson(std::string_view text) {
  JParams params;
  try {
    if (params.parse(text) != text.size() || params.empty()) {
      return nullptr;
    }
  } catch (const JError&) {
    return nullptr;
  }
  json out = json::object();
  for (const JVariant& v : params) {
    switch (v.type()) {
      case JVariant::kBoolean:
        out[v.name()] = v.asBool();
        break;
      case JVariant::kInteger:
        out[v.name()] = v.asInt64();
        break;
      case JVariant::kDouble:
        out[v.name()] = v.asDouble();
        break;
      case JVariant::kString:
        out[v.name()] = v.asString();
        break;
      default:
        out[v.name()] = nullptr;
        break;
    }
  }
  return out;
}

}  // namespace zq::zqweb
