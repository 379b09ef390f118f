// JUDPSocket: creation and binding to an interface number.
#include "net/udp_socket.h"

#include <netinet/in.h>

#include "net/inet_addr.h"

namespace zq {

JUDPSocket::JUDPSocket(JTraceMask* mask) : JDatagramSocket(mask) {
  openHandle(AF_INET, SOCK_DGRAM, IPPROTO_UDP, "socket");
}

void JUDPSocket::bind(int interfaceNumber, uint16_t port) {
  JInetAddr local = JInetAddr::fromInterface(interfaceNumber);
  local.setPort(port);
  JSocket::bind(local);
}

}  // namespace zq
