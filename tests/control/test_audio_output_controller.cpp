// Audio output controllers and their group against test AAMs on loopback.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <thread>

#include "control/audio_output_controller_group.h"
#include "helpers/aam/test_aam.h"
#include "helpers/descriptors.h"
#include "helpers/log_capture.h"
#include "rpc/rpc_client_test_support.h"

namespace zq::test {
namespace {

using Ctl = AudioOutputController;
using Group = AudioOutputControllerGroup;
using Lines = std::vector<std::string>;
using namespace std::literals;
using std::this_thread::sleep_for;

// Generous: a command that times out at a stalled AAM drops the link.
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

std::string fileLine(const std::string& file) {
  return "setFileSource(fileSource=\"" + file + "\")";
}

// A controller connected at once to `aam`; with `held`, its first command,
// setFileSource(held), is waiting at the stalled AAM.
std::unique_ptr<Ctl> connected(TestAAM& aam, const std::string& held = "",
                               JTraceMask* mask = nullptr) {
  auto controller = std::make_unique<Ctl>(nullptr, aam.port(), "127.0.0.1", kTimeoutMs, true, mask);
  EXPECT_EQ(controller->connect(), 0);
  EXPECT_EQ(controller->getState(), Ctl::kConnected);
  if (!held.empty()) {
    aam.stall();
    EXPECT_EQ(controller->setFileSource(held), 0);
    EXPECT_TRUE(eventually([&] { return aam.stalledCount() == 1; }));
  }
  return controller;
}

// Flush sends the queued commands in order, deletion drops them, each waiting for the one on the
// wire (its answer read before the link is shut down); disconnection drops them at once.
TEST(AudioOutputController, FlushDeleteAndDisconnectWithCommandsQueued) {
  const struct {
    const char* name;
    std::function<void(std::unique_ptr<Ctl>&)> act;
    bool waits;
  } kCases[] = {{"flush", [](auto& c) { c->flush(); }, true},
                {"delete", [](auto& c) { c.reset(); }, true},
                {"disconnect", [](auto& c) { c->disconnect(); }, false}};
  for (const auto& [name, act, waits] : kCases) {
    SCOPED_TRACE(name);
    // On the heap: the thread checker, which cannot see a std::mutex go, would
    // otherwise take a test AAM's mutex of an earlier test at this address for
    // the capture's, and report a lock cycle that is not there.
    auto log = std::make_unique<LogCapture>(1u << kLevelTrace, "%m");
    JTraceMask wireAndLink{JRPCClient::kTraceWire | JRPCClient::kTraceConnection};
    TestAAM aam;
    auto controller = connected(aam, "held", &wireAndLink);
    Lines sent{fileLine("held")};
    for (const auto& [line, send] : kCommands) {
      ASSERT_EQ(send(*controller), 0);
      sent.push_back(line);
    }
    std::atomic<bool> done{false};
    std::thread actor([&] {
      act(controller);
      done = true;
    });
    sleep_for(300ms);
    EXPECT_FALSE(waits && done) << "returned before the AAM answered";
    // What does not wait is over before the AAM answers, however slow its thread was to start.
    EXPECT_TRUE(waits || eventually([&] { return done.load(); }));
    aam.release();
    returnsWithin(20000, "the controller's call to return", [&] { actor.join(); });
    if (controller) {
      controller->flush();
      EXPECT_EQ(controller->getState(), waits ? Ctl::kConnected : Ctl::kDisconnected);
    }
    sleep_for(200ms);
    sent.resize(name == "flush"sv ? sent.size() : 1);
    EXPECT_EQ(aam.requests(), sent);
    if (waits) {
      const auto records = log->records();
      const auto at = [&](std::string_view text, auto from) {
        return std::find_if(from, records.end(),
                            [&](const auto& r) { return r.text.find(text) != std::string::npos; });
      };
      const auto answer = at("<-- ", at("--> setFileSource(fileSource=\"held\")", records.begin()));
      EXPECT_LT(answer, at("Shutting down.", records.begin())) << "the link went first";
    }
    returnsWithin(20000, "the controller to stop its queue", [&] { controller.reset(); });
  }
}

TEST(AudioOutputController, DeletionWaitsForALinkEventThatReadsTheName) {
  // Reads the name as the group's listener does, while the controller goes.
  struct NameReader : JRPCNotifyWithContext<> {
    void linkUp(JRPCControllerInterface* context) override {
      entered = true;
      sleep_for(300ms);
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
  auto controller = connected(aam, "0");
  Lines expected{fileLine("0")};
  for (int i = 1; i <= Ctl::kCommandCapacity; ++i) {
    ASSERT_EQ(controller->setFileSource(std::to_string(i)), 0);
    expected.push_back(fileLine(std::to_string(i)));
  }
  expected.push_back(fileLine("last"));
  std::atomic<bool> posted{false};
  std::thread caller([&] {
    controller->setFileSource("last");
    posted = true;
  });
  ASSERT_TRUE(log.waitFor("in AudioOutputController. Retrying..."));
  EXPECT_FALSE(posted);
  aam.release();
  caller.join();
  controller->flush();
  EXPECT_EQ(aam.requests(), expected);
}

// Records "up <name>" and "down <name>: <error>" for each link event.
struct Target : Group::NotifyTarget {
  void linkUp(const std::string& name) override { add("up " + name); }
  void linkDown(const std::string& name, JError* error) override {
    add("down " + name + ": " + (error ? error->message() : "(none)"));
  }
  void add(std::string event) {
    std::lock_guard lock(mutex);
    events.push_back(std::move(event));
  }
  size_t count(const std::string& prefix) {
    std::lock_guard lock(mutex);
    return std::ranges::count_if(events, [&](const auto& e) { return e.starts_with(prefix); });
  }
  bool waitFor(const std::string& prefix, size_t n = 1, int limitMs = 10000) {
    return eventually([&] { return count(prefix) >= n; }, limitMs);
  }
  std::mutex mutex;
  Lines events;
};

class ControllerGroup : public ::testing::Test {
 protected:
  // Adds a controller for 127.0.0.1:`port`, expecting `result`; its name.
  std::string add(uint16_t port, bool blocking = true, int32_t result = 0) {
    group.setServer("127.0.0.1");
    group.setPort(port);
    group.setBlocking(blocking);
    EXPECT_EQ(group.AddToGroupAndConnect(), result);
    return "127.0.0.1:" + std::to_string(port);
  }

  Target target;
  Group group{&target};
};

TEST_F(ControllerGroup, ArgumentChecksAndUnknownNames) {
  // The five connectors are numbered in this order; nothing else is one.
  const std::string_view kConnectors[] = {"wavein_line_in", "wavein_mic_in", "pci2_line_in",
                                          "pci2_mic_in",    "pci2_spdif_in", "WAVEIN_MIC_IN"};
  for (int32_t i = 0; i < 6; ++i)
    EXPECT_EQ(connectorNumber(kConnectors[i]), i < 5 ? i : -1) << kConnectors[i];
  // The card first (-1), then the connector (-2).
  const std::tuple<int32_t, const char*, int32_t> kHard[] = {{0, "pci2_line_in", -1},
                                                             {29, "pci2_line_in", -1},
                                                             {1, "line_in", -2},
                                                             {28, "wavein_mic_in", 0}};
  for (const auto& [card, connector, result] : kHard)
    EXPECT_EQ(group.SetHardSource(card, connector), result) << card << " " << connector;
  // The port first (-2), then the protocol (-1).
  const std::tuple<const char*, int32_t, int32_t> kNet[] = {
      {"udp", 65536, -2}, {"tcp", 0, -2}, {"tcp", 5000, -1}, {"ipm", 65535, 0}, {"svc", 1, 0}};
  for (const auto& [proto, port, result] : kNet)
    EXPECT_EQ(group.SetNetSource(proto, "239.1.2.3", port), result) << proto << " " << port;
  std::string text = "unchanged";
  const std::string name = "127.0.0.1:1";
  EXPECT_EQ((std::vector{group.GetStatusOf(name), group.DeleteFromGroup(name), group.Rehash(name),
                         group.SetParamsOf(name, "a=1"), group.GetParamsOf(name, text),
                         group.GetStatOf(name, text)}),
            std::vector(6, -2));
  EXPECT_EQ(text, "unchanged");
}

TEST_F(ControllerGroup, ExtractReadsTypedValuesAndLeavesThemWhenAbsentOrUnreadable) {
  LogCapture log(1u << 10, "%c|%m");
  // "<result> <value>" of an extraction into a value that starts as `value`.
  auto extract = [&](auto how, std::string_view parameter, std::string_view text, auto value) {
    const int32_t result = (group.*how)(parameter, text, value);
    return std::to_string(result) + " " + ::testing::PrintToString(value);
  };
  const char* text = R"(Type="Audio", channels=2, gain=1.5, on=true, mode="on")";
  EXPECT_EQ(extract(&Group::ExtractBoolean, "on", text, false), "0 true");
  EXPECT_EQ(extract(&Group::ExtractInteger, "channels", text, 0), "0 2");
  EXPECT_EQ(extract(&Group::ExtractNumber, "gain", text, 0.0), "0 1.5");
  EXPECT_EQ(extract(&Group::ExtractString, "Type", text, ""s), "0 \"Audio\"");
  EXPECT_EQ(extract(&Group::ExtractInteger, "missing", "a=1", 42), "-1 42");
  // A text the parser refuses, and a value that does not convert.
  EXPECT_EQ(extract(&Group::ExtractInteger, "a", "a=yes", 42), "-1 42");
  EXPECT_EQ(extract(&Group::ExtractInteger, "a", R"(a="abc")", 42), "-1 42");
}

TEST_F(ControllerGroup, EverythingRefusedUntilTheLinkIsUp) {
  Ctl idle(nullptr, 1, "127.0.0.1", kTimeoutMs, false);
  EXPECT_EQ(idle.getName(), "Base Controller");
  std::string text = "unchanged";
  EXPECT_EQ(idle.getStat(text), -1);  // no client
  idle.flush();                       // nothing queued, no client: returns
  FullListener full;                  // its accept queue is full: connecting never ends
  ASSERT_TRUE(full.full());
  group.setTimeOut(5000);
  const std::string name = add(full.port(), false);
  EXPECT_EQ((std::vector{group.GetStatusOf(name), group.GetParamsOf(name, text),
                         group.GetStatOf(name, text), group.SetParamsOf(name, "a=1")}),
            (std::vector{1, -1, -1, -1}));
  EXPECT_EQ(text, "unchanged");
  for (Ctl* controller : {&idle, group.find(name)}) {
    for (const auto& [line, send] : kCommands)
      EXPECT_EQ(send(*controller), -1) << line;
    EXPECT_EQ(controller->pendingCommands(), 0u);
  }
}

// Members by name, commands to every one, and their link events: one link down when an AAM goes,
// up again after a rehash; a non-blocking member that cannot connect stays and says why.
TEST_F(ControllerGroup, MembersCommandsAndLinkEvents) {
  TestAAM a, b;
  const std::string nameA = add(a.port(), false);
  const std::string nameB = add(b.port());
  ASSERT_TRUE(target.waitFor("up " + nameA));
  EXPECT_EQ(group.GetStatusOf(nameA), 2);
  EXPECT_EQ(group.find(nameA)->getName(), nameA);
  // Same server and port again: the newer controller replaces the older and its connection.
  Ctl* older = group.find(nameA);
  ASSERT_TRUE(eventually([&] { return a.connectionCount() == 1; }));
  add(a.port());
  EXPECT_NE(group.find(nameA), older);
  EXPECT_TRUE(eventually([&] { return a.connectionCount() == 1; }));

  EXPECT_EQ(group.SetNetSource("ipm", "239.1.2.3", 5004), 0);
  EXPECT_EQ(group.SetHardSource(3, "pci2_mic_in"), 0);
  group.SetFileSource("/srv/audio/alarm.mp3");
  group.SetParams("volume=80");
  group.ResetSource();
  EXPECT_EQ(group.SetNetSource("tcp", "127.0.0.5", 5004), -1);  // sends nothing
  group.FlushGroup();
  for (const TestAAM* aam : {&a, &b}) {
    EXPECT_EQ(aam->requests(),
              (Lines{R"(setNetSource(proto="ipm",host="239.1.2.3",port=5004))",
                     R"(setHardSource(cardNumber=3,connector="pci2_mic_in"))",
                     fileLine("/srv/audio/alarm.mp3"), "setParams(volume=80)", "resetSource()"}));
  }

  std::string params, stat;
  auto setAndGet = [&](const char* set) {
    return std::vector{group.SetParamsOf(nameB, set), group.GetParamsOf(nameB, params),
                       group.GetStatOf(nameB, stat)};
  };
  EXPECT_EQ(setAndGet("gain=3"), std::vector(3, 0));
  EXPECT_EQ(params, R"(ServerMode="LIVE", Type="Audio", gain=3, volume=80)");
  EXPECT_EQ(stat, "playing=true, requests=8");
  EXPECT_EQ(b.requests().back(), "getStat(nop=0)");
  EXPECT_EQ(b.requests("getParams"), Lines{"getParams(nop=0)"});

  // Reconnects every controller without blocking.
  const size_t upsA = target.count("up " + nameA), upsB = target.count("up " + nameB);
  group.RehashGroup();
  for (const auto& [name, ups] : {std::pair{nameA, upsA}, std::pair{nameB, upsB}}) {
    EXPECT_FALSE(group.find(name)->getConnectAtOnce());
    EXPECT_TRUE(target.waitFor("up " + name, ups + 1));
  }
  const std::string lost = "down " + nameA + ": Connection Lost";
  const size_t downsA = target.count("down " + nameA + ": "), lostA = target.count(lost);
  a.stop();
  // Found by the client's PING within about two of its periods.
  ASSERT_TRUE(target.waitFor("down " + nameA + ": ", downsA + 1, 20000));
  EXPECT_EQ(group.GetStatusOf(nameA), 0);
  EXPECT_EQ(target.count(lost), lostA + 1);
  a.restart();
  EXPECT_EQ(group.Rehash(nameA), 0);
  ASSERT_TRUE(target.waitFor("up " + nameA, upsA + 2));
  EXPECT_EQ(group.GetStatusOf(nameA), 2);

  EXPECT_EQ(group.DeleteFromGroup(nameA), 0);
  EXPECT_EQ(group.names(), Lines{nameB});
  RefusingPort refusing;
  const std::string nameC = add(refusing.port(), false);
  ASSERT_TRUE(target.waitFor("down " + nameC + ": "));
  EXPECT_EQ(group.GetStatusOf(nameC), 0);
  EXPECT_EQ(target.count("down " + nameC + ": " + kRefused), 1u);
  group.ResetGroup();
  EXPECT_TRUE(group.names().empty());
  EXPECT_TRUE(eventually([&] { return a.connectionCount() + b.connectionCount() == 0; }));
}

TEST_F(ControllerGroup, NoDescriptorLeftFailsTheOperationNotTheHost) {
  LogCapture log(1u << kLevelException, "%c|%m");
  TestAAM aam;
  const std::string name = "127.0.0.1:" + std::to_string(aam.port());
  {
    DescriptorLimit limit(limitLeaving(0));
    ASSERT_TRUE(limit.ok());
    add(aam.port(), true, -1);
    EXPECT_EQ(group.GetStatusOf(name), -2);
    add(aam.port(), false);
    ASSERT_TRUE(target.waitFor("down " + name + ": system call error at function 'socket'"));
  }
  EXPECT_EQ(target.count("down " + name + ": "), 1u) << "said once";
  // Descriptors back: the same controller connects when told to.
  EXPECT_EQ(group.Rehash(name), 0);
  EXPECT_TRUE(target.waitFor("up " + name));
}

}  // namespace
}  // namespace zq::test
