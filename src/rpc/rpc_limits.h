// JRPCLimits: what a peer may make an RPC process hold, as the registry sets
// it under HKEY_LOCAL_MACHINE "SOFTWARE\Quorvanta\RPC": the longest line read
// (requests on a server, answers on a client), the connections a service keeps
// at once, and how long a connection may stay without a request.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zq {

struct JRPCLimits {
  /// Far above any line of the protocol, low enough that a peer cannot make
  /// a connection hold much memory.
  static constexpr size_t kDefaultMaxLineSize = size_t{1} << 20;
  /// Far above the controllers and receivers one equipment serves.
  static constexpr size_t kDefaultMaxConnections = 256;
  /// Well above the PING periods of the clients (a few seconds), so that a
  /// client that pings never loses its link to it.
  static constexpr uint32_t kDefaultIdleTimeoutS = 120;

  /// "MaxRequestLineSize" (bytes, terminator excluded); 0: no cap.
  size_t maxLineSize = kDefaultMaxLineSize;
  /// "MaxConnections"; 0: no bound.
  size_t maxConnections = kDefaultMaxConnections;
  /// "IdleTimeoutS" (seconds); 0: none.
  uint32_t idleTimeoutS = kDefaultIdleTimeoutS;

  /// The values of this installation: the registry's, the defaults for those
  /// missing or when the registry cannot be read (logged as caught). Reads
  /// the registry at every call. Any thread.
  static JRPCLimits fromRegistry();

  /// The idle time-out in milliseconds, as a socket takes it: -1 for none.
  int32_t idleTimeoutMs() const;
};

}  // namespace zq
