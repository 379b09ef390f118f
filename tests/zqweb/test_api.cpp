// The web console's interface without the control or a socket: bodies to
// calls, values and members as JSON, the command line, the origin and token
// checks, and the page's files and login. What a call answers through the
// control is the console's test.
#include <gtest/gtest.h>

#include <fstream>

#include "helpers/temp_dir.h"
#include "zqweb/api.h"
#include "zqweb/options.h"
#include "zqweb/routes.h"

namespace zq::zqweb {
namespace {

using host::MemberInfo;
using namespace zq::com;

const std::vector<MemberInfo> kMembers = {
    {16,
     INVOKE_FUNC,
     "SetNetSource",
     "method SetNetSource",
     {{"Proto", VT_BSTR, 0},
      {"Host", VT_BSTR, 0},
      {"Port", VT_I4, 0},
      {"Result", VT_I4, PARAMFLAG_FOUT | PARAMFLAG_FRETVAL}}},
    {1, INVOKE_PROPERTYPUT, "Server", "property Server", {{"Hostname", VT_BSTR, 0}}},
};

// A call as text: "SetNetSource udp h 10001", "Server = x".
std::string text(const host::Call& c) {
  std::string t = c.member + (c.put ? " =" : "");
  for (const host::Value& v : c.args) {
    const auto* s = std::get_if<std::string>(&v);
    t += " " + (s != nullptr ? *s : std::to_string(std::get<int32_t>(v)));
  }
  return t;
}

TEST(ZqwebApi, BodiesBecomeCallsOrClearRefusals) {
  const struct {
    const char* body;
    int status;  // 0: a call
    const char* expected;
  } kCases[] = {
      {R"({"member":"SetNetSource","args":["udp","h",true]})", 0, "SetNetSource udp h 1"},
      {R"({"property":"server","value":"x"})", 0, "server = x"},
      {R"([1])", 400, "the body must be a JSON object"},
      {R"({})", 400, "give either \"member\" or \"property\""},
      {R"({"member":5})", 400, "\"member\" must be a non-empty text"},
      {R"({"member":"Nope"})", 404, "unknown member Nope"},
      {R"({"property":"SetNetSource"})", 400,
       "SetNetSource is a method, not a property: call it with \"member\""},
      {R"({"property":"Server","args":[]})", 400, "a property takes \"value\", not \"args\""},
      {R"({"member":"Server","value":1})", 400,
       "a member takes \"args\", not \"value\": set a property with \"property\""},
      {R"({"member":"Server","args":"x"})", 400, "\"args\" must be an array"},
      {R"({"member":"Server","args":[1.5]})", 400,
       "Server: argument 1 must be an integer or a text, not a real number"},
      {R"({"member":"Server","args":[2147483648]})", 400,
       "Server: argument 1 is out of the 32-bit range"},
      {R"({"property":"Server","value":{}})", 400,
       "Server: the value must be an integer or a text, not object"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.body);
    const auto got = callFromJson(json::parse(c.body), kMembers);
    if (c.status == 0) {
      ASSERT_TRUE(std::holds_alternative<host::Call>(got)) << std::get<ApiError>(got).message;
      EXPECT_EQ(text(std::get<host::Call>(got)), c.expected);
    } else {
      ASSERT_TRUE(std::holds_alternative<ApiError>(got));
      EXPECT_EQ(std::get<ApiError>(got), (ApiError{c.status, c.expected}));
    }
  }
}

TEST(ZqwebApi, ValuesParameterTextsAndMembersAsJson) {
  EXPECT_EQ(jsonFromVariant(JComVariant(2.5)), json(2.5));
  EXPECT_EQ(jsonFromVariant(JComVariant(true)), json(true));
  EXPECT_EQ(jsonFromVariant(JComVariant()), json(nullptr));
  EXPECT_EQ(paramsJson(R"(FramesLost=3, Id="out 1", On=true, Ratio=0.5)"),
            json::parse(R"({"FramesLost":3,"Id":"out 1","On":true,"Ratio":0.5})"));
  EXPECT_EQ(paramsJson("Not Connected"), json(nullptr));
  const json members = membersJson(kMembers);
  ASSERT_EQ(members.size(), 2u);
  EXPECT_EQ(members[0]["usage"], "SetNetSource Proto:BSTR Host:BSTR Port:I4 -> Result:I4");
  EXPECT_EQ(members[1]["kind"], "put");
  EXPECT_EQ(members[0]["params"][3], json::parse(R"({"name":"Result","type":"I4","out":true})"));
}

TEST(ZqwebOptions, DefaultsValuesAndRefusals) {
  Options defaults;
  defaults.library = "/lib/control.so";
  defaults.www = "/www";
  const struct {
    std::vector<std::string> args;
    const char* expected;  // what was read, or the start of the error
  } kCases[] = {
      {{}, "127.0.0.1:8080"},
      {{"--listen=[::1]:9"}, "::1:9"},
      {{"--listen", "0.0.0.0:443", "--cert", "c", "--key", "k", "--token-file", "t"},
       "0.0.0.0:443 tls"},
      {{"--help", "--listen", "0.0.0.0:1"}, "0.0.0.0:1 help"},
      {{"--listen", "0.0.0.0:8080"}, "listening on 0.0.0.0 (not loopback) needs TLS"},
      {{"--listen", "10.1.2.3:443", "--cert", "c", "--key", "k"},
       "listening on 10.1.2.3 (not loopback) needs"},
      {{"--cert", "c"}, "TLS needs both --cert and --key"},
      {{"--listen", "8080"}, "--listen needs ADDR:PORT, not '8080'"},
      {{"--rehash-s", "-1"}, "--rehash-s needs seconds"},
      {{"--talk-proto", "svc"}, "--talk-proto is udp or ipm, not 'svc'"},
      {{"--verbose"}, "unexpected argument '--verbose'"},
      {{"--library", ""}, "no control library known"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.expected);
    const auto got = parseOptions(c.args, defaults);
    std::string read;
    if (const auto* o = std::get_if<Options>(&got)) {
      read = o->address + ":" + std::to_string(o->port) + (o->tls() ? " tls" : "") +
             (o->help ? " help" : "");
    } else {
      read = std::get<std::string>(got).substr(0, strlen(c.expected));
    }
    EXPECT_EQ(read, c.expected);
  }
}

Request makeRequest(http::verb verb, const char* target, const char* origin = nullptr,
                    const char* header = nullptr, const char* value = nullptr) {
  Request r{verb, target, 11};
  r.set(http::field::host, "127.0.0.1:8080");
  if (origin != nullptr) {
    r.set(http::field::origin, origin);
  }
  if (header != nullptr) {
    r.set(header, value);
  }
  return r;
}

TEST(ZqwebRequests, OriginAndTokenChecks) {
  const auto get = http::verb::get;
  const auto post = http::verb::post;
  const struct {
    const char* name;
    http::verb verb;
    const char* target;
    const char* origin;
    const char* header;
    const char* value;
    bool token;
    int status;  // 0: goes on
  } kCases[] = {
      {"a page of its own", post, "/api/call", "http://127.0.0.1:8080", nullptr, nullptr, false, 0},
      {"a program (no origin)", post, "/api/call", nullptr, nullptr, nullptr, false, 0},
      {"another site's POST", post, "/api/call", "http://evil.example", nullptr, nullptr, false,
       403},
      {"another site's GET of a file", get, "/index.html", "http://evil.example", nullptr, nullptr,
       false, 0},
      {"the page without a token", get, "/", nullptr, nullptr, nullptr, true, 0},
      {"the API without a token", get, "/api/outputs", nullptr, nullptr, nullptr, true, 401},
      {"an upgrade from the host's name without a token", get, "/api/events",
       "http://127.0.0.1:8080", "Upgrade", "websocket", true, 401},
      {"a bearer token", get, "/api/outputs", nullptr, "Authorization", "Bearer 0123456789abcdef",
       true, 0},
      {"the login cookie", get, "/api/outputs", nullptr, "Cookie",
       "a=b; zqweb_token=0123456789abcdef", true, 0},
      {"a cookie of the token's prefix", get, "/api/outputs", nullptr, "Cookie",
       "zqweb_token=0123456789", true, 401},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    Security security;
    security.origins = {"http://localhost:8080"};
    if (c.token) {
      security.token = "0123456789abcdef";
    } else {
      security.origins.push_back("http://127.0.0.1:8080");
    }
    const auto refusal =
        checkRequest(makeRequest(c.verb, c.target, c.origin, c.header, c.value), security);
    EXPECT_EQ(refusal ? static_cast<int>(refusal->result_int()) : 0, c.status);
  }
}

TEST(ZqwebRequests, PageFilesAndLogin) {
  test::TempDir www;
  std::ofstream(www.path() / "index.html") << "<!doctype html>";
  Security security;
  security.token = "0123456789abcdef";
  const struct {
    http::verb verb;
    const char* target;
    const char* body;
    int status;
    const char* expected;  // the content type, or a part of the error
  } kCases[] = {
      {http::verb::get, "/?v=2", "", 200, "text/html; charset=utf-8"},
      {http::verb::get, "/missing.css", "", 404, "no such page"},
      {http::verb::get, "/../etc/passwd", "", 400, "bad path"},
      {http::verb::get, "/%2e%2e/etc/passwd", "", 400, "bad path"},
      {http::verb::put, "/index.html", "", 405, "PUT is not served here"},
      {http::verb::post, "/login", R"({"token":"0123456789abcdef"})", 204, ""},
      {http::verb::post, "/login", R"({"token":"wrong"})", 401, "wrong token"},
      {http::verb::post, "/login", R"({"key":"x"})", 400, "give {\"token\""},
      {http::verb::get, "/login", "", 405, "POST /login"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.target);
    Request request = makeRequest(c.verb, c.target);
    request.body() = c.body;
    const Response r = serveLocal(request, security, www.path().string());
    EXPECT_EQ(static_cast<int>(r.result_int()), c.status);
    if (c.status == 200) {
      EXPECT_EQ(r[http::field::content_type], c.expected);
    } else if (c.status == 204) {
      EXPECT_EQ(r[http::field::set_cookie],
                "zqweb_token=0123456789abcdef; Path=/; HttpOnly; SameSite=Strict");
    } else {
      EXPECT_NE(json::parse(r.body())["error"].get<std::string>().find(c.expected),
                std::string::npos);
    }
  }
}

}  // namespace
}  // namespace zq::zqweb
