// The web console: parameter texts as JSON, the command line, the origin
// and token checks and the page's files on their own; then over the real
// control and test AAMs its routes (bodies to calls, members as JSON), the
// outputs it keeps across a restart and rehashes, push-to-talk switching
// the group and back, and the limits enforced over a real socket.
#include <gtest/gtest.h>

#include <algorithm>
#include <boost/asio/connect.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include "base/registry_key.h"
#include "helpers/aam/test_aam.h"
#include "helpers/log_capture.h"
#include "helpers/temp_dir.h"
#include "helpers/waits.h"
#include "rpc/rpc_client_test_support.h"
#include "zqweb/api.h"
#include "zqweb/console.h"
#include "zqweb/options.h"
#include "zqweb/routes.h"
#include "zqweb/server.h"

namespace zq::zqweb {
namespace {

TEST(ZqwebApi, ParameterTextsAsJson) {
  EXPECT_EQ(paramsJson(R"(FramesLost=3, Id="out 1", On=true, Ratio=0.5)"),
            json::parse(R"({"FramesLost":3,"Id":"out 1","On":true,"Ratio":0.5})"));
  EXPECT_EQ(paramsJson("Not Connected"), json(nullptr));
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
      {{"--verbose"}, "unexpected argument '--verbose'"},
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

// ---------------------------------------------- over the control and test AAMs

namespace beast = boost::beast;
namespace net = boost::asio;
namespace websocket = beast::websocket;
using test::eventually;
using test::TestAAM;

class ZqwebConsole : public ::testing::Test {
 protected:
  ConsoleSettings settings() {
    ConsoleSettings s;
    s.library = ZQ_CONTROL_LIBRARY;
    s.rehashPeriod = std::chrono::milliseconds(200);
    s.statsPeriod = std::chrono::milliseconds(200);
    s.aamPort = noAAM_.port();
    return s;
  }

  // The answer to one request, on the console's thread as a session does.
  Response ask(Console& console, http::verb verb, const std::string& target,
               const std::string& body = "") {
    Request request{verb, target, 11};
    request.body() = body;
    return console.sync([&] { return route(request, console); });
  }

  json outputs(Console& console) {
    return json::parse(ask(console, http::verb::get, "/api/outputs").body());
  }

  bool linkIs(Console& console, const std::string& name, const char* link) {
    for (const json& o : outputs(console)) {
      if (o["name"] == name && o["link"] == link) {
        return true;
      }
    }
    return false;
  }

  test::LogCapture log_;      // also the test's own registry
  test::RefusingPort noAAM_;  // where the console looks for its AAM
};

TEST_F(ZqwebConsole, RoutesAnswerFromTheControl) {
  Console console(settings());
  const json members = json::parse(ask(console, http::verb::get, "/api/members").body());
  std::map<std::string, int> kinds;
  for (const json& m : members) {
    ++kinds[m["kind"].get<std::string>()];
  }
  EXPECT_EQ(kinds, (std::map<std::string, int>{{"get", 6}, {"method", 27}, {"put", 4}}));
  const auto setNetSource = std::find_if(members.begin(), members.end(),
                                         [](const json& m) { return m["name"] == "SetNetSource"; });
  ASSERT_NE(setNetSource, members.end());
  EXPECT_EQ((*setNetSource)["usage"], "SetNetSource Proto:BSTR Host:BSTR Port:I4 -> Result:I4");
  EXPECT_EQ((*setNetSource)["params"][3],
            json::parse(R"({"name":"Result","type":"I4","out":true})"));
  const auto post = http::verb::post;
  const struct {
    http::verb verb;
    const char* target;
    const char* body;
    int status;
    const char* answer;  // the whole JSON answer, or a part of its error
  } kCases[] = {
      {post, "/api/call", R"({"member":"SetNetSource","args":["tcp","h",true]})", 200,
       R"({"result":-1})"},
      {post, "/api/call", R"({"property":"Port","value":10002})", 200, R"({"result":null})"},
      {post, "/api/call", R"({"property":"port"})", 200, R"({"result":10002})"},
      {post, "/api/call", R"({"member":"SetNetSource","args":["udp","h"]})", 400,
       "SetNetSource takes 3 arguments, 2 given"},
      {post, "/api/call", R"({"member":"SetNetSource","args":["udp","h","x"]})", 400,
       "Port must be an integer"},
      {post, "/api/call", R"({"member":"SetNetSource","args":[1,"h",5000]})", 400,
       "Proto must be a text, not a number"},
      {post, "/api/call", R"({"member":)", 400, "malformed JSON"},
      {post, "/api/call", R"([1])", 400, "the body must be a JSON object"},
      {post, "/api/call", R"({})", 400, "give either \"member\" or \"property\""},
      {post, "/api/call", R"({"member":5})", 400, "\"member\" must be a non-empty text"},
      {post, "/api/call", R"({"member":"Nope"})", 404, "unknown member Nope"},
      {post, "/api/call", R"({"property":"SetNetSource"})", 400,
       "SetNetSource is a method, not a property: call it with \"member\""},
      {post, "/api/call", R"({"property":"Port","args":[]})", 400,
       "a property takes \"value\", not \"args\""},
      {post, "/api/call", R"({"member":"Port","value":5})", 400,
       "a member takes \"args\", not \"value\": set a property with \"property\""},
      {post, "/api/call", R"({"member":"SetNetSource","args":"x"})", 400,
       "\"args\" must be an array"},
      {post, "/api/call", R"({"member":"SetNetSource","args":["udp","h",1.5]})", 400,
       "SetNetSource: argument 3 must be an integer or a text, not a real number"},
      {post, "/api/call", R"({"member":"SetNetSource","args":["udp","h",2147483648]})", 400,
       "SetNetSource: argument 3 is out of the 32-bit range"},
      {http::verb::get, "/api/call", "", 405, "allowed: POST"},
      {post, "/api/outputs", R"({"server":"127.0.0.1","port":0})", 400,
       "\"port\" must be an integer from 1 to 65535"},
      {http::verb::delete_, "/api/outputs/nope%3A1", "", 404, "no output nope:1"},
      {http::verb::get, "/api/nothing", "", 404, "no such route: /api/nothing"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string(c.target) + " " + c.body);
    const Response r = ask(console, c.verb, c.target, c.body);
    EXPECT_EQ(static_cast<int>(r.result_int()), c.status);
    if (c.status == 200) {
      EXPECT_EQ(json::parse(r.body()), json::parse(c.answer));
    } else {
      EXPECT_NE(json::parse(r.body())["error"].get<std::string>().find(c.answer), std::string::npos)
          << r.body();
    }
  }
}

// An output comes back after a restart of the console (the registry keeps
// it), its loss is told to the pages and it is rehashed once its AAM is
// back, and once removed it is gone for good.
TEST_F(ZqwebConsole, OutputsAreKeptAndRehashed) {
  TestAAM aam, kept;
  const std::string name = "127.0.0.1:" + std::to_string(aam.port());
  const std::string keptName = "127.0.0.1:" + std::to_string(kept.port());
  {
    Console console(settings());
    std::mutex mutex;
    std::vector<json> events;
    console.subscribe([&](std::string m) {
      std::lock_guard lock(mutex);
      events.push_back(json::parse(m));
    });
    // The error told depends on what the link was doing when the AAM went.
    const auto told = [&](const char* event) {
      std::lock_guard lock(mutex);
      return std::any_of(events.begin(), events.end(), [&](const json& e) {
        return e.value("event", "") == event && e.value("name", "") == name &&
               (e.value("event", "") == "LinkUp" || !e.value("error", "").empty());
      });
    };
    const Response r = ask(console, http::verb::post, "/api/outputs",
                           json{{"server", "127.0.0.1"}, {"port", aam.port()}}.dump());
    EXPECT_EQ(static_cast<int>(r.result_int()), 201) << r.body();
    EXPECT_EQ(ask(console, http::verb::post, "/api/outputs",
                  json{{"server", "127.0.0.1"}, {"port", kept.port()}}.dump())
                  .result_int(),
              201u);
    EXPECT_TRUE(eventually([&] { return linkIs(console, name, "up") && told("LinkUp"); }));
    aam.stop();
    EXPECT_TRUE(eventually([&] { return linkIs(console, name, "down") && told("LinkDown"); }))
        << outputs(console);
    aam.restart();
    EXPECT_TRUE(eventually([&] { return linkIs(console, name, "up"); })) << "not rehashed";
  }
  {
    Console console(settings());
    EXPECT_TRUE(eventually([&] { return linkIs(console, name, "up"); })) << outputs(console);
    EXPECT_EQ(ask(console, http::verb::delete_, "/api/outputs/" + name).result_int(), 204u);
  }
  // Only the removed output is gone.
  Console console(settings());
  const json left = outputs(console);
  ASSERT_EQ(left.size(), 1u) << left;
  EXPECT_EQ(left[0]["name"], keptName);
}

// The first chunk moves the group to the local AAM on the host-fed device;
// the release puts back the source the console had set, or resets it.
TEST_F(ZqwebConsole, TalkSwitchesTheGroupAndPutsItBack) {
  TestAAM out;
  ConsoleSettings s = settings();
  Console console(s);
  ask(console, http::verb::post, "/api/outputs",
      json{{"server", "127.0.0.1"}, {"port", out.port()}}.dump());
  const std::string name = "127.0.0.1:" + std::to_string(out.port());
  ASSERT_TRUE(eventually([&] { return linkIs(console, name, "up"); }));
  const std::string talkSource =
      "setNetSource(proto=\"udp\",host=\"127.0.0.1\",port=" + std::to_string(s.aamPort) + ")";
  auto last = [&out](const char* function) {
    const auto lines = out.requests(function);
    return lines.empty() ? std::string() : lines.back();
  };
  const struct {
    const char* name;
    const char* setBefore;  // a body for /api/call, or none
    const char* function;
    std::string back;
  } kCases[] = {
      {"nothing set before", nullptr, "resetSource", "resetSource()"},
      {"a source set before", R"({"member":"SetNetSource","args":["ipm","127.0.0.9",5000]})",
       "setNetSource", "setNetSource(proto=\"ipm\",host=\"127.0.0.9\",port=5000)"},
  };
  uint64_t talker = 100;
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    if (c.setBefore != nullptr) {
      ASSERT_EQ(ask(console, http::verb::post, "/api/call", c.setBefore).body(), R"({"result":0})");
    }
    std::atomic<bool> live{false};
    ++talker;
    ASSERT_EQ(console.beginTalk(talker, 44100, 1, [&] { live = true; }), std::nullopt);
    const std::vector<uint8_t> chunk(882 * 2, 0);
    console.talkChunk(talker, chunk.data(), chunk.size());
    ASSERT_TRUE(eventually([&] { return live.load(); }));
    EXPECT_EQ(last("setNetSource"), talkSource);
    // Counted once live, as the talk's own switch is a setNetSource too.
    const size_t backs = out.requests(c.function).size();
    EXPECT_EQ(console.sync([&] { return console.state()["aam"]["port"]; }), s.aamPort);
    console.endTalk(talker + 50);  // not the talker: nothing
    EXPECT_TRUE(console.talking());
    console.endTalk(talker);
    EXPECT_TRUE(eventually([&] { return out.requests(c.function).size() > backs; }));
    EXPECT_EQ(last(c.function), c.back);
  }
  EXPECT_EQ(console.beginTalk(1, 44100, 3, nullptr), "channels must be 1 or 2");
}

// ---------------------------------------------------------- over a socket

class ZqwebServer : public ZqwebConsole {
 protected:
  void SetUp() override {
    console_.emplace(settings());
    ServerSettings s;
    s.endpoint = {net::ip::make_address("127.0.0.1"), 0};
    s.www = ".";
    s.limits.connections = 4;
    s.limits.httpIdle = std::chrono::milliseconds(1000);
    server_.emplace(io_, *console_, s, nullptr);
    server_->setOrigins({"http://127.0.0.1:" + std::to_string(server_->port())});
    server_->start();
    thread_ = std::thread([this] { io_.run(); });
  }
  void TearDown() override {
    net::post(io_, [this] {
      server_->stop();
      io_.stop();
    });
    thread_.join();
    console_->stop();
  }

