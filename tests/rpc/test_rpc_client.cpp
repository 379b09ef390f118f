// JRPCClient (calls, failures, the trace, concurrency, shut-down), its link
// supervisor (connecting, retries, PINGs, a starved call) and JRPCController.
#include <pthread.h>
#include <sched.h>

#include <algorithm>

#include "base/registry_key.h"
#include "net/socket_layer.h"
#include "rpc/rpc_client_test_support.h"
#include "rpc/rpc_controller.h"

namespace zq::test {
namespace {

// What a call gives: "ok:" and its result, or the error it throws.
template <class F>
std::string outcome(F&& call) {
  try {
    return "ok:" + call();
  } catch (const JRPCProtocolError& e) {
    return "protocol " + std::to_string(e.code()) + ":" + e.message();
  } catch (const JTextError& e) {
    return "text:" + e.message();
  } catch (const JError& e) {
    return "error:" + e.message();
  }
}

// Warnings "RPC Connection to <host:port><what>." logged.
size_t warned(const LogCapture& log, uint16_t port, const std::string& what) {
  return countAt(log, kLevelWarning, "RPC Connection to " + target(port) + what + ".");
}

TEST(RpcClientRequest, EveryFormWritesItsLineAndANotificationReadsNoAnswer) {
  // A one-way function gets no answer: the next call must read its own.
  ScriptedLineServer server([](const std::string& line) -> std::string {
    return line.starts_with("oneWay(") ? kSilent : "OK n=" + std::to_string(line.size());
  });
  auto client = makeClient(server.port());
  JVariant second("b", "x");
  const JVariant first("a", int32_t{1}, &second);
  // Longer than the stack buffer of a line.
  std::vector<JVariant> big;
  std::string bigLine = "big(";
  for (int i = 0; i < 5; ++i) {
    big.emplace_back("k" + std::to_string(i), std::string(1000, 'v'));
    bigLine += (i > 0 ? ",k" : "k") + std::to_string(i) + "=\"" + std::string(1000, 'v') + "\"";
  }
  bigLine += ")";
  EXPECT_EQ(client->call("text", "a=1, b=\"x\"", 2000).toString(), "n=16");
  client->call("chain", &first, 2000);
  client->call("list", std::vector<JVariant>{JVariant("a", int32_t{1}), JVariant("b", "x")}, 2000);
  client->call("none", static_cast<const JVariant*>(nullptr), 2000);
  client->callForText("emptyList", std::vector<JVariant>{}, 2000);
  client->notify("oneWay", &first);
  EXPECT_EQ(client->callForText("emptyText", "", 2000), "n=11");
  EXPECT_EQ(client->callForText("big", big, 2000), "n=" + std::to_string(bigLine.size()));
  EXPECT_EQ(server.lines(), (std::vector<std::string>{
                                "text(a=1, b=\"x\")", "chain(a=1, b=\"x\")", "list(a=1,b=\"x\")",
                                "none()", "emptyList()",
                                "oneWay(a=1, b=\"x\")", "emptyText()", bigLine}));
}

TEST(RpcClientAnswer, EachAnswerGivesItsResultOrItsErrorAndTheLinkStays) {
  LogCapture log(0xFFFFFFFEu, "%c|%m");
  const std::string unparsed = "ProtocolError: unterminated quoted string 'a'";
  const std::string protocol = "protocol -1:ProtocolError: f '\?\?\?'";
  const std::string failed = "FAILED ProtocolError: unknown function 'getParamz'";
  // clang-format off
  const struct {
    std::string answer, call, text = "";  // what call() and callForText() give; no text: as call()
  } cases[] = {{"OK Type=\"Audio\", n=5, on=true", "ok:Type=\"Audio\", n=5, on=true"}, {"OK ", "ok:"},
               {"OK", protocol}, {"OKx=1", protocol}, {"HELLO", protocol}, {"", protocol},
               {"ok x=1", protocol}, {"FAILED", protocol}, {failed, "text:" + failed},
               // The text form does not parse, so it passes.
               {"OK a=\"unterminated", "protocol -7:" + unparsed, "ok:a=\"unterminated"}};
  // clang-format on
  ScriptedLineServer server;
  auto client = makeClient(server.port());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer);
    server.setResponder(ScriptedLineServer::answering(c.answer));
    EXPECT_EQ(outcome([&] { return client->call("f", "", 2000).toString(); }), c.call);
    EXPECT_EQ(outcome([&] { return client->callForText("f", "", 2000); }),
              c.text.empty() ? c.call : c.text);
    EXPECT_TRUE(client->isConnected());
  }
  EXPECT_EQ(log.count("Exception CATCH|"), log.count("Exception CATCH|" + unparsed));
  EXPECT_EQ(log.count("Exception CATCH|"), 1u);
}

