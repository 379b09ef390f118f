// How long a call waits for an RPC client that others are using, on loopback:
//  1. a call with a 300 ms time-out made while the supervisor connects, back
//     to back, to a listener that never answers (connect time-out 1 500 ms,
//     so every attempt outlasts the supervisor's tick): the call's wait, at
//     a different point of the attempt cycle in each trial. A call still
//     waiting after 10 s counts as starved; shutting the client down frees it;
//  2. a call with a 300 ms time-out made behind a call that waits 3 s for an
//     answer that never comes: the second call's wait.
// Usage: bench_rpc_call_wait [trials, default 10]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/error.h"
#include "helpers/ports.h"
#include "helpers/waits.h"
#include "net/inet_addr.h"
#include "net/tcp_socket.h"
#include "rpc/rpc_client.h"

namespace {

using std::chrono::milliseconds;
using zq::test::Clock;
using zq::test::msSince;

// Accepts connections and never answers.
class SilentServer {
 public:
  SilentServer() {
    listener_.bind(zq::JInetAddr("127.0.0.1", 0));
    listener_.listen(8);
    port_ = listener_.localAddress().port();
    thread_ = std::thread([this] {
      for (;;) {
        try {
          auto socket = listener_.accept();
          std::lock_guard lock(mutex_);
          held_.push_back(std::move(socket));
        } catch (const zq::JError&) {
          return;
        }
      }
    });
  }
  ~SilentServer() {
    listener_.close();
    thread_.join();
  }
  uint16_t port() const { return port_; }

 private:
  zq::JTCPSocket listener_;
  uint16_t port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<zq::JStreamSocket>> held_;
};

// Runs `call` on a thread; returns its duration in ms, or -1 when it was
// still running after `limitMs` (then `free` is called to end it).
template <typename Call, typename Free>
long long timedCall(Call call, int limitMs, Free free) {
  std::mutex mutex;
  std::condition_variable doneChanged;
  bool done = false;
  long long took = 0;
  std::thread caller([&] {
    const auto start = Clock::now();
    try {
      call();
    } catch (const zq::JError&) {
    }
    std::lock_guard lock(mutex);
    took = msSince(start);
    done = true;
    doneChanged.notify_all();
  });
  bool finished;
  {
    std::unique_lock lock(mutex);
    finished = doneChanged.wait_for(lock, milliseconds(limitMs), [&] { return done; });
  }
  if (!finished) {
    free();
  }
  caller.join();
  return finished ? took : -1;
}

void printSeries(const char* title, std::vector<long long> waits) {
  std::vector<long long> served;
  for (long long w : waits) {
    if (w >= 0) {
      served.push_back(w);
    }
  }
  std::sort(served.begin(), served.end());
  std::printf("%s\n  waits (ms):", title);
  for (long long w : waits) {
    if (w < 0) {
      std::printf(" starved");
    } else {
      std::printf(" %lld", w);
    }
  }
  std::printf("\n  served %zu of %zu", served.size(), waits.size());
  if (!served.empty()) {
    std::printf(", median %lld ms, max %lld ms", served[served.size() / 2], served.back());
  }
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  const int trials = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;

  zq::test::FullListener full;
  if (!full.full()) {
    std::fprintf(stderr, "could not fill the listener's accept queue\n");
    return 1;
  }
  std::vector<long long> duringConnects;
  for (int i = 0; i < trials; ++i) {
    zq::JRPCClientNotify client(nullptr, "127.0.0.1", full.port(), 1500, -1, true, false, 0, 0,
                                true, true, nullptr, "bench client");
    // A different point of the attempt cycle each time.
    std::this_thread::sleep_for(milliseconds(100 + (i * 1700) / trials));
    duringConnects.push_back(timedCall([&] { client.call("f", std::string_view(), 300); }, 10000,
                                       [&] { client.shutdown(); }));
    client.shutdown();
  }
  printSeries("1. call (time-out 300 ms) during back-to-back 1500 ms connect attempts",
              duringConnects);

  SilentServer silent;
  std::vector<long long> behindACall;
  for (int i = 0; i < std::min(trials, 5); ++i) {
    zq::JRPCClientNotify client(nullptr, "127.0.0.1", silent.port(), 2000, -1, true, true, 0, 0,
                                false, true, nullptr, "bench client");
    std::thread slow([&] {
      try {
        client.call("slow", std::string_view(), 3000);
      } catch (const zq::JError&) {
      }
    });
    std::this_thread::sleep_for(milliseconds(100));
    behindACall.push_back(
        timedCall([&] { client.call("quick", std::string_view(), 300); }, 10000, [] {}));
    slow.join();
    client.shutdown();
  }
  printSeries("2. call (time-out 300 ms) behind a call waiting 3000 ms for its answer",
              behindACall);
  return 0;
}
