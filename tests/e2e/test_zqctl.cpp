// zqctl end to end: the built program drives the real control against the
// test AAM program on loopback, both as child processes. The AAM's printed
// request lines show what each source command sent; zqctl's output shows
// the results and the link events as the control fires them.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "helpers/child_process.h"

namespace zq::test {
namespace {

std::unique_ptr<Child> startAam(const std::string& port, std::string& listening) {
  auto aam = std::make_unique<Child>(std::vector<std::string>{ZQ_TEST_AAM, "--port", port});
  const std::optional<std::string> first = aam->line();
  EXPECT_TRUE(first && first->starts_with("listening 127.0.0.1:")) << first.value_or("(nothing)");
  listening = first.value_or("");
  return aam;
}

size_t count(const std::vector<std::string>& lines, const std::string& prefix) {
  size_t n = 0;
  for (const std::string& l : lines) {
    n += l.starts_with(prefix) ? 1 : 0;
  }
  return n;
}

TEST(Zqctl, DrivesTheControlAgainstATestAam) {
  // A child that ends early must fail the test, not kill it.
  ::signal(SIGPIPE, SIG_IGN);
  std::string listening;
  auto aam = startAam("0", listening);
  const std::string port = listening.substr(listening.rfind(':') + 1);
  const std::string name = "127.0.0.1:" + port;
  Child zqctl({ZQ_ZQCTL, "--library", ZQ_CONTROL_LIBRARY});

  zqctl.send("Server = \"127.0.0.1\"");
  zqctl.send("Port = " + port);
  zqctl.send("AddToGroupAndConnect");
  ASSERT_TRUE(zqctl.until("event LinkUp \"" + name + "\"")) << "no LinkUp";

  // Each source command, with the request line the AAM must print for it.
  const std::pair<const char*, const char*> kCommands[] = {
      {R"(SetNetSource "udp" "127.0.0.5" 5000)",
       R"(setNetSource(proto="udp",host="127.0.0.5",port=5000))"},
      {R"(SetHardSource 5 "pci2_spdif_in")",
       R"(setHardSource(cardNumber=5,connector="pci2_spdif_in"))"},
      {R"(SetFileSource "C:\\audio\\a.mp3")", R"(setFileSource(fileSource="C:\\audio\\a.mp3"))"},
      {R"(SetParams "volume=3, mute=false")", "setParams(volume=3, mute=false)"},
      {"ResetSource", "resetSource()"},
  };
  for (const auto& [statement, request] : kCommands) {
    SCOPED_TRACE(statement);
    zqctl.send(statement);
    zqctl.send("FlushGroup");
    const std::optional<std::string> got = aam->line();
    EXPECT_EQ(got.value_or("(nothing)"), request);
  }
  zqctl.send("GetStatusOf \"" + name + "\"");
  EXPECT_TRUE(zqctl.until("-> 2")) << "not connected";
  zqctl.send("GetParamsOf \"" + name + "\"");
  EXPECT_TRUE(zqctl.until("-> \"")) << "no parameters";
  EXPECT_NE(zqctl.lines().back().find("Audio"), std::string::npos) << zqctl.lines().back();
  zqctl.send("GetStatOf \"" + name + "\"");
  EXPECT_TRUE(zqctl.until("-> \"")) << "no statistics";
  EXPECT_TRUE(aam->until("getParams(")) << "the AAM saw no getParams";
  EXPECT_TRUE(aam->until("getStat(")) << "the AAM saw no getStat";

  // Stopped, the AAM takes the link down once; restarted and rehashed, up again.
  EXPECT_EQ(aam->stop(SIGTERM), 0);
  ASSERT_TRUE(zqctl.until("event LinkDown \"" + name + "\" \"")) << "no LinkDown";
  const std::string down = zqctl.lines().back();
  EXPECT_GT(down.size(), ("event LinkDown \"" + name + "\" \"\"").size()) << "no message: " << down;
  aam = startAam(port, listening);
  zqctl.send("Rehash \"" + name + "\"");
  ASSERT_TRUE(zqctl.until("event LinkUp \"" + name + "\"")) << "no LinkUp after the restart";
  zqctl.send("wait 1");
  zqctl.send("GetStatusOf \"" + name + "\"");
  EXPECT_TRUE(zqctl.until("-> 2"));
  EXPECT_EQ(count(zqctl.lines(), "event LinkDown"), 1u);
  EXPECT_EQ(count(zqctl.lines(), "event LinkUp"), 2u);

  zqctl.closeInput();
  EXPECT_EQ(zqctl.exitStatus(), 0);
  EXPECT_EQ(aam->stop(SIGINT), 0);
}

}  // namespace
}  // namespace zq::test