TEST(RpcClientLink, ATimedOutCallDropsTheLinkSoALateAnswerIsNeverTakenForTheNextCall) {
  // The first request is answered after its call timed out: its answer comes before the second's.
  for (const bool retry : {false, true}) {
    SCOPED_TRACE(retry);
    LogCapture log;
    JFlag late(true, false);  // set: the first answer may go
    ScriptedLineServer server([&late](const std::string& line) -> std::string {
      if (line == "first()") {
        late.wait(30000);
        return "OK which=first";
      }
      return line == "PING" ? "PONG" : "OK which=second";
    });
    LinkRecorder listener;
    auto client = makeClient(server.port(), {.retry = retry, .listener = &listener});
    const auto start = Clock::now();
    const std::string error =
        retry ? thrown<JRPCConnectionLostError>([&] { client->call("first", "", 300); })
              : thrown<JTimeoutError>([&] { client->call("first", "", 300); });
    EXPECT_EQ(error, retry ? "Connection Lost" : "Time out!");
    EXPECT_GE(msBetween(start, Clock::now()), 250);
    EXPECT_EQ(log.count("RPC Connection to " + target(server.port()) +
                        " lost, RPC call aborted: Time out!."),
              1u);
    late.set();
    // One link-down; without retry the next call is refused, not sent on the old stream.
    EXPECT_FALSE(client->isConnected());
    ASSERT_TRUE(listener.waitFor("down", 1));
    if (retry) {
      ASSERT_TRUE(listener.waitFor("up", 1));
      EXPECT_EQ(client->callForText("second", "", 2000), "which=second");
      EXPECT_EQ(server.received().back().connection, 2);
    } else {
      EXPECT_EQ(outcome([&] { return client->callForText("second", "", 2000); }),
                "error:Connection Lost");
      EXPECT_TRUE(eventually([&] { return client->tryJoin(); }));
      EXPECT_EQ(server.lines(), std::vector<std::string>{"first()"});
    }
    EXPECT_EQ(listener.whats()[0], "down:Connection Lost");
    EXPECT_EQ(listener.countOf("down"), 1u);
    client->shutdown();
  }
}

// A peer that closes, answers past the line cap or trickles its answer past the call's time-out
// is a lost link: the client holds no more than the cap and waits no longer than asked.
TEST(RpcClientLink, APeerThatGoesAwayOrAnswersPastTheCapOrTheTimeOutIsALostLink) {
  LogCapture log;  // and the registry of the test
  JSystemRegistryKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta\\RPC")
      .setDword("MaxRequestLineSize", 4096);
  const std::string closed = "ProtocolError: f '\?\?\?'", lost = "error:Connection Lost";
  // The answer's length (0: the peer closes; -1: a byte every 20 ms, for 20 s at most), retry.
  const std::tuple<int, bool, std::string, std::string> cases[] = {
      {4096, true, "ok:aaaa", ""},       {4097, true, lost, "line longer than 4096 bytes"},
      {-1, true, lost, "Time out!"},     {0, true, lost, closed},
      {0, false, "protocol -1:" + closed, closed}};
  for (const auto& [length, retry, result, logged] : cases) {
    SCOPED_TRACE(length);
    JTCPSocket listener;
    listener.bind(JInetAddr("127.0.0.1", 0)), listener.listen(1);
    std::atomic<bool> peerDone{false};
    std::jthread peer([&, length = length] {
      try {
        JLineIO io(listener.accept());
        std::string_view line;
        io.readLine(line);
        if (length > 0)
          io.writeLine("OK " + std::string(length - 3, 'a'));
        for (int i = 0; length < 0 && i < 1000; ++i)
          io.socket()->writeAll("a", 1), std::this_thread::sleep_for(std::chrono::milliseconds(20));
      } catch (const JError&) {
      }
      peerDone = true;
    });
    auto client = makeClient(listener.localAddress().port(),
                             {.retry = retry, .startSupervisor = false});
    const std::string got = outcome([&] { return client->callForText("f", "", 1000); });
    EXPECT_EQ(got.substr(0, result.size()), result);
    EXPECT_TRUE(length >= 0 || !peerDone) << "the call outlasted the trickle";
    EXPECT_EQ(warned(log, listener.localAddress().port(), " lost, RPC call aborted: " + logged),
              logged.empty() ? 0u : 1u);
    EXPECT_EQ(client->isConnected(), logged.empty());
  }
  ScriptedLineServer server;
  // A write into a connection the peer closed fails once the peer's reset came back.
  auto client = makeClient(server.port(), {.startSupervisor = false});
  ASSERT_TRUE(eventually([&] { return server.accepted().size() >= 1; }));
  server.dropConnections();
  EXPECT_TRUE(eventually([&] {
    return thrown<JRPCConnectionLostError>([&] { client->notify("tell", nullptr); }) ==
           "Connection Lost";
  }));
}

