// TestAAM: an audio access manager for the tests, a real RPC service on
// loopback that answers what a remote AAM answers, records every request line
// in order, and can fail, stall, stop and come back on demand.
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
  /// Starts listening on 127.0.0.1... on `port` (0: a port the system picks).
  explicit TestAAM(uint16_t port = 0);
  ~TestAAM();
  TestAAM(const TestAAM&) = delete;
  TestAAM& operator=(const TestAAM&) = delete;

  uint16_t port() const { return port_; }

  /// Shuts the service down: the listener and every connection close.
  void stop();
  /// A new service on the same port, after stop().
  void restart();
  bool running() const;

  /// Every request line received (PING excluded), in order of arrival.
  std::vector<std::string> requests() const;
  /// The request lines whose function is `function`.
  std::vector<std::string> requests(const std::string& function) const;
  /// Waits (bounded) until at least `count` request lines have arrived.
  bool waitForRequests(size_t count, int timeoutMs = 10000) const;
  void clearRequests();

  /// While set, every function answers "FAILED ..." (after recording).
  void setFailing(bool failing) { failing_ = failing; }
  /// While stalled, every function waits before answering until release()
  /// (or at most `maxStallMs`, so that no test can hang on it).
  void stall(int maxStallMs = 30000);
  void release();
  /// Functions currently waiting in a stall.
  int stalledCount() const { return stalled_.load(); }

  /// Live RPC connections of the current service.
  size_t connectionCount() const;

 private:
  class Service;
  friend class Service;

  void record(std::string line);
  void stallIfAsked();

  uint16_t port_;
  std::unique_ptr<Service> service_;
  std::atomic<bool> failing_{false};
  std::atomic<int> stalled_{0};

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<std::string> requests_;  // guarded by mutex_
  bool stalling_ = false;              // guarded by mutex_
  int maxStallMs_ = 0;                 // guarded by mutex_
};

}  // namespace zq::test