  beast::tcp_stream connect() {
    beast::tcp_stream stream(client_);
    stream.expires_after(std::chrono::seconds(20));
    stream.connect(net::ip::tcp::endpoint(net::ip::make_address("127.0.0.1"), server_->port()));
    return stream;
  }

  // One request on a connection of its own; the status, or 0 when the
  // connection ended without an answer.
  int status(http::request<http::string_body> request) {
    beast::tcp_stream stream = connect();
    request.version(11);
    request.set(http::field::host, "127.0.0.1");
    request.prepare_payload();
    beast::error_code ec;
    http::write(stream, request, ec);
    beast::flat_buffer buffer;
    http::response<http::string_body> response;
    http::read(stream, buffer, response, ec);
    return ec ? 0 : static_cast<int>(response.result_int());
  }

  websocket::stream<beast::tcp_stream> socket(const char* path, const char* origin) {
    websocket::stream<beast::tcp_stream> ws(connect());
    ws.set_option(websocket::stream_base::decorator(
        [origin](websocket::request_type& r) { r.set(http::field::origin, origin); }));
    ws.handshake("127.0.0.1", path);
    return ws;
  }

  std::string origin() { return "http://127.0.0.1:" + std::to_string(server_->port()); }

  net::io_context io_{1};
  net::io_context client_;
  std::optional<Console> console_;
  std::optional<Server> server_;
  std::thread thread_;
};

TEST_F(ZqwebServer, LimitsAreEnforcedOnTheWire) {
  http::request<http::string_body> members{http::verb::get, "/api/members", 11};
  EXPECT_EQ(status(members), 200);
  http::request<http::string_body> header = members;
  header.set("X-Padding", std::string(9000, 'x'));
  EXPECT_EQ(status(header), 431);
  http::request<http::string_body> body{http::verb::post, "/api/call", 11};
  body.body() = std::string(70 * 1024, ' ');
  EXPECT_EQ(status(body), 413);

  // A page of another site cannot open a socket; the console's own can.
  EXPECT_THROW(socket("/api/events", "http://evil.example"), beast::system_error);
  auto events = socket("/api/events", origin().c_str());
  beast::flat_buffer buffer;
  events.read(buffer);  // what a page (re)loaded first learns
  EXPECT_EQ(json::parse(beast::buffers_to_string(buffer.data()))["event"], "snapshot");

  // One talker at a time, the second told why.
  auto first = socket("/api/talk", origin().c_str());
  first.write(net::buffer(std::string(R"({"type":"start","sampleRate":44100,"channels":1})")));
  buffer.clear();
  first.read(buffer);
  EXPECT_EQ(beast::buffers_to_string(buffer.data()), R"({"type":"started"})");
  auto second = socket("/api/talk", origin().c_str());
  second.write(net::buffer(std::string(R"({"type":"start","sampleRate":44100,"channels":1})")));
  buffer.clear();
  second.read(buffer);
  EXPECT_EQ(beast::buffers_to_string(buffer.data()),
            R"({"error":"another operator is talking","type":"error"})");
  buffer.clear();
  beast::error_code ec;
  test::returnsWithin(20000, "the second talker's socket to be closed",
                      [&] { second.read(buffer, ec); });
  EXPECT_EQ(ec, websocket::error::closed);
  EXPECT_EQ(second.reason().code, websocket::close_code::policy_error);

  // Four connections open (events, first, and two below): a fifth is refused.
  beast::tcp_stream idle = connect();
  beast::tcp_stream fourth = connect();
  EXPECT_TRUE(eventually([&] { return server_->connections() == 4; }));
  EXPECT_EQ(status(members), 503);
  // An idle connection ends at its limit and frees its place.
  char byte;
  test::returnsWithin(20000, "the idle connection to end at its limit",
                      [&] { idle.read_some(net::buffer(&byte, 1), ec); });
  EXPECT_EQ(ec, net::error::eof);
  // A message over the limit closes the socket with 1009.
  first.binary(true);
  first.write(net::buffer(std::string(65 * 1024 + 1, '\0')), ec);
  buffer.clear();
  test::returnsWithin(20000, "the talker's socket to be closed after its oversized message",
                      [&] { first.read(buffer, ec); });
  EXPECT_EQ(first.reason().code, websocket::close_code::too_big);
  EXPECT_TRUE(eventually([&] { return !console_->talking(); })) << "the dropped talk goes on";
}

}  // namespace
}  // namespace zq::zqweb
