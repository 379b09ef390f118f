// JBroadcastSocket: SO_BROADCAST and the destination of its datagrams.
#include "net/broadcast_socket.h"

#include <netinet/in.h>

#include <cerrno>

#include "net/socket_error.h"

namespace zq {

JBroadcastSocket::JBroadcastSocket(JTraceMask* mask) : JDatagramSocket(mask) {
  JBroadcastSocket::open();
}

void JBroadcastSocket::open() {
  const int fd = openHandle(AF_INET, SOCK_DGRAM, IPPROTO_UDP, "socket");
  const int on = 1;
  if (::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
    throwSocketError(errno, "setsockopt(SO_BROADCAST)");
  }
}

void JBroadcastSocket::setDestination(const JInetAddr& destination) {
  connect(destination);
}

}  // namespace zq
