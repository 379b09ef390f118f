// Tests of JRPCClient's calls: the request lines of every call form, the
// reading of answers, failures of the service and of the link, the wire
// trace, concurrent callers, connecting at construction, shut-down and the
// destructor rule.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/error.h"
#include "helpers/log_capture.h"
#include "rpc/rpc_client.h"
#include "rpc/rpc_client_test_support.h"
#include "rpc/rpc_error.h"

namespace zq {
namespace {

using test::Clock;
using test::LogCapture;
using test::ScriptedLineServer;

struct Options {
  int32_t connectTimeout = 2000;
  int32_t writeTimeout = 2000;
  bool retry = true;
  bool connectNow = true;
  int32_t reconnectPeriod = 0;
  int32_t pingPeriod = 0;
  bool startSupervisor = true;
  bool deleteErrorAfterNotify = true;
};

std::unique_ptr<JRPCClientNotify> makeClient(uint16_t port, const Options& o = {},
                                             JTraceMask* mask = nullptr,
                                             JRPCNotify* listener = nullptr) {
  return std::make_unique<JRPCClientNotify>(listener, "127.0.0.1", port, o.connectTimeout,
                                            o.writeTimeout, o.retry, o.connectNow,
                                            o.reconnectPeriod, o.pingPeriod, o.startSupervisor,
                                            o.deleteErrorAfterNotify, mask, "test client");
}

// Answers every request with the line the test puts in `answer`.
ScriptedLineServer::Responder answering(const std::string& answer) {
  return [answer](const std::string& line) {
    return line == "PING" ? ScriptedLineServer::line("PONG") : ScriptedLineServer::line(answer);
  };
}

// Holds a server's answer until opened (or at most 30 s, so that nothing
// hangs). Opened when it goes, so that a failed test never leaves the
// server's thread waiting.
class AnswerLatch {
 public:
  ~AnswerLatch() { open(); }
  void wait() {
    std::unique_lock lock(mutex_);
    opened_.wait_for(lock, std::chrono::seconds(30), [&] { return open_; });
  }
  void open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    opened_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable opened_;
  bool open_ = false;
};

// ---- the request lines ----------------------------------------------------------

TEST(RpcClientRequest, TheThreeCallFormsWriteTheirLines) {
  ScriptedLineServer server;
  auto client = makeClient(server.port());
  ASSERT_TRUE(client->isConnected());

  client->call("text", "a=1, b=\"x\"", 2000);
  JVariant second("b", "x");
  JVariant first("a", int32_t{1}, &second);
  client->call("chain", &first, 2000);
  client->call("list", std::vector<JVariant>{JVariant("a", int32_t{1}), JVariant("b", "x")}, 2000);
  client->call("none", static_cast<const JVariant*>(nullptr), 2000);
  client->callForText("listOfOne", std::vector<JVariant>{JVariant("p", true)}, 2000);
  client->callForText("emptyList", std::vector<JVariant>{}, 2000);
  client->callForText("emptyText", std::string_view(), 2000);

  EXPECT_EQ(server.lines(), (std::vector<std::string>{
                                "text(a=1, b=\"x\")",
                                "chain(a=1, b=\"x\")",
                                "list(a=1,b=\"x\")",
                                "none()",
                                "listOfOne(p=true)",
                                "emptyList()",
                                "emptyText()",
                            }));
  client->shutdown();
}

TEST(RpcClientRequest, LinesLongerThanTheStackBufferGoOutWhole) {
  ScriptedLineServer server;
  auto client = makeClient(server.port());
  const std::string value(1000, 'v');
  std::vector<JVariant> values;
  for (int i = 0; i < 5; ++i) {
    values.emplace_back("k" + std::to_string(i), value);
  }
  client->call("big", values, 2000);
  ASSERT_EQ(server.lines().size(), 1u);
  const std::string line = server.lines()[0];
  EXPECT_EQ(line.size(), 4 + 5 * (3 + 1002) + 4 + 1);
  EXPECT_TRUE(line.starts_with("big(k0=\"vvv"));
  EXPECT_TRUE(line.ends_with("vvv\")"));
}

TEST(RpcClientRequest, ANotificationReadsNoAnswer) {
  // A one-way function gets no answer: the next call must read its own.
  ScriptedLineServer server([](const std::string& line) {
    if (line.starts_with("oneWay(")) {
      return ScriptedLineServer::silent();
    }
    return ScriptedLineServer::line("OK n=" + std::to_string(line.size()));
  });
  auto client = makeClient(server.port());
  JVariant v("x", int32_t{7});
  client->notify("oneWay", &v);
  EXPECT_EQ(client->callForText("after", std::string_view("y=1"), 2000), "n=10");
  EXPECT_EQ(server.lines(), (std::vector<std::string>{"oneWay(x=7)", "after(y=1)"}));
}

// ---- answers ----------------------------------------------------------------------

TEST(RpcClientAnswer, OkIsParsedOrReturnedAsText) {
  ScriptedLineServer server(answering("OK Type=\"Audio\", n=5, on=true"));
  auto client = makeClient(server.port());
  JParams params = client->call("getParams", static_cast<const JVariant*>(nullptr), 5000);
  EXPECT_EQ(params.size(), 3u);
  std::string type;
  int32_t n = 0;
  bool on = false;
  EXPECT_TRUE(params.get("Type", type, true));
  EXPECT_TRUE(params.get("n", n, true));
  EXPECT_TRUE(params.get("on", on, true));
  EXPECT_EQ(type, "Audio");
  EXPECT_EQ(n, 5);
  EXPECT_TRUE(on);
  EXPECT_EQ(client->callForText("getParams", std::string_view(), 5000),
            "Type=\"Audio\", n=5, on=true");
}

TEST(RpcClientAnswer, AnEmptyOkIsAnEmptyResult) {
  ScriptedLineServer server(answering("OK "));
  auto client = makeClient(server.port());
  EXPECT_TRUE(client->call("f", std::string_view(), 2000).empty());
  EXPECT_EQ(client->callForText("f", std::string_view(), 2000), "");
}

TEST(RpcClientAnswer, OkWithoutItsBlankIsAProtocolErrorAndTheLinkStays) {
  for (const char* answer : {"OK", "OKx=1", "HELLO", "", "ok x=1", "FAILED"}) {
    ScriptedLineServer server(answering(answer));
    auto client = makeClient(server.port());
    try {
      client->call("getParams", std::string_view(), 2000);
      ADD_FAILURE() << "accepted '" << answer << "'";
    } catch (const JRPCProtocolError& e) {
      EXPECT_EQ(e.code(), -1) << answer;
      EXPECT_EQ(e.protocolMessage(), "getParams") << answer;
    }
    EXPECT_TRUE(client->isConnected()) << answer;
    server.setResponder(answering("OK x=1"));
    EXPECT_EQ(client->callForText("again", std::string_view(), 2000), "x=1") << answer;
  }
}

TEST(RpcClientAnswer, FailedIsATextErrorWithTheWholeLineAndTheLinkStays) {
  const std::string answer = "FAILED ProtocolError: unknown function 'getParamz'";
  ScriptedLineServer server(answering(answer));
  auto client = makeClient(server.port());
  try {
    client->call("getParamz", std::string_view(), 2000);
    FAIL() << "a FAILED answer passed";
  } catch (const JTextError& e) {
    EXPECT_EQ(e.message(), answer);
  }
  EXPECT_TRUE(client->isConnected());
  server.setResponder(answering("OK "));
  EXPECT_NO_THROW(client->call("next", std::string_view(), 2000));
}

TEST(RpcClientAnswer, AResultThatDoesNotParseIsLoggedAndThrown) {
  LogCapture log(0xFFFFFFFEu, "%c|%m");
  ScriptedLineServer server(answering("OK a=\"unterminated"));
  auto client = makeClient(server.port());
  try {
    client->call("f", std::string_view(), 2000);
    FAIL() << "a broken result parsed";
  } catch (const JRPCProtocolError& e) {
    EXPECT_EQ(e.code(), -7);
    EXPECT_TRUE(log.contains("Exception CATCH|" + e.message()));
  }
  // The text form does not parse, so it passes.
  EXPECT_EQ(client->callForText("f", std::string_view(), 2000), "a=\"unterminated");
  EXPECT_TRUE(client->isConnected());
}

// ---- failures of the link ---------------------------------------------------------

TEST(RpcClientLink, ACallOnAnUnconnectedClientFailsAtOnce) {
  LogCapture log;
  JTraceMask mask{JRPCClient::kTraceConnection};
  const uint16_t port = test::closedPort();
  Options o;
  o.connectNow = false;
  o.startSupervisor = false;
  auto client = makeClient(port, o, &mask);
  EXPECT_FALSE(client->isConnected());
  EXPECT_THROW(client->call("getParams", std::string_view(), 5000), JRPCConnectionLostError);
  EXPECT_THROW(client->notify("tell", nullptr), JRPCConnectionLostError);
  EXPECT_EQ(log.count("Calling getParams fails on unconnected RPC client."), 1u);
  EXPECT_EQ(log.count("Calling tell fails on unconnected RPC client."), 1u);
}

TEST(RpcClientLink, ATimedOutCallWithoutRetryThrowsTheTimeOut) {
  LogCapture log;
  ScriptedLineServer server([](const std::string& line) {
    return line == "slow()" ? ScriptedLineServer::silent() : ScriptedLineServer::line("OK ");
  });
  Options o;
  o.retry = false;
  o.startSupervisor = false;
  auto client = makeClient(server.port(), o);
  const auto start = Clock::now();
  EXPECT_THROW(client->call("slow", std::string_view(), 300), JTimeoutError);
  EXPECT_GE(test::msBetween(start, Clock::now()), 250);
  EXPECT_TRUE(log.contains("RPC Connection to 127.0.0.1:" + std::to_string(server.port()) +
                           " lost, RPC call aborted: Time out!."));
}

TEST(RpcClientLink, ALateAnswerIsNeverTakenForTheNextCall) {
  // The first request is answered after its call timed out, the second at
  // once; the stream then holds the first answer ahead of the second.
  for (const bool retry : {false, true}) {
    AnswerLatch late;
    ScriptedLineServer server([&late](const std::string& line) {
      if (line == "first()") {
        late.wait();
        return ScriptedLineServer::line("OK which=first");
      }
      return ScriptedLineServer::line(line == "PING" ? "PONG" : "OK which=second");
    });
    test::RecordingNotify listener;
    Options o;
    o.retry = retry;
    auto client = makeClient(server.port(), o, nullptr, &listener);
    if (retry) {
      EXPECT_THROW(client->call("first", std::string_view(), 200), JRPCConnectionLostError);
    } else {
      EXPECT_THROW(client->call("first", std::string_view(), 200), JTimeoutError);
    }
    late.open();
    // The link is dropped with the call: one link-down, and without retry
    // the next call is refused rather than sent on the old stream.
    EXPECT_FALSE(client->isConnected()) << retry;
    ASSERT_TRUE(listener.waitFor("down", 1)) << retry;
    if (retry) {
      ASSERT_TRUE(listener.waitFor("up", 1)) << retry;
      EXPECT_EQ(client->callForText("second", std::string_view(), 2000), "which=second");
      EXPECT_EQ(server.received().back().connection, 2);
    } else {
      try {
        const std::string text = client->callForText("second", std::string_view(), 2000);
        ADD_FAILURE() << "the second call was answered with '" << text << "'";
      } catch (const JRPCConnectionLostError&) {
      }
      EXPECT_TRUE(test::eventually([&] { return client->tryJoin(); }));
      EXPECT_EQ(server.lines(), std::vector<std::string>{"first()"});
    }
    EXPECT_EQ(listener.events()[0], "down:Connection Lost") << retry;
    EXPECT_EQ(listener.countOf("down"), 1u) << retry;
    client->shutdown();
  }
}

TEST(RpcClientLink, APeerThatClosesDuringACallIsALostLink) {
  LogCapture log;
  ScriptedLineServer server([](const std::string&) { return ScriptedLineServer::close(); });
  {
    Options o;
    o.retry = false;
    o.startSupervisor = false;
    auto client = makeClient(server.port(), o);
    try {
      client->call("bye", std::string_view(), 2000);
      FAIL() << "a closed connection answered";
    } catch (const JRPCProtocolError& e) {
      EXPECT_EQ(e.code(), -1);
      EXPECT_EQ(e.protocolMessage(), "bye");
      EXPECT_TRUE(log.contains("lost, RPC call aborted: " + e.message() + "."));
    }
  }
  {
    Options o;
    o.retry = true;
    o.startSupervisor = false;
    auto client = makeClient(server.port(), o);
    EXPECT_THROW(client->call("bye", std::string_view(), 2000), JRPCConnectionLostError);
  }
}

TEST(RpcClientLink, AWriteIntoAClosedConnectionIsALostLink) {
  ScriptedLineServer server;
  Options o;
  o.retry = true;
  o.startSupervisor = false;
  auto client = makeClient(server.port(), o);
  ASSERT_TRUE(server.waitForAccepted(1));
  server.dropConnections();
  // The first writes may still be accepted by the system; once the peer's
  // reset has come back, a write fails.
  const bool lost = test::eventually([&] {
    try {
      client->notify("tell", nullptr);
      return false;
    } catch (const JRPCConnectionLostError&) {
      return true;
    }
  });
  EXPECT_TRUE(lost);
}

// ---- the wire trace ---------------------------------------------------------------

TEST(RpcClientTrace, RequestsAndAnswersAreTracedOnTheWireBit) {
  ScriptedLineServer server([](const std::string& line) {
    return line.starts_with("quiet") ? ScriptedLineServer::silent()
                                     : ScriptedLineServer::line("OK v=1");
  });
  JTraceMask mask{JRPCClient::kTraceWire};
  Options o;
  o.retry = false;
  o.startSupervisor = false;
  auto client = makeClient(server.port(), o, &mask);
  {
    LogCapture log;
    JVariant v("a", int32_t{1});
    client->call("f", &v, 2000);
    EXPECT_EQ(test::countAt(log, kLevelTrace, "--> f(a=1)"), 1u);
    EXPECT_EQ(test::countAt(log, kLevelTrace, "<-- OK v=1"), 1u);
    EXPECT_THROW(client->call("quiet", std::string_view(), 100), JTimeoutError);
    EXPECT_EQ(test::countAt(log, kLevelTrace, "--> quiet()"), 1u);
  }
  {
    // Without a line read there is no line to show.
    ScriptedLineServer closing([](const std::string&) { return ScriptedLineServer::close(); });
    auto other = makeClient(closing.port(), o, &mask);
    LogCapture log;
    EXPECT_THROW(other->call("g", std::string_view(), 2000), JRPCProtocolError);
    EXPECT_EQ(log.count("<--"), 1u);
    EXPECT_TRUE(log.contains("--> g()"));
  }
}

// ---- several callers ----------------------------------------------------------------

TEST(RpcClientConcurrency, EveryCallerReadsTheAnswerToItsOwnRequest) {
  // The server echoes the request; a PING every tick competes with the calls.
  ScriptedLineServer server([](const std::string& line) {
    if (line == "PING") {
      return ScriptedLineServer::line("PONG");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return ScriptedLineServer::line("OK echo=\"" + line + "\"");
  });
  Options o;
  o.pingPeriod = 200;
  auto client = makeClient(server.port(), o);
  std::atomic<int> mismatches{0};
  std::atomic<int> failures{0};
  std::atomic<bool> pinged{false};
  const auto until = Clock::now() + std::chrono::milliseconds(8000);
  std::vector<std::thread> callers;
  for (int t = 0; t < 4; ++t) {
    callers.emplace_back([&, t] {
      for (int i = 0; (i < 100 || !pinged.load()) && Clock::now() < until; ++i) {
        const std::string args = "t=" + std::to_string(t) + ", i=" + std::to_string(i);
        try {
          const std::string text = client->callForText("echo", args, 5000);
          if (text != "echo=\"echo(" + args + ")\"") {
            ++mismatches;
          }
        } catch (const JError&) {
          ++failures;
        }
        if (t == 0 && !server.receivedOf("PING").empty()) {
          pinged.store(true);
        }
      }
    });
  }
  for (std::thread& caller : callers) {
    caller.join();
  }
  EXPECT_TRUE(pinged.load()) << "no PING ran among the calls";
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_EQ(failures.load(), 0);
  EXPECT_TRUE(client->isConnected());
}

TEST(RpcClientConcurrency, ACallQueuedBehindASlowOneTimesOutOnItsOwnClock) {
  // Waiting for the client behind another call counts against a call's
  // time-out; a call that never got the client sent nothing, so the link
  // stays up for the call ahead.
  AnswerLatch slowAnswer;
  ScriptedLineServer server([&slowAnswer](const std::string& line) {
    if (line == "slow()") {
      slowAnswer.wait();
      return ScriptedLineServer::line("OK which=slow");
    }
    return ScriptedLineServer::line(line == "PING" ? "PONG" : "OK which=other");
  });
  auto client = makeClient(server.port());
  std::string slowResult;
  std::thread slow([&] {
    try {
      slowResult = client->callForText("slow", std::string_view(), 30000);
    } catch (const JError& e) {
      slowResult = e.message();
    }
  });
  EXPECT_TRUE(server.waitForLines(1));  // "slow" holds the client
  std::atomic<bool> done{false};
  std::string outcome;
  std::thread queued([&] {
    try {
      outcome = client->callForText("quick", std::string_view(), 300);
    } catch (const JTimeoutError& e) {
      outcome = "timed out: " + e.message();
    } catch (const JError& e) {
      outcome = e.message();
    }
    done = true;
  });
  const bool returnedFirst = test::eventually([&] { return done.load(); }, 10000);
  slowAnswer.open();
  queued.join();
  slow.join();
  EXPECT_TRUE(returnedFirst) << "the queued call waited for the slow one";
  EXPECT_EQ(outcome, "timed out: Time out!");
  EXPECT_EQ(slowResult, "which=slow");
  EXPECT_EQ(server.lines(), std::vector<std::string>{"slow()"});
  EXPECT_TRUE(client->isConnected());
}

// ---- connecting at construction ---------------------------------------------------

TEST(RpcClientConnectNow, AFailureWithRetryLetsConstructionFinish) {
  LogCapture log;
  const uint16_t port = test::closedPort();
  Options o;
  o.retry = true;
  o.startSupervisor = false;
  auto client = makeClient(port, o);
  EXPECT_FALSE(client->isConnected());
  EXPECT_EQ(test::countAt(log, kLevelWarning,
                          "RPC Connection to 127.0.0.1:" + std::to_string(port) +
                              " failed, will retry later: system call error at function "
                              "'WSAConnect' : No connection could be made because the target "
                              "machine actively refused it."),
            1u);
}

TEST(RpcClientConnectNow, AFailureWithoutRetryIsThrownToTheCaller) {
  LogCapture log;
  const uint16_t port = test::closedPort();
  Options o;
  o.retry = false;
  try {
    makeClient(port, o);
    FAIL() << "constructed against a closed port";
  } catch (const JSysError& e) {
    EXPECT_EQ(e.code(), JSysError::kSocketTag | 10061u);
    EXPECT_TRUE(log.contains("RPC Connection to 127.0.0.1:" + std::to_string(port) +
                             " failed, giving up: " + e.message() + "."));
  }
  EXPECT_FALSE(log.contains("will retry later"));
}

TEST(RpcClientConnectNow, ASuccessIsConnectedWithoutALinkUpEvent) {
  ScriptedLineServer server;
  test::RecordingNotify listener;
  JTraceMask mask{JRPCClient::kTraceConnection};
  LogCapture log;
  auto client = makeClient(server.port(), {}, &mask, &listener);
  EXPECT_TRUE(client->isConnected());
  EXPECT_TRUE(log.contains("Attached to 127.0.0.1:" + std::to_string(server.port()) + "."));
  EXPECT_TRUE(log.contains("Connecting to 127.0.0.1:" + std::to_string(server.port()) + "."));
  client->shutdown();
  EXPECT_TRUE(listener.events().empty());
  // The server's accept runs on its own thread, after the handshake.
  ASSERT_TRUE(server.waitForAccepted(1));
  EXPECT_EQ(server.accepted(), 1);
}

// ---- shut-down and destruction ----------------------------------------------------

TEST(RpcClientShutdown, AbortsAConnectInProgress) {
  test::FullListener full;
  ASSERT_TRUE(full.full());
  for (int32_t connectTimeout : {-1, 30000}) {
    LogCapture log;
    JTraceMask mask{JRPCClient::kTraceConnection};
    Options o;
    o.connectNow = false;
    o.connectTimeout = connectTimeout;
    auto client = makeClient(full.port(), o, &mask);
    ASSERT_TRUE(log.waitFor("Connecting to"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto start = Clock::now();
    client->shutdown();
    EXPECT_LT(test::msBetween(start, Clock::now()), 5000) << connectTimeout;
    EXPECT_TRUE(log.contains("Shutting down."));
    EXPECT_TRUE(log.contains("Shutdown complete."));
    EXPECT_FALSE(client->isConnected());
  }
}

TEST(RpcClientShutdown, RacingTheFirstConnectNeverHangs) {
  // Shut down at every point of the first attempt: before the socket is
  // published, while connecting, after.
  // A connect that shut-down prevents before it starts is skipped silently:
  // no failure is reported for it.
  test::FullListener full;
  ASSERT_TRUE(full.full());
  JTraceMask mask{JRPCClient::kTraceConnection};
  for (int round = 0; round < 30; ++round) {
    LogCapture log;
    Options o;
    o.connectNow = false;
    o.connectTimeout = -1;
    auto client = makeClient(full.port(), o, &mask);
    std::this_thread::sleep_for(std::chrono::microseconds(round * 150));
    const auto start = Clock::now();
    client->shutdown();
    EXPECT_LT(test::msBetween(start, Clock::now()), 5000) << round;
    if (!log.contains("Connecting to")) {
      EXPECT_EQ(log.count("RPC Connection to"), 0u) << round;
      EXPECT_EQ(log.count("Exception THROW"), 0u) << round;
    }
    EXPECT_LE(log.count("RPC Connection to"), 1u) << round;
  }
}

TEST(RpcClientShutdown, IsDoneOnceAndTheConnectionStaysUsable) {
  ScriptedLineServer server;
  LogCapture log;
  JTraceMask mask{JRPCClient::kTraceConnection};
  auto client = makeClient(server.port(), {}, &mask);
  client->shutdown();
  client->shutdown();
  EXPECT_EQ(log.count("Shutdown complete."), 1u);
  EXPECT_NO_THROW(client->call("still", std::string_view(), 2000));
}

class ForgetfulClient : public JRPCClient {
 public:
  // The supervisor is not started: with it running, a forgotten shutdown is
  // the very race the rule warns of.
  explicit ForgetfulClient(uint16_t port)
      : JRPCClient("127.0.0.1", port, 2000, 2000, true, true, 0, 0, false, true) {}
  // No shutdown() here: the base class must catch that.
};

class CarefulClient : public JRPCClient {
 public:
  // The supervisor starts once the object is whole, and stops before it goes.
  explicit CarefulClient(uint16_t port)
      : JRPCClient("127.0.0.1", port, 2000, 2000, true, false, 0, 0, false, true) {
    start();
  }
  ~CarefulClient() override { shutdown(); }
};

TEST(RpcClientShutdown, ADerivedClassThatForgetsItIsCaughtByTheBase) {
  ScriptedLineServer server;
  constexpr const char* kRule =
      "JRPCClient::shutdown must be called in destructor of derivated class.";
  {
    LogCapture log;
    { ForgetfulClient client(server.port()); }
    EXPECT_EQ(test::countAt(log, kLevelWarning, kRule), 1u);
  }
  {
    LogCapture log;
    { CarefulClient client(server.port()); }
    { auto notifying = makeClient(server.port()); }
    EXPECT_FALSE(log.contains(kRule));
  }
}

}  // namespace
}  // namespace zq
