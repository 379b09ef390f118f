// Loopback ports for connects that must fail or never end, without sending
// anything off the machine.
#pragma once

#include <memory>
#include <vector>

#include "base/error.h"
#include "net/inet_addr.h"
#include "net/tcp_socket.h"

namespace zq::test {

/// A loopback port that refuses every connect: bound but not listening. While
/// this one lives the system picks its number for no other socket (no bind to
/// port 0, no connect), but an explicit bind to it with address reuse, which
/// every socket of ours asks for, succeeds: a server may be started on it
/// later. take() gives the bound socket to a server that is to listen on it.
class RefusingPort {
 public:
  RefusingPort() : socket_(std::make_unique<JTCPSocket>()) {
    socket_->bind(JInetAddr("127.0.0.1", 0));
    port_ = socket_->localAddress().port();
  }
  uint16_t port() const { return port_; }
  std::unique_ptr<JTCPSocket> take() { return std::move(socket_); }

 private:
  std::unique_ptr<JTCPSocket> socket_;
  uint16_t port_ = 0;
};

/// A loopback listener whose accept queue is full: a connect is never answered.
class FullListener {
 public:
  FullListener() {
    listener_.bind(JInetAddr("127.0.0.1", 0));
    listener_.listen(0);
    for (int i = 0; i < 32 && !full_; ++i) {
      fillers_.push_back(std::make_unique<JTCPSocket>());
      fillers_.back()->setConnectTimeout(300);
      try {
        fillers_.back()->connect(JInetAddr("127.0.0.1", port()));
      } catch (const JTimeoutError&) {
        full_ = true;
      }
    }
  }
  bool full() const { return full_; }
  uint16_t port() const { return listener_.localAddress().port(); }

 private:
  JTCPSocket listener_;
  bool full_ = false;
  std::vector<std::unique_ptr<JTCPSocket>> fillers_;
};

}  // namespace zq::test
