// Tests of JRPCController: link events on its own thread, the state, the two
// calls on the wire and without a link, connecting, reconnecting,
// disconnecting under a call, and destruction while events are under way.

#include "net/socket_layer.h"
#include "rpc/rpc_client_test_support.h"
#include "rpc/rpc_controller.h"

namespace zq::test {
namespace {

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
  // The client's first PING (5 s period) is answered wrongly and finds the
  // link lost. The listener is still busy with link up, so the link-down
  // event waits in the queue; the state already says disconnected.
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
  // The stream may still bring the late answer: the link went with the call,
  // nothing more is sent on it, and the listener hears one link down.
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
  // The answer left 600 ms after the request came in; the disconnect could
  // not end before it was read.
  EXPECT_GE(msBetween(server.received()[0].at, disconnected), 590);
}

TEST(RpcControllerLifetime, DestroyedWhileItsClientReportsALoss) {
  // The link-down races the destruction at every point: nothing may hang,
  // leak or touch a destroyed object.
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
  // A listener that reconnects on link down, on the controller's thread,
  // while the old client's supervisor may still be posting.
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
