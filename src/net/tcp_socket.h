// JTCPSocket: a TCP socket: created on construction, bound to a port,
// listening, or connected with the connect time-out.
#pragma once

#include <cstdint>

#include "net/sock_addr.h"
#include "net/stream_socket.h"

namespace zq {

class JTCPSocket : public JStreamSocket {
 public:
  /// Creates the socket ("socket"); logs "Created TCP Socket '%d'" (level
  /// 18). Its address can be bound again while old connections on it linger
  /// in TIME_WAIT, so a service can restart on its port at once; two
  /// listeners still cannot share a port.
  /// `mask`: see JSocket; given here, it also governs the creation line.
  explicit JTCPSocket(JTraceMask* mask = nullptr);
  /// Takes ownership of an existing TCP handle.
  explicit JTCPSocket(int handle, JTraceMask* mask = nullptr) : JStreamSocket(handle, mask) {}

  using JSocket::bind;
  /// Any local address and `port` (0: one the system picks); logs "Bound TCP
  /// Socket '%d' to port '%d'" (level 18). Failure throws "bind".
  void bind(uint16_t port);

  /// Starts listening. Never throws: a failure is logged "Could not listen on
  /// socket '%d' with backlog '%d'" (level 11). The system caps the backlog.
  void listen(int backlog);

  /// Connects, bounded by the connect time-out (none when negative). The
  /// socket is switched to non-blocking mode for the attempt
  /// ("ioctlsocket(FIONBIO)" on failure) and back; when the time-out expires
  /// JTimeoutError is thrown and the socket keeps its handle, still
  /// non-blocking, for its owner to close.
  /// A refused or failed attempt logs "Failed to connect socket '%d' to '%s':
  /// %s" (level 11) and throws "WSAConnect". The QoS block, if any, is handed
  /// on and reserves nothing.
  ///
  /// Concurrency: close() from another thread aborts the attempt (10004).
  virtual void connect(const JSockAddr& address);

 private:
  [[noreturn]] void connectFailed(const Use& use, int err, const std::string& target);
};

}  // namespace zq
