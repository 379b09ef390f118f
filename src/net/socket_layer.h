// JSocketLayer: the process's count of socket layer users. Every owner of
// sockets (the controller group, the RPC controller) starts the layer before
// its first socket and stops it after its last.
//
// BSD sockets need no process-wide start-up, so the layer only keeps the
// count; it still marks where such set-up belongs and lets a program see
// that every start has its stop.
#pragma once

namespace zq {

/// Concurrency: every member may be called from any thread.
class JSocketLayer {
 public:
  /// Adds a user; the first one logs "Socket layer started" (level 3).
  static void start();
  /// Removes a user; the last one logs "Socket layer stopped" (level 3).
  /// False, and nothing changes, when there was no user to remove.
  static bool stop();
  /// The number of users.
  static int users();

  /// A user for the holder's lifetime.
  class Holder {
   public:
    Holder() { start(); }
    ~Holder() { stop(); }
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;
  };
};

}  // namespace zq
