// What the RPC client and controller tests share: a scripted line server on
// loopback that records every line it receives and answers as the test says,
// a link listener that records its events, ports nobody listens on or that
// never answer, a client factory, and bounded waiting.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/error.h"
#include "helpers/log_capture.h"
#include "helpers/waits.h"
#include "net/inet_addr.h"
#include "net/tcp_socket.h"
#include "rpc/line_io.h"
#include "rpc/rpc_client.h"
#include "rpc/rpc_notify.h"

namespace zq::test {

inline long long msBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}

/// Records of `log` at `level` whose text contains `text`.
inline size_t countAt(const LogCapture& log, int level, std::string_view text) {
  size_t n = 0;
  for (const LogCapture::Record& r : log.records()) {
    n += (r.level == level && r.text.find(text) != std::string::npos) ? 1 : 0;
  }
  return n;
}

/// The message of the E that `f` throws, or "(nothing thrown)".
template <class E, class F>
std::string thrown(F&& f) {
  try {
    f();
  } catch (const E& e) {
    return e.message();
  }
  return "(nothing thrown)";
}

/// A line server on 127.0.0.1. Each accepted connection gets a thread that
/// reads lines, records them, and does what the responder says: answer,
/// stay silent, or close the connection.
class ScriptedLineServer {
 public:
  struct Reply {
    enum Kind { kLine, kSilent, kClose } kind = kSilent;
    std::string text;
  };
  static Reply line(std::string text) { return {Reply::kLine, std::move(text)}; }
  static Reply silent() { return {Reply::kSilent, {}}; }
  static Reply close() { return {Reply::kClose, {}}; }
  using Responder = std::function<Reply(const std::string& line)>;
  /// PING gets PONG, anything else `answer`.
  static Responder answering(std::string answer = "OK ") {
    return [answer](const std::string& l) { return line(l == "PING" ? "PONG" : answer); };
  }

  struct Received {
    std::string text;
    Clock::time_point at;
    int connection;  // 1 for the first accepted connection
  };

  explicit ScriptedLineServer(Responder responder = answering(), uint16_t port = 0)
      : responder_(std::move(responder)) {
    listener_.bind(JInetAddr("127.0.0.1", port));
    listener_.listen(16);
    port_ = listener_.localAddress().port();
    acceptThread_ = std::thread([this] { acceptLoop(); });
  }
  ~ScriptedLineServer() {
    listener_.close();
    acceptThread_.join();
    dropConnections();
    std::vector<std::thread> threads;
    {
      std::lock_guard lock(mutex_);
      threads.swap(threads_);
    }
    for (std::thread& t : threads) {
      t.join();
    }
  }

  uint16_t port() const { return port_; }
  void setResponder(Responder responder) {
    std::lock_guard lock(mutex_);
    responder_ = std::move(responder);
  }
  /// Closes every connection: the client sees its peer gone.
  void dropConnections() {
    std::lock_guard lock(mutex_);
    for (auto& io : connections_) {
      io->socket()->close();
    }
  }
  std::vector<Received> received() const {
    std::lock_guard lock(mutex_);
    return received_;
  }
  std::vector<std::string> lines() const {
    std::vector<std::string> out;
    for (const Received& r : received()) {
      out.push_back(r.text);
    }
    return out;
  }
  std::vector<Received> receivedOf(std::string_view text) const {
    std::vector<Received> out;
    for (const Received& r : received()) {
      if (r.text == text) {
        out.push_back(r);
      }
    }
    return out;
  }
  bool waitForCount(std::string_view text, size_t n, int limitMs = 5000) const {
    return eventually([&] { return receivedOf(text).size() >= n; }, limitMs);
  }
  int accepted() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(acceptedAt_.size());
  }
  /// When the n-th connection (from 1) was accepted.
  Clock::time_point acceptedAt(int n) const {
    std::lock_guard lock(mutex_);
    return acceptedAt_.at(static_cast<size_t>(n - 1));
  }
  bool waitForAccepted(int n, int limitMs = 5000) const {
    return eventually([&] { return accepted() >= n; }, limitMs);
  }

 private:
  void acceptLoop() {
    for (;;) {
      std::unique_ptr<JStreamSocket> socket;
      try {
        socket = listener_.accept();
      } catch (const JError&) {
        return;  // closed by the destructor
      }
      std::lock_guard lock(mutex_);
      acceptedAt_.push_back(Clock::now());
      connections_.push_back(std::make_unique<JLineIO>(std::move(socket)));
      threads_.emplace_back([this, io = connections_.back().get(), n = acceptedAt_.size()] {
        serve(*io, static_cast<int>(n));
      });
    }
  }
  void serve(JLineIO& io, int number) {
    try {
      std::string_view view;
      while (io.readLine(view)) {
        const std::string text(view);
        Responder responder;
        {
          std::lock_guard lock(mutex_);
          received_.push_back({text, Clock::now(), number});
          responder = responder_;
        }
        const Reply reply = responder(text);
        if (reply.kind == Reply::kClose) {
          io.socket()->close();
          return;
        }
        if (reply.kind == Reply::kLine) {
          io.writeLine(reply.text);
        }
      }
    } catch (const JError&) {
      // The connection was shut down under the read or the write.
    }
  }

  JTCPSocket listener_;
  uint16_t port_ = 0;
  std::thread acceptThread_;
  mutable std::mutex mutex_;
  Responder responder_;
  std::vector<std::unique_ptr<JLineIO>> connections_;
  std::vector<std::thread> threads_;
  std::vector<Received> received_;
  std::vector<Clock::time_point> acceptedAt_;
};

