// JStreamSocket: a connection-oriented socket that can accept connections,
// each accepted connection getting TCP keep-alive probes.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "net/inet_addr.h"
#include "net/socket.h"

namespace zq {

class JStreamSocket : public JSocket {
 public:
  static constexpr int32_t kDefaultKeepAliveMs = 3000;

  /// `mask`: see JSocket.
  explicit JStreamSocket(JTraceMask* mask = nullptr) : JSocket(mask) {}
  /// Takes ownership of `handle`.
  explicit JStreamSocket(int handle, JTraceMask* mask = nullptr) : JSocket(handle, mask) {}

  /// Waits up to the accept time-out for a connection and accepts it
  /// ("accept"; a failure also logs "Could not accept connection: %s" at
  /// level 11). When keep-alive is on, the new connection probes an idle
  /// peer after the keep-alive time and then every interval; a failure to
  /// set that up is logged at level 11 and ignored. `peer`, when given,
  /// receives the peer's address. The new socket starts with this socket's
  /// current trace mask value in a mask of its own.
  ///
  /// Concurrency: close() or shutdown() from another thread ends the wait
  /// (see JSocket).
  virtual std::unique_ptr<JStreamSocket> accept(JInetAddr* peer = nullptr);

  /// Accepts like accept, for a loop that reports failures itself: when the
  /// accept call fails, nothing is logged or thrown; null is returned with
  /// the errno in `err` (EBADF when another thread closed this socket
  /// meanwhile). `timeoutMs` replaces the accept time-out: -1 waits as long
  /// as it takes, 0 or more accepts only a connection that arrives within
  /// that time (EAGAIN otherwise) and never blocks past it, the socket being
  /// non-blocking for the attempt. A socket without a handle throws 10038 as
  /// every call does.
  ///
  /// Concurrency: as accept.
  std::unique_ptr<JStreamSocket> tryAccept(JInetAddr* peer, int& err,
                                           int32_t timeoutMs = kInfinite);

  /// Keep-alive for the connections accepted from now on: on by default,
  /// time and interval 3 000 ms (applied in whole seconds, at least one).
  void setKeepAlive(bool enabled, int32_t timeMs = kDefaultKeepAliveMs,
                    int32_t intervalMs = kDefaultKeepAliveMs);
  bool keepAliveEnabled() const { return keepAliveEnabled_.load(); }
  int32_t keepAliveTime() const { return keepAliveTime_.load(); }
  int32_t keepAliveInterval() const { return keepAliveInterval_.load(); }

  /// Switches the Nagle algorithm off (true) or on (TCP_NODELAY).
  void setNoDelay(bool on);

 private:
  // accept4 on `use`, again after a signal; the handle, or -1 with errno set.
  static int acceptHandle(const Use& use, sockaddr_in& address);
  // Wraps an accepted handle: trace mask, keep-alive, the peer's address.
  std::unique_ptr<JStreamSocket> adoptClient(int fd, const sockaddr_in& address,
                                             JInetAddr* peer) const;
  void applyKeepAlive(JSocket& client) const;

  std::atomic<bool> keepAliveEnabled_{true};
  std::atomic<int32_t> keepAliveTime_{kDefaultKeepAliveMs};
  std::atomic<int32_t> keepAliveInterval_{kDefaultKeepAliveMs};
};

}  // namespace zq
