// The console's HTTP interface as plain functions from a request to a
// response, which know nothing of sockets: the checks every request goes
// through (origin, token), what is answered without the control (the page's
// files, the login), and the API routes, answered on the console's thread.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <boost/beast/http.hpp>

#include "zqweb/api.h"

namespace zq::zqweb {

namespace http = boost::beast::http;
using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;

class Console;

/// Who may drive the console.
struct Security {
  /// The Origin values of the console's own pages ("http://127.0.0.1:8080").
  std::vector<std::string> origins;
  /// When not empty, every API request and WebSocket needs it, as
  /// "Authorization: Bearer TOKEN" or the cookie POST /login sets.
  std::string token;
  bool tls = false;
};

/// The name of the cookie that carries the token.
inline constexpr const char* kTokenCookie = "zqweb_token";

/// A JSON answer to `request` (its version and keep-alive).
Response jsonResponse(const Request& request, http::status status, const json& body);
/// {"error": message} with `status`.
Response errorResponse(const Request& request, http::status status, const std::string& message);

/// The refusal of a request that may not go on: 403 for a POST, DELETE or
/// WebSocket upgrade whose Origin is not the console's (a request without
/// Origin comes from a program, not a page, and goes on), 401 for an API
/// request or upgrade without the token. Nothing when it may go on.
std::optional<Response> checkRequest(const Request& request, const Security& security);

/// Whether the request is one of the API's HTTP routes (answered by route()
/// on the console's thread); the rest are answered by serveLocal().
bool isApiRequest(const Request& request);

/// The page's files from `www` (GET; "/" is index.html), POST /login, and
/// 404 or 405 for anything else.
Response serveLocal(const Request& request, const Security& security, const std::string& www);

/// The API: GET /api/members, POST /api/call, GET and POST /api/outputs,
/// DELETE /api/outputs/NAME, POST /api/outputs/NAME/rehash, POST
/// /api/rehash, GET /api/state. Console's thread.
Response route(const Request& request, Console& console);

/// "%3A" and the like decoded; nullopt for a malformed escape.
std::optional<std::string> percentDecoded(std::string_view text);

}  // namespace zq::zqweb
