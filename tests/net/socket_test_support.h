// Helpers shared by the socket tests: connected loopback pairs, error capture,
// elapsed time, and threads whose end is awaited with a bound.
#pragma once

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "base/error.h"
#include "net/tcp_socket.h"

namespace zq::test {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

inline long long elapsedMs(Clock::time_point since) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - since).count();
}

/// The JSysError `body` throws, if any (other errors pass through).
template <class F>
std::optional<JSysError> sysErrorOf(F&& body) {
  try {
    body();
  } catch (const JSysError& e) {
    return e;
  }
  return std::nullopt;
}

/// The code without the socket tag, or -1 when there is no error.
inline long long socketNumber(const std::optional<JSysError>& error) {
  return error ? static_cast<long long>(error->code() & ~JSysError::kSocketTag) : -1;
}

/// Open descriptors of the process.
inline size_t openDescriptors() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}

/// A thread whose end the test waits for with a bound. A thread still
/// running at the bound cannot be stopped, so the program ends there and
/// then: the test fails instead of hanging.
class BoundedThread {
 public:
  explicit BoundedThread(std::function<void()> body) {
    std::packaged_task<void()> task(std::move(body));
    done_ = task.get_future();
    thread_ = std::thread(std::move(task));
  }
  ~BoundedThread() { join(); }

  void join(milliseconds limit = milliseconds(10000)) {
    if (!thread_.joinable()) {
      return;
    }
    if (done_.wait_for(limit) != std::future_status::ready) {
      std::fprintf(stderr, "a socket call did not end within %lld ms\n",
                   static_cast<long long>(limit.count()));
      std::fflush(stderr);
      std::_Exit(3);
    }
    thread_.join();
  }

 private:
  std::future<void> done_;
  std::thread thread_;
};

/// A listening loopback socket and connections to it.
class Loopback {
 public:
  explicit Loopback(int backlog = 16) {
    listener.bind(0);
    listener.listen(backlog);
    port = listener.localAddress().port();
    listener.setAcceptTimeout(5000);
  }

  JInetAddr address() const { return JInetAddr("127.0.0.1", port); }

  /// True when the accept queue holds more connections than its backlog: the
  /// system then drops new connection requests. A listening socket reports
  /// its queue length and backlog in these two TCP_INFO fields.
  bool queueFull() const {
    tcp_info info{};
    socklen_t length = sizeof info;
    listener.getsockopt(IPPROTO_TCP, TCP_INFO, &info, &length);
    return info.tcpi_unacked > info.tcpi_sacked;
  }

  /// Connects (and keeps) clients that nobody accepts until the queue is
  /// full; false when it never fills.
  bool fillQueue(std::vector<std::unique_ptr<JTCPSocket>>& fillers) {
    for (int i = 0; i < 64 && !queueFull(); ++i) {
      auto filler = std::make_unique<JTCPSocket>();
      filler->setConnectTimeout(5000);
      filler->connect(address());
      fillers.push_back(std::move(filler));
    }
    return queueFull();
  }

  /// A connected client and the server side of its connection.
  std::pair<std::unique_ptr<JTCPSocket>, std::unique_ptr<JStreamSocket>> connectPair() {
    auto client = std::make_unique<JTCPSocket>();
    client->setConnectTimeout(5000);
    client->connect(address());
    auto server = listener.accept();
    return {std::move(client), std::move(server)};
  }

  JTCPSocket listener;
  uint16_t port = 0;
};

}  // namespace zq::test
