// The JSON side of the console's interface, as pure functions: a POST
// /api/call body becomes a call of the control's members (checked against
// their type information before anything is called), out values and
// parameter texts become JSON, and the members are listed as zqctl --help
// lists them.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/control_host.h"

namespace zq::zqweb {

using json = nlohmann::json;

/// A refusal: the HTTP status and the text of {"error": ...}.
struct ApiError {
  int status = 400;
  std::string message;
  friend bool operator==(const ApiError&, const ApiError&) = default;
};

/// The call a body asks for: {"member": NAME, "args": [...]}, or
/// {"property": NAME} to read and {"property": NAME, "value": V} to set.
/// Names compare without case, as the control's do. Arguments are integers
/// (booleans count as 1 and 0) or texts. 404 for a name the control does
/// not have, 400 for anything else wrong.
std::variant<host::Call, ApiError> callFromJson(const json& body,
                                                const std::vector<host::MemberInfo>& members);

/// The arguments' kinds against the member's parameters: an integer for a
/// number parameter, a text for a text one.
std::optional<ApiError> checkArguments(const host::Call& call, const host::MemberInfo& member);

/// An out value: integers and reals as numbers, texts as strings, booleans
/// as booleans, nothing as null.
json jsonFromVariant(const com::VARIANT& value);
/// {"result": V} for a member with one out parameter (null for none; an
/// object by name for several).
json resultJson(const std::vector<host::Output>& outs);
/// [{"name", "kind": "method"|"get"|"put", "dispid", "help", "usage",
///   "params": [{"name", "type", "out"}]}], in type-information order.
json membersJson(const std::vector<host::MemberInfo>& members);
/// A parameter text ("A=1, B=\"x\"") as an object; null when it is not one
/// (the control's "Not Connected" and "Name not found").
json paramsJson(std::string_view text);

}  // namespace zq::zqweb
