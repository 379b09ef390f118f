// Audio output controllers and their group against test AAMs on loopback:
// the request lines on the wire, queueing rules, failures, flush, deletion
// with queued commands, a full queue, the group's argument checks and result
// codes, replacement by name, and link events reported by controller name.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <thread>

#include "control/audio_output_controller_group.h"
#include "helpers/aam/test_aam.h"
#include "helpers/descriptors.h"
#include "helpers/log_capture.h"
#include "rpc/rpc_client_test_support.h"

namespace zq {
namespace {

using test::eventually;
using test::LogCapture;
using test::TestAAM;
using Ctl = AudioOutputController;
using Lines = std::vector<std::string>;
using namespace std::literals;
using std::chrono::milliseconds;
using std::this_thread::sleep_for;
using ::testing::UnorderedElementsAre;

// Generous: a command held by a stalled AAM must outlast a slow machine's test
// steps, since a command that times out drops the link.
constexpr int32_t kTimeoutMs = 10000;

// Each source command with the request line it sends.
const std::pair<const char*, std::function<int32_t(Ctl&)>> kCommands[] = {
    {R"(setNetSource(proto="udp",host="127.0.0.5",port=5000))",
     [](Ctl& c) { return c.setNetSource("udp", "127.0.0.5", 5000); }},
    {R"(setHardSource(cardNumber=5,connector="pci2_spdif_in"))",
     [](Ctl& c) { return c.setHardSource(5, "pci2_spdif_in"); }},
    {R"(setFileSource(fileSource="C:\\audio\\a.mp3"))",
     [](Ctl& c) { return c.setFileSource("C:\\audio\\a.mp3"); }},
    {"setParams(volume=3, mute=false)", [](Ctl& c) { return c.setParams("volume=3, mute=false"); }},
    {"resetSource()", [](Ctl& c) { return c.resetSource(); }},
};

// A controller connected at once to `aam`.
std::unique_ptr<Ctl> connected(TestAAM& aam) {
  auto controller = std::make_unique<Ctl>(nullptr, aam.port(), "127.0.0.1", kTimeoutMs, true);
  EXPECT_EQ(controller->connect(), 0);
  EXPECT_EQ(controller->getState(), Ctl::kConnected);
  return controller;
}

TEST(AudioOutputController, CommandsGoOutInOrderOnceTheLinkIsUp) {
  TestAAM aam;
  Ctl controller(nullptr, aam.port(), "127.0.0.1", kTimeoutMs, false);
  ASSERT_EQ(controller.connect(), 0);
  ASSERT_TRUE(eventually([&] { return controller.getState() == Ctl::kConnected; }, 10000));
  Lines sent;
  for (const auto& [line, send] : kCommands) {
    EXPECT_EQ(send(controller), 0);
    sent.push_back(line);
  }
  controller.flush();
  EXPECT_EQ(aam.requests(), sent);
  std::string stat;
  ASSERT_EQ(controller.getStat(stat), 0);
  EXPECT_EQ(aam.requests().back(), "getStat(nop=0)");
  EXPECT_EQ(stat, "playing=true, requests=6");
}

TEST(AudioOutputController, FailuresAreLoggedAndALostLinkRefusesLaterCommands) {
  LogCapture log(1u << 10, "%c|%m");
  TestAAM aam;
  auto controller = connected(aam);
  aam.setFailing(true);
  ASSERT_EQ(controller->setFileSource("missing.mp3"), 0);
  controller->flush();
  aam.setFailing(false);
  ASSERT_EQ(controller->setFileSource("present.mp3"), 0);
  controller->flush();
  EXPECT_EQ(log.count("Exception CATCH|FAILED test AAM told to fail"), 1u);
  EXPECT_EQ(controller->getState(), Ctl::kConnected);
  // The link state is not yet updated: the command is queued, fails at the
  // client and drops the link with it.
  aam.stop();
  ASSERT_EQ(controller->setNetSource("udp", "127.0.0.5", 5000), 0);
  controller->flush();
  EXPECT_GE(log.count("Exception CATCH|"), 2u);
  EXPECT_EQ(controller->getState(), Ctl::kDisconnected);
  std::string stat;
  EXPECT_EQ(controller->getStat(stat), -1);
  EXPECT_EQ(controller->resetSource(), -1);
  EXPECT_EQ(controller->pendingCommands(), 0u);
  EXPECT_EQ(aam.requests(), (Lines{R"(setFileSource(fileSource="missing.mp3"))",
                                   R"(setFileSource(fileSource="present.mp3"))"}));
}

TEST(AudioOutputController, FlushReturnsOnlyOnceTheQueuedCommandsWereAnswered) {
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
  sleep_for(milliseconds(200));
  EXPECT_FALSE(flushed);
  aam.release();
  flusher.join();
  EXPECT_EQ(aam.requests().size(), 3u);
  EXPECT_EQ(aam.stalledCount(), 0);
}

TEST(AudioOutputController, DeletingOrDisconnectingDropsTheQueuedCommands) {
  for (const bool deleting : {true, false}) {
    SCOPED_TRACE(deleting ? "deleting" : "disconnecting");
    TestAAM aam;
    auto controller = connected(aam);
    aam.stall();
    ASSERT_EQ(controller->setFileSource("in-flight"), 0);
    ASSERT_TRUE(eventually([&] { return aam.stalledCount() == 1; }));
    for (int i = 0; i < 5; ++i) {
      ASSERT_EQ(controller->setFileSource("queued"), 0);
    }
    // Either waits for the command on the wire, then drops the rest.
    std::thread dropper([&] { deleting ? controller.reset() : controller->disconnect(); });
    sleep_for(milliseconds(300));
    aam.release();
    dropper.join();
    if (controller) {
      controller->flush();
      EXPECT_EQ(controller->getState(), Ctl::kDisconnected);
    }
    sleep_for(milliseconds(200));
    EXPECT_EQ(aam.requests(), Lines{R"(setFileSource(fileSource="in-flight"))"});
  }
}

TEST(AudioOutputController, DeletionWaitsForALinkEventThatReadsTheName) {
  // Reads the name the way the group's listener does, while the controller
  // is being deleted.
  struct NameReader : JRPCNotifyWithContext<> {
    void linkUp(JRPCControllerInterface* context) override {
      entered = true;
      sleep_for(milliseconds(300));
      name = dynamic_cast<AudioOutputCtrlInterface*>(context)->getName();
    }
    void linkDown(JRPCControllerInterface*, JError*) override {}
    std::atomic<bool> entered{false};
    std::string name;
  } listener;
  // Longer than any short-string buffer, so that a freed name is noticed.
  const std::string kName = "127.0.0.1:10001 (the loudspeaker in the east hall)";
  TestAAM aam;
  auto controller = std::make_unique<Ctl>(&listener, aam.port(), "127.0.0.1", kTimeoutMs, false);
  controller->setName(kName);
  ASSERT_EQ(controller->connect(), 0);
  ASSERT_TRUE(eventually([&] { return listener.entered.load(); }));
  controller.reset();
  EXPECT_EQ(listener.name, kName);
}

TEST(AudioOutputController, FullQueueThrottlesTheCallerWithoutLosingACommand) {
  LogCapture log((1u << 9) | (1u << 10), "%m");
  TestAAM aam;
  auto controller = connected(aam);
  aam.stall();
  ASSERT_EQ(controller->setParams("n=0"), 0);
  ASSERT_TRUE(eventually([&] { return aam.stalledCount() == 1; }));
  constexpr int kQueued = Ctl::kCommandCapacity;
  for (int i = 1; i <= kQueued; ++i) {
    ASSERT_EQ(controller->setParams("n=" + std::to_string(i)), 0);
  }
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
  Lines expected;
  for (int i = 0; i <= kQueued + 1; ++i) {
    expected.push_back("setParams(n=" + std::to_string(i) + ")");
  }
  EXPECT_EQ(aam.requests(), expected);
}

// ---- the group -----------------------------------------------------------------------

// Records "up <name>" and "down <name>: <error>" for each link event.
class Target : public AudioOutputControllerGroup::NotifyTarget {
 public:
  void linkUp(const std::string& name) override { add("up " + name); }
  void linkDown(const std::string& name, JError* error) override {
    add("down " + name + ": " + (error ? error->message() : "(none)"));
  }
  size_t count(const std::string& prefix) const {
    std::lock_guard lock(mutex_);
    return std::count_if(events_.begin(), events_.end(),
                         [&](const std::string& e) { return e.starts_with(prefix); });
  }
  bool waitFor(const std::string& prefix, size_t n = 1, int limitMs = 10000) const {
    return eventually([&] { return count(prefix) >= n; }, limitMs);
  }