TEST(RpcClientLink, AnOwnerThatDeclaresTheLinkLostEndsAPendingCallAndIsReportedOnce) {
  ScriptedLineServer server([](const std::string& line) -> std::string {
    return line == "hang()" ? kSilent : "OK done=1";
  });
  LinkRecorder listener;
  auto client = makeClient(server.port(), {.listener = &listener});  // connected at once
  // A call waiting for an answer that will never come gives up at once.
  std::atomic<bool> returned{false};
  std::string error;
  std::jthread caller([&] {
    error = thrown<JRPCConnectionLostError>([&] { client->call("hang", "", 60000); });
    returned = true;
  });
  ASSERT_TRUE(eventually([&] { return server.lines().size() == 1; }));
  const auto declared = Clock::now();
  client->connectionLost();  // waits for the call to end
  EXPECT_TRUE(eventually([&] { return returned.load(); }));
  EXPECT_LT(msSince(declared), 30000) << "the call ran to its own time-out";
  caller.join();
  EXPECT_EQ(error, "Connection Lost");
  ASSERT_TRUE(listener.waitFor("up", 1)) << "reconnected";
  EXPECT_EQ(listener.countOf("down"), 1u);
  // With no call under way the link goes all the same; while down, a second one changes nothing.
  client->connectionLost();
  EXPECT_FALSE(client->isConnected());
  client->connectionLost();
  ASSERT_TRUE(listener.waitFor("up", 2));
  EXPECT_EQ(listener.countOf("down"), 2u);
  EXPECT_EQ(client->callForText("again", "", 2000), "done=1");
  client->shutdown();
}

TEST(RpcClientTrace, RequestsAndAnswersAreTracedOnTheWireBit) {
  ScriptedLineServer server(
      [](const std::string& line) { return line.starts_with("quiet") ? kSilent : "OK v=1"; });
  ScriptedLineServer closing([](const std::string&) -> std::string { return kClose; });
  JTraceMask mask{JRPCClient::kTraceWire};
  const ClientOptions o{.retry = false, .startSupervisor = false, .mask = &mask};
  auto client = makeClient(server.port(), o);
  auto other = makeClient(closing.port(), o);
  LogCapture log(1u << kLevelTrace);
  const JVariant v("a", int32_t{1});
  client->call("f", &v, 2000);
  EXPECT_THROW(client->call("quiet", "", 100), JTimeoutError);
  // Without a line read there is no line to show.
  EXPECT_THROW(other->call("g", "", 2000), JRPCProtocolError);
  std::vector<std::string> traced;
  std::ranges::transform(log.records(), std::back_inserter(traced), &LogCapture::Record::text);
  EXPECT_EQ(traced, (std::vector<std::string>{"--> f(a=1)", "<-- OK v=1", "--> quiet()", "--> g()",
                                              "<--"}));
}

