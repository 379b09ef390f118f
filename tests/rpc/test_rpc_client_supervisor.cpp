// Tests of JRPCClient's link supervisor: the first connect and its report,
// silent retries and their period, PING timing and answers, the end of a
// supervisor without retry, errors of the listener, a call that meets a
// reconnection in progress, and the client against the system's own service.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "base/error.h"
#include "helpers/log_capture.h"
#include "rpc/rpc_client.h"
#include "rpc/rpc_client_test_support.h"
#include "rpc/rpc_error.h"
#include "rpc/rpc_server.h"
#include "rpc/rpc_service.h"

namespace zq {
namespace {

using test::Clock;
using test::LogCapture;
using test::RecordingNotify;
using test::ScriptedLineServer;
using test::target;

// A client whose supervisor reports to `listener`, with the connection trace.
class Supervised {
 public:
  Supervised(uint16_t port, test::ClientOptions o, bool listenerOwnsErrors = false)
      : listener(listenerOwnsErrors), mask(JRPCClient::kTraceConnection) {
    o.listener = &listener;
    o.mask = &mask;
    client = test::makeClient(port, o);
  }
  ~Supervised() { client->shutdown(); }

  RecordingNotify listener;
  JTraceMask mask;
  std::unique_ptr<JRPCClientNotify> client;
};

TEST(RpcSupervisorFirstPass, EstablishesTheLinkAndTellsLinkUpOnItsOwnThread) {
  ScriptedLineServer server;
  LogCapture log;
  Supervised s(server.port(), {.connectNow = false});
  ASSERT_TRUE(s.listener.waitFor("up", 1));
  EXPECT_TRUE(s.client->isConnected());
  EXPECT_EQ(log.count("RPC link to " + target(server.port()) + " established."), 1u);
  EXPECT_FALSE(log.contains("back up"));
  EXPECT_NE(s.listener.threads().at(0), static_cast<int>(::gettid()));
}

TEST(RpcSupervisorFirstPass, AnUnreachableServiceIsReportedOnceThenRetriedSilently) {
  LogCapture log;
  const uint16_t port = test::closedPort();
  // The listener owns the errors: a leak or a double delete shows under ASan.
  Supervised s(port, {.connectNow = false, .deleteErrorAfterNotify = false}, true);
  const auto start = Clock::now();
  ASSERT_TRUE(test::eventually([&] { return log.count("Connecting to") >= 4; }, 8000));
  EXPECT_GE(test::msBetween(start, Clock::now()), 2500);  // one at once, then one a tick
  EXPECT_EQ(test::countAt(log, kLevelWarning,
                          "RPC Connection to " + target(port) + " down, will retry later: "),
            1u);
  EXPECT_EQ(s.listener.events(),
            std::vector<std::string>{"down:system call error at function 'WSAConnect' : No "
                                     "connection could be made because the target machine "
                                     "actively refused it"});
  // The service appears: the next attempt brings the link back up.
  ScriptedLineServer server(ScriptedLineServer::answering(), port);
  ASSERT_TRUE(s.listener.waitFor("up", 1));
  EXPECT_EQ(log.count("RPC link to " + target(port) + " back up."), 1u);
  EXPECT_FALSE(log.contains("established"));
  EXPECT_EQ(s.listener.countOf("down"), 1u);
  EXPECT_NO_THROW(s.client->call("f", std::string_view(), 2000));
}

TEST(RpcSupervisorFirstPass, TheReconnectPeriodSpacesTheAttempts) {
  LogCapture log;
  Supervised s(test::closedPort(), {.connectNow = false, .reconnectPeriod = 2500});
  ASSERT_TRUE(log.waitFor("Connecting to"));
  const auto first = Clock::now();
  ASSERT_TRUE(test::eventually([&] { return log.count("Connecting to") >= 2; }, 8000));
  // The first tick more than 2.5 s after the first attempt is the third.
  EXPECT_GE(test::msBetween(first, Clock::now()), 2400);
}

TEST(RpcSupervisorFirstPass, WithoutRetryTheSupervisorEndsAfterTheFirstFailure) {
  LogCapture log;
  Supervised s(test::closedPort(), {.retry = false, .connectNow = false});
  ASSERT_TRUE(s.listener.waitFor("down", 1));
  ASSERT_TRUE(test::eventually([&] { return s.client->tryJoin(); }));
  EXPECT_EQ(log.count("Connecting to"), 1u);
  EXPECT_EQ(log.count("down, will retry later"), 1u);
  EXPECT_FALSE(s.client->isConnected());
}

TEST(RpcSupervisorPing, ComesOnTheFirstTickMoreThanAPeriodAfterTheLastExchange) {
  // Ticks come every second: with 1.5 s, 1 s after the link-up is too early
  // and 2 s the first tick past it; with 0.3 s, every tick.
  for (const int32_t period : {1500, 300}) {
    SCOPED_TRACE(period);
    ScriptedLineServer server;
    Supervised s(server.port(), {.connectNow = false, .pingPeriod = period});
    ASSERT_TRUE(server.waitForCount("PING", 2, 10000));
    const auto pings = server.receivedOf("PING");
    const long long least = period > 1000 ? 1700 : 700;
    EXPECT_GE(test::msBetween(server.acceptedAt(1), pings[0].at), least);
    EXPECT_GE(test::msBetween(pings[0].at, pings[1].at), least);
    EXPECT_LE(test::msBetween(pings[0].at, pings[1].at), 5000);
    EXPECT_EQ(s.listener.countOf("down"), 0u);
  }
}

TEST(RpcSupervisorPing, AnythingButPongInHalfThePeriodIsALostLink) {
  struct Case {
    const char* reply;  // null: no answer at all
    bool retry;
  };
  for (const Case c : {Case{"pong", true}, Case{"PONG ", false}, Case{" PONG", false},
                       Case{"OK ", false}, Case{nullptr, false}}) {
    SCOPED_TRACE(c.reply != nullptr ? c.reply : "(silence)");
    LogCapture log;
    ScriptedLineServer server([c](const std::string& line) {
      if (line != "PING") {
        return ScriptedLineServer::line("OK ");
      }
      return c.reply != nullptr ? ScriptedLineServer::line(c.reply) : ScriptedLineServer::silent();
    });
    Supervised s(server.port(), {.retry = c.retry, .pingPeriod = 400});
    ASSERT_TRUE(server.waitForCount("PING", 1, 6000));
    ASSERT_TRUE(s.listener.waitFor("down", 1, 6000));
    if (c.reply == nullptr) {  // half the period bounds the wait for the answer
      EXPECT_GE(test::msBetween(server.receivedOf("PING")[0].at, Clock::now()), 150);
    }
    const std::string why = c.reply != nullptr ? "ProtocolError: pong '\?\?\?'" : "Time out!";
    EXPECT_EQ(test::countAt(log, kLevelWarning,
                            "RPC Connection to " + target(server.port()) +
                                (c.retry ? " down, will retry later: " : " down, giving up: ") +
                                why + "."),
              1u);
    EXPECT_EQ(s.listener.events().at(0), "down:Connection Lost");
    if (c.retry) {
      ASSERT_TRUE(s.listener.waitFor("up", 1));
      EXPECT_TRUE(server.waitForAccepted(2));
    } else {
      ASSERT_TRUE(test::eventually([&] { return s.client->tryJoin(); }));
      EXPECT_EQ(server.accepted(), 1);
    }
  }
}

TEST(RpcSupervisorPing, ARestoredReadTimeOutLetsSlowCallsWait) {
  // After a PING the socket waits without limit again for a call that asks
  // so, not half a PING period.
  ScriptedLineServer server([](const std::string& line) {
    if (line == "slow()") {
      std::this_thread::sleep_for(std::chrono::milliseconds(700));
    }
    return ScriptedLineServer::line(line == "PING" ? "PONG" : "OK ");
  });
  Supervised s(server.port(), {.pingPeriod = 400});
  ASSERT_TRUE(server.waitForCount("PING", 1, 6000));
  EXPECT_NO_THROW(s.client->call("slow", std::string_view(), -1));
}

TEST(RpcSupervisorListener, ErrorsOfTheListenerAreReportedAndTheSupervisorGoesOn) {
  class ThrowingNotify : public JRPCNotify {
   public:
    void linkUp() override { throw JTextError("listener refuses link up"); }
    void linkDown(JError*) override { throw JTextError("listener refuses link down"); }
  } listener;
  LogCapture log(0xFFFFFFFEu, "%c|%m");
  ScriptedLineServer server;
  auto client = test::makeClient(server.port(),
                                 {.connectNow = false, .pingPeriod = 300, .listener = &listener});
  ASSERT_TRUE(log.waitFor("Exception REPORT|listener refuses link up"));
  EXPECT_TRUE(server.waitForCount("PING", 2, 6000));  // still supervising
  server.dropConnections();
  EXPECT_TRUE(log.waitFor("Exception REPORT|listener refuses link down"));
  client->shutdown();
}

// Pins the calling thread to the CPU it runs on for the guard's life; threads
// it creates meanwhile inherit the pin.
class PinnedToOneCpu {
 public:
  PinnedToOneCpu() {
    CPU_ZERO(&saved_);
    pinned_ = ::sched_getaffinity(0, sizeof saved_, &saved_) == 0;
    const int cpu = ::sched_getcpu();
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu < 0 ? 0 : cpu, &one);
    pinned_ = pinned_ && ::sched_setaffinity(0, sizeof one, &one) == 0;
  }
  ~PinnedToOneCpu() {
    if (pinned_) {
      ::sched_setaffinity(0, sizeof saved_, &saved_);
    }
  }
  bool pinned() const { return pinned_; }

