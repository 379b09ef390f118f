// JDatagramSocket: the default peer of a connectionless socket.
#include "net/datagram_socket.h"

#include <cerrno>

namespace zq {

void JDatagramSocket::connect(const JSockAddr& address) {
  Use use(*this, "WSAConnect");
  while (::connect(use.fd(), address.data(), address.length()) != 0) {
    if (errno != EINTR) {
      fail(use, errno, "WSAConnect");
    }
  }
}

}  // namespace zq