 private:
  void add(std::string event) {
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(event));
  }
  mutable std::mutex mutex_;
  Lines events_;
};

class ControllerGroup : public ::testing::Test {
 protected:
  // Adds a controller for 127.0.0.1:`port`: its result, and its name.
  std::pair<int32_t, std::string> add(uint16_t port, bool blocking = true) {
    group.setServer("127.0.0.1");
    group.setPort(port);
    group.setBlocking(blocking);
    return {group.AddToGroupAndConnect(), "127.0.0.1:" + std::to_string(port)};
  }
  std::string add(const TestAAM& aam, bool blocking = true) {
    auto [result, name] = add(aam.port(), blocking);
    EXPECT_EQ(result, 0);
    return name;
  }
  // "<result> <value>" of an extraction into a value that starts as `value`.
  template <typename T>
  std::string extract(int32_t (AudioOutputControllerGroup::*how)(std::string_view, std::string_view,
                                                                 T&),
                      std::string_view parameter, std::string_view text, T value) {
    const int32_t result = (group.*how)(parameter, text, value);
    return std::to_string(result) + " " + ::testing::PrintToString(value);
  }

  Target target;
  AudioOutputControllerGroup group{&target};
};

TEST(ControllerGroupAlone, DefaultsAndTheSocketLayerHeldForItsLife) {
  const int users = JSocketLayer::users();
  {
    AudioOutputControllerGroup group(nullptr);
    EXPECT_EQ(JSocketLayer::users(), users + 1);
    EXPECT_EQ(group.getServer(), "localhost");
    EXPECT_EQ(group.getPort(), 10001);
    EXPECT_EQ(group.getTimeOut(), 2000);
    EXPECT_FALSE(group.getBlocking());
  }
  EXPECT_EQ(JSocketLayer::users(), users);
}

TEST_F(ControllerGroup, ArgumentChecksAndUnknownNames) {
  const char* const kConnectors[] = {"wavein_line_in", "wavein_mic_in", "pci2_line_in",
                                     "pci2_mic_in", "pci2_spdif_in"};
  for (int32_t i = 0; i < 5; ++i) {
    EXPECT_EQ(connectorNumber(kConnectors[i]), i);
  }
  for (std::string_view bad : {"line_in"sv, "WAVEIN_MIC_IN"sv, ""sv, "wavein_mic_in\0"sv}) {
    EXPECT_EQ(connectorNumber(bad), -1) << bad;
  }
  // The card first (-1), then the connector (-2).
  const std::tuple<int32_t, const char*, int32_t> kHard[] = {
      {0, "pci2_line_in", -1}, {29, "pci2_line_in", -1}, {0, "line_in", -1},
      {1, "line_in", -2},      {28, "wavein_mic_in", 0}, {5, "pci2_spdif_in", 0}};
  for (const auto& [card, connector, result] : kHard) {
    EXPECT_EQ(group.SetHardSource(card, connector), result) << card << " " << connector;
  }
  // The port first (-2), then the protocol (-1).
  const std::tuple<const char*, int32_t, int32_t> kNet[] = {
      {"udp", 0, -2},    {"udp", 65536, -2}, {"tcp", 0, -2}, {"tcp", 5000, -1},
      {"UDP", 5000, -1}, {"ipm", 65535, 0},  {"svc", 1, 0}};
  for (const auto& [proto, port, result] : kNet) {
    EXPECT_EQ(group.SetNetSource(proto, "239.1.2.3", port), result) << proto << " " << port;
  }
  std::string text = "unchanged";
  const std::string name = "127.0.0.1:1";
  EXPECT_EQ(group.GetStatusOf(name), -2);
  EXPECT_EQ(group.DeleteFromGroup(name), -2);
  EXPECT_EQ(group.Rehash(name), -2);
  EXPECT_EQ(group.SetParamsOf(name, "a=1"), -2);
  EXPECT_EQ(group.GetParamsOf(name, text), -2);
  EXPECT_EQ(group.GetStatOf(name, text), -2);
  EXPECT_EQ(text, "unchanged");
}

TEST_F(ControllerGroup, ExtractReadsTypedValuesAndLeavesThemWhenAbsentOrUnreadable) {
  LogCapture log(1u << 10, "%c|%m");
  using G = AudioOutputControllerGroup;
  const char* text = R"(Type="Audio", channels=2, gain=1.5, on=true, mode="on")";
  EXPECT_EQ(extract(&G::ExtractBoolean, "on", text, false), "0 true");
  EXPECT_EQ(extract(&G::ExtractBoolean, "mode", text, false), "0 true");  // the string "on"
  EXPECT_EQ(extract(&G::ExtractInteger, "channels", text, 0), "0 2");
  EXPECT_EQ(extract(&G::ExtractNumber, "gain", text, 0.0), "0 1.5");
  EXPECT_EQ(extract(&G::ExtractNumber, "channels", text, 0.0), "0 2");
  EXPECT_EQ(extract(&G::ExtractString, "Type", text, std::string()), "0 \"Audio\"");
  EXPECT_EQ(extract(&G::ExtractString, "gain", text, std::string()), "0 \"1.5\"");
  EXPECT_EQ(extract(&G::ExtractInteger, "missing", "a=1", 42), "-1 42");
  EXPECT_EQ(extract(&G::ExtractString, "anything", "", std::string("kept")), "-1 \"kept\"");
  EXPECT_TRUE(log.records().empty());
  // A text the parser refuses, and a value that does not convert.
  EXPECT_EQ(extract(&G::ExtractInteger, "a", "a=yes", 42), "-1 42");
  EXPECT_EQ(extract(&G::ExtractInteger, "a", R"(a="abc")", 42), "-1 42");
  EXPECT_EQ(log.count("Exception CATCH|ProtocolError: cannot determine parameter type 'a'"), 1u);
  EXPECT_EQ(log.count("Exception CATCH|TypeMismatch for parameter 'a' : wanted '3', actual '5'"),
            1u);
}

TEST_F(ControllerGroup, EverythingRefusedUntilTheLinkIsUp) {
  Ctl idle(nullptr, 1, "127.0.0.1", kTimeoutMs, false);
  EXPECT_EQ(idle.getName(), "Base Controller");
  std::string text = "unchanged";
  EXPECT_EQ(idle.getStat(text), -1);  // no client
  idle.flush();                       // nothing queued, no client: returns
  test::FullListener full;            // its accept queue is full: connecting never ends
  ASSERT_TRUE(full.full());
  group.setTimeOut(5000);
  const std::string name = add(full.port(), false).second;
  EXPECT_EQ(group.GetStatusOf(name), 1);
  EXPECT_EQ(group.GetParamsOf(name, text), -1);
  EXPECT_EQ(group.GetStatOf(name, text), -1);
  EXPECT_EQ(group.SetParamsOf(name, "a=1"), -1);
  EXPECT_EQ(text, "unchanged");
  for (Ctl* controller : {&idle, group.find(name)}) {
    for (const auto& [line, send] : kCommands) {
      EXPECT_EQ(send(*controller), -1) << line;
    }
    EXPECT_EQ(controller->pendingCommands(), 0u);
  }
}

TEST_F(ControllerGroup, MembersByNameAndCommandsToEveryOne) {
  TestAAM a;
  TestAAM b;
  const std::string nameA = add(a);
  const std::string nameB = add(b);
  EXPECT_THAT(group.names(), UnorderedElementsAre(nameA, nameB));
  EXPECT_EQ(group.GetStatusOf(nameA), 2);
  EXPECT_EQ(group.find(nameA)->getName(), nameA);
  // Same server and port again: the newer controller replaces the older,
  // whose connection goes with it.
  AudioOutputController* older = group.find(nameA);
  ASSERT_TRUE(eventually([&] { return a.connectionCount() == 1; }));
  add(a);
  EXPECT_EQ(group.names().size(), 2u);
  EXPECT_NE(group.find(nameA), older);
  EXPECT_TRUE(eventually([&] { return a.connectionCount() == 1; }));
  // A blocking connect that fails leaves the group as it was.
  EXPECT_EQ(add(test::closedPort()).first, -1);
  EXPECT_THAT(group.names(), UnorderedElementsAre(nameA, nameB));

  EXPECT_EQ(group.SetNetSource("ipm", "239.1.2.3", 5004), 0);
  EXPECT_EQ(group.SetHardSource(3, "pci2_mic_in"), 0);
  group.SetFileSource("/srv/audio/alarm.mp3");
  group.SetParams("volume=80");
  group.ResetSource();
  EXPECT_EQ(group.SetNetSource("tcp", "127.0.0.5", 5004), -1);  // sends nothing
  group.FlushGroup();
  for (const TestAAM* aam : {&a, &b}) {
    EXPECT_EQ(aam->requests(), (Lines{R"(setNetSource(proto="ipm",host="239.1.2.3",port=5004))",
                                      R"(setHardSource(cardNumber=3,connector="pci2_mic_in"))",
                                      R"(setFileSource(fileSource="/srv/audio/alarm.mp3"))",
                                      "setParams(volume=80)", "resetSource()"}));
  }

  std::string params;
  std::string stat;
  EXPECT_EQ(group.SetParamsOf(nameB, "gain=3"), 0);
  EXPECT_EQ(group.GetParamsOf(nameB, params), 0);
  EXPECT_EQ(group.GetStatOf(nameB, stat), 0);
  EXPECT_EQ(params, R"(ServerMode="LIVE", Type="Audio", gain=3, volume=80)");
  EXPECT_EQ(stat, "playing=true, requests=8");
  EXPECT_EQ(b.requests().back(), "getStat(nop=0)");
  EXPECT_EQ(b.requests("getParams"), Lines{"getParams(nop=0)"});
  // A failure of the remote side answers -1; the host never sees an error.
  b.setFailing(true);
  EXPECT_EQ(group.SetParamsOf(nameB, "gain=4"), -1);
  EXPECT_EQ(group.GetParamsOf(nameB, params), -1);
  EXPECT_EQ(group.GetStatOf(nameB, stat), -1);

  EXPECT_EQ(group.DeleteFromGroup(nameA), 0);
  EXPECT_EQ(group.names(), Lines{nameB});
  EXPECT_EQ(group.DeleteFromGroup(nameA), -2);
  group.ResetGroup();
  EXPECT_TRUE(group.names().empty());
  EXPECT_TRUE(eventually([&] { return a.connectionCount() + b.connectionCount() == 0; }));
}

TEST_F(ControllerGroup, NonBlockingAddToANobodyPortStaysAndReportsTheError) {
  const auto [result, name] = add(test::closedPort(), false);
  EXPECT_EQ(result, 0);
  ASSERT_TRUE(target.waitFor("down " + name + ": "));
  EXPECT_EQ(group.GetStatusOf(name), 0);
  EXPECT_EQ(target.count("down " + name +
                         ": system call error at function 'WSAConnect' : No connection could be "
                         "made because the target machine actively refused it"),
            1u);
}

TEST_F(ControllerGroup, OneLinkDownWhenAnAamGoesAndUpAgainAfterARehash) {
  TestAAM a;
  TestAAM b;
  const std::string nameA = add(a, false);
  const std::string nameB = add(b);
  ASSERT_TRUE(target.waitFor("up " + nameA));
  // Reconnects every controller without blocking.
  group.RehashGroup();
  for (const std::string& name : {nameA, nameB}) {
    EXPECT_FALSE(group.find(name)->getConnectAtOnce());
    EXPECT_TRUE(target.waitFor("up " + name, name == nameA ? 2 : 1));
  }
  a.stop();
  // Found by the client's PING within about two of its periods.
  ASSERT_TRUE(target.waitFor("down " + nameA + ": ", 1, 20000));
  EXPECT_EQ(group.GetStatusOf(nameA), 0);
  // The client does not retry by itself: no second event comes.
  sleep_for(milliseconds(1500));
  EXPECT_EQ(target.count("down "), 1u);
  EXPECT_EQ(target.count("down " + nameA + ": Connection Lost"), 1u);
  a.restart();
  EXPECT_EQ(group.Rehash(nameA), 0);
  ASSERT_TRUE(target.waitFor("up " + nameA, 3));
  EXPECT_EQ(group.GetStatusOf(nameA), 2);
}

TEST_F(ControllerGroup, NoDescriptorLeftFailsTheOperationNotTheHost) {
  LogCapture log(1u << kLevelException, "%c|%m");
  TestAAM aam;
  const std::string name = "127.0.0.1:" + std::to_string(aam.port());
  {
    test::DescriptorLimit limit(test::limitLeaving(0));
    ASSERT_TRUE(limit.ok());
    EXPECT_EQ(add(aam.port(), true).first, -1);
    EXPECT_EQ(group.GetStatusOf(name), -2);
    EXPECT_EQ(add(aam.port(), false).first, 0);
    ASSERT_TRUE(target.waitFor("down " + name + ": "));
  }
  EXPECT_EQ(target.count("down " + name +
                         ": system call error at function 'socket' : Too many open sockets"),
            1u);
  EXPECT_TRUE(log.contains("Exception CATCH|system call error at function 'socket'"));
  // Descriptors back: the same controller connects when told to.
  EXPECT_EQ(group.Rehash(name), 0);
  EXPECT_TRUE(target.waitFor("up " + name));
}

}  // namespace
}  // namespace zq
