// zqctl end to end: the built program drives the real control against the
// test AAM program on loopback, both as child processes. The AAM's printed
// request lines show what each source command sent; zqctl's output shows
// the results and the link events as the control fires them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace zq::test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kLimitMs = 20000;

// A child process with a pipe on its standard input and one on its output.
class Child {
 public:
  explicit Child(std::vector<std::string> argv) {
    int in[2];
    int out[2];
    EXPECT_EQ(::pipe2(in, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::vector<char*> args;
    for (std::string& a : argv) {
      args.push_back(a.data());
    }
    args.push_back(nullptr);
    EXPECT_EQ(posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ), 0) << argv[0];
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    in_ = in[1];
    out_ = out[0];
  }
  ~Child() {
    closeInput();
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(out_);
  }

  void send(const std::string& text) {
    const std::string line = text + "\n";
    EXPECT_EQ(::write(in_, line.data(), line.size()), static_cast<ssize_t>(line.size()));
  }
  void closeInput() {
    if (in_ >= 0) {
      ::close(in_), in_ = -1;
    }
  }
  /// The next line of output, or nothing when none came within the limit.
  std::optional<std::string> line(int limitMs = kLimitMs) {
    const auto until = Clock::now() + std::chrono::milliseconds(limitMs);
    for (;;) {
      if (const size_t end = buffer_.find('\n'); end != std::string::npos) {
        std::string l = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        lines_.push_back(l);
        return l;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
      pollfd p{out_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
        return std::nullopt;
      }
      char chunk[4096];
      const ssize_t n = ::read(out_, chunk, sizeof chunk);
      if (n <= 0) {
        return std::nullopt;
      }
      buffer_.append(chunk, static_cast<size_t>(n));
    }
  }
  /// Reads lines until one starts with `prefix`; false when none came.
  bool until(const std::string& prefix, int limitMs = kLimitMs) {
    const auto end = Clock::now() + std::chrono::milliseconds(limitMs);
    while (Clock::now() < end) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
      const std::optional<std::string> l = line(static_cast<int>(left.count()));
      if (!l) {
        return false;
      }
      if (l->starts_with(prefix)) {
        return true;
      }
    }
    return false;
  }
  /// Signals the child and waits for its exit status; -1 when it did not end.
  int stop(int signal) {
    ::kill(pid_, signal);
    return exitStatus();
  }
  int exitStatus() {
    for (int i = 0; i < kLimitMs / 10; ++i) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      ::usleep(10000);
    }
    return -1;
  }
  const std::vector<std::string>& lines() const { return lines_; }

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  std::string buffer_;
  std::vector<std::string> lines_;  // every line read so far
};

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
      {R"(SetHardSource 5 "pci2_spdif_in")", R"(setHardSource(cardNumber=5,connector="pci2_spdif_in"))"},
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

// A script that names a member the control lacks runs nothing and says where.
TEST(Zqctl, ScriptErrorsRunNothing) {
  ::signal(SIGPIPE, SIG_IGN);
  const struct {
    const char* statements;
    int status;
  } kCases[] = {
      {"Port = 10002; Port", 0},
      {"Port = 10002; NoSuchMember", 2},
      {"Port = 10002; Port = ", 2},
      {"SetNetSource \"udp\" \"h\"", 2},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.statements);
    Child zqctl({ZQ_ZQCTL, "--library", ZQ_CONTROL_LIBRARY, "-c", c.statements});
    EXPECT_EQ(zqctl.exitStatus(), c.status);
    const std::optional<std::string> first = zqctl.line(c.status == 0 ? kLimitMs : 100);
    EXPECT_EQ(first.value_or(""), c.status == 0 ? "-> 10002" : "");
  }
}

}  // namespace
}  // namespace zq::test
