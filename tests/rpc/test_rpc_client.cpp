// Tests of JRPCClient's calls: request lines, answers, failures of the service
// and of the link, the wire trace, concurrent callers, connecting at
// construction, shut-down and the destructor rule.

#include "rpc/rpc_client_test_support.h"

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
  client->callForText("listOfOne", std::vector<JVariant>{JVariant("p", true)}, 2000);
  client->callForText("emptyList", std::vector<JVariant>{}, 2000);
  client->notify("oneWay", &first);
  EXPECT_EQ(client->callForText("emptyText", "", 2000), "n=11");
  EXPECT_EQ(client->callForText("big", big, 2000), "n=" + std::to_string(bigLine.size()));
  EXPECT_EQ(server.lines(), (std::vector<std::string>{
                                "text(a=1, b=\"x\")", "chain(a=1, b=\"x\")", "list(a=1,b=\"x\")",
                                "none()", "listOfOne(p=true)", "emptyList()",
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
  // The first request is answered after its call timed out, the second at
  // once; the stream then holds the first answer ahead of the second.
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
    // The link went with the call: one link-down, and without retry the next
    // call is refused rather than sent on the old stream.
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

TEST(RpcClientLink, APeerThatGoesAwayIsALostLink) {
  ScriptedLineServer server([](const std::string&) -> std::string { return kClose; });
  for (const bool retry : {false, true}) {
    SCOPED_TRACE(retry);
    LogCapture log;
    auto client = makeClient(server.port(), {.retry = retry, .startSupervisor = false});
    const std::string error = outcome([&] { return client->callForText("bye", "", 2000); });
    const std::string closed = "ProtocolError: bye '\?\?\?'";
    EXPECT_EQ(error, retry ? "error:Connection Lost" : "protocol -1:" + closed);
    EXPECT_EQ(log.count("lost, RPC call aborted: " + closed + "."), 1u);
  }
  // A write into a connection the peer closed fails once the peer's reset
  // has come back (the first writes may still be taken by the system).
  server.setResponder(ScriptedLineServer::answering());
  auto client = makeClient(server.port(), {.startSupervisor = false});
  ASSERT_TRUE(eventually([&] { return server.accepted().size() >= 3; }));
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
  client->connectionLost();
  EXPECT_TRUE(eventually([&] { return returned.load(); }));
  caller.join();
  EXPECT_EQ(error, "Connection Lost");
  ASSERT_TRUE(listener.waitFor("up", 1)) << "reconnected";
  EXPECT_EQ(listener.countOf("down"), 1u);
  // With no call under way the link is dropped all the same; while it is
  // down a second declaration changes nothing.
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
  LogCapture log;
  const JVariant v("a", int32_t{1});
  client->call("f", &v, 2000);
  EXPECT_THROW(client->call("quiet", "", 100), JTimeoutError);
  // Without a line read there is no line to show.
  EXPECT_THROW(other->call("g", "", 2000), JRPCProtocolError);
  std::vector<std::string> traced;
  for (const LogCapture::Record& r : log.records()) {
    if (r.level == kLevelTrace) {
      traced.push_back(r.text);
    }
  }
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
  // Waiting behind another call counts against a call's time-out; a call that
  // never got the client sent nothing, so the link stays for the call ahead.
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
    EXPECT_EQ(countAt(log, kLevelWarning,
                      "RPC Connection to " + target(port) +
                          (retry ? " failed, will retry later: " : " failed, giving up: ") +
                          kRefused + "."),
              1u);
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
  // A client destroyed without shutdown: without a supervisor, as with it
  // running a forgotten shutdown is the very race the rule warns of.
  const std::string rule = "JRPCClient::shutdown must be called in destructor of derivated class.";
  { JRPCClient plain("127.0.0.1", server.port(), 2000, 2000, true, true, 0, 0, false); }
  EXPECT_EQ(countAt(log, kLevelWarning, rule), 1u);
  { auto notifying = makeClient(server.port()); }  // shuts down in its own destructor
  EXPECT_EQ(log.count(rule), 1u);
}

TEST(RpcClientShutdown, NeverHangsAndSkipsAConnectNotYetStartedSilently) {
  // Shut down at every point of the first attempt (before the supervisor
  // runs, before the socket is published, while connecting, after), then
  // well inside a connect without and with a time-out of its own. A connect
  // the shut-down prevents from starting reports no failure.
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

}  // namespace
}  // namespace zq::test