 private:
  cpu_set_t saved_;
  bool pinned_ = false;
};

// Connect attempts to a listener that never answers follow each other back to
// back: each outlasts the supervisor's tick, so the next is due the moment it
// fails. A call that waits for the client meanwhile must be served right
// after the attempt it queued behind, and fail at once (not connected). The
// caller runs on the supervisor's CPU at idle priority: it cannot run between
// the supervisor's release of the client and its next take of it, which is
// where an unfair lock leaves the caller waiting for ever.
TEST(RpcCallStarvation, ACallWaitingOnAConnectIsServedBeforeTheNextAttempt) {
  test::FullListener full;
  ASSERT_TRUE(full.full());
  LogCapture log;
  std::unique_ptr<Supervised> s;
  std::atomic<bool> done{false};
  std::atomic<size_t> attemptsBefore{0};
  std::string outcome;
  std::thread caller;
  {
    PinnedToOneCpu pin;
    ASSERT_TRUE(pin.pinned());
    s = std::make_unique<Supervised>(
        full.port(), test::ClientOptions{.connectTimeout = 1500, .connectNow = false});
    ASSERT_TRUE(log.waitFor("Connecting to"));
    caller = std::thread([&] {
      sched_param idle{};
      if (::pthread_setschedparam(::pthread_self(), SCHED_IDLE, &idle) != 0) {
        outcome = "could not take idle priority";
      } else {
        attemptsBefore = log.count("Connecting to");
        outcome = test::thrown<JError>([&] { s->client->call("f", std::string_view(), 300); });
      }
      done = true;
    });
  }
  const bool served = test::eventually([&] { return done.load(); }, 30000);
  const size_t attemptsWhileWaiting = log.count("Connecting to") - attemptsBefore.load();
  s->client->shutdown();  // frees a caller still waiting
  caller.join();
  ASSERT_TRUE(served) << "still waiting after " << attemptsWhileWaiting << " connect attempts";
  EXPECT_EQ(outcome, "Connection Lost");

  // In the log, written as each holds the client: at most the attempt under
  // way (or just due) when the call began comes between the call and its end.
  size_t attempts = 0;
  bool failed = false;
  for (const LogCapture::Record& r : log.records()) {
    attempts += r.text.find("Connecting to") != std::string::npos ? 1 : 0;
    if (r.text.find("Calling f fails on unconnected RPC client.") != std::string::npos) {
      failed = true;
      break;
    }
  }
  EXPECT_TRUE(failed);
  EXPECT_LE(attempts, attemptsBefore.load() + 1);
  ASSERT_TRUE(s->listener.waitFor("down", 1));
  EXPECT_EQ(s->listener.events()[0], "down:Time out!");
}

// ---- against the system's own RPC service ------------------------------------------

// getParams answers its twenty parameters (and needs nop), setParams stores
// what it gets, tell is one-way.
class ParamService : public JRPCService {
 public:
  explicit ParamService(uint16_t port = 0) : JRPCService(port, false, nullptr, "ParamService") {
    for (int i = 0; i < 20; ++i) {
      params_.set("param" + std::to_string(i), "value " + std::to_string(i));
    }
    registerFunctions();
    start();
  }
  ~ParamService() override { shutdown(); }
  void registerFunctions() override {
    static const JRPCFunction<ParamService> kFunctions[] = {
        {"getParams", &ParamService::getParams},
        {"setParams", &ParamService::setParams},
        {"tell", &ParamService::tell},
    };
    JRPCServer::registerFunctions(kFunctions);
  }
  std::string paramsText() {
    std::lock_guard lock(mutex_);
    return params_.toString();
  }
  std::string told() {
    std::lock_guard lock(mutex_);
    return told_;
  }

