// JBroadcastSocket: a UDP socket allowed to send to broadcast addresses.
#pragma once

#include "net/datagram_socket.h"
#include "net/inet_addr.h"

namespace zq {

class JBroadcastSocket : public JDatagramSocket {
 public:
  /// Opens the socket (see open()). `mask`: see JSocket.
  explicit JBroadcastSocket(JTraceMask* mask = nullptr);

  /// Creates a UDP socket ("socket") with SO_BROADCAST set (failure throws
  /// "setsockopt(SO_BROADCAST)"), replacing any handle held before.
  virtual void open();
  /// Makes `destination` (a broadcast address and port, or any other) the
  /// peer of write() ("WSAConnect").
  virtual void setDestination(const JInetAddr& destination);
};

}  // namespace zq
