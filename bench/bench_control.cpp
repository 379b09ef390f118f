// Figures of the controller group on loopback, in one run:
//  1. the time to add and connect N controllers (blocking connects), one per
//     test AAM service;
//  2. the time from SetNetSource to the return of FlushGroup with N
//     controllers (every command sent and answered);
//  3. the threads and resident memory each controller adds.
// Usage: bench_control [controllers, default 200] [rounds of step 2, default 5]
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "control/audio_output_controller_group.h"
#include "helpers/aam/test_aam.h"

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

size_t threadCount() {
  size_t n = 0;
  for ([[maybe_unused]] const auto& entry :
       std::filesystem::directory_iterator("/proc/self/task")) {
    ++n;
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

void raiseFileLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int controllers = argc > 1 ? std::atoi(argv[1]) : 200;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  if (controllers < 1 || rounds < 1) {
    std::fprintf(stderr, "usage: %s [controllers >= 1] [rounds >= 1]\n", argv[0]);
    return 2;
  }
  raiseFileLimit();

  std::vector<std::unique_ptr<zq::test::TestAAM>> aams;
  aams.reserve(static_cast<size_t>(controllers));
  for (int i = 0; i < controllers; ++i) {
    aams.push_back(std::make_unique<zq::test::TestAAM>());
  }

  zq::AudioOutputControllerGroup group(nullptr);
  group.setServer("127.0.0.1");
  group.setBlocking(true);
  const size_t threadsBefore = threadCount();
  const size_t rssBefore = residentKiB();

  auto start = Clock::now();
  for (const auto& aam : aams) {
    group.setPort(aam->port());
    if (group.AddToGroupAndConnect() != 0) {
      std::fprintf(stderr, "AddToGroupAndConnect failed for port %u\n", aam->port());
      return 1;
    }
  }
  const double addMs = msSince(start);
  // The AAM side of each connection starts a thread of its own: wait for all.
  for (const auto& aam : aams) {
    while (aam->connectionCount() == 0) {
      usleep(1000);
    }
  }
  const size_t threadsAfter = threadCount();
  const size_t rssAfter = residentKiB();

  std::vector<double> flushMs;
  for (int round = 0; round < rounds; ++round) {
    start = Clock::now();
    group.SetNetSource("udp", "127.0.0.5", 5000 + round);
    group.FlushGroup();
    flushMs.push_back(msSince(start));
  }
  for (const auto& aam : aams) {
    if (aam->requests("setNetSource").size() != static_cast<size_t>(rounds)) {
      std::fprintf(stderr, "an AAM did not get every command\n");
      return 1;
    }
  }
  std::sort(flushMs.begin(), flushMs.end());

  // The AAM side's connection threads were counted in threadsAfter.
  const double aamThreadsPerConnection = 1.0;
  std::printf("controllers: %d\n", controllers);
  std::printf("add and connect %d controllers: %.1f ms (%.2f ms each)\n", controllers, addMs,
              addMs / controllers);
  std::printf(
      "SetNetSource to FlushGroup return, %d controllers: median %.1f ms, min %.1f ms, "
      "max %.1f ms over %d rounds\n",
      controllers, flushMs[flushMs.size() / 2], flushMs.front(), flushMs.back(), rounds);
  std::printf(
      "threads per controller: %.2f (plus %.0f on the AAM side for its connection)\n",
      (static_cast<double>(threadsAfter - threadsBefore) - aamThreadsPerConnection * controllers) /
          controllers,
      aamThreadsPerConnection);
  std::printf("resident memory per controller (with its AAM connection): %.1f KiB\n",
              static_cast<double>(rssAfter - rssBefore) / controllers);
  return 0;
}
