// The checks and routes of the console's HTTP interface (routes.h).
#include "zqweb/routes.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>

#include "zqweb/console.h"

namespace zq::zqweb {

namespace {

constexpr std::string_view kApi = "/api/";

std::string_view sv(boost::beast::string_view v) {
  return {v.data(), v.size()};
}

bool tokenMatches(std::string_view given, const std::string& token) {
  return given.size() == token.size() &&
         CRYPTO_memcmp(given.data(), token.data(), token.size()) == 0;
}

// The token the request carries, by header or cookie.
bool carriesToken(const Request& request, const std::string& token) {
  const std::string_view auth = sv(request[http::field::authorization]);
  if (auth.starts_with("Bearer ") && tokenMatches(auth.substr(7), token)) {
    return true;
  }
  std::string_view cookies = sv(request[http::field::cookie]);
  const std::string key = std::string(kTokenCookie) + "=";
  while (!cookies.empty()) {
    const size_t end = cookies.find(';');
    std::string_view one = cookies.substr(0, end);
    while (one.starts_with(' ')) {
      one.remove_prefix(1);
    }
    if (one.starts_with(key) && tokenMatches(one.substr(key.size()), token)) {
      return true;
    }
    cookies = end == std::string_view::npos ? std::string_view() : cookies.substr(end + 1);
  }
  return false;
}

std::string_view targetPath(const Request& request) {
  std::string_view target = sv(request.target());
  return target.substr(0, target.find('?'));
}

const char* contentType(std::string_view path) {
  static const struct {
    const char* ext;
    const char* type;
  } kTypes[] = {
      {".html", "text/html; charset=utf-8"},  {".js", "text/javascript; charset=utf-8"},
      {".css", "text/css; charset=utf-8"},    {".json", "application/json"},
      {".svg", "image/svg+xml"},              {".png", "image/png"},
      {".ico", "image/x-icon"},
  };
  for (const auto& t : kTypes) {
    if (path.ends_with(t.ext)) {
      return t.type;
    }
  }
  return "application/octet-stream";
}

std::variant<json, Response> bodyJson(const Request& request) {
  try {
    return json::parse(request.body());
  } catch (const json::parse_error& e) {
    return errorResponse(request, http::status::bad_request,
                         std::string("malformed JSON: ") + e.what());
  }
}

Response answer(const Request& request, const std::variant<json, ApiError>& result,
                http::status ok = http::status::ok) {
  if (const auto* e = std::get_if<ApiError>(&result)) {
    return errorResponse(request, static_cast<http::status>(e->status), e->message);
  }
  return jsonResponse(request, ok, std::get<json>(result));
}

Response noContent(const Request& request) {
  Response res{http::status::no_content, request.version()};
  res.keep_alive(request.keep_alive());
  return res;
}

}  // namespace

Response jsonResponse(const Request& request, http::status status, const json& body) {
  Response res{status, request.version()};
  res.set(http::field::content_type, "application/json");
  res.set(http::field::cache_control, "no-store");
  res.keep_alive(request.keep_alive());
  res.body() = body.dump();
  res.prepare_payload();
  return res;
}

Response errorResponse(const Request& request, http::status status, const std::string& message) {
  return jsonResponse(request, status, {{"error", message}});
}

std::optional<Response> checkRequest(const Request& request, const Security& security) {
  const bool upgrade = request.method() == http::verb::get && request.count(http::field::upgrade);
  const bool changes = request.method() != http::verb::get && request.method() != http::verb::head;
  if (upgrade || changes) {
    const std::string_view origin = sv(request[http::field::origin]);
    if (request.count(http::field::origin) != 0) {
      bool own = std::find(security.origins.begin(), security.origins.end(), origin) !=
                 security.origins.end();
      // With a token, a page served under another name of this host (its
      // address on the network) is the console's too: a page of another
      // site cannot give the token.
      own = own || (!security.token.empty() &&
                    origin == std::string(security.tls ? "https://" : "http://") +
                                  std::string(sv(request[http::field::host])));
      if (!own) {
        return errorResponse(request, http::status::forbidden,
                             "origin " + std::string(origin) + " is not this console's");
      }
    }
  }
  const bool api = targetPath(request).starts_with(kApi);
  if (!security.token.empty() && (api || upgrade) && !carriesToken(request, security.token)) {
    return errorResponse(request, http::status::unauthorized,
                         "this console needs its token: log in, or send Authorization: Bearer");
  }
  return std::nullopt;
}

bool isApiRequest(const Request& request) {
  return targetPath(request).starts_with(kApi);
}

std::optional<std::string> percentDecoded(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
        !std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      return std::nullopt;
    }
    out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
    i += 2;
  }
  return out;
}

