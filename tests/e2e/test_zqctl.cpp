// zqctl and zqoutput end to end, as child processes on loopback: the
// operator's prompt on a terminal, and every program stopped by a signal in
// every state, zqoutput receiving the stream of the local AAM that zqctl
// hosts. The control's link events against an AAM are the control's and the
// web console's tests, their printing the console host's.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>

#include "audio/wave_test_support.h"
#include "helpers/child_process.h"
#include "helpers/line_client.h"
#include "helpers/temp_dir.h"
#include "helpers/waits.h"
#include "media/provider_test_support.h"
#include "rpc/rpc_client_test_support.h"

namespace zq::test {
namespace {

// zqctl on a terminal, as an operator types at its prompt: Tab completes a
// member's name (the call then runs) and a help topic; Ctrl-D ends it.
TEST(Zqctl, PromptCompletesNamesAndAnswersHelp) {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_TRUE(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
  TempDir home;  // its history file goes there
  ::setenv("HOME", home.path().c_str(), 1);
  ::setenv("TERM", "dumb", 1);
  Child zqctl({ZQ_ZQCTL, "--library", ZQ_CONTROL_LIBRARY}, ::ptsname(master));
  std::string shown;
  size_t seen = 0;
  // Reads the terminal until `text` shows past what was seen (bounded).
  const auto until = [&](const std::string& text) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(kChildLimitMs);
    while (shown.find(text, seen) == std::string::npos &&
           std::chrono::steady_clock::now() < limit) {
      pollfd p{master, POLLIN, 0};
      char buffer[4096];
      const ssize_t n = ::poll(&p, 1, 100) > 0 ? ::read(master, buffer, sizeof buffer) : 0;
      shown.append(buffer, static_cast<size_t>(std::max<ssize_t>(n, 0)));
    }
    const size_t at = shown.find(text, seen);
    seen = at == std::string::npos ? shown.size() : at + text.size();
    return at != std::string::npos;
  };
  const std::pair<std::string, std::string> kTyped[] = {
      {"LocalAAMP\t\n", "-> -1"}, {"help serv\t\n", "Server = Hostname:BSTR"}, {"\x04", "\n"}};
  for (const auto& [keys, printed] : kTyped) {
    EXPECT_TRUE(until("zqctl> ")) << shown;  // typed at the prompt, not ahead of it
    // The line editor draws its prompt, then takes the terminal out of its
    // line mode: a ^D typed in between would be that mode's end of file, and
    // lost. So keys go once the terminal is key by key, as a person's would.
    EXPECT_TRUE(eventually([&] {
      termios mode{};
      return ::tcgetattr(master, &mode) == 0 && (mode.c_lflag & ICANON) == 0;
    }));
    EXPECT_EQ(::write(master, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    EXPECT_TRUE(until(printed)) << shown;
  }
  EXPECT_EQ(zqctl.exitStatus(), 0) << shown;
  ::close(master);
}

// zqoutput on a port the system picks, playing files of `media`, and a
// connection to its RPC port.
struct Output {
  Child child;
  std::unique_ptr<LineClient> rpc;
  explicit Output(const std::string& media)
      : child({ZQ_ZQOUTPUT, "--port", "0", "--output", "null", "--media-dir", media}) {
    const std::string first = child.line().value_or("");
    EXPECT_TRUE(first.starts_with("listening ")) << first;
    rpc = std::make_unique<LineClient>(std::atoi(first.substr(first.rfind(':') + 1).c_str()));
  }
};

// SIGTERM and SIGINT end every program whatever it does, with status 0.
// The bound is generous (the rule is a second): it fails a program that
// waits out a time-out or never ends, not a slow machine.
TEST(Stop, EveryProgramEndsOnASignalInEveryState) {
  ::signal(SIGPIPE, SIG_IGN);
  Child host({ZQ_ZQCTL, "--library", ZQ_CONTROL_LIBRARY});
  host.send("SetLocalAAM_IpmConfig 1 0 0 \"239.255.42.1\" " + std::to_string(freeUdpPort()) +
            " 1 1468");
  ASSERT_TRUE(host.until("-> "));
  host.send("OpenLocalAAM 0 \"wavein_mic_in\" 1 128000 \"op1\"");
  ASSERT_TRUE(host.until("-> ") && host.lines().back() == "-> 0") << "no local AAM";
  host.send("LocalAAMPort");
  ASSERT_TRUE(host.until("-> "));
  const std::string aam = host.lines().back().substr(3);
  Child quiet({ZQ_TEST_AAM, "--port", "0"});  // answers, never streams
  const std::string listening = quiet.line().value_or("");
  ASSERT_TRUE(listening.starts_with("listening 127.0.0.1:")) << listening;
  const std::string quietPort = listening.substr(listening.rfind(':') + 1);
  FullListener silent;  // an AAM that never answers
  ASSERT_TRUE(silent.full());
  TempDir dir;
  const std::string file = (dir.path() / "silence.wav").string();  // 20 s
  writeFile(file, riff({chunk("fmt ", fmt(1, 1, 8000, 16)), chunk("data", Bytes(320000))}));
  const auto net = [](const char* proto, const std::string& port) {
    return "setNetSource(proto=\"" + std::string(proto) + "\", host=\"127.0.0.1\", port=" + port +
           ")";
  };
  enum Then { kAnswered, kReceiving, kPending };
  struct Case {
    const char* state;
    std::string request;  // to zqoutput, or a zqctl line when `zqctl`
    Then then;
    int signal;
    bool zqctl = false;
    bool hostStopsFirst = false;  // the local AAM's host, while it streams to the output
  } const cases[] = {
      {"zqoutput idle", "getParams()", kAnswered, SIGINT},
      {"zqoutput playing udp", net("udp", aam), kReceiving, SIGTERM},
      {"zqoutput playing ipm", net("ipm", aam), kReceiving, SIGINT},
      {"zqoutput on a link without data", net("udp", quietPort), kAnswered, SIGTERM},
      {"zqoutput playing a file", "setFileSource(fileSource=\"" + file + "\")", kReceiving,
       SIGTERM},
      {"zqoutput connecting to an AAM that never answers",
       net("udp", std::to_string(silent.port())), kPending, SIGTERM},
      {"zqctl idle", "", kAnswered, SIGTERM, true},
      {"zqctl in a statement", "wait 60", kPending, SIGINT, true},
      {"zqctl connecting to an AAM that never answers",
       "Server = \"127.0.0.1\"\nPort = " + std::to_string(silent.port()) + "\nAddToGroupAndConnect",
       kPending, SIGTERM, true},
      {"zqoutput whose AAM went away", net("udp", aam), kReceiving, SIGINT, false, true},
  };
  const auto stops = [](Child& child, int signal) {
    const auto start = std::chrono::steady_clock::now();
    const int status = child.stop(signal);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(status, 0);
    EXPECT_LT(took, std::chrono::seconds(3))
        << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.state);
    if (c.zqctl) {
      Child zqctl({ZQ_ZQCTL, "--library", ZQ_CONTROL_LIBRARY});
      // An answer first: a signal that comes while the program is still
      // being loaded, before it takes its stop signals, kills it outright.
      zqctl.send("LocalAAMPort");
      ASSERT_TRUE(zqctl.until("-> -1"));
      zqctl.send(c.request);
      // Time to get into the statement; what is checked is the stop.
      ::usleep(300000);
      stops(zqctl, c.signal);
      continue;
    }
    Output output(dir.path().string());
    // A pending request's answer, if any, comes on a thread of its own; its
    // connection ends with the program.
    std::future<std::string> pending;
    if (c.then == kPending) {
      pending = std::async(std::launch::async, [&] { return output.rpc->call(c.request); });
      ::usleep(300000);
    } else {
      EXPECT_TRUE(output.rpc->call(c.request).starts_with("OK")) << c.request;
    }
    if (c.then == kReceiving) {
      EXPECT_TRUE(eventually([&] {
        const std::string stat = output.rpc->call("getStat()");
        return stat.starts_with("OK ") && stat.find("FramesReceived=0,") == std::string::npos;
      }));
    }
    if (c.hostStopsFirst) {
      stops(host, SIGTERM);
    }
    stops(output.child, c.signal);
  }
  EXPECT_EQ(quiet.stop(SIGTERM), 0);
}

}  // namespace
}  // namespace zq::test