TEST(RpcClientConcurrency, EveryCallerReadsTheAnswerToItsOwnRequest) {
  // The server echoes the request; a PING every tick competes with the calls.
  ScriptedLineServer server([](const std::string& line) -> std::string {
    if (line == "PING") {
      return "PONG";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return "OK echo=\"" + line + "\"";
  });
  auto client = makeClient(server.port(), {.pingPeriod = 200});
  std::atomic<int> mismatches{0}, failures{0};
  const auto until = Clock::now() + std::chrono::milliseconds(8000);
  std::vector<std::jthread> callers;
  for (int t = 0; t < 4; ++t) {
    callers.emplace_back([&, t] {
      for (int i = 0; (i < 100 || server.received("PING").empty()) && Clock::now() < until; ++i) {
        const std::string args = "t=" + std::to_string(t) + ", i=" + std::to_string(i);
        try {
          mismatches += client->callForText("echo", args, 5000) != "echo=\"echo(" + args + ")\"";
        } catch (const JError&) {
          ++failures;
        }
      }
    });
  }
  callers.clear();  // joins them
  EXPECT_FALSE(server.received("PING").empty()) << "no PING ran among the calls";
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_EQ(failures.load(), 0);
  EXPECT_TRUE(client->isConnected());
}

TEST(RpcClientConcurrency, ACallQueuedBehindASlowOneTimesOutOnItsOwnClock) {
  // Waiting behind a call counts against the time-out; having sent nothing, it keeps the link.
  JFlag slowAnswer(true, false);
  ScriptedLineServer server([&slowAnswer](const std::string& line) -> std::string {
    if (line == "slow()") {
      slowAnswer.wait(30000);
    }
    return line == "PING" ? "PONG" : "OK which=" + line;
  });
  auto client = makeClient(server.port());
  std::string slowResult;
  std::thread slow(
      [&] { slowResult = outcome([&] { return client->callForText("slow", "", 30000); }); });
  ASSERT_TRUE(server.waitFor("slow()"));
  std::atomic<bool> done{false};
  std::string queued;
  std::thread quick([&] {
    queued = thrown<JTimeoutError>([&] { client->callForText("quick", "", 300); });
    done = true;
  });
  const bool returnedFirst = eventually([&] { return done.load(); }, 10000);
  slowAnswer.set();
  quick.join();
  slow.join();
  EXPECT_TRUE(returnedFirst) << "the queued call waited for the slow one";
  EXPECT_EQ(queued, "Time out!");
  EXPECT_EQ(slowResult, "ok:which=slow()");
  EXPECT_EQ(server.lines(), std::vector<std::string>{"slow()"});
  EXPECT_TRUE(client->isConnected());
}

TEST(RpcClientConnectNow, AFailureIsLoggedAndThrownOnlyWithoutRetry) {
  JTraceMask mask{JRPCClient::kTraceConnection};
  for (const bool retry : {true, false}) {
    SCOPED_TRACE(retry);
    LogCapture log;
    const uint16_t port = closedPort();
    std::unique_ptr<JRPCClientNotify> client;
    EXPECT_EQ(thrown<JSysError>([&] {
                client =
                    makeClient(port, {.retry = retry, .startSupervisor = false, .mask = &mask});
              }),
              retry ? "(nothing thrown)" : kRefused);
    EXPECT_EQ(log.count("RPC Connection to"), 1u);
    const std::string failed = retry ? " failed, will retry later: " : " failed, giving up: ";
    EXPECT_EQ(warned(log, port, failed + kRefused), 1u);
    if (retry) {  // unconnected: calls fail at once
      EXPECT_FALSE(client->isConnected());
      EXPECT_THROW(client->call("getParams", "", 5000), JRPCConnectionLostError);
      EXPECT_THROW(client->notify("tell", nullptr), JRPCConnectionLostError);
      EXPECT_EQ(log.count("Calling getParams fails on unconnected RPC client."), 1u);
      EXPECT_EQ(log.count("Calling tell fails on unconnected RPC client."), 1u);
    }
  }
}

TEST(RpcClientShutdown, IsDoneOnceAConnectionMadeAtOnceStaysUsableAndTheBaseChecksTheRule) {
  ScriptedLineServer server;
  LinkRecorder listener;
  JTraceMask mask{JRPCClient::kTraceConnection};
  LogCapture log;
  auto client = makeClient(server.port(), {.listener = &listener, .mask = &mask});
  EXPECT_TRUE(client->isConnected());
  client->shutdown();
  client->shutdown();
  EXPECT_NO_THROW(client->call("still", "", 2000));
  // Connected without a link-up event, and never again by the supervisor.
  EXPECT_TRUE(listener.events().empty());
  EXPECT_EQ(server.accepted().size(), 1u);
  EXPECT_EQ(log.count("Attached to " + target(server.port()) + "."), 1u);
  EXPECT_EQ(log.count("Connecting to " + target(server.port()) + "."), 1u);
  EXPECT_EQ(log.count("Shutting down."), 1u);
  EXPECT_EQ(log.count("Shutdown complete."), 1u);
  // A client destroyed without shutdown is warned of, even without a supervisor.
  const std::string rule = "JRPCClient::shutdown must be called in destructor of derivated class.";
  { JRPCClient plain("127.0.0.1", server.port(), 2000, 2000, true, true, 0, 0, false); }
  EXPECT_EQ(countAt(log, kLevelWarning, rule), 1u);
  { auto notifying = makeClient(server.port()); }  // shuts down in its own destructor
  EXPECT_EQ(log.count(rule), 1u);
}

TEST(RpcClientShutdown, NeverHangsAndSkipsAConnectNotYetStartedSilently) {
  // Shut down at every point of the first attempt, then well inside a connect without and
  // with a time-out of its own. A connect the shut-down prevents reports no failure.
  FullListener full;
  ASSERT_TRUE(full.full());
  JTraceMask mask{JRPCClient::kTraceConnection};
  for (int round = 0; round < 32; ++round) {
    SCOPED_TRACE(round);
    LogCapture log;
    auto client = makeClient(
        full.port(),
        {.connectTimeout = round == 31 ? 30000 : -1, .connectNow = false, .mask = &mask});
    if (round < 30) {
      std::this_thread::sleep_for(std::chrono::microseconds(round * 150));
    } else {
      ASSERT_TRUE(log.waitFor("Connecting to"));
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    const auto start = Clock::now();
    client->shutdown();
    EXPECT_LT(msSince(start), 5000);
    if (!log.contains("Connecting to")) {
      EXPECT_EQ(log.count("RPC Connection to") + log.count("Exception THROW"), 0u);
    }
    EXPECT_LE(log.count("RPC Connection to"), 1u);
    EXPECT_EQ(log.count("Shutdown complete."), 1u);
    EXPECT_FALSE(client->isConnected());
  }
}

// ---- the link supervisor ------------------------------------------------------------

// A client whose supervisor reports to `listener`, with the connection trace.
struct Supervised {
  Supervised(uint16_t port, ClientOptions o, bool listenerOwnsErrors = false, bool throws = false)
      : listener(listenerOwnsErrors) {
    listener.throwing = throws;
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
  EXPECT_EQ(warned(log, port, " down, will retry later: " + kRefused), 1u);
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
  // Ticks come every second: with 1.5 s, never sooner than a period after the link-up or the
  // last PING; with 0.3 s, on every tick. The bounds leave room for a tick served late.
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
    const std::string down = c.retry ? " down, will retry later: " : " down, giving up: ";
    EXPECT_EQ(warned(log, server.port(), down + why), 1u);
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
  Supervised s(server.port(), {.connectNow = false, .pingPeriod = 300}, false, true);
  ASSERT_TRUE(log.waitFor("Exception REPORT|listener failed on link up"));
  EXPECT_TRUE(s.client->isConnected());
  EXPECT_EQ(s.listener.events()[0].thread, "test client");
  EXPECT_EQ(log.count("RPC link to " + target(server.port()) + " established."), 1u);
  EXPECT_FALSE(log.contains("back up"));
  EXPECT_TRUE(server.waitFor("PING", 2, 6000));  // still supervising
}

// Connect attempts that never get an answer follow each other back to back. A call waiting
// meanwhile must be served right after the attempt it queued behind and fail (not connected).
// At idle priority on the supervisor's CPU the caller cannot run between the supervisor's
// release of the client and its next take of it: an unfair lock starves it there.
TEST(RpcCallStarvation, ACallWaitingOnAConnectIsServedBeforeTheNextAttempt) {
  FullListener full;
  ASSERT_TRUE(full.full());
  LogCapture log;
  std::unique_ptr<Supervised> s;
  std::atomic<bool> done{false};
  std::atomic<size_t> attemptsBefore{0};
  std::string error;
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
        error = "could not take idle priority";
      } else {
        attemptsBefore = log.count("Connecting to");
        error = thrown<JError>([&] { s->client->call("f", "", 300); });
      }
      done = true;
    });
  }
  const bool served = eventually([&] { return done.load(); }, 30000);
  const size_t attemptsWhileWaiting = log.count("Connecting to") - attemptsBefore.load();
  s->client->shutdown();  // frees a caller still waiting
  caller.join();
  ASSERT_TRUE(served) << "still waiting after " << attemptsWhileWaiting << " connect attempts";
  EXPECT_EQ(error, "Connection Lost");
  // At most the attempt under way (or due) when the call began comes before its failure.
  const auto records = log.records();
  const auto has = [](std::string_view text) {
    return [text](const LogCapture::Record& r) { return r.text.find(text) != std::string::npos; };
  };
  const auto failed = std::ranges::find_if(records, has("Calling f fails on unconnected"));
  ASSERT_NE(failed, records.end());
  const auto attempts = std::count_if(records.begin(), failed, has("Connecting to"));
  EXPECT_LE(static_cast<size_t>(attempts), attemptsBefore.load() + 1);
  ASSERT_TRUE(s->listener.waitFor("down"));
  EXPECT_EQ(s->listener.whats()[0], "down:Time out!");
}

