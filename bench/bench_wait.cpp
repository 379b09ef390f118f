// Wake-up latency of a thread blocked in JWaitForMultipleObjects::wait on
// three objects: from JFlag::set (or JSemaphore::release) on another thread
// to the return of the wait. Prints the median and the 99th percentile.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "base/wait.h"
#include "base/waitable.h"
#include "bench_args.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t nowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

struct Figures {
  double medianUs;
  double p99Us;
  double maxUs;
};

Figures summarise(std::vector<int64_t>& ns) {
  std::sort(ns.begin(), ns.end());
  auto at = [&](double q) {
    return static_cast<double>(ns[static_cast<size_t>(q * static_cast<double>(ns.size() - 1))]) /
           1000.0;
  };
  return {at(0.5), at(0.99), at(1.0)};
}

// One round: the waiter is blocked (it said so and had time to get into
// poll), the signaller notes the time and signals, the waiter notes the time
// it got the index back.
template <typename Signal>
Figures measure(int rounds, zq::JWaitableObject& target, Signal signal) {
  zq::JFlag stop(true, false);
  zq::JWaitableTimer idleTimer;
  zq::JWaitForMultipleObjects waiter(&stop, &idleTimer, &target);

  std::atomic<int64_t> signalledAt{0};
  std::atomic<int> ready{0};  // rounds the waiter is ready for
  std::vector<int64_t> latencies;
  latencies.reserve(static_cast<size_t>(rounds));

  std::thread waiting([&] {
    for (int round = 1;; ++round) {
      ready.store(round, std::memory_order_release);
      const int index = waiter.wait(10000);
      const int64_t woke = nowNs();
      if (index == 0) {
        return;
      }
      latencies.push_back(woke - signalledAt.load(std::memory_order_acquire));
    }
  });

  for (int round = 1; round <= rounds; ++round) {
    while (ready.load(std::memory_order_acquire) < round) {
      std::this_thread::yield();
    }
    // Let the waiter reach poll so that the figure is a real wake-up.
    std::this_thread::sleep_for(std::chrono::microseconds(50));
    signalledAt.store(nowNs(), std::memory_order_release);
    signal();
  }
  while (ready.load(std::memory_order_acquire) <= rounds) {
    std::this_thread::yield();
  }
  stop.set();
  waiting.join();
  return summarise(latencies);
}

void print(const char* what, int rounds, const Figures& f) {
  std::printf("%-40s rounds %6d  median %8.1f us  p99 %8.1f us  max %9.1f us\n", what, rounds,
              f.medianUs, f.p99Us, f.maxUs);
}

}  // namespace

int main(int argc, char** argv) {
  zq::bench::Args args(
      "Wake-up latency of a thread blocked in JWaitForMultipleObjects::wait on three\n"
      "objects, from JFlag::set (or JSemaphore::release) on another thread to the\n"
      "return of the wait.",
      "  for JFlag and for JSemaphore: the rounds, then the median, p99 and largest\n"
      "  wake-up latency in microseconds.",
      {{"rounds", "wake-ups measured for each kind of object", 10000, 1, 10000000}});
  args.parse(argc, argv);
  const int rounds = args.integer(0);
  zq::bench::ScratchRegistry registry;

  zq::JFlag flag(false, false);
  print("JFlag::set -> wait (3 objects)", rounds, measure(rounds, flag, [&] { flag.set(); }));

  zq::JSemaphore semaphore(0, 1000);
  print("JSemaphore::release -> wait (3 objects)", rounds,
        measure(rounds, semaphore, [&] { semaphore.release(); }));
  return 0;
}
