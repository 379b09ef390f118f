// JTCPSocket: creation, bind to a port, listen, and the bounded connect.
#include "net/tcp_socket.h"

#include <netinet/in.h>
#include <poll.h>

#include <cerrno>
#include <string>

#include "base/error.h"
#include "base/log.h"
#include "net/inet_addr.h"
#include "net/socket_error.h"

namespace zq {
namespace {

// The outcome of a connect that a signal interrupted: the attempt goes on in
// the system, so wait for it to finish and read its result.
// Waits without a bound until a connect under way has an outcome; 0 or the
// errno of the wait.
int waitConnectOutcome(int fd) {
  for (;;) {
    pollfd entry{fd, POLLOUT, 0};
    if (::poll(&entry, 1, -1) > 0) {
      return 0;
    }
    if (errno != EINTR) {
      return errno;
    }
  }
}

}  // namespace

JTCPSocket::JTCPSocket(JTraceMask* mask) : JStreamSocket(mask) {
  const int fd = openHandle(AF_INET, SOCK_STREAM, IPPROTO_TCP, "socket");
  const int on = 1;
  if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
    throwSocketError(errno, "setsockopt(SO_REUSEADDR)");
  }
  JLog::logTraceable(kLevelTraceNetwork, this, "Created TCP Socket '%d'", fd);
}

void JTCPSocket::bind(uint16_t port) {
  JSocket::bind(JInetAddr(in_addr{htonl(INADDR_ANY)}, port));
  JLog::logTraceable(kLevelTraceNetwork, this, "Bound TCP Socket '%d' to port '%d'", handle(),
                     static_cast<int>(port));
}

void JTCPSocket::listen(int backlog) {
  const int fd = handle();
  if (fd < 0 || ::listen(fd, backlog) != 0) {
    JLog::logTraceable(kLevelError, this, "Could not listen on socket '%d' with backlog '%d'", fd,
                       backlog);
    return;
  }
  JLog::logTraceable(kLevelTraceNetwork, this, "Listening on socket '%d' with backlog '%d'", fd,
                     backlog);
}

void JTCPSocket::connectFailed(const Use& use, int err, const std::string& target) {
  const JSysError error = failure(use, err, "WSAConnect");
  JLog::logTraceable(kLevelError, this, "Failed to connect socket '%d' to '%s': %s", use.fd(),
                     target.c_str(), error.message().c_str());
  throw error;
}

void JTCPSocket::connect(const JSockAddr& address) {
  Use use(*this, "WSAConnect");
  const int fd = use.fd();
  const std::string target = address.text();
  const int32_t timeout = connectTimeout();
  JLog::logTraceable(kLevelTraceNetwork, this, "Connecting socket '%d' to '%s' with timeout '%d'",
                     fd, target.c_str(), timeout);
  // Started without blocking whatever the time-out: a close() from another
  // thread wakes a socket that is connecting, not one about to start, so
  // the attempt checks for one once it is under way.
  if (!setNonBlocking(fd, true)) {
    const JSysError error = failure(use, errno, "ioctlsocket(FIONBIO)");
    JLog::logTraceable(kLevelError, this, "Failed to put socket '%d' into non-blocking mode: %s",
                       fd, error.message().c_str());
    throw error;
  }
  if (::connect(fd, address.data(), address.length()) != 0) {
    int err = errno;
    if (err == EINPROGRESS || err == EINTR || err == EWOULDBLOCK) {
      err = use.closed() ? EINTR : 0;
    }
    if (err != 0) {
      setNonBlocking(fd, false);
      connectFailed(use, err, target);
    }
    if (timeout < 0) {
      if (const int waitErr = waitConnectOutcome(fd); waitErr != 0) {
        setNonBlocking(fd, false);
        connectFailed(use, waitErr, target);
      }
    } else {
      waitReady(use, POLLOUT, timeout);
    }
  }
  if (!setNonBlocking(fd, false)) {
    fail(use, errno, "ioctlsocket(FIONBIO)");
  }
  int soError = 0;
  socklen_t length = sizeof soError;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &length) != 0) {
    soError = errno;
  }
  if (soError != 0 || use.closed()) {
    connectFailed(use, soError, target);
  }
  JLog::logTraceable(kLevelTraceNetwork, this, "Connected socket '%d' to '%s'", fd, target.c_str());
}

}  // namespace zq