// ---- JRPCController -------------------------------------------------------------------

using State = JRPCControllerInterface::State;

// A controller of 127.0.0.1:`port` whose connect() was called and succeeded.
std::unique_ptr<JRPCController> connected(JRPCNotifyWithContext<>* listener, uint16_t port,
                                          int32_t timeoutMs = 2000, bool connectAtOnce = false) {
  auto controller =
      std::make_unique<JRPCController>(listener, port, "127.0.0.1", timeoutMs, connectAtOnce);
  EXPECT_EQ(controller->connect(), 0);
  return controller;
}

TEST(RpcControllerEvents, AreDeliveredOnTheControllersThreadWithItAsContext) {
  for (const bool listening : {true, false}) {
    SCOPED_TRACE(listening);
    const uint16_t port = closedPort();
    LinkRecorder listener;
    auto controller = connected(listening ? &listener : nullptr, port);
    ASSERT_TRUE(eventually([&] { return controller->getState() == State::kDisconnected; }));
    // The event (and its error) is consumed, listener or not.
    EXPECT_TRUE(eventually([&] { return controller->pendingCount() == 0; }));
    // The client gave up (retry off); the owner reconnects once the service is there.
    ScriptedLineServer server(ScriptedLineServer::answering(), port);
    ASSERT_EQ(controller->reconnect(), 0);
    EXPECT_TRUE(eventually([&] { return controller->getState() == State::kConnected; }));
    static_cast<JRPCNotify&>(*controller).linkDown(nullptr);  // a loss without an error
    if (!listening) {
      continue;
    }
    ASSERT_TRUE(listener.waitFor("down", 2));
    EXPECT_EQ(listener.whats(),
              (std::vector<std::string>{"down:" + kRefused, "up", "down:Unknown error"}));
    for (const auto& e : listener.events()) {
      EXPECT_EQ(e.context, static_cast<JRPCControllerInterface*>(controller.get()));
      // Not the client's supervisor ("JRPCController_" + name) but the queue.
      EXPECT_EQ(e.thread, "JRPCController (JThreadedQueue<JRPCEventMsg>) " + target(port));
    }
  }
}