 private:
  void getParams(const JParams& request, JParams& result) {
    int32_t nop = -1;
    request.get("nop", nop, true);
    std::lock_guard lock(mutex_);
    for (const JVariant& value : params_) {
      result.add(std::make_unique<JVariant>(value));
    }
  }
  void setParams(const JParams& request, JParams&) {
    std::lock_guard lock(mutex_);
    for (const JVariant& value : request) {
      params_.add(std::make_unique<JVariant>(value));
    }
  }
  void tell(const JParams& request, JSocket&) {
    std::lock_guard lock(mutex_);
    told_ += request.toString();
  }

  std::mutex mutex_;
  JParams params_;
  std::string told_;
};

TEST(RpcClientWithService, CallsGetTheServicesAnswersAndFailures) {
  ParamService service;
  auto client = test::makeClient(service.port());
  const JVariant nop("nop", int32_t{0});
  EXPECT_EQ(client->callForText("getParams", &nop, 2000), service.paramsText());
  JParams params = client->call("getParams", "nop=0", 2000);
  std::string value;
  EXPECT_TRUE(params.get("param7", value, true));
  EXPECT_EQ(value, "value 7");
  EXPECT_TRUE(client->call("setParams", "param7=\"seven\", extra=3", 2000).empty());
  const JVariant tell("what", "news");
  client->notify("tell", &tell);
  params = client->call("getParams", std::vector<JVariant>{JVariant("nop", int32_t{0})}, 2000);
  EXPECT_TRUE(params.get("param7", value, true));
  EXPECT_EQ(value, "seven");
  EXPECT_EQ(params.size(), 21u);
  EXPECT_EQ(service.told(), "what=\"news\"");
  EXPECT_EQ(test::thrown<JTextError>([&] { client->call("getParamz", "", 2000); }),
            "FAILED ProtocolError: unknown function 'getParamz'");
  EXPECT_EQ(test::thrown<JTextError>([&] { client->call("getParams", "", 2000); }),
            "FAILED RPCMissingParameter: 'nop'");
  EXPECT_TRUE(client->isConnected());
}

TEST(RpcClientWithService, TheKeepAliveHoldsAndALostServiceIsFoundAndRegained) {
  auto service = std::make_unique<ParamService>();
  const uint16_t port = service->port();
  LogCapture log;
  JTraceMask wire{JRPCClient::kTraceWire};
  RecordingNotify listener;
  auto client = test::makeClient(port, {.pingPeriod = 300, .listener = &listener, .mask = &wire});
  ASSERT_TRUE(test::eventually([&] { return log.count("<-- PONG") >= 2; }, 10000));
  EXPECT_TRUE(client->isConnected());
  EXPECT_TRUE(listener.events().empty());

  service.reset();
  ASSERT_TRUE(listener.waitFor("down", 1));
  EXPECT_EQ(listener.events()[0], "down:Connection Lost");
  EXPECT_FALSE(client->isConnected());
  service = std::make_unique<ParamService>(port);
  ASSERT_TRUE(listener.waitFor("up", 1));
  EXPECT_EQ(client->call("getParams", "nop=0", 2000).size(), 20u);
  EXPECT_EQ(listener.countOf("down"), 1u);
}

}  // namespace
}  // namespace zq
