// The controller of one remote audio output against the test AAM on
// loopback: the request lines on the wire, queueing rules, failures, flush,
// deletion with queued commands, and a full command queue.
#include <gtest/gtest.h>

#include <thread>

#include "control/audio_output_controller.h"
#include "control_test_support.h"
#include "helpers/aam/test_aam.h"
#include "helpers/log_capture.h"

namespace zq {
namespace {

using test::eventually;
using test::LogCapture;
using test::TestAAM;
using Listener = test::RecordingListener<JRPCControllerInterface*>;

// Generous: a command held by a stalled AAM must outlast a slow machine's test
// steps, since a command that times out drops the link.
constexpr int32_t kTimeoutMs = 10000;

// A controller connected at once to `aam`.
std::unique_ptr<AudioOutputController> connected(TestAAM& aam, Listener* listener = nullptr) {
  auto controller =
      std::make_unique<AudioOutputController>(listener, aam.port(), "127.0.0.1", kTimeoutMs, true);
  EXPECT_EQ(controller->connect(), 0);
  EXPECT_EQ(controller->getState(), JRPCControllerInterface::kConnected);
  return controller;
}

TEST(AudioOutputControllerWire, CommandsGoOutInOrderAsNamedArguments) {
  TestAAM aam;
  auto controller = connected(aam);
  EXPECT_EQ(controller->setNetSource("udp", "127.0.0.5", 5000), 0);
  EXPECT_EQ(controller->setHardSource(5, "pci2_spdif_in"), 0);
  EXPECT_EQ(controller->setFileSource("C:\\audio\\a.mp3"), 0);
  EXPECT_EQ(controller->setParams("volume=3, mute=false"), 0);
  EXPECT_EQ(controller->resetSource(), 0);
  controller->flush();
  EXPECT_EQ(aam.requests(), (std::vector<std::string>{
                                R"(setNetSource(proto="udp",host="127.0.0.5",port=5000))",
                                R"(setHardSource(cardNumber=5,connector="pci2_spdif_in"))",
                                R"(setFileSource(fileSource="C:\\audio\\a.mp3"))",
                                "setParams(volume=3, mute=false)",
                                "resetSource()",
                            }));
}

TEST(AudioOutputControllerWire, GetStatSendsNopAndReturnsTheAnswerText) {
  TestAAM aam;
  auto controller = connected(aam);
  std::string stat;
  ASSERT_EQ(controller->getStat(stat), 0);
  EXPECT_EQ(aam.requests(), std::vector<std::string>{"getStat(nop=0)"});
  EXPECT_EQ(stat, "playing=true, requests=1");
}

TEST(AudioOutputControllerWire, SynchronousParamsThroughTheRpcController) {
  TestAAM aam;
  auto controller = connected(aam);
  EXPECT_EQ(controller->JRPCController::setParams("gain=7"), 0);
  std::string params;
  ASSERT_EQ(controller->getParams(params), 0);
  EXPECT_EQ(aam.requests(), (std::vector<std::string>{"setParams(gain=7)", "getParams(nop=0)"}));
  EXPECT_EQ(params, R"(ServerMode="LIVE", Type="Audio", gain=7)");
}

TEST(AudioOutputControllerState, NamedBaseControllerUntilNamed) {
  AudioOutputController controller(nullptr, 1, "127.0.0.1", kTimeoutMs, false);
  EXPECT_EQ(controller.getName(), "Base Controller");
  controller.setName("127.0.0.1:1");
  EXPECT_EQ(controller.getName(), "127.0.0.1:1");
}

TEST(AudioOutputControllerState, CommandsRefusedBeforeConnectAndWhileConnecting) {
  // A listener whose accept queue is full never answers: the link stays in
  // state 1 for as long as the test looks.
  test::FullListener full;
  ASSERT_TRUE(full.full());
  AudioOutputController controller(nullptr, full.port(), "127.0.0.1", 5000, false);
  EXPECT_EQ(controller.setFileSource("a.mp3"), -1);
  ASSERT_EQ(controller.connect(), 0);
  EXPECT_EQ(controller.getState(), JRPCControllerInterface::kConnecting);
  EXPECT_EQ(controller.setNetSource("udp", "127.0.0.5", 5000), -1);
  EXPECT_EQ(controller.setHardSource(5, "pci2_spdif_in"), -1);
  EXPECT_EQ(controller.setFileSource("a.mp3"), -1);
  EXPECT_EQ(controller.setParams("volume=1"), -1);
  EXPECT_EQ(controller.resetSource(), -1);
  EXPECT_EQ(controller.pendingCommands(), 0u);
}

TEST(AudioOutputControllerState, CommandsAcceptedOnceTheLinkUpEventArrived) {
  TestAAM aam;
  Listener listener;
  AudioOutputController controller(&listener, aam.port(), "127.0.0.1", kTimeoutMs, false);
  ASSERT_EQ(controller.connect(), 0);
  ASSERT_TRUE(listener.waitFor("up controller", 1));
  EXPECT_EQ(controller.setFileSource("b.mp3"), 0);
  controller.flush();
  EXPECT_EQ(aam.requests(), std::vector<std::string>{R"(setFileSource(fileSource="b.mp3"))"});
}

TEST(AudioOutputControllerState, GetStatWithoutALinkIsMinusOneAndSendsNothing) {
  TestAAM aam;
  AudioOutputController controller(nullptr, aam.port(), "127.0.0.1", kTimeoutMs, false);
  std::string stat = "unchanged";
  EXPECT_EQ(controller.getStat(stat), -1);  // no client at all
  EXPECT_EQ(stat, "unchanged");
  EXPECT_TRUE(aam.requests().empty());
}

TEST(AudioOutputControllerState, GetStatIsMinusOneOnceTheLinkIsDownEvenIfStoredStateSaysUp) {
  TestAAM aam;
  Listener listener;
  auto controller = connected(aam, &listener);
  aam.stop();
  // The client's PING finds the link gone; the live check sees it at once.
  ASSERT_TRUE(eventually([&] { return controller->getState() == 0; }, 15000));
  std::string stat;
  EXPECT_EQ(controller->getStat(stat), -1);
  EXPECT_TRUE(aam.requests().empty());
}

TEST(AudioOutputControllerFailures, RemoteFailureIsLoggedAndTheNextCommandGoesOn) {
  LogCapture log(1u << 10, "%c|%m");
  TestAAM aam;
  auto controller = connected(aam);
  aam.setFailing(true);
  ASSERT_EQ(controller->setFileSource("missing.mp3"), 0);
  controller->flush();
  aam.setFailing(false);
  ASSERT_EQ(controller->setFileSource("present.mp3"), 0);
  controller->flush();
  EXPECT_EQ(aam.requests(), (std::vector<std::string>{
                                R"(setFileSource(fileSource="missing.mp3"))",
                                R"(setFileSource(fileSource="present.mp3"))",
                            }));
  EXPECT_EQ(log.count("Exception CATCH|FAILED test AAM told to fail"), 1u);
  EXPECT_EQ(controller->getState(), JRPCControllerInterface::kConnected);
}

TEST(AudioOutputControllerFailures, UnreachableAamDoesNotBlockLaterCommands) {
  LogCapture log(1u << 10, "%c|%m");
  TestAAM aam;
  auto controller = connected(aam);
  aam.stop();
  // The stored state still says connected: the command is queued and fails
  // at the client, which drops the link with it.
  ASSERT_EQ(controller->setNetSource("udp", "127.0.0.5", 5000), 0);
  controller->flush();
  EXPECT_GE(log.count("Exception CATCH|"), 1u);
  EXPECT_EQ(controller->getState(), JRPCControllerInterface::kDisconnected);
  // Later commands are refused at once rather than sent into a dead link.
  EXPECT_EQ(controller->resetSource(), -1);
  EXPECT_EQ(controller->pendingCommands(), 0u);
}

TEST(AudioOutputControllerFlush, ReturnsOnlyAfterTheQueuedCommandsWereAnswered) {
  TestAAM aam;
  auto controller = connected(aam);
  aam.stall();
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(controller->setFileSource("f" + std::to_string(i)), 0);
  }
  std::atomic<bool> flushed{false};
  std::thread flusher([&] {
    controller->flush();
    flushed = true;
  });
  ASSERT_TRUE(eventually([&] { return aam.stalledCount() == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(flushed);
  aam.release();
  flusher.join();
  // Every one of the three was answered before flush returned.
  EXPECT_EQ(aam.requests().size(), 3u);
  EXPECT_EQ(aam.stalledCount(), 0);
}

TEST(AudioOutputControllerFlush, FlushOfAnIdleControllerReturns) {
  AudioOutputController controller(nullptr, 1, "127.0.0.1", kTimeoutMs, false);
  controller.flush();
  EXPECT_EQ(controller.pendingCommands(), 0u);
}

TEST(AudioOutputControllerLife, DeletedControllerSendsNoneOfItsQueuedCommands) {
  TestAAM aam;
  auto controller = connected(aam);
  aam.stall();
  ASSERT_EQ(controller->setFileSource("in-flight"), 0);
  ASSERT_TRUE(eventually([&] { return aam.stalledCount() == 1; }));
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(controller->setFileSource("queued"), 0);
  }
  // Deleting waits for the command in flight, then drops the rest.
  std::thread deleter([&] { controller.reset(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  aam.release();
  deleter.join();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(aam.requests(), std::vector<std::string>{R"(setFileSource(fileSource="in-flight"))"});
}

TEST(AudioOutputControllerLife, DeletionWaitsForALinkEventThatReadsTheName) {
  // The group's listener finds the controller from the event's context, then
  // reads its name: the name must outlive an event being delivered while the
  // controller is deleted.
  class NameReader : public JRPCNotifyWithContext<> {
   public:
    void linkUp(JRPCControllerInterface* context) override {
      auto* controller = dynamic_cast<AudioOutputCtrlInterface*>(context);
      entered = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      name = controller->getName();
      done = true;
    }
    void linkDown(JRPCControllerInterface*, JError*) override {}
    std::atomic<bool> entered{false};
    std::atomic<bool> done{false};
    std::string name;
  } listener;
  // Longer than any short-string buffer, so that a freed name is noticed.
  const std::string kName = "127.0.0.1:10001 (the loudspeaker in the east hall)";
  TestAAM aam;
  auto controller = std::make_unique<AudioOutputController>(&listener, aam.port(), "127.0.0.1",
                                                            kTimeoutMs, false);
  controller->setName(kName);
  ASSERT_EQ(controller->connect(), 0);
  ASSERT_TRUE(eventually([&] { return listener.entered.load(); }));
  controller.reset();
  EXPECT_TRUE(listener.done);
  EXPECT_EQ(listener.name, kName);
}

TEST(AudioOutputControllerLife, CommandQueuedBeforeDisconnectIsDropped) {
  TestAAM aam;
  auto controller = connected(aam);
  aam.stall();
  ASSERT_EQ(controller->setFileSource("first"), 0);
  ASSERT_TRUE(eventually([&] { return aam.stalledCount() == 1; }));
  ASSERT_EQ(controller->setFileSource("second"), 0);
  // The client goes while "first" is on the wire: "second" finds none.
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    aam.release();
  });
  controller->disconnect();
  releaser.join();
  controller->flush();
  EXPECT_EQ(controller->getState(), 0);
  EXPECT_EQ(aam.requests(), std::vector<std::string>{R"(setFileSource(fileSource="first"))"});
}

TEST(AudioOutputControllerQueue, FullQueueThrottlesTheCallerWithoutLosingACommand) {
  LogCapture log((1u << 9) | (1u << 10), "%m");
  TestAAM aam;
  auto controller = connected(aam);
  aam.stall();
  ASSERT_EQ(controller->setParams("n=0"), 0);
  ASSERT_TRUE(eventually([&] { return aam.stalledCount() == 1; }));
  constexpr int kQueued = AudioOutputController::kCommandCapacity;
  for (int i = 1; i <= kQueued; ++i) {
    ASSERT_EQ(controller->setParams("n=" + std::to_string(i)), 0);
  }
  // The queue is full: the next caller is held until room frees.
  std::atomic<bool> posted{false};
  std::thread caller([&] {
    controller->setParams("n=" + std::to_string(kQueued + 1));
    posted = true;
  });
  ASSERT_TRUE(log.waitFor("in AudioOutputController. Retrying...", 5000));
  EXPECT_FALSE(posted);
  EXPECT_TRUE(log.contains(
      "JThreadedQueue::postMsg() failed (system call error at function 'ReleaseSemaphore' : "));
  aam.release();
  caller.join();
  controller->flush();
  const std::vector<std::string> requests = aam.requests();
  ASSERT_EQ(requests.size(), static_cast<size_t>(kQueued + 2));
  for (int i = 0; i <= kQueued + 1; ++i) {
    EXPECT_EQ(requests[static_cast<size_t>(i)], "setParams(n=" + std::to_string(i) + ")");
  }
}

}  // namespace
}  // namespace zq
