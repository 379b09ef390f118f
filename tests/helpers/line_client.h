// A raw peer of an RPC service on loopback: a TCP socket and the line
// framing, for what the tests (and the attack benchmark) send where a real
// client would not, or where they look at a service from outside.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "base/error.h"
#include "net/inet_addr.h"
#include "net/tcp_socket.h"
#include "rpc/line_io.h"

namespace zq::test {

/// What a LineClient reads once the service closed or reset the connection.
inline const std::string kClosed = "<closed>";

class LineClient {
 public:
  /// Every connect, read and write ends within it, on slow builds too.
  static constexpr int kWaitMs = 20000;

  /// Connects to 127.0.0.1 at `port` from the loopback address `from` (any
  /// when null), at once unless `connectNow` is false: connect() then does.
  explicit LineClient(uint16_t port, const char* from = nullptr, bool connectNow = true)
      : port_(port) {
    auto socket = std::make_unique<JTCPSocket>();
    if (from != nullptr) {
      socket->bind(JInetAddr(from, 0));
    }
    socket->setConnectTimeout(kWaitMs);
    socket->setReadTimeout(kWaitMs);
    socket->setWriteTimeout(kWaitMs);
    socket_ = socket.get();
    io_.setSocket(std::move(socket));
    if (connectNow) {
      connect();
    }
  }
  void connect() { socket_->connect(JInetAddr("127.0.0.1", port_)); }
  /// The next line, or kClosed when the service closed or reset the
  /// connection; any other failure (a time-out too) is thrown.
  std::string receive() {
    std::string_view line;
    try {
      return io_.readLine(line) ? std::string(line) : kClosed;
    } catch (const JSysError& e) {
      return e.code() == (JSysError::kSocketTag | 10054) ? kClosed : throw;
    }
  }
  /// One request and its answer. A write cut short by the service's close
  /// is no failure: the read tells how the connection ended.
  std::string call(std::string_view line) {
    try {
      io_.writeLine(line);
    } catch (const JSysError&) {
    }
    return receive();
  }
  /// Ends the connection with a reset rather than a close.
  void reset() {
    const linger abortive{1, 0};
    socket_->setsockopt(SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    socket_->close();
  }
  JTCPSocket& socket() { return *socket_; }

 private:
  uint16_t port_;
  JLineIO io_;
  JTCPSocket* socket_ = nullptr;
};

}  // namespace zq::test
