// What the attack benchmarks share: the resident memory, threads and CPU
// time of a process (this one or a child) read from /proc, one row of the
// attack table, and connections held open from a forked child.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace zq::bench {

/// What a process holds and has used so far.
struct ProcessFigures {
  long rssKb = -1;
  long threads = -1;
  double cpuSeconds = -1;  // user and system
};

/// The figures of `pid` (0: this process); -1 fields when it is gone.
inline ProcessFigures figuresOf(pid_t pid = 0) {
  const std::string dir = pid == 0 ? "/proc/self" : "/proc/" + std::to_string(pid);
  ProcessFigures f;
  std::ifstream status(dir + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) {
      f.rssKb = std::stol(line.substr(6));
    } else if (line.rfind("Threads:", 0) == 0) {
      f.threads = std::stol(line.substr(8));
    }
  }
  // utime and stime are the 14th and 15th fields; the name (2nd) may hold
  // blanks, so count from the closing parenthesis.
  std::ifstream stat(dir + "/stat");
  const std::string all((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  if (const size_t close = all.rfind(')'); close != std::string::npos) {
    std::istringstream fields(all.substr(close + 2));
    std::string skip;
    for (int i = 3; i < 14; ++i) {
      fields >> skip;
    }
    long user = 0;
    long system = 0;
    if (fields >> user >> system) {
      f.cpuSeconds =
          static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
    }
  }
  return f;
}

/// One row of the attack table, tab-separated after the word "attack", so
/// that bench/attacks gathers the rows of every program into one table:
/// the attack, the process attacked, its resident memory before and after,
/// the CPU it used, whether audio (or service) came back, the verdict.
inline void printAttackRow(const std::string& attack, const std::string& process,
                           const ProcessFigures& before, const ProcessFigures& after,
                           const std::string& back, const std::string& verdict) {
  std::printf("attack\t%s\t%s\t%.1f MB\t%.1f MB\t%.2f s\t%s\t%s\n", attack.c_str(), process.c_str(),
              static_cast<double>(before.rssKb) / 1024.0, static_cast<double>(after.rssKb) / 1024.0,
              after.cpuSeconds - before.cpuSeconds, back.c_str(), verdict.c_str());
  std::fflush(stdout);
}

/// `count` connections to 127.0.0.1:`port`, opened by a forked child, each
/// sending `line` (may be empty) and nothing more, held until release().
/// The child makes only system calls: the parent has other threads.
class HeldConnections {
 public:
  HeldConnections(uint16_t port, int count, const std::string& line) {
    if (::pipe(up_) != 0 || ::pipe(down_) != 0) {
      std::printf("pipe failed\n");
      return;
    }
    std::fflush(stdout);
    child_ = ::fork();
    if (child_ == 0) {
      hold(port, count, line);
    }
    if (child_ < 0 || ::read(up_[0], &connected_, sizeof connected_) != sizeof connected_) {
      connected_ = 0;
    }
  }
  ~HeldConnections() {
    release();
    for (int fd : {up_[0], up_[1], down_[0], down_[1]}) {
      if (fd >= 0) {
        ::close(fd);
      }
    }
  }
  HeldConnections(const HeldConnections&) = delete;
  HeldConnections& operator=(const HeldConnections&) = delete;

  /// How many connected.
  int connected() const { return connected_; }
  /// Closes them all and waits for the child.
  void release() {
    if (child_ <= 0) {
      return;
    }
    char go = 1;
    (void)!::write(down_[1], &go, 1);
    (void)!::read(up_[0], &go, 1);
    ::waitpid(child_, nullptr, 0);
    child_ = -1;
  }

 private:
  [[noreturn]] void hold(uint16_t port, int count, const std::string& line) {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::vector<int> fds;
    for (int i = 0; i < count; ++i) {
      const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
      if (fd < 0) {
        break;
      }
      if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        break;
      }
      for (size_t at = 0; at < line.size();) {
        const ssize_t n = ::write(fd, line.data() + at, line.size() - at);
        if (n <= 0) {
          break;
        }
        at += static_cast<size_t>(n);
      }
      fds.push_back(fd);
    }
    const int connected = static_cast<int>(fds.size());
    (void)!::write(up_[1], &connected, sizeof connected);
    char go = 0;
    (void)!::read(down_[0], &go, 1);
    for (int fd : fds) {
      ::close(fd);
    }
    (void)!::write(up_[1], &go, 1);
    ::_exit(0);
  }

  int up_[2] = {-1, -1};
  int down_[2] = {-1, -1};
  pid_t child_ = -1;
  int connected_ = 0;
};

}  // namespace zq::bench
