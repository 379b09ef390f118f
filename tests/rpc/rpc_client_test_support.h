// What the RPC client and controller tests share: a scripted line server, a
// link recorder, a client.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/error.h"
#include "helpers/log_capture.h"
#include "helpers/ports.h"
#include "helpers/thrown.h"
#include "helpers/waits.h"
#include "net/tcp_socket.h"
#include "rpc/rpc_client.h"
#include "rpc/rpc_error.h"

namespace zq::test {

const std::string kRefused =
    "system call error at function 'WSAConnect' : No connection could be made because the target "
    "machine actively refused it";

/// Records of `log` at `level` whose text contains `text`.
inline size_t countAt(const LogCapture& log, int level, std::string_view text) {
  return std::ranges::count_if(log.records(), [&](const LogCapture::Record& r) {
    return r.level == level && r.text.find(text) != std::string::npos;
  });
}

const std::string kSilent = "\nsilent";

/// A line server on 127.0.0.1: a thread per connection records each line and
/// answers or stays silent as the responder says.
class ScriptedLineServer {
 public:
  /// The answer to a line: a line, or kSilent (no line holds a line feed).
  using Responder = std::function<std::string(const std::string& line)>;
  /// PING gets PONG, anything else `answer`.
  static Responder answering(std::string answer = "OK ") {
    return [answer](const std::string& l) { return l == "PING" ? "PONG" : answer; };
  }
  /// Listens on `bound` when given (a port the test already handed out),
  /// otherwise on a port the system picks.
  explicit ScriptedLineServer(Responder responder = answering(),
                              std::unique_ptr<JTCPSocket> bound = nullptr)
      : responder_(std::move(responder)), listener_(std::move(bound)) {
    if (listener_ == nullptr) {
      listener_ = std::make_unique<JTCPSocket>();
      listener_->bind(JInetAddr("127.0.0.1", 0));
    }
    listener_->listen(16);
    port_ = listener_->localAddress().port();
    acceptThread_ = std::thread([this] { acceptLoop(); });
  }
  ~ScriptedLineServer() {
    listener_->close();
    acceptThread_.join();
    {
      std::lock_guard lock(mutex_);
      std::ranges::for_each(connections_, [](auto& io) { io->socket()->close(); });
    }
    std::ranges::for_each(threads_, [](std::thread& t) { t.join(); });
  }

  uint16_t port() const { return port_; }
  std::vector<std::string> lines() const {
    std::lock_guard lock(mutex_);
    return received_;
  }
  /// Waits until `text` was received `n` times.
  bool waitFor(std::string_view text, size_t n = 1, int limitMs = 20000) const {
    return eventually([&] { return std::cmp_greater_equal(std::ranges::count(lines(), text), n); },
                      limitMs);
  }

 private:
  void acceptLoop() {
    for (;;) {
      std::unique_ptr<JStreamSocket> socket;
      try {
        socket = listener_->accept();
      } catch (const JError&) {
        return;
      }
      std::lock_guard lock(mutex_);
      connections_.push_back(std::make_unique<JLineIO>(std::move(socket)));
      threads_.emplace_back([this, io = connections_.back().get()] { serve(*io); });
    }
  }
  void serve(JLineIO& io) {
    try {
      std::string_view view;
      while (io.readLine(view)) {
        const std::string text(view);
        std::unique_lock lock(mutex_);
        received_.push_back(text);
        const Responder responder = responder_;
        lock.unlock();
        const std::string reply = responder(text);
        if (reply != kSilent) {
          io.writeLine(reply);
        }
      }
    } catch (const JError&) {
    }
  }

  Responder responder_;
  std::unique_ptr<JTCPSocket> listener_;
  uint16_t port_ = 0;
  std::thread acceptThread_;
  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<JLineIO>> connections_;
  std::vector<std::thread> threads_;
  std::vector<std::string> received_;
};

/// Records the link events of a client or a controller: "up" or
/// "down:<message>", the context and the thread's name.
class LinkRecorder : public JRPCNotify, public JRPCNotifyWithContext<> {
 public:
  struct Event {
    std::string what;
    JRPCControllerInterface* context;
    std::string thread;
  };
  void linkUp() override { linkUp(nullptr); }
  void linkDown(JError* error) override { linkDown(nullptr, error); }
  void linkUp(JRPCControllerInterface* context) override {
    std::lock_guard lock(mutex_);
    events_.push_back({"up", context, JLog::currentThreadName()});
  }
  void linkDown(JRPCControllerInterface* context, JError* error) override {
    std::unique_lock lock(mutex_);
    events_.push_back({"down:" + (error != nullptr ? error->message() : std::string("null")),
                       context, JLog::currentThreadName()});
    lock.unlock();
    if (slowLinkDown) {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    ++linkDownsReturned;
  }
  std::vector<Event> events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }
  std::vector<std::string> whats() const {
    std::vector<std::string> out;
    std::ranges::transform(events(), std::back_inserter(out), &Event::what);
    return out;
  }
  size_t countOf(std::string_view prefix) const {
    return std::ranges::count_if(whats(),
                                 [&](const std::string& w) { return w.starts_with(prefix); });
  }
  bool waitFor(std::string_view prefix, size_t n = 1, int limitMs = 20000) const {
    return eventually([&] { return countOf(prefix) >= n; }, limitMs);
  }

  std::atomic<bool> slowLinkDown{false};
  std::atomic<int> linkDownsReturned{0};

 private:
  mutable std::mutex mutex_;
  std::vector<Event> events_;
};

struct ClientOptions {
  int32_t connectTimeout = 2000;
  bool retry = true;
  bool connectNow = true;
  int32_t pingPeriod = 0;
  JRPCNotify* listener = nullptr;
  JTraceMask* mask = nullptr;
};

inline std::unique_ptr<JRPCClientNotify> makeClient(uint16_t port, const ClientOptions& o = {}) {
  return std::make_unique<JRPCClientNotify>(o.listener, "127.0.0.1", port, o.connectTimeout, 2000,
                                            o.retry, o.connectNow, /*reconnectPeriod=*/0,
                                            o.pingPeriod, /*startSupervisor=*/true,
                                            /*deleteErrorAfterNotify=*/true, o.mask, "test client");
}

inline std::string target(uint16_t port) {
  return "127.0.0.1:" + std::to_string(port);
}

}  // namespace zq::test
