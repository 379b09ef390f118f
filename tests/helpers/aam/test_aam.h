// An audio access manager for the tests: an RPC service on loopback that
// records every request line but PING, and can stall, stop and restart.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zq::test {

class TestAAM {
 public:
  /// Listens on 127.0.0.1 at `port` (0: a port the system picks).
  explicit TestAAM(uint16_t port = 0);
  ~TestAAM();
  uint16_t port() const { return port_; }
  /// Closes the listener and every connection; restart() listens again.
  void stop();
  void restart();
  std::vector<std::string> requests() const;
  std::vector<std::string> requests(const std::string& function) const;  // its lines only
  /// While stalled, functions wait before answering until release(), at most
  /// 30 s; stalledCount() of them are waiting.
  void stall();
  void release();
  int stalledCount() const { return stalled_.load(); }
  size_t connectionCount() const;  // of the current service

 private:
  class Service;
  uint16_t port_ = 0;
  std::atomic<int> stalled_{0};
  mutable std::mutex mutex_;
  std::condition_variable released_;
  std::vector<std::string> requests_;  // these two guarded by mutex_
  bool stalling_ = false;
  std::unique_ptr<Service> service_;  // last: it calls into the members above
};

}  // namespace zq::test
