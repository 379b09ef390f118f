// JSocketLayer: the process's count of socket layer users. Every owner of
// sockets (the controller group, the RPC controller) starts the layer before
// its first socket and stops it after its last.
//
// BSD sockets need no process-wide start-up; the first start of the process
// raises the soft limit of open descriptors to the hard limit (a host with a
// thousand outputs holds a socket for each), and the layer keeps the count so
// that a program can see that every start has its stop.
#pragma once

namespace zq {

/// Concurrency: every member may be called from any thread.
class JSocketLayer {
 public:
  /// Adds a user; the first one logs "Socket layer started" (level 3). The
  /// first start of the process also calls raiseDescriptorLimit().
  static void start();
  /// Removes a user; the last one logs "Socket layer stopped" (level 3).
  /// False, and nothing changes, when there was no user to remove.
  static bool stop();
  /// The number of users.
  static int users();

  /// Raises the soft limit of open descriptors to the hard limit and logs
  /// the limit in force ("Descriptor limit raised from %llu to %llu." or
  /// "Descriptor limit: %llu.", level 3), or why it stays ("Descriptor limit
  /// stays at %llu, not raised to %llu: %s.", level 9). The first start()
  /// of the process calls it.
  static void raiseDescriptorLimit();

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