TEST(RpcControllerEvents, GetStateSeesALostLinkBeforeItsEventIsDelivered) {
  // The first PING's wrong answer loses the link while the listener is busy with link up:
  // the link-down waits in the queue, the state already says disconnected.
  ScriptedLineServer server(
      [](const std::string& line) { return line == "PING" ? "PONG?" : "OK "; });
  LinkRecorder listener;
  listener.holdLinkUp = true;
  auto controller = connected(&listener, server.port());
  ASSERT_TRUE(listener.waitFor("up", 1));
  EXPECT_EQ(controller->getState(), State::kConnected);
  ASSERT_TRUE(eventually([&] { return controller->getState() == State::kDisconnected; }, 15000));
  EXPECT_TRUE(eventually([&] { return controller->pendingCount() == 1; }));
  EXPECT_EQ(listener.countOf("down"), 0u);
  listener.release();
  ASSERT_TRUE(listener.waitFor("down", 1));
  EXPECT_EQ(listener.events()[1].what, "down:Connection Lost");
}

TEST(RpcControllerCalls, GoToTheCurrentClientOnlyWhileItIsConnected) {
  LogCapture log(0xFFFFFFFEu, "%c|%m");
  ScriptedLineServer first([](const std::string& line) -> std::string {
    return line == "getParams(nop=0)" ? "OK AudioClass=\"SEMIPRO\", Type=\"Audio\"" : "OK ";
  });
  ScriptedLineServer second;
  LinkRecorder listener;
  // At once against an unreachable service: no client, nothing told.
  const int users = JSocketLayer::users();
  auto controller =
      std::make_unique<JRPCController>(&listener, closedPort(), "127.0.0.1", 2000, true);
  EXPECT_EQ(JSocketLayer::users(), users + 1);  // for the controller's whole life
  std::string text = "untouched";
  EXPECT_EQ(controller->setParams("a=0"), -1);  // no client yet
  EXPECT_EQ(controller->connect(), -1);
  EXPECT_TRUE(log.contains("Exception CATCH|system call error at function 'WSAConnect'"));
  EXPECT_EQ(controller->getState(), State::kDisconnected);
  EXPECT_EQ(controller->getParams(text), -1);
  EXPECT_EQ(text, "untouched");
  controller->setPort(first.port());
  ASSERT_EQ(controller->connect(), 0);
  EXPECT_EQ(controller->getState(), State::kConnected);  // at once: when connect returns
  ASSERT_EQ(controller->getParams(text), 0);
  EXPECT_EQ(text, "AudioClass=\"SEMIPRO\", Type=\"Audio\"");
  EXPECT_EQ(controller->setParams("Volume=5, Mute=false"), 0);
  // Settings take effect at the next connect.
  controller->setPort(second.port());
  EXPECT_EQ(controller->setParams("to=1"), 0);
  ASSERT_EQ(controller->reconnect(), 0);
  EXPECT_EQ(controller->setParams("to=2"), 0);
  controller->disconnect();
  EXPECT_EQ(controller->getState(), State::kDisconnected);
  EXPECT_EQ(controller->getParams(text), -1);
  EXPECT_EQ(controller->setParams("a=2"), -1);
  EXPECT_EQ(first.lines(),
            (std::vector<std::string>{"getParams(nop=0)", "setParams(Volume=5, Mute=false)",
                                      "setParams(to=1)"}));
  EXPECT_EQ(second.lines(), std::vector<std::string>{"setParams(to=2)"});
  EXPECT_TRUE(listener.events().empty());
  EXPECT_EQ(JSocketLayer::users(), users + 1);
  controller.reset();
  EXPECT_EQ(JSocketLayer::users(), users);
}

