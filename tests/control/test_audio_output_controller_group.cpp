// The group of audio output controllers against test AAMs on loopback:
// defaults, argument checks, per-name operations, commands to every
// controller, replacement by name, and link events with controller names.
#include <gtest/gtest.h>

#include <memory>

#include "control/audio_output_controller_group.h"
#include "control_test_support.h"
#include "helpers/aam/test_aam.h"
#include "helpers/descriptors.h"
#include "helpers/log_capture.h"
#include "net/socket_layer.h"

namespace zq {
namespace {

using test::closedPort;
using test::eventually;
using test::LogCapture;
using test::TestAAM;
using Target = test::RecordingListener<const std::string&>;

std::string nameOf(const TestAAM& aam) {
  return "127.0.0.1:" + std::to_string(aam.port());
}

// Adds a controller for `aam` to `group`, connected at once.
void addConnected(AudioOutputControllerGroup& group, const TestAAM& aam) {
  group.setServer("127.0.0.1");
  group.setPort(aam.port());
  group.setBlocking(true);
  ASSERT_EQ(group.AddToGroupAndConnect(), 0);
}

TEST(ControllerGroupSettings, DefaultsAndProperties) {
  AudioOutputControllerGroup group(nullptr);
  EXPECT_EQ(group.getServer(), "localhost");
  EXPECT_EQ(group.getPort(), 10001);
  EXPECT_EQ(group.getTimeOut(), 2000);
  EXPECT_FALSE(group.getBlocking());
  group.setServer("127.0.0.9");
  group.setPort(4000);
  group.setTimeOut(500);
  group.setBlocking(true);
  EXPECT_EQ(group.getServer(), "127.0.0.9");
  EXPECT_EQ(group.getPort(), 4000);
  EXPECT_EQ(group.getTimeOut(), 500);
  EXPECT_TRUE(group.getBlocking());
}

TEST(ControllerGroupSettings, HoldsTheSocketLayerForItsLife) {
  const int before = JSocketLayer::users();
  {
    AudioOutputControllerGroup group(nullptr);
    EXPECT_EQ(JSocketLayer::users(), before + 1);
  }
  EXPECT_EQ(JSocketLayer::users(), before);
}

TEST(ControllerGroupArguments, ConnectorNames) {
  EXPECT_EQ(connectorNumber("wavein_line_in"), 0);
  EXPECT_EQ(connectorNumber("wavein_mic_in"), 1);
  EXPECT_EQ(connectorNumber("pci2_line_in"), 2);
  EXPECT_EQ(connectorNumber("pci2_mic_in"), 3);
  EXPECT_EQ(connectorNumber("pci2_spdif_in"), 4);
  EXPECT_EQ(connectorNumber("line_in"), -1);
  EXPECT_EQ(connectorNumber("WAVEIN_MIC_IN"), -1);
  EXPECT_EQ(connectorNumber(std::string_view("wavein_mic_in\0", 14)), -1);
  EXPECT_EQ(connectorNumber(""), -1);
}

TEST(ControllerGroupArguments, SetHardSourceChecksTheCardThenTheConnector) {
  AudioOutputControllerGroup group(nullptr);
  EXPECT_EQ(group.SetHardSource(0, "pci2_line_in"), -1);
  EXPECT_EQ(group.SetHardSource(29, "pci2_line_in"), -1);
  EXPECT_EQ(group.SetHardSource(0, "line_in"), -1);
  EXPECT_EQ(group.SetHardSource(1, "line_in"), -2);
  EXPECT_EQ(group.SetHardSource(28, "wavein_mic_in"), 0);
  EXPECT_EQ(group.SetHardSource(5, "pci2_spdif_in"), 0);
}

TEST(ControllerGroupArguments, SetNetSourceChecksThePortFirst) {
  AudioOutputControllerGroup group(nullptr);
  EXPECT_EQ(group.SetNetSource("udp", "127.0.0.5", 0), -2);
  EXPECT_EQ(group.SetNetSource("udp", "127.0.0.5", 65536), -2);
  EXPECT_EQ(group.SetNetSource("tcp", "127.0.0.5", 0), -2);
  EXPECT_EQ(group.SetNetSource("tcp", "127.0.0.5", 5000), -1);
  EXPECT_EQ(group.SetNetSource("UDP", "127.0.0.5", 5000), -1);
  EXPECT_EQ(group.SetNetSource("ipm", "239.1.2.3", 65535), 0);
  EXPECT_EQ(group.SetNetSource("svc", "x", 1), 0);
}

TEST(ControllerGroupArguments, UnknownNamesAnswerMinusTwo) {
  AudioOutputControllerGroup group(nullptr);
  std::string text = "unchanged";
  EXPECT_EQ(group.GetStatusOf("127.0.0.1:1"), -2);
  EXPECT_EQ(group.DeleteFromGroup("127.0.0.1:1"), -2);
  EXPECT_EQ(group.Rehash("127.0.0.1:1"), -2);
  EXPECT_EQ(group.SetParamsOf("127.0.0.1:1", "a=1"), -2);
  EXPECT_EQ(group.GetParamsOf("127.0.0.1:1", text), -2);
  EXPECT_EQ(group.GetStatOf("127.0.0.1:1", text), -2);
  EXPECT_EQ(text, "unchanged");
}

TEST(ControllerGroupExtract, ReadsTypedValuesFromAParameterText) {
  AudioOutputControllerGroup group(nullptr);
  const std::string text = R"(Type="Audio", channels=2, gain=1.5, on=true, mode="on")";
  bool b = false;
  int32_t i = 0;
  double d = 0;
  std::string s;
  EXPECT_EQ(group.ExtractBoolean("on", text, b), 0);
  EXPECT_TRUE(b);
  EXPECT_EQ(group.ExtractBoolean("mode", text, b = false), 0);  // the string "on" is true
  EXPECT_TRUE(b);
  EXPECT_EQ(group.ExtractInteger("channels", text, i), 0);
  EXPECT_EQ(i, 2);
  EXPECT_EQ(group.ExtractNumber("gain", text, d), 0);
  EXPECT_DOUBLE_EQ(d, 1.5);
  EXPECT_EQ(group.ExtractNumber("channels", text, d), 0);
  EXPECT_DOUBLE_EQ(d, 2.0);
  EXPECT_EQ(group.ExtractString("Type", text, s), 0);
  EXPECT_EQ(s, "Audio");
  EXPECT_EQ(group.ExtractString("gain", text, s), 0);
  EXPECT_EQ(s, "1.5");
}

TEST(ControllerGroupExtract, AbsentOrUnreadableLeavesTheValue) {
  LogCapture log(1u << 10, "%c|%m");
  AudioOutputControllerGroup group(nullptr);
  int32_t i = 42;
  std::string s = "kept";
  EXPECT_EQ(group.ExtractInteger("missing", "a=1", i), -1);
  EXPECT_EQ(group.ExtractString("anything", "", s), -1);
  EXPECT_EQ(i, 42);
  EXPECT_EQ(s, "kept");
  EXPECT_TRUE(log.records().empty());
  // A text the parser refuses, and a value that does not convert.
  EXPECT_EQ(group.ExtractInteger("a", "a=yes", i), -1);
  EXPECT_EQ(group.ExtractInteger("a", R"(a="abc")", i), -1);
  EXPECT_EQ(i, 42);
  EXPECT_EQ(log.count("Exception CATCH|ProtocolError: cannot determine parameter type 'a'"), 1u);
  EXPECT_EQ(log.count("Exception CATCH|TypeMismatch for parameter 'a' : wanted '3', actual '5'"),
            1u);
}

TEST(ControllerGroupMembers, AddingConnectsAndNamesByServerAndPort) {
  TestAAM aam;
  AudioOutputControllerGroup group(nullptr);
  addConnected(group, aam);
  EXPECT_EQ(group.names(), std::vector<std::string>{nameOf(aam)});
  EXPECT_EQ(group.GetStatusOf(nameOf(aam)), 2);
  EXPECT_EQ(group.find(nameOf(aam))->getName(), nameOf(aam));
}

TEST(ControllerGroupMembers, SameServerAndPortTwiceLeavesTheNewerController) {
  TestAAM aam;
  AudioOutputControllerGroup group(nullptr);
  addConnected(group, aam);
  AudioOutputController* older = group.find(nameOf(aam));
  ASSERT_TRUE(eventually([&] { return aam.connectionCount() == 1; }));
  addConnected(group, aam);
  EXPECT_EQ(group.names().size(), 1u);
  EXPECT_NE(group.find(nameOf(aam)), older);
  // The older controller's connection went with it.
  EXPECT_TRUE(eventually([&] { return aam.connectionCount() == 1; }));
}

TEST(ControllerGroupMembers, BlockingConnectToANobodyPortFailsAndLeavesTheGroup) {
  TestAAM aam;
  AudioOutputControllerGroup group(nullptr);
  addConnected(group, aam);
  group.setPort(closedPort());
  group.setBlocking(true);
  EXPECT_EQ(group.AddToGroupAndConnect(), -1);
  EXPECT_EQ(group.names(), std::vector<std::string>{nameOf(aam)});
}

TEST(ControllerGroupMembers, NonBlockingAddToANobodyPortStaysAndReportsLinkDown) {
  Target target;
  AudioOutputControllerGroup group(&target);
  const uint16_t port = closedPort();
  group.setServer("127.0.0.1");
  group.setPort(port);
  EXPECT_EQ(group.AddToGroupAndConnect(), 0);
  const std::string name = "127.0.0.1:" + std::to_string(port);
  ASSERT_TRUE(target.waitFor("down " + name + ": ", 1));
  EXPECT_EQ(group.GetStatusOf(name), 0);
  EXPECT_EQ(target.count("down " + name +
                         ": system call error at function 'WSAConnect' : "
                         "No connection could be made because the target machine actively "
                         "refused it"),
            1u);
}

TEST(ControllerGroupMembers, DeleteAndReset) {
  TestAAM a;
  TestAAM b;
  AudioOutputControllerGroup group(nullptr);
  addConnected(group, a);
  addConnected(group, b);
  ASSERT_EQ(group.names().size(), 2u);
  EXPECT_EQ(group.DeleteFromGroup(nameOf(a)), 0);
  EXPECT_EQ(group.names(), std::vector<std::string>{nameOf(b)});
  EXPECT_EQ(group.DeleteFromGroup(nameOf(a)), -2);
  group.ResetGroup();
  EXPECT_TRUE(group.names().empty());
  EXPECT_TRUE(eventually([&] { return a.connectionCount() + b.connectionCount() == 0; }));
}

TEST(ControllerGroupCommands, EveryControllerGetsEveryCommandInOrder) {
  std::vector<std::unique_ptr<TestAAM>> aams;
  AudioOutputControllerGroup group(nullptr);
  for (int i = 0; i < 3; ++i) {
    aams.push_back(std::make_unique<TestAAM>());
    addConnected(group, *aams.back());
  }
  EXPECT_EQ(group.SetNetSource("ipm", "239.1.2.3", 5004), 0);
  EXPECT_EQ(group.SetHardSource(3, "pci2_mic_in"), 0);
  group.SetFileSource("/srv/audio/alarm.mp3");
  group.SetParams("volume=80");
  group.ResetSource();
  // Refused arguments send nothing.
  EXPECT_EQ(group.SetNetSource("tcp", "127.0.0.5", 5004), -1);
  group.FlushGroup();
  for (const auto& aam : aams) {
    EXPECT_EQ(aam->requests(), (std::vector<std::string>{
                                   R"(setNetSource(proto="ipm",host="239.1.2.3",port=5004))",
                                   R"(setHardSource(cardNumber=3,connector="pci2_mic_in"))",
                                   R"(setFileSource(fileSource="/srv/audio/alarm.mp3"))",
                                   "setParams(volume=80)",
                                   "resetSource()",
                               }));
  }
}

TEST(ControllerGroupCommands, PerNameReadsAndWrites) {
  TestAAM aam;
  AudioOutputControllerGroup group(nullptr);
  addConnected(group, aam);
  const std::string name = nameOf(aam);
  EXPECT_EQ(group.SetParamsOf(name, "gain=3"), 0);
  std::string params;
  EXPECT_EQ(group.GetParamsOf(name, params), 0);
  EXPECT_EQ(params, R"(ServerMode="LIVE", Type="Audio", gain=3)");
  std::string stat;
  EXPECT_EQ(group.GetStatOf(name, stat), 0);
  int32_t requests = 0;
  EXPECT_EQ(group.ExtractInteger("requests", stat, requests), 0);
  EXPECT_EQ(requests, 3);
  EXPECT_EQ(aam.requests(),
            (std::vector<std::string>{"setParams(gain=3)", "getParams(nop=0)", "getStat(nop=0)"}));
  // A failure of the remote side answers -1 and the host never sees an error.
  aam.setFailing(true);
  EXPECT_EQ(group.SetParamsOf(name, "gain=4"), -1);
  EXPECT_EQ(group.GetParamsOf(name, params), -1);
  EXPECT_EQ(group.GetStatOf(name, stat), -1);
}

TEST(ControllerGroupCommands, ReadsOfAControllerStillConnectingAnswerMinusOne) {
  // A listener whose accept queue is full keeps the controller connecting.
  test::FullListener full;
  ASSERT_TRUE(full.full());
  AudioOutputControllerGroup group(nullptr);
  group.setServer("127.0.0.1");
  group.setPort(full.port());
  group.setTimeOut(5000);
  ASSERT_EQ(group.AddToGroupAndConnect(), 0);
  const std::string name = group.names().front();
  EXPECT_EQ(group.GetStatusOf(name), 1);
  std::string text = "unchanged";
  EXPECT_EQ(group.GetParamsOf(name, text), -1);
  EXPECT_EQ(group.GetStatOf(name, text), -1);
  EXPECT_EQ(group.SetParamsOf(name, "a=1"), -1);
  EXPECT_EQ(text, "unchanged");
}

TEST(ControllerGroupLinks, RehashGroupClearsBlockingAndReconnectsEveryController) {
  TestAAM a;
  TestAAM b;
  Target target;
  AudioOutputControllerGroup group(&target);
  addConnected(group, a);
  addConnected(group, b);
  group.RehashGroup();
  for (const std::string& name : group.names()) {
    EXPECT_FALSE(group.find(name)->getConnectAtOnce());
    EXPECT_TRUE(target.waitFor("up " + name, 1));
  }
  EXPECT_EQ(group.GetStatusOf(nameOf(a)), 2);
}

TEST(ControllerGroupLinks, ExactlyOneLinkDownWhenTheAamGoesAndUpAgainAfterRehash) {
  auto aam = std::make_unique<TestAAM>();
  Target target;
  AudioOutputControllerGroup group(&target);
  group.setServer("127.0.0.1");
  group.setPort(aam->port());
  ASSERT_EQ(group.AddToGroupAndConnect(), 0);
  const std::string name = nameOf(*aam);
  ASSERT_TRUE(target.waitFor("up " + name, 1));
  EXPECT_EQ(group.GetStatusOf(name), 2);

  aam->stop();
  // Found by the client's PING within about two of its periods.
  ASSERT_TRUE(target.waitFor("down " + name + ": ", 1, 20000));
  EXPECT_EQ(target.count("down " + name + ": Connection Lost"), 1u);
  EXPECT_EQ(group.GetStatusOf(name), 0);
  // The client does not retry by itself: no second event comes.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(target.count("down "), 1u);

  aam->restart();
  EXPECT_EQ(group.Rehash(name), 0);
  ASSERT_TRUE(target.waitFor("up " + name, 2));
  EXPECT_EQ(group.GetStatusOf(name), 2);
  EXPECT_EQ(target.events().size(), 3u);
}

// ---- no descriptor left ------------------------------------------------------------------

TEST(ControllerGroupResources, NoDescriptorLeftFailsTheOperationNotTheHost) {
  LogCapture log(1u << kLevelException, "%c|%m");
  auto aam = std::make_unique<TestAAM>();
  Target target;
  AudioOutputControllerGroup group(&target);
  group.setServer("127.0.0.1");
  group.setPort(aam->port());
  const std::string name = nameOf(*aam);
  {
    test::DescriptorLimit limit(test::limitLeaving(0));
    ASSERT_TRUE(limit.ok());
    group.setBlocking(true);
    EXPECT_EQ(group.AddToGroupAndConnect(), -1);
    EXPECT_EQ(group.GetStatusOf(name), -2);
    group.setBlocking(false);
    EXPECT_EQ(group.AddToGroupAndConnect(), 0);
    ASSERT_TRUE(target.waitFor("down " + name + ": ", 1));
  }
  EXPECT_EQ(target.count("down " + name +
                         ": system call error at function 'socket' : Too many open sockets"),
            1u)
      << ::testing::PrintToString(target.events());
  EXPECT_TRUE(log.contains("Exception CATCH|system call error at function 'socket'"));
  // Descriptors back: the same controller connects when told to.
  EXPECT_EQ(group.Rehash(name), 0);
  EXPECT_TRUE(target.waitFor("up " + name, 1));
}

}  // namespace
}  // namespace zq
