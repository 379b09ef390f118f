// Tests of JRPCController: link events delivered on the controller's own
// thread, the state with and without a live link, setParams and getParams on
// the wire and when not connected, connecting at once, reconnecting,
// disconnecting under a call, and destruction while events are under way.
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
#include "net/socket_layer.h"
#include "rpc/rpc_client_test_support.h"
#include "rpc/rpc_controller.h"
#include "rpc/rpc_error.h"

namespace zq {
namespace {

using test::Clock;
using test::LogCapture;
using test::ScriptedLineServer;

// Records the events it hears, on which thread, and about which controller.
// linkUp can be held at a gate to keep the controller's thread busy.
class ContextListener : public JRPCNotifyWithContext<> {
 public:
  struct Event {
    std::string what;
    JRPCControllerInterface* context;
    std::string thread;
  };

  void linkUp(JRPCControllerInterface* context) override {
    std::unique_lock lock(mutex_);
    events_.push_back({"up", context, JLog::currentThreadName()});
    changed_.notify_all();
    if (holdLinkUp_) {
      changed_.wait_for(lock, std::chrono::seconds(10), [&] { return !holdLinkUp_; });
    }
    if (throwing_) {
      throw JTextError("listener failed on link up");
    }
  }
  void linkDown(JRPCControllerInterface* context, JError* error) override {
    std::unique_lock lock(mutex_);
    events_.push_back({"down:" + error->message(), context, JLog::currentThreadName()});
    changed_.notify_all();
    if (slowLinkDown_) {
      lock.unlock();
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    ++linkDownsReturned_;
  }

  void holdLinkUp() {
    std::lock_guard lock(mutex_);
    holdLinkUp_ = true;
  }
  void release() {
    std::lock_guard lock(mutex_);
    holdLinkUp_ = false;
    changed_.notify_all();
  }
  void setThrowing(bool on) { throwing_ = on; }
  void setSlowLinkDown(bool on) { slowLinkDown_ = on; }
  int linkDownsReturned() const { return linkDownsReturned_.load(); }

  std::vector<Event> events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }
  size_t countOf(std::string_view prefix) const {
    std::lock_guard lock(mutex_);
    size_t n = 0;
    for (const Event& e : events_) {
      n += e.what.starts_with(prefix) ? 1 : 0;
    }
    return n;
  }
  bool waitFor(std::string_view prefix, size_t n, int limitMs = 5000) const {
    return test::eventually([&] { return countOf(prefix) >= n; }, limitMs);
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Event> events_;
  bool holdLinkUp_ = false;
  std::atomic<bool> throwing_{false};
  std::atomic<bool> slowLinkDown_{false};
  std::atomic<int> linkDownsReturned_{0};
};

std::unique_ptr<JRPCController> makeController(JRPCNotifyWithContext<>* listener, uint16_t port,
                                               int32_t timeoutMs = 2000,
                                               bool connectAtOnce = false) {
  return std::make_unique<JRPCController>(listener, port, "127.0.0.1", timeoutMs, connectAtOnce);
}

std::string name(uint16_t port) {
  return "127.0.0.1:" + std::to_string(port);
}

// ---- link events ------------------------------------------------------------------

TEST(RpcControllerEvents, LinkUpIsDeliveredOnTheControllersThreadWithItAsContext) {
  ScriptedLineServer server;
  ContextListener listener;
  auto controller = makeController(&listener, server.port());
  EXPECT_EQ(controller->getState(), JRPCControllerInterface::kDisconnected);
  ASSERT_EQ(controller->connect(), 0);
  ASSERT_TRUE(listener.waitFor("up", 1));
  EXPECT_EQ(controller->getState(), JRPCControllerInterface::kConnected);
  const auto events = listener.events();
  EXPECT_EQ(events[0].context, static_cast<JRPCControllerInterface*>(controller.get()));
  // Not the client's supervisor ("JRPCController_" + name) but the queue.
  EXPECT_EQ(events[0].thread,
            "JRPCController (JThreadedQueue<JRPCEventMsg>) " + name(server.port()));
}

TEST(RpcControllerEvents, AnUnreachableServiceGivesLinkDownWithTheConnectError) {
  const uint16_t port = test::closedPort();
  ContextListener listener;
  auto controller = makeController(&listener, port);
  ASSERT_EQ(controller->connect(), 0);
  ASSERT_TRUE(listener.waitFor("down", 1));
  const auto events = listener.events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].what,
            "down:system call error at function 'WSAConnect' : No connection could be made "
            "because the target machine actively refused it");
  EXPECT_EQ(events[0].context, static_cast<JRPCControllerInterface*>(controller.get()));
  EXPECT_EQ(events[0].thread, "JRPCController (JThreadedQueue<JRPCEventMsg>) " + name(port));
  EXPECT_EQ(controller->getState(), JRPCControllerInterface::kDisconnected);