TEST(RpcControllerCalls, WhileConnectingTheStateIsOneAndNothingIsSent) {
  FullListener full;
  ASSERT_TRUE(full.full());
  LinkRecorder listener;
  auto controller = connected(&listener, full.port(), 3000);
  EXPECT_EQ(controller->getState(), State::kConnecting);
  // Answered at once, not after the connect in progress.
  const auto start = Clock::now();
  std::string text;
  EXPECT_EQ(controller->getParams(text), -1);
  EXPECT_EQ(controller->setParams("a=1"), -1);
  EXPECT_LT(msBetween(start, Clock::now()), 1000);
  ASSERT_TRUE(listener.waitFor("down", 1, 8000));
  EXPECT_EQ(listener.events()[0].what, "down:Time out!");
}

TEST(RpcControllerCalls, FailuresPropagateAndATimeOutDropsTheLinkOnce) {
  ScriptedLineServer server([](const std::string& line) -> std::string {
    if (line.starts_with("setParams")) {
      return "FAILED RPCMissingParameter: 'Volume'";
    }
    return line == "PING" ? "PONG" : kSilent;
  });
  LinkRecorder listener;
  auto controller = connected(&listener, server.port(), 300, true);
  EXPECT_EQ(thrown<JTextError>([&] { controller->setParams("x=1"); }),
            "FAILED RPCMissingParameter: 'Volume'");
  // The controller's time-out bounds the wait for the answer.
  const auto start = Clock::now();
  std::string text;
  EXPECT_THROW(controller->getParams(text), JTimeoutError);
  EXPECT_GE(msBetween(start, Clock::now()), 250);
  // The link went with the call: nothing more is sent, the listener hears one link down.
  EXPECT_EQ(controller->getState(), State::kDisconnected);
  EXPECT_EQ(controller->setParams("y=2"), -1);
  ASSERT_TRUE(listener.waitFor("down", 1));
  controller->disconnect();  // the client's supervisor has ended: no event follows
  JFlag delivered(true, false);
  controller->postMsg(JRPCEventMsg{}, &delivered);  // behind every event posted
  delivered.wait(10000);
  EXPECT_EQ(listener.countOf("down"), 1u);
  EXPECT_EQ(listener.events().back().what, "down:Connection Lost");
  EXPECT_EQ(server.lines(), (std::vector<std::string>{"setParams(x=1)", "getParams(nop=0)"}));
}

