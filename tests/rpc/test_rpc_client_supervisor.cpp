// Tests of JRPCClient's link supervisor: the first connect and its report,
// silent retries and their period, PING timing and answers, errors of the
// listener, a call that meets a reconnection, and the system's own service.
#include <pthread.h>
#include <sched.h>

#include <algorithm>

#include "rpc/rpc_client_test_support.h"
#include "rpc/rpc_service.h"

namespace zq::test {
namespace {

// A client whose supervisor reports to `listener`, with the connection trace.
struct Supervised {
  Supervised(uint16_t port, ClientOptions o, bool listenerOwnsErrors = false)
      : listener(listenerOwnsErrors) {
    o.listener = &listener;
    o.mask = &mask;
    client = makeClient(port, o);
  }
  ~Supervised() { client->shutdown(); }
  LinkRecorder listener;
  JTraceMask mask{JRPCClient::kTraceConnection};
  std::unique_ptr<JRPCClientNotify> client;
};

TEST(RpcSupervisorFirstPass, AnUnreachableServiceIsReportedOnceThenRetriedSilently) {
  LogCapture log;
  const uint16_t port = closedPort();
  // The listener owns the errors: a leak or a double delete shows under ASan.
  Supervised s(port, {.connectNow = false, .deleteErrorAfterNotify = false}, true);
  const auto start = Clock::now();
  ASSERT_TRUE(eventually([&] { return log.count("Connecting to") >= 4; }, 8000));
  EXPECT_GE(msSince(start), 2500);  // one at once, then one a tick
  EXPECT_EQ(
      countAt(log, kLevelWarning,
              "RPC Connection to " + target(port) + " down, will retry later: " + kRefused + "."),
      1u);
  EXPECT_EQ(s.listener.whats(), std::vector<std::string>{"down:" + kRefused});
  // The service appears: the next attempt brings the link back up.
  ScriptedLineServer server(ScriptedLineServer::answering(), port);
  ASSERT_TRUE(s.listener.waitFor("up"));
  EXPECT_EQ(log.count("RPC link to " + target(port) + " back up."), 1u);
  EXPECT_FALSE(log.contains("established"));
  EXPECT_EQ(s.listener.countOf("down"), 1u);
  EXPECT_NO_THROW(s.client->call("f", "", 2000));
}

TEST(RpcSupervisorFirstPass, TheReconnectPeriodSpacesTheAttempts) {
  LogCapture log;
  Supervised s(closedPort(), {.connectNow = false, .reconnectPeriod = 2500});
  ASSERT_TRUE(log.waitFor("Connecting to"));
  const auto first = Clock::now();
  ASSERT_TRUE(eventually([&] { return log.count("Connecting to") >= 2; }, 8000));
  EXPECT_GE(msSince(first), 2400);  // the first tick past 2.5 s is the third
}

TEST(RpcSupervisorFirstPass, WithoutRetryTheSupervisorEndsAfterTheFirstFailure) {
  LogCapture log;
  Supervised s(closedPort(), {.retry = false, .connectNow = false});
  ASSERT_TRUE(s.listener.waitFor("down"));
  ASSERT_TRUE(eventually([&] { return s.client->tryJoin(); }));
  EXPECT_EQ(log.count("Connecting to"), 1u);
  EXPECT_EQ(log.count("down, will retry later"), 1u);
  EXPECT_FALSE(s.client->isConnected());
}

TEST(RpcSupervisorPing, ComesOnTheFirstTickMoreThanAPeriodAfterTheLastExchange) {
  // Ticks come every second: with 1.5 s, never sooner than a period after
  // the link-up or the last PING; with 0.3 s, on every tick, not every
  // period. A tick the machine serves late shortens the gap to the next one
  // by as much, so the bounds leave room for that.
  for (const int32_t period : {1500, 300}) {
    SCOPED_TRACE(period);
    ScriptedLineServer server([](const std::string& line) -> std::string {
      if (line == "slow()") {
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
      }
      return line == "PING" ? "PONG" : "OK ";
    });
    Supervised s(server.port(), {.pingPeriod = period});
    ASSERT_TRUE(server.waitFor("PING", 3, 15000));
    const auto pings = server.received("PING");
    if (period > 1000) {
      EXPECT_GE(msBetween(server.accepted()[0], pings[0].at), 1400);
      EXPECT_GE(msBetween(pings[0].at, pings[1].at), 1400);
    } else {
      EXPECT_GE(msBetween(pings[0].at, pings[2].at), 1100);  // every period: 600
    }
    // After a PING the socket waits without limit again, not half a period.
    EXPECT_NO_THROW(s.client->call("slow", "", -1));
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
    ScriptedLineServer server([c](const std::string& line) -> std::string {
      return line != "PING" ? "OK " : c.reply != nullptr ? c.reply : kSilent;
    });
    Supervised s(server.port(), {.retry = c.retry, .pingPeriod = 400});
    ASSERT_TRUE(server.waitFor("PING", 1, 6000));
    ASSERT_TRUE(s.listener.waitFor("down", 1, 6000));
    if (c.reply == nullptr) {  // half the period bounds the wait for the answer
      EXPECT_GE(msSince(server.received("PING")[0].at), 100);
    }
    const std::string why = c.reply != nullptr ? "ProtocolError: pong '\?\?\?'" : "Time out!";
    EXPECT_EQ(
        countAt(log, kLevelWarning,
                "RPC Connection to " + target(server.port()) +
                    (c.retry ? " down, will retry later: " : " down, giving up: ") + why + "."),
        1u);
    EXPECT_EQ(s.listener.whats()[0], "down:Connection Lost");
    if (c.retry) {
      EXPECT_TRUE(s.listener.waitFor("up") &&
                  eventually([&] { return server.accepted().size() >= 2; }));
    } else {
      EXPECT_TRUE(eventually([&] { return s.client->tryJoin(); }));
      EXPECT_EQ(server.accepted().size(), 1u);
    }
  }
}

TEST(RpcSupervisorFirstPass, EstablishesTheLinkTellsLinkUpOnItsThreadAndSurvivesTheListener) {
  LogCapture log(0xFFFFFFFEu, "%c|%m");
  ScriptedLineServer server;
  LinkRecorder listener;
  listener.throwing = true;
  JTraceMask mask{JRPCClient::kTraceConnection};
  auto client =
      makeClient(server.port(),
                 {.connectNow = false, .pingPeriod = 300, .listener = &listener, .mask = &mask});
  ASSERT_TRUE(log.waitFor("Exception REPORT|listener failed on link up"));
  EXPECT_TRUE(client->isConnected());
  EXPECT_EQ(listener.events()[0].thread, "test client");
  EXPECT_EQ(log.count("RPC link to " + target(server.port()) + " established."), 1u);
  EXPECT_FALSE(log.contains("back up"));
  EXPECT_TRUE(server.waitFor("PING", 2, 6000));  // still supervising
  client->shutdown();
}

// Connect attempts to a listener that never answers follow each other back to
// back: each outlasts the supervisor's tick, so the next is due the moment it
// fails. A call that waits for the client meanwhile must be served right
// after the attempt it queued behind, and fail at once (not connected). The
// caller runs on the supervisor's CPU at idle priority: it cannot run between
// the supervisor's release of the client and its next take of it, which is
// where an unfair lock leaves the caller waiting for ever.
TEST(RpcCallStarvation, ACallWaitingOnAConnectIsServedBeforeTheNextAttempt) {
  FullListener full;
  ASSERT_TRUE(full.full());
  LogCapture log;
  std::unique_ptr<Supervised> s;
  std::atomic<bool> done{false};
  std::atomic<size_t> attemptsBefore{0};
  std::string outcome;
  std::thread caller;
  {
    // Pinned to the CPU it runs on; threads created meanwhile inherit it.
    struct Pin {
      cpu_set_t saved;
      ~Pin() { ::sched_setaffinity(0, sizeof saved, &saved); }
    } pin{};
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(std::max(0, ::sched_getcpu()), &one);
    ASSERT_EQ(::sched_getaffinity(0, sizeof pin.saved, &pin.saved), 0);
    ASSERT_EQ(::sched_setaffinity(0, sizeof one, &one), 0);
    s = std::make_unique<Supervised>(full.port(),
                                     ClientOptions{.connectTimeout = 1500, .connectNow = false});
    ASSERT_TRUE(log.waitFor("Connecting to"));
    caller = std::thread([&] {
      sched_param idle{};
      if (::pthread_setschedparam(::pthread_self(), SCHED_IDLE, &idle) != 0) {
        outcome = "could not take idle priority";
      } else {
        attemptsBefore = log.count("Connecting to");
        outcome = thrown<JError>([&] { s->client->call("f", "", 300); });
      }
      done = true;
    });
  }
  const bool served = eventually([&] { return done.load(); }, 30000);
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
  ASSERT_TRUE(s->listener.waitFor("down"));
  EXPECT_EQ(s->listener.whats()[0], "down:Time out!");
}

// The system's own service: getParams needs nop and answers two values.
class ParamService : public JRPCService {
 public:
  explicit ParamService(uint16_t port = 0) : JRPCService(port, false, nullptr, "ParamService") {
    registerFunctions();
    start();
  }
  ~ParamService() override { shutdown(); }
  void registerFunctions() override {
    const auto get = [](JParams& request, JParams* result, JSocket&) {
      int32_t nop = 0;
      request.get("nop", nop, true);
      result->set("Type", "Audio");
      result->set("Mode", "LIVE");
    };
    JRPCServer::registerFunctions({{"getParams", JRPCKind::kAnswer, get}});
  }
};

TEST(RpcClientWithService, CallsPingsAndALostServiceFoundAndRegained) {
  auto service = std::make_unique<ParamService>();
  const uint16_t port = service->port();
  LogCapture log;
  JTraceMask wire{JRPCClient::kTraceWire};
  LinkRecorder listener;
  // A PONG may take half the period: 0.5 s leaves room for a slow, busy
  // machine (a sanitizer build beside other work).
  auto client = makeClient(port, {.pingPeriod = 1000, .listener = &listener, .mask = &wire});
  const JVariant nop("nop", int32_t{0});
  EXPECT_EQ(client->callForText("getParams", &nop, 2000), "Mode=\"LIVE\", Type=\"Audio\"");
  EXPECT_EQ(thrown<JTextError>([&] { client->call("getParamz", "", 2000); }),
            "FAILED ProtocolError: unknown function 'getParamz'");
  EXPECT_EQ(thrown<JTextError>([&] { client->call("getParams", "", 2000); }),
            "FAILED RPCMissingParameter: 'nop'");
  ASSERT_TRUE(log.waitFor("<-- PONG"));
  EXPECT_TRUE(listener.events().empty());

  service.reset();
  ASSERT_TRUE(listener.waitFor("down"));
  EXPECT_EQ(listener.whats()[0], "down:Connection Lost");
  EXPECT_FALSE(client->isConnected());
  service = std::make_unique<ParamService>(port);
  ASSERT_TRUE(listener.waitFor("up"));
  EXPECT_EQ(client->call("getParams", "nop=1", 2000).size(), 2u);
  EXPECT_EQ(listener.countOf("down"), 1u);
}

}  // namespace
}  // namespace zq::test
