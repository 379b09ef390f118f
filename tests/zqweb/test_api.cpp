// The web console's interface without the control or a socket: bodies to
// calls, parameter texts and members as JSON, the command line, the origin
// and token checks, and the page's files and login. What a call answers
// through the control is the console's test.
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
    {1,
     INVOKE_PROPERTYGET,
     "Server",
     "property Server",
     {{"Hostname", VT_BSTR, PARAMFLAG_FOUT | PARAMFLAG_FRETVAL}}},
    {1, INVOKE_PROPERTYPUT, "Server", "property Server", {{"Hostname", VT_BSTR, 0}}},
    {8,
     INVOKE_FUNC,
     "Rehash",
     "method Rehash",
     {{"Name", VT_BSTR, 0}, {"Result", VT_I4, PARAMFLAG_FOUT | PARAMFLAG_FRETVAL}}},
};

// A call as text: "SetNetSource udp h 10001", "Server = x".
std::string text(const host::Call& c) {
  std::string t = c.member + (c.put ? " =" : "");
  for (const host::Value& v : c.args) {
    t += " " + std::visit(
                   [](const auto& x) {
                     if constexpr (std::is_same_v<std::decay_t<decltype(x)>, std::string>) {
                       return x;
                     } else {
                       return std::to_string(x);
                     }
                   },
                   v);
  }
  return t;
}

