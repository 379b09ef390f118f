// zqctl and zqoutput end to end, as child processes on loopback: the
// operator's prompt on a terminal, and every program stopped by a signal in
// every state, zqoutput receiving the stream of the local AAM that zqctl
// hosts. The control's link events against an AAM are the control's and the
// web console's tests, their printing the console host's.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>

#include "audio/wave_test_support.h"
#include "helpers/child_process.h"
#include "helpers/temp_dir.h"
#include "helpers/waits.h"

namespace zq::test {
namespace {

// A socket of the test's own, closed with it, every wait bounded.
struct Fd {
  explicit Fd(int type) : fd(::socket(AF_INET, type, 0)) {
    const timeval limit{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  }
  ~Fd() { ::close(fd); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  // Binds to 127.0.0.1 and a port the system picks; returns it.
  uint16_t bindLoopback() {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
    return ntohs(a.sin_port);
  }
  bool connectLoopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  int fd;
};

// A request line to a program's RPC port and the answer line; "" when
// none came (the socket's 10 s limit).
std::string call(Fd& rpc, const std::string& line) {
  const std::string request = line + "\r\n";
  if (::send(rpc.fd, request.data(), request.size(), 0) != static_cast<ssize_t>(request.size())) {
    return "";
  }
  std::string answer;
  char c = 0;
  while (answer.size() < 65536 && ::recv(rpc.fd, &c, 1, 0) == 1 && c != '\n') {
    answer += c;
  }
  if (answer.ends_with('\r')) {
    answer.pop_back();
  }
  return answer;
}

// Opens zqctl's local AAM on the test-tone device, on a port the system
// picks; that port, 0 when it could not.
uint16_t openLocalAam(Child& zqctl) {
  zqctl.send("OpenLocalAAM 0 \"wavein_mic_in\" 1 128000 \"op1\"");
  if (!zqctl.until("-> ") || zqctl.lines().back() != "-> 0") {
    return 0;
  }
  zqctl.send("LocalAAMPort");
  return zqctl.until("-> ") ? static_cast<uint16_t>(std::atoi(zqctl.lines().back().c_str() + 3))
                            : 0;
}

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
  Fd rpc{SOCK_STREAM};
  explicit Output(const std::string& media)
      : child({ZQ_ZQOUTPUT, "--port", "0", "--output", "null", "--media-dir", media}) {
    const std::string first = child.line().value_or("");
    EXPECT_TRUE(first.starts_with("listening ")) << first;
    rpc.connectLoopback(
        static_cast<uint16_t>(std::atoi(first.substr(first.rfind(':') + 1).c_str())));
  }
  bool receives() {
    for (int i = 0; i < 200; ++i) {
      const std::string stat = call(rpc, "getStat()");
      if (stat.find("FramesReceived=0,") == std::string::npos && stat.starts_with("OK ")) {
        return true;
      }
      ::usleep(50000);
    }
    return false;
  }
};

// SIGTERM and SIGINT end every program whatever it does, with status 0.
// The bound is generous (the rule is a second): it fails a program that
// waits out a time-out or never ends, not a slow machine.
TEST(Stop, EveryProgramEndsOnASignalInEveryState) {
  ::signal(SIGPIPE, SIG_IGN);
  Child host({ZQ_ZQCTL, "--library", ZQ_CONTROL_LIBRARY});
  {
    Fd group(SOCK_DGRAM);
    host.send("SetLocalAAM_IpmConfig 1 0 0 \"239.255.42.1\" " +
              std::to_string(group.bindLoopback()) + " 1 1468");
    ASSERT_TRUE(host.until("-> "));
  }
  const uint16_t aam = openLocalAam(host);
  ASSERT_NE(aam, 0) << "no local AAM";
  Child quiet({ZQ_TEST_AAM, "--port", "0"});  // answers, never streams
  const std::string listening = quiet.line().value_or("");
  ASSERT_TRUE(listening.starts_with("listening 127.0.0.1:")) << listening;
  const std::string quietPort = listening.substr(listening.rfind(':') + 1);
  // An AAM that never answers: a listener whose accept queue is full.
  Fd silent(SOCK_STREAM);
  const uint16_t silentPort = silent.bindLoopback();
  ASSERT_EQ(::listen(silent.fd, 0), 0);
  Fd filler(SOCK_STREAM);
  ASSERT_TRUE(filler.connectLoopback(silentPort));
  test::TempDir dir;
  const std::string file = (dir.path() / "silence.wav").string();  // 20 s
  test::writeFile(file, test::riff({test::chunk("fmt ", test::fmt(1, 1, 8000, 16)),
                                    test::chunk("data", test::Bytes(320000))}));
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
  } const cases[] = {
      {"zqoutput idle", "getParams()", kAnswered, SIGINT},
      {"zqoutput playing udp", net("udp", std::to_string(aam)), kReceiving, SIGTERM},
      {"zqoutput playing ipm", net("ipm", std::to_string(aam)), kReceiving, SIGINT},
      {"zqoutput on a link without data", net("udp", quietPort), kAnswered, SIGTERM},
      {"zqoutput playing a file", "setFileSource(fileSource=\"" + file + "\")", kReceiving,
       SIGTERM},
      {"zqoutput connecting to an AAM that never answers", net("udp", std::to_string(silentPort)),
       kPending, SIGTERM},
      {"zqctl idle", "", kAnswered, SIGTERM, true},
      {"zqctl in a statement", "wait 60", kPending, SIGINT, true},
      {"zqctl connecting to an AAM that never answers",
       "Server = \"127.0.0.1\"\nPort = " + std::to_string(silentPort) + "\nAddToGroupAndConnect",
       kPending, SIGTERM, true},
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
    if (c.then == kPending) {
      const std::string request = c.request + "\r\n";
      ::send(output.rpc.fd, request.data(), request.size(), 0);
      ::usleep(300000);
    } else {
      EXPECT_TRUE(call(output.rpc, c.request).starts_with("OK")) << c.request;
    }
    if (c.then == kReceiving) {
      EXPECT_TRUE(output.receives());
    }
    stops(output.child, c.signal);
  }
  // The local AAM's host while it streams to an output, then the output
  // whose AAM went away.
  Output output(dir.path().string());
  EXPECT_EQ(call(output.rpc, net("udp", std::to_string(aam))), "OK ");
  EXPECT_TRUE(output.receives());
  {
    SCOPED_TRACE("zqctl hosting a local AAM that streams");
    stops(host, SIGTERM);
  }
  SCOPED_TRACE("zqoutput whose AAM went away");
  stops(output.child, SIGINT);
  EXPECT_EQ(quiet.stop(SIGTERM), 0);
}

}  // namespace
}  // namespace zq::test
