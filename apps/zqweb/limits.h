// Every limit of the web console, in one place: what a client may send, how
// many may be connected, how long a connection may idle, and the console's
// own periods. The sessions set each where the parser or stream is made;
// each has a test.
#pragma once

#include <chrono>
#include <cstddef>

namespace zq::zqweb {

struct Limits {
  /// A request's header block (431 beyond).
  size_t headerBytes = 8 * 1024;
  /// A request's body (413 beyond).
  size_t bodyBytes = 64 * 1024;
  /// A WebSocket message (the connection is closed with 1009 beyond).
  size_t messageBytes = 64 * 1024;
  /// Connections open at once; one more is answered 503 and closed.
  size_t connections = 64;
  /// An HTTP connection with no request under way ends after this long, as
  /// does one whose request or answer takes longer.
  std::chrono::milliseconds httpIdle{30000};
  /// A WebSocket peer that answers no ping for this long is dropped.
  std::chrono::milliseconds socketIdle{60000};
  /// A TLS or WebSocket handshake that takes longer ends the connection.
  std::chrono::milliseconds handshake{10000};
  /// Event messages waiting for one slow page; past it the page is dropped
  /// (it reconnects and starts from a fresh snapshot).
  size_t queuedMessages = 512;
  /// How often each output's statistics are sent.
  std::chrono::milliseconds statsPeriod{2000};
};

}  // namespace zq::zqweb
