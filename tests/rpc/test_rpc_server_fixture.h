// The RPC server tests' common parts: a service with a function of every kind
// and handlers that fail in each way, and a raw line client on loopback.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/error.h"
#include "net/tcp_socket.h"
#include "rpc/line_io.h"
#include "rpc/rpc_error.h"
#include "rpc/rpc_service.h"

namespace zq::test {

/// Every wait of these tests ends within this bound.
constexpr int kWaitMs = 5000;

/// A one-shot gate: handlers wait on it (bounded), the test opens it.
class Gate {
 public:
  void open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  /// False when the gate stayed closed for kWaitMs.
  bool wait() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(kWaitMs), [this] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
};

/// A counter that tests wait on until it reaches a value.
class Counter {
 public:
  void add() {
    std::lock_guard lock(mutex_);
    ++value_;
    changed_.notify_all();
  }
  int value() {
    std::lock_guard lock(mutex_);
    return value_;
  }
  bool waitFor(int wanted, int timeoutMs = kWaitMs) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return value_ >= wanted; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int value_ = 0;
};

class TestService : public JRPCService {
 public:
  explicit TestService(JTraceMask* mask = nullptr, bool registerNow = true, bool startNow = true)
      : JRPCService(0, false, mask, "Test") {
    if (registerNow) {
      registerFunctions();
    }
    if (startNow) {
      start();
    }
  }
  ~TestService() override { shutdown(); }

  void registerFunctions() override;

  // kind 0: the request's values come back as the result.
  void echo(JParams& request, JParams& result) {
    for (const JVariant& value : request) {
      result.add(std::make_unique<JVariant>(value));
    }
  }
  void empty(const JParams&, JParams&) {}
  void upper(const JParams&, JParams& result) { result.set("which", "upper"); }
  void lower(const JParams&, JParams& result) { result.set("which", "lower"); }
  // Reads a required integer x and an optional string s.
  void need(const JParams& request, JParams& result) {
    int32_t x = 0;
    request.get("x", x, true);
    std::string s = "none";
    request.get("s", s, false);
    result.set("x", x + 1);
    result.set("s", s);
  }
  void longError(const JParams&, JParams&) {
    throw JRPCMissingParameterError(std::string(600, 'p'));
  }
  void textError(const JParams&, JParams&) { throw JTextError("first line\nsecond line"); }
  void badAlloc(const JParams&, JParams&) { throw std::bad_alloc(); }
  void notAnError(const JParams&, JParams&) { throw 42; }
  void stopService(const JParams&, JParams&) { shutdown(); }

  // kind 1: records the request and the socket it came on.
  void notify(const JParams& request, JSocket& socket) {
    std::lock_guard lock(mutex_);
    notified_.push_back(request.toString());
    notifySocket_ = &socket;
    notifications_.add();
  }

  // kind 2: answers the port of the requesting client, as the socket sees it.
  void whoAmI(const JParams&, JParams& result, JSocket& socket) {
    result.set("port", static_cast<int64_t>(socket.peerAddress().port()));
    std::lock_guard lock(mutex_);
    answerSocket_ = &socket;
  }

  // Blocks until the gate opens: a request in progress.
  void slow(const JParams&, JParams& result) {
    slowEntered_.add();
    result.set("released", slowGate_.wait());
  }

  // Waits until `n` handlers are inside at once: proof that handlers of
  // different connections run concurrently.
  void rendezvous(const JParams& request, JParams& result) {
    int64_t n = 0;
    request.get("n", n, true);
    std::unique_lock lock(mutex_);
    ++inside_;
    changed_.notify_all();
    const bool met =
        changed_.wait_for(lock, std::chrono::milliseconds(kWaitMs), [&] { return inside_ >= n; });
    result.set("met", met);
  }

  void connectionClosed(JSocket& socket) override {
    std::lock_guard lock(mutex_);
    closedSockets_.push_back(&socket);
    closed_.add();
  }

  std::vector<std::string> notified() {
    std::lock_guard lock(mutex_);
    return notified_;
  }
  JSocket* notifySocket() {
    std::lock_guard lock(mutex_);
    return notifySocket_;
  }
  JSocket* answerSocket() {
    std::lock_guard lock(mutex_);
    return answerSocket_;
  }
  std::vector<JSocket*> closedSockets() {
    std::lock_guard lock(mutex_);
    return closedSockets_;
  }

  Counter notifications_;
  Counter slowEntered_;
  Gate slowGate_;
  Counter closed_;

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int64_t inside_ = 0;
  std::vector<std::string> notified_;
  JSocket* notifySocket_ = nullptr;
  JSocket* answerSocket_ = nullptr;
  std::vector<JSocket*> closedSockets_;
};

inline void TestService::registerFunctions() {
  static const JRPCFunction<TestService> kFunctions[] = {
      {"echo", &TestService::echo},
      {"empty", &TestService::empty},
      {"Case", &TestService::upper},
      {"case", &TestService::lower},
      {"1f", &TestService::echo},
      {"caf\xC3\xA9", &TestService::upper},
      {"need", &TestService::need},
      {"longError", &TestService::longError},
      {"textError", &TestService::textError},
      {"badAlloc", &TestService::badAlloc},
      {"notAnError", &TestService::notAnError},
      {"notify", &TestService::notify},
      {"whoAmI", &TestService::whoAmI},
      {"slow", &TestService::slow},
      {"rendezvous", &TestService::rendezvous},
      {"stopService", &TestService::stopService},
  };
  JRPCServer::registerFunctions(kFunctions);
}

/// A raw client: a TCP socket and the line framing, every read bounded.
class LineClient {
 public:
  explicit LineClient(uint16_t port) {
    auto socket = std::make_unique<JTCPSocket>();
    socket->setConnectTimeout(kWaitMs);
    socket->connect(JInetAddr("127.0.0.1", port));
    socket->setReadTimeout(kWaitMs);
    socket->setWriteTimeout(kWaitMs);
    socket_ = socket.get();
    io_.setSocket(std::move(socket));
  }

  void send(std::string_view line) { io_.writeLine(line); }

  /// The next line; nullopt when the server closed the connection. A read
  /// time-out throws (the test then fails with it).
  std::optional<std::string> receive() {
    std::string_view line;
    if (!io_.readLine(line)) {
      return std::nullopt;
    }
    return std::string(line);
  }

  /// Sends a request and returns its answer ("<closed>" when none came).
  std::string call(std::string_view line) {
    send(line);
    return receive().value_or("<closed>");
  }

  uint16_t localPort() const { return socket_->localAddress().port(); }
  JTCPSocket& socket() { return *socket_; }
  JLineIO& io() { return io_; }

  /// Closes with a reset instead of an orderly close.
  void reset() {
    struct linger abortive {
      1, 0
    };
    socket_->setsockopt(SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    socket_->close();
  }

 private:
  JLineIO io_;
  JTCPSocket* socket_ = nullptr;
};

/// Polls `condition` every few milliseconds for at most kWaitMs.
template <class F>
bool eventually(F&& condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace zq::test
