// JDatagramSocket: a connectionless socket that can be given a default peer,
// the base of the UDP, broadcast and IP multicast sockets.
#pragma once

#include "net/sock_addr.h"
#include "net/socket.h"

namespace zq {

class JDatagramSocket : public JSocket {
 public:
  /// `mask`: see JSocket.
  explicit JDatagramSocket(JTraceMask* mask = nullptr) : JSocket(mask) {}
  /// Takes ownership of `handle`.
  explicit JDatagramSocket(int handle, JTraceMask* mask = nullptr) : JSocket(handle, mask) {}

  /// Makes `address` the peer of write() and the only source read() accepts
  /// ("WSAConnect"). The QoS block, if any, is handed on and reserves nothing.
  virtual void connect(const JSockAddr& address);
};

}  // namespace zq
