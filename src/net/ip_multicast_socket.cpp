// JIPMulticastSocket: creation, membership, sender set-up and TTL.
#include "net/ip_multicast_socket.h"

#include <netinet/in.h>

#include <cerrno>
#include <string>

#include "base/error.h"
#include "base/log.h"
#include "net/socket_error.h"

namespace zq {

JIPMulticastSocket::JIPMulticastSocket(const JInetAddr& group, bool sender, bool receiver,
                                       const JInetAddr& local, JTraceMask* mask)
    : JUDPSocket(NoHandle{}, mask), group_(group), sender_(sender), receiver_(receiver) {
  const int fd = openHandle(AF_INET, SOCK_DGRAM, 0, "WSASocket", kMulticastErrorTag);
  JLog::logTraceable(kLevelTraceNetwork, this, "Created IP Multicast socket '%d'", fd);

  const int on = 1;
  if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
    throwSocketError(errno, "setsockopt(SO_REUSEADDR)", kMulticastErrorTag);
  }
  JInetAddr bound = local;
  if (receiver) {
    bound = JInetAddr(group.address(), local.port() != 0 ? local.port() : group.port());
  }
  if (::bind(fd, bound.data(), bound.length()) != 0) {
    throwSocketError(errno, "bind", kMulticastErrorTag);
  }

  if (!sender && !receiver) {
    throw JTextError("specify sender or receiver or both for ip multicast socket");
  }

  const std::string groupText = group.text();
  int err = 0;
  if (receiver) {
    ip_mreq membership{};
    membership.imr_multiaddr = group.address();
    membership.imr_interface = local.address();
    if (::setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0) {
      err = errno;
    }
  }
  if (err == 0 && sender && !local.isAny()) {
    const in_addr interface = local.address();
    if (::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &interface, sizeof interface) != 0) {
      err = errno;
    }
  }
  if (err != 0) {
    const JSysError error = makeSocketError(err, "WSAJoinLeaf", kMulticastErrorTag);
    JLog::logTraceable(kLevelError, this,
                       "Could not join IP multicast group '%s' on socket '%d': %s",
                       groupText.c_str(), fd, error.message().c_str());
    throw error;
  }
  JLog::logTraceable(kLevelTraceNetwork, this,
                     "Joined IP multicast group '%s' on socket '%d', leaf socket '%d'",
                     groupText.c_str(), fd, fd);

  if (sender && !receiver) {
    const unsigned char loop = 0;
    if (::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) != 0) {
      throwSocketError(errno, "WSAIoctl(SIO_MULTIPOINT_LOOPBACK)", kMulticastErrorTag);
    }
  }
}

size_t JIPMulticastSocket::write(const void* buffer, size_t length) {
  if (!sender_) {
    return JUDPSocket::write(buffer, length);
  }
  const JSocketPiece piece{const_cast<void*>(buffer), length};
  return send(&piece, 1, &group_, "send");
}

size_t JIPMulticastSocket::writev(const JSocketPiece* pieces, size_t count) {
  if (!sender_) {
    return JUDPSocket::writev(pieces, count);
  }
  return send(pieces, count, &group_, "WSASend");
}

void JIPMulticastSocket::setTTL(int ttl) {
  const int fd = handle();
  if (::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) == 0) {
    return;
  }
  JLog::logTraceable(kLevelDebug, this, "WSAIoctl() failed, Err %d\n",
                     static_cast<int>(socketErrorCode(errno) & ~JSysError::kSocketTag));
  if (ttl >= 0 && ttl <= 255) {
    const unsigned char small = static_cast<unsigned char>(ttl);
    if (::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &small, sizeof small) == 0) {
      return;
    }
  } else {
    errno = EINVAL;
  }
  JLog::logTraceable(kLevelDebug, this, "setsockopt() failed, Err %d\n",
                     static_cast<int>(socketErrorCode(errno) & ~JSysError::kSocketTag));
}

}  // namespace zq
