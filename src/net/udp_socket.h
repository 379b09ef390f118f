// JUDPSocket: a UDP socket, created on construction, bound to a local
// interface and port, optionally connected to one peer.
#pragma once

#include <cstdint>

#include "net/datagram_socket.h"

namespace zq {

class JUDPSocket : public JDatagramSocket {
 public:
  /// Creates the socket ("socket").
  JUDPSocket();
  /// Takes ownership of an existing UDP handle.
  explicit JUDPSocket(int handle) : JDatagramSocket(handle) {}

  using JSocket::bind;
  /// Binds to the address of local interface `interfaceNumber` (below 1: any
  /// address; see JInetAddr::fromInterface) and `port` (0: one the system
  /// picks). Failure throws "bind", or JTextError for a bad interface number.
  void bind(int interfaceNumber, uint16_t port);
  /// Any local address, a port the system picks; localAddress() tells which.
  void bindEphemeral() { bind(0, 0); }

 protected:
  /// For subclasses that create their handle themselves.
  struct NoHandle {};
  explicit JUDPSocket(NoHandle) {}
};

}  // namespace zq
