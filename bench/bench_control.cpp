// Figures of the controller group on loopback, in one run:
//  1. the time to add and connect N controllers (blocking connects), one per
//     test AAM service;
//  2. the time from SetNetSource to the return of FlushGroup with N
//     controllers (every command sent and answered);
//  3. the descriptors, threads and resident memory each controller adds.
// The test AAMs run in child processes (at most 250 each), so that the
// controllers' own process holds only what a host holds: it must carry 1 000
// controllers under the common limit of 1 024 descriptors.
#include <dirent.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bench_args.h"
#include "control/audio_output_controller_group.h"
#include "helpers/aam/test_aam.h"
#include "net/socket_layer.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kAamsPerProcess = 250;

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

size_t entriesOf(const char* directory) {
  size_t n = 0;
  if (DIR* dir = ::opendir(directory)) {
    while (const dirent* entry = ::readdir(dir)) {
      n += entry->d_name[0] != '.';
    }
    ::closedir(dir);
  }
  return n;
}

size_t residentKiB() {
  std::ifstream statm("/proc/self/statm");
  size_t pages = 0;
  size_t resident = 0;
  statm >> pages >> resident;
  return resident * static_cast<size_t>(::sysconf(_SC_PAGESIZE)) / 1024;
}

// Moves all `size` bytes through `io` (::read or ::write), across short
// transfers and interrupted calls; false when the pipe failed or closed.
template <class Io, class Byte>
bool transferAll(Io io, int fd, Byte* bytes, size_t size) {
  while (size > 0) {
    const ssize_t n = io(fd, bytes, size);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    bytes += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool readAll(int fd, void* data, size_t size) {
  return transferAll(::read, fd, static_cast<char*>(data), size);
}

bool writeAll(int fd, const void* data, size_t size) {
  return transferAll(::write, fd, static_cast<const char*>(data), size);
}

// A child process serving `count` test AAMs. It sends their ports, then
// waits for the number of setNetSource requests each AAM must have had and
// answers the number of AAMs that had them.
struct AamProcess {
  pid_t pid = -1;
  int toChild = -1;
  int fromChild = -1;
  std::vector<uint16_t> ports;
};

[[noreturn]] void serveAams(int count, int in, int out) {
  zq::JSocketLayer::raiseDescriptorLimit();
  std::vector<std::unique_ptr<zq::test::TestAAM>> aams;
  std::vector<uint16_t> ports;
  for (int i = 0; i < count; ++i) {
    aams.push_back(std::make_unique<zq::test::TestAAM>());
    ports.push_back(aams.back()->port());
  }
  if (!writeAll(out, ports.data(), ports.size() * sizeof(uint16_t))) {
    std::_Exit(1);
  }
  int32_t expected = 0;
  int32_t complete = 0;
  if (readAll(in, &expected, sizeof expected)) {
    for (const auto& aam : aams) {
      complete += aam->requests("setNetSource").size() == static_cast<size_t>(expected);
    }
    writeAll(out, &complete, sizeof complete);
  }
  aams.clear();
  std::_Exit(0);
}

bool startAamProcess(int count, AamProcess& process) {
  int down[2];
  int up[2];
  if (::pipe(down) != 0 || ::pipe(up) != 0) {
    std::perror("pipe");
    return false;
  }
  const pid_t pid = ::fork();
  if (pid < 0) {
    std::perror("fork");
    return false;
  }
  if (pid == 0) {
    ::close(down[1]);
    ::close(up[0]);
    serveAams(count, down[0], up[1]);
  }
  ::close(down[0]);
  ::close(up[1]);
  process.pid = pid;
  process.toChild = down[1];
  process.fromChild = up[0];
  process.ports.resize(static_cast<size_t>(count));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  zq::bench::Args args(
      "Figures of the controller group on loopback, one test AAM service per controller,\n"
      "the AAMs in child processes of at most 250 each so that this process holds only\n"
      "what a host holds: adding and connecting the controllers, a command to all of them\n"
      "flushed, and what each controller costs in descriptors, threads and memory.",
      "  the descriptor limit; the time to add and connect the controllers (ms, and per\n"
      "  controller); the time from SetNetSource to the return of FlushGroup (median, min,\n"
      "  max over the rounds); descriptors, threads and resident memory (KiB) per controller.",
      {{"controllers", "controllers in the group", 200, 1, 5000},
       {"rounds", "rounds of SetNetSource and FlushGroup", 5, 1, 10000}});
  args.parse(argc, argv);
  const int controllers = args.integer(0);
  const int rounds = args.integer(1);
  zq::bench::ScratchRegistry registry;

  // The children are forked before this process starts any thread.
  std::vector<AamProcess> processes;
  for (int left = controllers; left > 0; left -= kAamsPerProcess) {
    processes.emplace_back();
    if (!startAamProcess(std::min(left, kAamsPerProcess), processes.back())) {
      return 1;
    }
  }
  std::vector<uint16_t> ports;
  for (AamProcess& process : processes) {
    if (!readAll(process.fromChild, process.ports.data(),
                 process.ports.size() * sizeof(uint16_t))) {
      std::fprintf(stderr, "an AAM process failed to start its services\n");
      return 1;
    }
    ports.insert(ports.end(), process.ports.begin(), process.ports.end());
  }

  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  const size_t descriptorsBefore = entriesOf("/proc/self/fd");
  const size_t threadsBefore = entriesOf("/proc/self/task");
  const size_t rssBefore = residentKiB();

  int status = 0;
  {
    zq::AudioOutputControllerGroup group(nullptr);
    group.setServer("127.0.0.1");
    group.setBlocking(true);
    // The group's socket layer may have raised the limit.
    ::getrlimit(RLIMIT_NOFILE, &limit);

    auto start = Clock::now();
    int added = 0;
    for (const uint16_t port : ports) {
      group.setPort(port);
      if (group.AddToGroupAndConnect() != 0) {
        std::fprintf(stderr, "AddToGroupAndConnect failed for port %u after %d controllers\n", port,
                     added);
        status = 1;
        break;
      }
      ++added;
    }
    const double addMs = msSince(start);
    const size_t descriptorsAfter = entriesOf("/proc/self/fd");
    const size_t threadsAfter = entriesOf("/proc/self/task");
    const size_t rssAfter = residentKiB();

    std::vector<double> flushMs;
    for (int round = 0; round < rounds && status == 0; ++round) {
      start = Clock::now();
      group.SetNetSource("udp", "127.0.0.5", 5000 + round);
      group.FlushGroup();
      flushMs.push_back(msSince(start));
    }

    int32_t complete = 0;
    for (AamProcess& process : processes) {
      const int32_t expected = status == 0 ? rounds : -1;
      int32_t got = 0;
      if (writeAll(process.toChild, &expected, sizeof expected) &&
          readAll(process.fromChild, &got, sizeof got)) {
        complete += got;
      }
    }
    if (status == 0 && complete != controllers) {
      std::fprintf(stderr, "%d of %d AAMs did not get every command\n", controllers - complete,
                   controllers);
      status = 1;
    }

    if (status == 0) {
      std::sort(flushMs.begin(), flushMs.end());
      const double n = controllers;
      std::printf("controllers: %d (test AAMs in %zu other processes)\n", controllers,
                  processes.size());
      std::printf("descriptor limit: %llu (hard %llu)\n",
                  static_cast<unsigned long long>(limit.rlim_cur),
                  static_cast<unsigned long long>(limit.rlim_max));
      std::printf("add and connect %d controllers: %.1f ms (%.3f ms each)\n", controllers, addMs,
                  addMs / n);
      std::printf(
          "SetNetSource to FlushGroup return, %d controllers: median %.1f ms, min %.1f ms, "
          "max %.1f ms over %d rounds\n",
          controllers, flushMs[flushMs.size() / 2], flushMs.front(), flushMs.back(), rounds);
      std::printf("descriptors per controller: %.2f\n",
                  static_cast<double>(descriptorsAfter - descriptorsBefore) / n);
      std::printf("threads per controller: %.2f\n",
                  static_cast<double>(threadsAfter - threadsBefore) / n);
      std::printf("resident memory per controller: %.1f KiB\n",
                  static_cast<double>(rssAfter - rssBefore) / n);
    }
  }

  for (AamProcess& process : processes) {
    ::close(process.toChild);
    ::close(process.fromChild);
    int childStatus = 0;
    ::waitpid(process.pid, &childStatus, 0);
  }
  return status;
}