/// A loopback port nobody listens on: bound, noted, and closed again.
inline uint16_t closedPort() {
  JTCPSocket socket;
  socket.bind(JInetAddr("127.0.0.1", 0));
  const uint16_t port = socket.localAddress().port();
  socket.close();
  return port;
}

/// A loopback listener whose accept queue is full: a connect to it is never
/// answered, until the connect's own time-out.
class FullListener {
 public:
  FullListener() {
    listener_.bind(JInetAddr("127.0.0.1", 0));
    listener_.listen(0);
    port_ = listener_.localAddress().port();
    for (int i = 0; i < 32 && !full_; ++i) {
      fillers_.push_back(std::make_unique<JTCPSocket>());
      fillers_.back()->setConnectTimeout(300);
      try {
        fillers_.back()->connect(JInetAddr("127.0.0.1", port_));
      } catch (const JTimeoutError&) {
        full_ = true;
      }
    }
  }
  bool full() const { return full_; }
  uint16_t port() const { return port_; }

 private:
  JTCPSocket listener_;
  uint16_t port_ = 0;
  bool full_ = false;
  std::vector<std::unique_ptr<JTCPSocket>> fillers_;
};

/// A JRPCNotify that records its events ("up", "down:<message>") and their
/// threads. With `ownsErrors` it deletes the errors it is handed.
class RecordingNotify : public JRPCNotify {
 public:
  explicit RecordingNotify(bool ownsErrors = false) : ownsErrors_(ownsErrors) {}
  void linkUp() override { add("up"); }
  void linkDown(JError* error) override {
    add("down:" + (error != nullptr ? error->message() : std::string("null")));
    if (ownsErrors_) {
      delete error;
    }
  }
  std::vector<std::string> events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }
  std::vector<int> threads() const {
    std::lock_guard lock(mutex_);
    return threads_;
  }
  size_t countOf(std::string_view prefix) const {
    size_t n = 0;
    for (const std::string& e : events()) {
      n += e.starts_with(prefix) ? 1 : 0;
    }
    return n;
  }
  bool waitFor(std::string_view prefix, size_t n, int limitMs = 5000) const {
    return eventually([&] { return countOf(prefix) >= n; }, limitMs);
  }

 private:
  void add(std::string event) {
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(event));
    threads_.push_back(static_cast<int>(::gettid()));
  }
  const bool ownsErrors_;
  mutable std::mutex mutex_;
  std::vector<std::string> events_;
  std::vector<int> threads_;
};

struct ClientOptions {
  int32_t connectTimeout = 2000;
  bool retry = true;
  bool connectNow = true;
  int32_t reconnectPeriod = 0;
  int32_t pingPeriod = 0;
  bool startSupervisor = true;
  bool deleteErrorAfterNotify = true;
  JRPCNotify* listener = nullptr;
  JTraceMask* mask = nullptr;
};

/// A client of 127.0.0.1:`port` with a 2 s write time-out.
inline std::unique_ptr<JRPCClientNotify> makeClient(uint16_t port, const ClientOptions& o = {}) {
  return std::make_unique<JRPCClientNotify>(o.listener, "127.0.0.1", port, o.connectTimeout, 2000,
                                            o.retry, o.connectNow, o.reconnectPeriod, o.pingPeriod,
                                            o.startSupervisor, o.deleteErrorAfterNotify, o.mask,
                                            "test client");
}

inline std::string target(uint16_t port) {
  return "127.0.0.1:" + std::to_string(port);
}

}  // namespace zq::test