TEST(ZqwebApi, BodiesBecomeCallsOrClearRefusals) {
  const struct {
    const char* body;
    int status;  // 0: a call
    const char* expected;
  } kCases[] = {
      {R"({"member":"SetNetSource","args":["udp","h",10001]})", 0, "SetNetSource udp h 10001"},
      {R"({"member":"setnetsource","args":["udp","h",true]})", 0, "setnetsource udp h 1"},
      {R"({"property":"Server"})", 0, "Server"},
      {R"({"property":"server","value":"x"})", 0, "server = x"},
      {R"({"member":"Rehash"})", 0, "Rehash"},
      {R"([1])", 400, "the body must be a JSON object"},
      {R"({})", 400, "give either \"member\" or \"property\""},
      {R"({"member":5})", 400, "\"member\" must be a non-empty text"},
      {R"({"member":"Nope"})", 404, "unknown member Nope"},
      {R"({"property":"Rehash"})", 400,
       "Rehash is a method, not a property: call it with \"member\""},
      {R"({"property":"Server","args":[]})", 400, "a property takes \"value\", not \"args\""},
      {R"({"member":"Rehash","value":1})", 400,
       "a member takes \"args\", not \"value\": set a property with \"property\""},
      {R"({"member":"Rehash","args":"x"})", 400, "\"args\" must be an array"},
      {R"({"member":"Rehash","args":[1.5]})", 400,
       "Rehash: argument 1 must be an integer or a text, not a real number"},
      {R"({"member":"Rehash","args":[2147483648]})", 400,
       "Rehash: argument 1 is out of the 32-bit range"},
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
  EXPECT_EQ(jsonFromVariant(JComVariant(LONG{-2})), json(-2));
  EXPECT_EQ(jsonFromVariant(JComVariant(2.5)), json(2.5));
  EXPECT_EQ(jsonFromVariant(JComVariant(true)), json(true));
  EXPECT_EQ(jsonFromVariant(JComVariant("a\"b")), json("a\"b"));
  EXPECT_EQ(jsonFromVariant(JComVariant()), json(nullptr));
  const struct {
    const char* text;
    const char* json;
  } kTexts[] = {
      {R"(FramesLost=3, Id="out 1", On=true, Ratio=0.5)",
       R"({"FramesLost":3,"Id":"out 1","On":true,"Ratio":0.5})"},
      {"Not Connected", "null"},
      {"Name not found", "null"},
      {"", "null"},
  };
  for (const auto& t : kTexts) {
    SCOPED_TRACE(t.text);
    EXPECT_EQ(paramsJson(t.text), json::parse(t.json));
  }
  const json members = membersJson(kMembers);
  ASSERT_EQ(members.size(), 4u);
  EXPECT_EQ(members[0]["usage"], "SetNetSource Proto:BSTR Host:BSTR Port:I4 -> Result:I4");
  EXPECT_EQ(members[2]["kind"], "put");
  EXPECT_EQ(members[0]["params"][3], json::parse(R"({"name":"Result","type":"I4","out":true})"));
}

TEST(ZqwebOptions, DefaultsValuesAndRefusals) {
  Options defaults;
  defaults.library = "/lib/control.so";
  defaults.www = "/www";
  const struct {
    std::vector<std::string> args;
    const char* error;  // "" when accepted
    std::string (*field)(const Options&);
    const char* value;
  } kCases[] = {
      {{},
       "",
       [](const Options& o) { return o.address + ":" + std::to_string(o.port); },
       "127.0.0.1:8080"},
      {{"--listen", "127.0.0.2:0"}, "", [](const Options& o) { return o.address; }, "127.0.0.2"},
      {{"--listen=[::1]:9"}, "", [](const Options& o) { return o.address; }, "::1"},
      {{"--listen", "0.0.0.0:443", "--cert", "c", "--key", "k", "--token-file", "t"},
       "",
       [](const Options& o) { return std::string(o.tls() ? "tls" : "plain"); },
       "tls"},
      {{"--help", "--listen", "0.0.0.0:1"},
       "",
       [](const Options& o) { return std::to_string(o.help); },
       "1"},
      {{"--listen", "0.0.0.0:8080"}, "listening on 0.0.0.0 (not loopback) needs TLS", nullptr, ""},
      {{"--listen", "10.1.2.3:443", "--cert", "c", "--key", "k"},
       "listening on 10.1.2.3 (not loopback) needs",
       nullptr,
       ""},
      {{"--cert", "c"}, "TLS needs both --cert and --key", nullptr, ""},
      {{"--listen", "8080"}, "--listen needs ADDR:PORT, not '8080'", nullptr, ""},
      {{"--rehash-s", "-1"}, "--rehash-s needs seconds", nullptr, ""},
      {{"--talk-proto", "svc"}, "--talk-proto is udp or ipm, not 'svc'", nullptr, ""},
      {{"--verbose"}, "unexpected argument '--verbose'", nullptr, ""},
      {{"--library", ""}, "no control library known", nullptr, ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.args.empty() ? "(none)" : c.args[0]);
    const auto got = parseOptions(c.args, defaults);
    if (*c.error == '\0') {
      ASSERT_TRUE(std::holds_alternative<Options>(got)) << std::get<std::string>(got);
      EXPECT_EQ(c.field(std::get<Options>(got)), c.value);
    } else {
      ASSERT_TRUE(std::holds_alternative<std::string>(got));
      EXPECT_EQ(std::get<std::string>(got).substr(0, strlen(c.error)), c.error);
    }
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
  constexpr const char* kToken = "0123456789abcdef";
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
      {"another site's upgrade", get, "/api/talk", "http://evil.example", "Upgrade", "websocket",
       false, 403},
      {"another site's GET of a file", get, "/index.html", "http://evil.example", nullptr, nullptr,
       false, 0},
      {"the page without a token", get, "/", nullptr, nullptr, nullptr, true, 0},
      {"the API without a token", get, "/api/outputs", nullptr, nullptr, nullptr, true, 401},
      {"an upgrade without a token", get, "/api/events", "http://127.0.0.1:8080", "Upgrade",
       "websocket", true, 401},
      {"a bearer token", get, "/api/outputs", nullptr, "Authorization", "Bearer 0123456789abcdef",
       true, 0},
      {"a wrong bearer token", get, "/api/outputs", nullptr, "Authorization",
       "Bearer 0123456789abcdeX", true, 401},
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
      security.token = kToken;
    } else {
      security.origins.push_back("http://127.0.0.1:8080");
    }
    const auto refusal =
        checkRequest(makeRequest(c.verb, c.target, c.origin, c.header, c.value), security);
    EXPECT_EQ(refusal ? static_cast<int>(refusal->result_int()) : 0, c.status);
    if (refusal) {
      EXPECT_EQ(json::parse(refusal->body()).count("error"), 1u);
    }
  }
}

TEST(ZqwebRequests, PageFilesAndLogin) {
  test::TempDir www;
  std::ofstream(www.path() / "index.html") << "<!doctype html>";
  std::ofstream(www.path() / "app.js") << "export {};";
  Security security;
  security.token = "0123456789abcdef";
  const struct {
    http::verb verb;
    const char* target;
    const char* body;
    int status;
    const char* expected;  // the content type, or a part of the error
  } kCases[] = {
      {http::verb::get, "/", "", 200, "text/html; charset=utf-8"},
      {http::verb::get, "/app.js?v=2", "", 200, "text/javascript; charset=utf-8"},
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
