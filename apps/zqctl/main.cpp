// zqctl, the console host of the audio output control.
//
// Stopping: SIGINT (Ctrl-C) and SIGTERM are taken by a thread of their own,
// which ends the session as the end of its input would: standard input
// becomes /dev/null and the main thread's wait for it is interrupted, so the
// control and a local AAM are closed as after the last line. A statement
// that does not end by then (a `wait`, a call that waits on an AAM that
// never answers) is not waited for: after kStopMs the process leaves.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "zqctl/cli.h"

namespace {

// How long an orderly stop may take before the process leaves without it.
constexpr int kStopMs = 700;

void interrupted(int) {}

// The terminal as it was at start: the line editor changes its modes and
// would restore them through standard input, which a stop replaces.
struct Terminal {
  int fd = -1;
  termios modes{};
  void save() {
    if (::isatty(STDIN_FILENO) != 0) {
      fd = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
      if (fd >= 0 && ::tcgetattr(fd, &modes) != 0) {
        ::close(fd);
        fd = -1;
      }
    }
  }
  void restore() const {
    if (fd >= 0) {
      ::tcsetattr(fd, TCSANOW, &modes);
    }
  }
};
Terminal terminal;

void stopOnSignal(const sigset_t& stopSignals, pthread_t mainThread) {
  int signal = 0;
  if (sigwait(&stopSignals, &signal) != 0) {
    return;
  }
  const std::string said = std::string("zqctl: ") + strsignal(signal) + ", stopping\n";
  (void)!::write(STDERR_FILENO, said.data(), said.size());
  // Input ends here: a wait for it that starts from now on ends at once, and
  // the one under way is interrupted.
  const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (null >= 0) {
    ::dup2(null, STDIN_FILENO);
    ::close(null);
  }
  pthread_kill(mainThread, SIGUSR1);
  std::this_thread::sleep_for(std::chrono::milliseconds(kStopMs));
  const char late[] = "zqctl: still busy with a statement, leaving without it\n";
  (void)!::write(STDERR_FILENO, late, sizeof late - 1);
  terminal.restore();
  ::_exit(0);
}

}  // namespace

int main(int argc, char** argv) {
  // Blocked before any thread starts, so that every thread inherits the
  // mask and only the stopper takes them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  // Without SA_RESTART: the main thread's poll returns EINTR.
  struct sigaction wake {};
  wake.sa_handler = &interrupted;
  sigemptyset(&wake.sa_mask);
  ::sigaction(SIGUSR1, &wake, nullptr);
  terminal.save();
  std::thread(stopOnSignal, stopSignals, pthread_self()).detach();

  const std::vector<std::string> args(argv + 1, argv + argc);
  zq::zqctl::CliStreams streams;
  streams.interactive = ::isatty(0) != 0 && ::isatty(1) != 0;
  const char* library =
      ::access(ZQCTL_DEFAULT_LIBRARY, R_OK) == 0 ? ZQCTL_DEFAULT_LIBRARY : ZQCTL_INSTALLED_LIBRARY;
  const int status = zq::zqctl::runCli(args, library, streams);
  terminal.restore();
  return status;
}