TEST(RpcControllerCalls, DisconnectWaitsForACallInProgress) {
  ScriptedLineServer server([](const std::string& line) -> std::string {
    if (line.starts_with("getParams")) {
      std::this_thread::sleep_for(std::chrono::milliseconds(600));
    }
    return "OK done=true";
  });
  auto controller = connected(nullptr, server.port(), 5000, true);
  std::atomic<int> result{99};
  std::string text;
  std::thread caller([&] { result = controller->getParams(text); });
  ASSERT_TRUE(server.waitFor("getParams(nop=0)"));
  controller->disconnect();
  const auto disconnected = Clock::now();
  caller.join();
  EXPECT_EQ(result.load(), 0);
  EXPECT_EQ(text, "done=true");
  // The answer left 600 ms after the request came: the disconnect waited for it.
  EXPECT_GE(msBetween(server.received()[0].at, disconnected), 590);
}

TEST(RpcControllerLifetime, DestroyedWhileItsClientReportsALoss) {
  // The link-down races the destruction at every point: no hang, leak or use after free.
  const uint16_t port = closedPort();
  LinkRecorder listener;
  for (int round = 0; round < 30; ++round) {
    auto controller = connected(&listener, port);
    std::this_thread::sleep_for(std::chrono::microseconds(round * 100));
  }
  // One whose event is being delivered waits for it.
  listener.slowLinkDown = true;
  const int returned = listener.linkDownsReturned.load();
  auto controller = connected(&listener, port);
  ASSERT_TRUE(listener.waitFor("down", static_cast<size_t>(returned) + 1));
  controller.reset();
  EXPECT_EQ(listener.linkDownsReturned.load(), returned + 1);
}

TEST(RpcControllerLifetime, ReconnectingFromTheListenerDoesNotDeadlock) {
  // Reconnects on link down, on the controller's thread, while the old client may still post.
  class Reconnecting : public JRPCNotifyWithContext<> {
   public:
    void linkUp(JRPCControllerInterface*) override {}
    void linkDown(JRPCControllerInterface* context, JError*) override {
      if (++downs < 3) {
        context->reconnect();
      }
    }
    std::atomic<int> downs{0};
  } listener;
  auto controller = connected(&listener, closedPort());
  EXPECT_TRUE(eventually([&] { return listener.downs.load() >= 3; }));
}

}  // namespace
}  // namespace zq::test
