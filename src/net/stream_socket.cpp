// JStreamSocket: accepting connections and their keep-alive set-up.
#include "net/stream_socket.h"

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <cerrno>
#include <string>

#include "base/error.h"
#include "base/log.h"

namespace zq {
namespace {

// Unanswered probes before the system drops an idle connection: with 3 s
// intervals a dead peer is noticed about 33 s after the link went quiet.
constexpr int kKeepAliveProbes = 10;

// Rounded up; in 64 bits, so that the largest time-outs do not overflow on
// the way (the system then refuses them, and the failure is logged).
int toSeconds(int32_t milliseconds) {
  const int64_t seconds = (static_cast<int64_t>(milliseconds) + 999) / 1000;
  return seconds < 1 ? 1 : static_cast<int>(seconds);
}

}  // namespace

int JStreamSocket::acceptHandle(const Use& use, sockaddr_in& address) {
  for (;;) {
    socklen_t length = sizeof address;
    const int fd =
        ::accept4(use.fd(), reinterpret_cast<sockaddr*>(&address), &length, SOCK_CLOEXEC);
    const int saved = errno;
    if (fd >= 0 || saved != EINTR || use.closed()) {
      errno = saved;
      return fd;
    }
  }
}

std::unique_ptr<JStreamSocket> JStreamSocket::accept(JInetAddr* peer) {
  Use use(*this, "accept");
  waitReady(use, POLLIN, acceptTimeout());
  sockaddr_in address{};
  const int fd = acceptHandle(use, address);
  if (fd < 0) {
    const JSysError error = failure(use, errno, "accept");
    JLog::logTraceable(kLevelError, this, "Could not accept connection: %s",
                       error.message().c_str());
    throw error;
  }
  return adoptClient(fd, address, peer);
}

std::unique_ptr<JStreamSocket> JStreamSocket::tryAccept(JInetAddr* peer, int& err,
                                                        int32_t timeoutMs) {
  Use use(*this, "accept");
  sockaddr_in address{};
  int fd = -1;
  if (timeoutMs < 0) {
    fd = acceptHandle(use, address);
    err = errno;
  } else {
    // Non-blocking for the attempt: a connection that poll saw may be gone
    // (reset) by the time it is taken, and the call must not then wait.
    if (!setNonBlocking(use.fd(), true)) {
      err = errno;
      return nullptr;
    }
    pollfd entry{use.fd(), POLLIN, 0};
    int ready;
    for (;;) {
      ready = ::poll(&entry, 1, timeoutMs);
      err = ready == 0 ? EAGAIN : errno;
      if (ready >= 0 || err != EINTR || use.closed()) {
        break;
      }
    }
    if (ready > 0) {
      fd = acceptHandle(use, address);
      err = errno;
    }
    setNonBlocking(use.fd(), false);
  }
  if (fd < 0) {
    if (use.closed()) {
      err = EBADF;
    }
    return nullptr;
  }
  err = 0;
  return adoptClient(fd, address, peer);
}

std::unique_ptr<JStreamSocket> JStreamSocket::adoptClient(int fd, const sockaddr_in& address,
                                                          JInetAddr* peer) const {
  auto client = std::make_unique<JStreamSocket>(fd);
  if (JTraceMask* mask = traceMask()) {
    client->traceMask()->store(mask->load());
  }
  const JInetAddr from(address);
  const std::string fromText = from.text().substr(0, 255);
  JLog::logTraceable(kLevelTraceNetwork, this, "Accepted connection on TCP socket '%d' from '%s'",
                     fd, fromText.c_str());
  if (keepAliveEnabled()) {
    applyKeepAlive(*client);
  }
  if (peer != nullptr) {
    *peer = from;
  }
  return client;
}

void JStreamSocket::applyKeepAlive(JSocket& client) const {
  const int32_t time = keepAliveTime();
  const int32_t interval = keepAliveInterval();
  // One set-up, one outcome: a refusal is reported by its own line only.
  const bool set = client.trySetIntOption(SOL_SOCKET, SO_KEEPALIVE, 1) &&
                   client.trySetIntOption(IPPROTO_TCP, TCP_KEEPIDLE, toSeconds(time)) &&
                   client.trySetIntOption(IPPROTO_TCP, TCP_KEEPINTVL, toSeconds(interval)) &&
                   client.trySetIntOption(IPPROTO_TCP, TCP_KEEPCNT, kKeepAliveProbes);
  if (set) {
    JLog::logTraceable(kLevelTraceNetwork, this,
                       "Keepalive on client socket '%d' set to time=%d, interval=%d",
                       client.handle(), time, interval);
  } else {
    JLog::logTraceable(kLevelError, this, "Couldn't set keepalive value on client socket '%d'!",
                       client.handle());
  }
}

void JStreamSocket::setKeepAlive(bool enabled, int32_t timeMs, int32_t intervalMs) {
  keepAliveEnabled_.store(enabled);
  keepAliveTime_.store(timeMs);
  keepAliveInterval_.store(intervalMs);
}

void JStreamSocket::setNoDelay(bool on) {
  setIntOption(IPPROTO_TCP, TCP_NODELAY, on ? 1 : 0);
}

}  // namespace zq
