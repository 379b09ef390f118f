// JStreamSocket: a connection-oriented socket that can accept connections,
// each accepted connection getting TCP keep-alive probes.
#pragma once

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
  void applyKeepAlive(JSocket& client) const;

  std::atomic<bool> keepAliveEnabled_{true};
  std::atomic<int32_t> keepAliveTime_{kDefaultKeepAliveMs};
  std::atomic<int32_t> keepAliveInterval_{kDefaultKeepAliveMs};
};

}  // namespace zq
