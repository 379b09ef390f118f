// What the RPC client and controller tests share: a scripted line server on
// loopback that records every line it receives and answers as the test says,
// a link listener that records its events, ports nobody listens on or that
// never answer, and bounded waiting.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/error.h"
#include "helpers/log_capture.h"
#include "net/inet_addr.h"
#include "net/tcp_socket.h"
#include "rpc/line_io.h"
#include "rpc/rpc_notify.h"

namespace zq::test {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

inline long long msBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration_cast<milliseconds>(to - from).count();
}

/// Records of `log` at `level` whose text contains `text`.
inline size_t countAt(const LogCapture& log, int level, std::string_view text) {
  size_t n = 0;
  for (const LogCapture::Record& r : log.records()) {
    n += (r.level == level && r.text.find(text) != std::string::npos) ? 1 : 0;
  }
  return n;
}

/// Polls `condition` every 10 ms until it holds or `limitMs` passed.
template <class F>
bool eventually(F&& condition, int limitMs = 5000) {
  const auto until = Clock::now() + milliseconds(limitMs);
  while (!condition()) {
    if (Clock::now() >= until) {
      return false;
    }
    std::this_thread::sleep_for(milliseconds(10));
  }
  return true;
}

/// A line server on 127.0.0.1 with a port of the system's choice. Each
/// accepted connection gets a thread that reads lines, records them with
/// their time, and does what the responder says: answer a line, stay silent,
/// or close the connection.
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

  /// PING gets PONG, anything else "OK ".
  static Responder standard() {
    return [](const std::string& l) { return l == "PING" ? line("PONG") : line("OK "); };
  }

  struct Received {
    std::string text;
    Clock::time_point at;
    int connection;  // 1 for the first accepted connection
  };

  /// `port` 0: one the system picks.
  explicit ScriptedLineServer(Responder responder = standard(), uint16_t port = 0)
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

  /// Closes every connection's socket: the client sees its peer gone.
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
  /// Received lines equal to `text`.
  std::vector<Received> receivedOf(std::string_view text) const {
    std::vector<Received> out;
    for (const Received& r : received()) {
      if (r.text == text) {
        out.push_back(r);
      }
    }
    return out;
  }
  bool waitForLines(size_t n, int limitMs = 5000) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, milliseconds(limitMs), [&] { return received_.size() >= n; });
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
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, milliseconds(limitMs),
                             [&] { return static_cast<int>(acceptedAt_.size()) >= n; });
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
      auto io = std::make_unique<JLineIO>(std::move(socket));
      JLineIO* raw = io.get();
      std::lock_guard lock(mutex_);
      acceptedAt_.push_back(Clock::now());
      const int number = static_cast<int>(acceptedAt_.size());
      connections_.push_back(std::move(io));
      threads_.emplace_back([this, raw, number] { serve(*raw, number); });
      changed_.notify_all();
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
          changed_.notify_all();
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
  mutable std::condition_variable changed_;
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
    for (int i = 0; i < 32; ++i) {
      auto filler = std::make_unique<JTCPSocket>();
      filler->setConnectTimeout(300);
      try {
        filler->connect(JInetAddr("127.0.0.1", port_));
      } catch (const JTimeoutError&) {
        full_ = true;
      }
      fillers_.push_back(std::move(filler));
      if (full_) {
        break;
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

/// A JRPCNotify that records its events. With `ownsErrors` it deletes the
/// errors it is handed (a client built with delete-error-after-notify clear).
class RecordingNotify : public JRPCNotify {
 public:
  explicit RecordingNotify(bool ownsErrors = false) : ownsErrors_(ownsErrors) {}

  void linkUp() override {
    std::lock_guard lock(mutex_);
    events_.push_back("up");
    threads_.push_back(static_cast<int>(::gettid()));
    changed_.notify_all();
  }
  void linkDown(JError* error) override {
    std::lock_guard lock(mutex_);
    events_.push_back("down:" + (error != nullptr ? error->message() : std::string("null")));
    threads_.push_back(static_cast<int>(::gettid()));
    if (ownsErrors_) {
      delete error;
    }
    changed_.notify_all();
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
    std::lock_guard lock(mutex_);
    size_t n = 0;
    for (const std::string& e : events_) {
      n += e.starts_with(prefix) ? 1 : 0;
    }
    return n;
  }
  bool waitFor(std::string_view prefix, size_t n, int limitMs = 5000) const {
    return eventually([&] { return countOf(prefix) >= n; }, limitMs);
  }

 private:
  const bool ownsErrors_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> events_;
  std::vector<int> threads_;
};

}  // namespace zq::test