  // The client gave up (retry off); the owner reconnects once the service is there.
  ScriptedLineServer server(ScriptedLineServer::standard(), port);
  ASSERT_EQ(controller->reconnect(), 0);
  ASSERT_TRUE(listener.waitFor("up", 1));
  EXPECT_EQ(controller->getState(), JRPCControllerInterface::kConnected);
}

TEST(RpcControllerEvents, WithoutAListenerEventsAreConsumed) {
  const uint16_t port = test::closedPort();
  auto controller = makeController(nullptr, port);
  ASSERT_EQ(controller->connect(), 0);
  ASSERT_TRUE(test::eventually([&] { return controller->getState() == 0; }));
  // The link-down event (and its error) is consumed, not left queued.
  EXPECT_TRUE(test::eventually([&] { return controller->pendingCount() == 0; }));
  ScriptedLineServer server(ScriptedLineServer::standard(), port);
  ASSERT_EQ(controller->reconnect(), 0);
  EXPECT_TRUE(test::eventually([&] { return controller->getState() == 2; }));
}

TEST(RpcControllerEvents, AListenerThatThrowsIsLoggedAndStillHearsTheNextEvent) {
  LogCapture log(0xFFFFFFFEu, "%c|%m");
  ScriptedLineServer server;
  ContextListener listener;
  listener.setThrowing(true);
  auto controller = makeController(&listener, server.port());
  ASSERT_EQ(controller->connect(), 0);
  ASSERT_TRUE(log.waitFor("Exception CATCH|listener failed on link up"));
  ASSERT_EQ(controller->connect(), 0);  // a new client, a new link up
  EXPECT_TRUE(listener.waitFor("up", 2));
}

TEST(RpcControllerEvents, GetStateSeesALostLinkBeforeItsEventIsDelivered) {
  // PING answered wrongly: the client's first PING (5 s PING period) finds the
  // link lost. The listener is still busy with link up, so the link-down
  // event waits in the queue; the state already says 0.
  ScriptedLineServer server([](const std::string& line) {
    return line == "PING" ? ScriptedLineServer::line("PONG?") : ScriptedLineServer::line("OK ");
  });
  ContextListener listener;
  listener.holdLinkUp();
  auto controller = makeController(&listener, server.port());
  ASSERT_EQ(controller->connect(), 0);
  ASSERT_TRUE(listener.waitFor("up", 1));
  EXPECT_EQ(controller->getState(), 2);
  ASSERT_TRUE(test::eventually([&] { return controller->getState() == 0; }, 15000));
  EXPECT_EQ(listener.countOf("down"), 0u);
  EXPECT_TRUE(test::eventually([&] { return controller->pendingCount() == 1; }));
  EXPECT_EQ(listener.countOf("down"), 0u);
  listener.release();
  ASSERT_TRUE(listener.waitFor("down", 1));
  EXPECT_EQ(listener.events()[1].what, "down:Connection Lost");
}

// ---- connecting ---------------------------------------------------------------------

TEST(RpcControllerConnect, AtOnceIsConnectedWhenConnectReturns) {
  ScriptedLineServer server;
  ContextListener listener;
  auto controller = makeController(&listener, server.port(), 2000, true);
  ASSERT_EQ(controller->connect(), 0);
  EXPECT_EQ(controller->getState(), JRPCControllerInterface::kConnected);
  std::string text;
  EXPECT_EQ(controller->getParams(text), 0);
}

TEST(RpcControllerConnect, AtOnceAgainstAnUnreachableServiceLeavesNoClient) {
  LogCapture log(0xFFFFFFFEu, "%c|%m");
  const uint16_t port = test::closedPort();
  ContextListener listener;
  auto controller = makeController(&listener, port, 2000, true);
  EXPECT_EQ(controller->connect(), -1);
  EXPECT_TRUE(log.contains("Exception CATCH|system call error at function 'WSAConnect'"));
  EXPECT_EQ(controller->getState(), JRPCControllerInterface::kDisconnected);
  std::string text = "untouched";
  EXPECT_EQ(controller->getParams(text), -1);
  EXPECT_EQ(text, "untouched");
  EXPECT_TRUE(listener.events().empty());
}

TEST(RpcControllerConnect, ConnectingIsStateOneAndSendsNothing) {
  test::FullListener full;
  ASSERT_TRUE(full.full());
  ContextListener listener;
  auto controller = makeController(&listener, full.port(), 3000);
  ASSERT_EQ(controller->connect(), 0);
  EXPECT_EQ(controller->getState(), JRPCControllerInterface::kConnecting);
  // Answered at once, not after the connect in progress.
  const auto start = Clock::now();
  std::string text;
  EXPECT_EQ(controller->getParams(text), -1);
  EXPECT_EQ(controller->setParams("a=1"), -1);
  EXPECT_LT(test::msBetween(start, Clock::now()), 1000);
  ASSERT_TRUE(listener.waitFor("down", 1, 8000));
  EXPECT_EQ(listener.events()[0].what, "down:Time out!");
}

TEST(RpcControllerConnect, DisconnectDeletesTheClientAndNothingIsSentAfter) {
  ScriptedLineServer server;
  ContextListener listener;
  auto controller = makeController(&listener, server.port(), 2000, true);
  std::string text;
  EXPECT_EQ(controller->getParams(text), -1);  // no client yet
  ASSERT_EQ(controller->connect(), 0);
  EXPECT_EQ(controller->setParams("a=1"), 0);
  controller->disconnect();
  EXPECT_EQ(controller->getState(), JRPCControllerInterface::kDisconnected);
  EXPECT_EQ(controller->getParams(text), -1);
  EXPECT_EQ(controller->setParams("a=2"), -1);
  EXPECT_EQ(server.lines(), std::vector<std::string>{"setParams(a=1)"});
}

TEST(RpcControllerConnect, SettingsTakeEffectAtTheNextConnect) {
  ScriptedLineServer first;
  ScriptedLineServer second;
  ContextListener listener;
  auto controller = makeController(&listener, first.port(), 2000, true);
  ASSERT_EQ(controller->connect(), 0);
  controller->setPort(second.port());
  controller->setHost("127.0.0.1");
  EXPECT_EQ(controller->getPort(), second.port());
  EXPECT_EQ(controller->setParams("to=1"), 0);
  ASSERT_EQ(controller->reconnect(), 0);
  EXPECT_EQ(controller->setParams("to=2"), 0);
  EXPECT_EQ(first.lines(), std::vector<std::string>{"setParams(to=1)"});
  EXPECT_EQ(second.lines(), std::vector<std::string>{"setParams(to=2)"});
}

// ---- setParams and getParams ------------------------------------------------------------

TEST(RpcControllerCalls, GetParamsSendsNopAndReturnsTheTextAfterOk) {
  ScriptedLineServer server([](const std::string& line) {
    if (line == "getParams(nop=0)") {
      return ScriptedLineServer::line(
          "OK AudioClass=\"SEMIPRO\", ServerMode=\"LIVE\", Type=\"Audio\"");
    }
    return ScriptedLineServer::line("OK ");
  });
  ContextListener listener;
  auto controller = makeController(&listener, server.port(), 2000, true);
  ASSERT_EQ(controller->connect(), 0);
  std::string text;
  ASSERT_EQ(controller->getParams(text), 0);
  EXPECT_EQ(text, "AudioClass=\"SEMIPRO\", ServerMode=\"LIVE\", Type=\"Audio\"");
  EXPECT_EQ(controller->setParams("Volume=5, Mute=false"), 0);
  EXPECT_EQ(server.lines(),
            (std::vector<std::string>{"getParams(nop=0)", "setParams(Volume=5, Mute=false)"}));
}

TEST(RpcControllerCalls, FailuresPropagateAndATimeOutDropsTheLinkOnce) {
  ScriptedLineServer server([](const std::string& line) {
    if (line.starts_with("setParams")) {
      return ScriptedLineServer::line("FAILED RPCMissingParameter: 'Volume'");
    }
    return line == "PING" ? ScriptedLineServer::line("PONG") : ScriptedLineServer::silent();
  });
  ContextListener listener;
  auto controller = makeController(&listener, server.port(), 300, true);
  ASSERT_EQ(controller->connect(), 0);
  try {
    controller->setParams("x=1");
    FAIL() << "a FAILED answer passed";
  } catch (const JTextError& e) {
    EXPECT_EQ(e.message(), "FAILED RPCMissingParameter: 'Volume'");
  }
  // The controller's time-out bounds the wait for the answer.
  const auto start = Clock::now();
  std::string text;
  EXPECT_THROW(controller->getParams(text), JTimeoutError);
  EXPECT_GE(test::msBetween(start, Clock::now()), 250);
  // The stream may still bring the late answer: the link is dropped with the
  // call, nothing more is sent on it, and the listener hears one link down.
  EXPECT_EQ(controller->getState(), JRPCControllerInterface::kDisconnected);
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
  ScriptedLineServer server([](const std::string& line) {
    if (line.starts_with("getParams")) {
      std::this_thread::sleep_for(std::chrono::milliseconds(600));
      return ScriptedLineServer::line("OK done=true");
    }
    return ScriptedLineServer::line("OK ");
  });
  ContextListener listener;
  auto controller = makeController(&listener, server.port(), 5000, true);
  ASSERT_EQ(controller->connect(), 0);
  std::atomic<int> result{99};
  std::string text;
  std::thread caller([&] { result = controller->getParams(text); });
  ASSERT_TRUE(server.waitForLines(1));
  controller->disconnect();
  const auto disconnected = Clock::now();
  caller.join();
  EXPECT_EQ(result.load(), 0);
  EXPECT_EQ(text, "done=true");
  // The answer left the server 600 ms after the request came in; the
  // disconnect could not end before it was read.
  EXPECT_GE(test::msBetween(server.received()[0].at, disconnected), 590);
}

// ---- destruction ------------------------------------------------------------------------

TEST(RpcControllerLifetime, DestroyedWhileItsClientReportsALoss) {
  // The supervisor's link-down races the controller's destruction at every
  // point: nothing may hang, leak or touch a destroyed object.
  const uint16_t port = test::closedPort();
  ContextListener listener;
  for (int round = 0; round < 30; ++round) {
    auto controller = makeController(&listener, port);
    controller->connect();
    std::this_thread::sleep_for(std::chrono::microseconds(round * 100));
    controller.reset();
  }
}

TEST(RpcControllerLifetime, UsesTheSocketLayerForItsWholeLife) {
  const int before = JSocketLayer::users();
  {
    ScriptedLineServer server;
    auto controller = makeController(nullptr, server.port(), 2000, true);
    EXPECT_EQ(JSocketLayer::users(), before + 1);
    ASSERT_EQ(controller->connect(), 0);
    controller->disconnect();
    EXPECT_EQ(JSocketLayer::users(), before + 1);
  }
  EXPECT_EQ(JSocketLayer::users(), before);
}

TEST(RpcControllerLifetime, DestructionWaitsForTheEventBeingDelivered) {
  const uint16_t port = test::closedPort();
  ContextListener listener;
  listener.setSlowLinkDown(true);
  auto controller = makeController(&listener, port);
  ASSERT_EQ(controller->connect(), 0);
  ASSERT_TRUE(listener.waitFor("down", 1));
  controller.reset();
  EXPECT_EQ(listener.linkDownsReturned(), 1);
  EXPECT_EQ(listener.countOf("down"), 1u);
}

TEST(RpcControllerLifetime, ReconnectingFromTheListenerDoesNotDeadlock) {
  // A listener that reconnects on link down, on the controller's thread,
  // while the old client's supervisor may still be posting.
  const uint16_t port = test::closedPort();
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
  auto controller = makeController(&listener, port);
  ASSERT_EQ(controller->connect(), 0);
  EXPECT_TRUE(test::eventually([&] { return listener.downs.load() >= 3; }));
}

}  // namespace
}  // namespace zq
