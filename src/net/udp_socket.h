// JUDPSocket: a UDP socket, created on construction, bound to a local
// interface and port, optionally connected to one peer.
#pragma once

#include <cstdint>

#include "net/datagram_socket.h"

namespace zq {

class JUDPSocket : public JDatagramSocket {
 public:
  /// Creates the socket ("socket").
  /// `mask`: see JSocket.
  explicit JUDPSocket(JTraceMask* mask = nullptr);
  /// Takes ownership of an existing UDP handle.
  explicit JUDPSocket(int handle, JTraceMask* mask = nullptr) : JDatagramSocket(handle, mask) {}

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
  JUDPSocket(NoHandle, JTraceMask* mask) : JDatagramSocket(mask) {}
};

}  // namespace zq