Response serveLocal(const Request& request, const Security& security, const std::string& www) {
  const std::string_view path = targetPath(request);
  if (path == "/login") {
    if (request.method() != http::verb::post) {
      return errorResponse(request, http::status::method_not_allowed, "POST /login");
    }
    auto body = bodyJson(request);
    if (auto* bad = std::get_if<Response>(&body)) {
      return std::move(*bad);
    }
    const json& b = std::get<json>(body);
    if (!b.is_object() || !b.contains("token") || !b.at("token").is_string()) {
      return errorResponse(request, http::status::bad_request, "give {\"token\": \"...\"}");
    }
    if (!security.token.empty() && !tokenMatches(b.at("token").get<std::string>(), security.token)) {
      return errorResponse(request, http::status::unauthorized, "wrong token");
    }
    Response res = noContent(request);
    res.set(http::field::set_cookie, std::string(kTokenCookie) + "=" + security.token +
                                         "; Path=/; HttpOnly; SameSite=Strict" +
                                         (security.tls ? "; Secure" : ""));
    return res;
  }
  if (request.method() != http::verb::get) {
    return errorResponse(request, http::status::method_not_allowed,
                         std::string(sv(request.method_string())) + " is not served here");
  }
  auto decoded = percentDecoded(path);
  if (!decoded || decoded->find("..") != std::string::npos || decoded->find('\0') != std::string::npos) {
    return errorResponse(request, http::status::bad_request, "bad path");
  }
  std::string file = *decoded == "/" ? "/index.html" : *decoded;
  std::ifstream in(www + file, std::ios::binary);
  if (!in) {
    return errorResponse(request, http::status::not_found, "no such page: " + *decoded);
  }
  std::ostringstream content;
  content << in.rdbuf();
  Response res{http::status::ok, request.version()};
  res.set(http::field::content_type, contentType(file));
  res.set(http::field::cache_control, "no-cache");
  res.set("X-Content-Type-Options", "nosniff");
  res.set("Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'");
  res.keep_alive(request.keep_alive());
  res.body() = content.str();
  res.prepare_payload();
  return res;
}

Response route(const Request& request, Console& console) {
  const std::string_view path = targetPath(request);
  const http::verb method = request.method();
  auto wrongMethod = [&request](const char* allowed) {
    Response res = errorResponse(request, http::status::method_not_allowed,
                                 std::string("allowed: ") + allowed);
    res.set(http::field::allow, allowed);
    return res;
  };
  if (path == "/api/members") {
    return method == http::verb::get
               ? jsonResponse(request, http::status::ok, membersJson(console.host().members()))
               : wrongMethod("GET");
  }
  if (path == "/api/state") {
    return method == http::verb::get ? jsonResponse(request, http::status::ok, console.state())
                                     : wrongMethod("GET");
  }
  if (path == "/api/call" || path == "/api/outputs") {
    if (path == "/api/outputs" && method == http::verb::get) {
      return jsonResponse(request, http::status::ok, console.outputs());
    }
    if (method != http::verb::post) {
      return wrongMethod(path == "/api/call" ? "POST" : "GET, POST");
    }
    auto body = bodyJson(request);
    if (auto* bad = std::get_if<Response>(&body)) {
      return std::move(*bad);
    }
    const json& b = std::get<json>(body);
    return path == "/api/call" ? answer(request, console.call(b))
                               : answer(request, console.addOutput(b), http::status::created);
  }
  if (path == "/api/rehash") {
    return method == http::verb::post ? (console.rehash(""), noContent(request))
                                      : wrongMethod("POST");
  }
  constexpr std::string_view kOutput = "/api/outputs/";
  if (path.starts_with(kOutput)) {
    std::string_view rest = path.substr(kOutput.size());
    const bool rehash = rest.ends_with("/rehash");
    if (rehash) {
      rest.remove_suffix(7);
    }
    auto name = percentDecoded(rest);
    if (!name || name->empty() || name->find('/') != std::string::npos) {
      return errorResponse(request, http::status::not_found, "no such output");
    }
    if (rehash ? method != http::verb::post : method != http::verb::delete_) {
      return wrongMethod(rehash ? "POST" : "DELETE");
    }
    auto refusal = rehash ? console.rehash(*name) : console.removeOutput(*name);
    if (refusal) {
      return errorResponse(request, static_cast<http::status>(refusal->status), refusal->message);
    }
    return noContent(request);
  }
  return errorResponse(request, http::status::not_found, "no such route: " + std::string(path));
}

}  // namespace zq::zqweb
