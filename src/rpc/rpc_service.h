// JRPCService: an RPC server with its own listening TCP socket and accept
// thread; every accepted client gets a connection thread of JRPCServer,
// unless the service's accept filter refuses its address.
//
// Life: created (socket bound) -> listening (start) -> shut down (shutdown,
// also run by the destructor). A service class derives from JRPCService,
// registers its table and then starts:
//
//   class MyService : public JRPCService {
//    public:
//     explicit MyService(uint16_t port) : JRPCService(port, false, &mask_, "My") {
//       registerFunctions();
//       start();
//     }
//     ~MyService() override { shutdown(); }  // before the members handlers use
//     void registerFunctions() override { JRPCServer::registerFunctions(kFunctions); }
//     ...
//   };
//
// The accept thread outlives failures to accept (descriptors or memory run
// out, a connection reset in the backlog): it logs a run of them once when it
// begins and once when accepting works again, backs off between attempts that
// took no connection, and sheds excess connections at once when the process
// is out of descriptors, with a descriptor held in reserve for that. Only
// shut-down (or a listening socket that is no longer one) ends it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>

#include "base/log.h"
#include "net/inet_addr.h"
#include "net/tcp_socket.h"
#include "rpc/rpc_server.h"

namespace zq {

class JRPCService : public JRPCServer {
 public:
  /// The listening backlog asked for: the system's maximum.
  static constexpr int kBacklog = 0x7FFFFFFF;

  /// Creates the listening socket and binds it to `port` on every local
  /// address (0: a port the system picks; port() tells which). The traceable
  /// name is `namePrefix` + "::RPC[" + the bound port + "]". `traceMask` (may
  /// be null) is the caller's mask: bit 21 traces requests (level 21), bit
  /// 0x2 the shut-down steps (level 4). With `startNow`, logs "Starting
  /// service thread" and starts at once: clients may then be served before a
  /// derived class has registered its table (they get "unknown function"),
  /// so derived services pass false and start at the end of their
  /// constructor. Socket errors ("socket", "bind") propagate.
  JRPCService(uint16_t port, bool startNow, JTraceMask* traceMask, std::string_view namePrefix);
  /// The same, bound to `address` (its port 0: one the system picks).
  JRPCService(const JInetAddr& address, bool startNow, JTraceMask* traceMask,
              std::string_view namePrefix);
  /// Shuts down if that has not been done.
  ~JRPCService() override;

  /// Logs "Listening on port %d.", listens and starts the accept thread.
  /// Throws JTextError when already started or shut down.
  ///
  /// The accept thread logs a run of failed accepts (or of connections
  /// whose thread could not start) at level 11 twice: "Not accepting
  /// connections on port %d: %s (retrying)" at the first, and "Accepting
  /// connections on port %d again after %llu failed attempts; %llu
  /// connections refused meanwhile" once a connection is taken (or "Stopped
  /// accepting connections on port %d after ..." when it stops first).
  /// Between attempts that took no connection it waits from kFirstBackOffMs,
  /// doubling up to kMaxBackOffMs; shutdown ends that wait at once.
  ///
  /// Concurrency: any thread; serialised with shutdown.
  void start();

  /// Stops accepting (closes the listening socket and waits for the accept
  /// thread), then closes every connection and waits until each has finished
  /// its request and gone (JRPCServer::shutdownConnections). Later calls do
  /// nothing; a call made while another runs returns once that one is done.
  ///
  /// Concurrency: any thread; on one of the service's own connection threads
  /// (a handler) it throws JTextError, as it would wait for itself.
  void shutdown();

  /// The bound port. Any thread.
  uint16_t port() const { return port_; }
  /// The bound address and port. Any thread.
  const JInetAddr& address() const { return address_; }

  static constexpr int kFirstBackOffMs = 5;
  static constexpr int kMaxBackOffMs = 100;

 private:
  class AcceptThread;
  class AcceptFailures;
  class SpareDescriptor;

  void acceptLoop();
  // One failed accept (errno `err`), with the shedding and the back-off it
  // calls for. False when the loop is to end.
  bool acceptFailed(int err, AcceptFailures& failures);
  // Waits `milliseconds` or until shutdown sets the stop flag; false then.
  bool backOff(int milliseconds);

  std::mutex lifecycleMutex_;             // serialises start and shutdown
  std::unique_ptr<JTCPSocket> listener_;  // closed by shutdown, deleted after the accept thread
  std::unique_ptr<AcceptThread> acceptThread_;
  // Held against descriptor exhaustion; used by the accept thread only.
  std::unique_ptr<SpareDescriptor> spare_;
  uint16_t port_ = 0;
  JInetAddr address_;
  std::mutex stopMutex_;  // with stopChanged_, wakes the accept thread's back-off
  std::condition_variable stopChanged_;
  std::atomic<bool> stop_{false};  // written under stopMutex_
  bool started_ = false;           // guarded by lifecycleMutex_
  bool shutDown_ = false;          // guarded by lifecycleMutex_
};

}  // namespace zq
