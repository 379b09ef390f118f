// JRPCServer: the server side of the RPC protocol, independent of how
// connections arrive: the function table, request parsing and dispatch, and
// the per-client Connection threads that read request lines and answer them.
//
// The protocol, one line each way (CR LF ends every line sent):
//   request:  [blanks] name [blanks] "(" parameter list ... ")"
//   answer:   "OK " + result parameters | "FAILED " + error message | nothing
//             for a one-way function
//   keep-alive: "PING" is answered "PONG" before anything else is done.
// What a peer can make a server hold is bounded by the limits of the registry
// (rpc_limits.h): a request line longer than the cap ends its connection, a
// connection past the most a server keeps is closed at once, and one that
// stays idle too long is closed.
// JRPCService (rpc_service.h) adds the listening socket and the accept thread.
#pragma once

#include <sys/socket.h>

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "base/error.h"
#include "base/log.h"
#include "base/mutex.h"
#include "net/inet_addr.h"
#include "net/socket.h"
#include "rpc/params.h"
#include "rpc/rpc_limits.h"

namespace zq {

/// How a function is called and answered; the numbers are the table's kinds.
enum class JRPCKind : int32_t {
  /// (request, result): answered "OK " + result.
  kAnswer = 0,
  /// (request, the connection's socket): one-way, no answer line.
  kOneWay = 1,
  /// (request, result, the connection's socket): answered "OK " + result.
  kAnswerWithSocket = 2,
};

/// A handler of `Owner` (Service itself or one of its bases) whose request
/// parameter is `JParams&` or `const JParams&`.
template <class Service, class Owner, class Request>
concept IsHandlerOf =
    std::derived_from<Service, Owner> && std::same_as<std::remove_const_t<Request>, JParams>;

/// One entry of a service's function table: a name and a member function of
/// `Service`, the kind deduced from the handler's parameters. A service keeps
/// its table as a static array, one line per function:
///
///   static const JRPCFunction<MyService> kFunctions[] = {
///       {"getParams", &MyService::getParams},        // kind 0
///       {"addSVCClient", &MyService::addSvcClient},  // kind 1
///       {"addUDPClient", &MyService::addUdpClient},  // kind 2
///   };
///
/// Handlers may take the request as `JParams&` or `const JParams&`, and may
/// be member functions of a base class of `Service`. An entry built with the
/// default constructor has no name and ends a table early, as in C.
template <class Service>
class JRPCFunction {
 public:
  /// Runs the handler on `service`; `result` is null for a one-way function.
  using Invoker =
      std::function<void(Service& service, JParams& request, JParams* result, JSocket& socket)>;

  /// No name: ends a table early.
  JRPCFunction() = default;

  /// Kind 0: (request, result).
  template <class Owner, class Request>
  requires IsHandlerOf<Service, Owner, Request> JRPCFunction(
      const char* name, void (Owner::*handler)(Request& request, JParams& result))
      : name_(name),
        kind_(JRPCKind::kAnswer),
        invoke_([handler](Service& service, JParams& request, JParams* result, JSocket&) {
          (static_cast<Owner&>(service).*handler)(request, *result);
        }) {}

  /// Kind 1: (request, socket), no answer.
  template <class Owner, class Request>
  requires IsHandlerOf<Service, Owner, Request> JRPCFunction(
      const char* name, void (Owner::*handler)(Request& request, JSocket& socket))
      : name_(name),
        kind_(JRPCKind::kOneWay),
        invoke_([handler](Service& service, JParams& request, JParams*, JSocket& socket) {
          (static_cast<Owner&>(service).*handler)(request, socket);
        }) {}

  /// Kind 2: (request, result, socket).
  template <class Owner, class Request>
  requires IsHandlerOf<Service, Owner, Request> JRPCFunction(
      const char* name, void (Owner::*handler)(Request& request, JParams& result, JSocket& socket))
      : name_(name),
        kind_(JRPCKind::kAnswerWithSocket),
        invoke_([handler](Service& service, JParams& request, JParams* result, JSocket& socket) {
          (static_cast<Owner&>(service).*handler)(request, *result, socket);
        }) {}

  /// Null for the entry that ends a table.
  const char* name() const { return name_; }
  JRPCKind kind() const { return kind_; }
  const Invoker& invoker() const { return invoke_; }

 private:
  const char* name_ = nullptr;
  JRPCKind kind_ = JRPCKind::kAnswer;
  // The handler is called on the class that declares it (a base of Service,
  // perhaps not the first): the cast does the adjustment.
  Invoker invoke_;
};

class JRPCServer : public JTraceableObject {
 public:
  /// A registered function with its handler bound to the object it runs on.
  /// The handler gets a null result for a one-way function.
  struct Function {
    std::string name;
    JRPCKind kind = JRPCKind::kAnswer;
    std::function<void(JParams& request, JParams* result, JSocket& socket)> handler;
  };

  /// `mask` (may be null) is the caller's trace mask, shared with every
  /// connection: bit 21 enables the request trace (level 21). Takes its
  /// limits from the registry (JRPCLimits::fromRegistry).
  JRPCServer(std::string_view name, JTraceMask* mask);
  /// Shuts the connections down if that has not been done. A derived class
  /// whose handlers use its own members must call shutdownConnections (or
  /// JRPCService::shutdown) in its own destructor: by the time this runs, the
  /// derived part a running handler uses is gone.
  ~JRPCServer() override;
  JRPCServer(const JRPCServer&) = delete;
  JRPCServer& operator=(const JRPCServer&) = delete;

  /// Registers the service's table through the protected registerFunctions
  /// overloads below.
  virtual void registerFunctions() = 0;

  /// Called on a connection's thread, after its peer went away (or the
  /// server closed it), with the connection's socket, which is still open
  /// and may serve as the key of whatever a handler attached to it. Empty by
  /// default. An error thrown here is logged and absorbed.
  virtual void connectionClosed(JSocket& socket);

  /// Parses the request `line` and runs its function with `socket` as the
  /// requesting connection's socket. Returns the result to answer with, or
  /// null for a one-way function. Throws JRPCProtocolError: -2 "function name
  /// syntax error" (context the line) when the name is not followed by "(",
  /// -3 "missing function name" (context the line), -4 "unknown function"
  /// (context the name), the parameter parser's errors, and whatever the
  /// handler throws.
  ///
  /// Concurrency: any thread; requests on different connections run their
  /// handlers concurrently, so handlers guard their own state. A service may
  /// override it to see each request line before it is dispatched.
  virtual std::unique_ptr<JParams> dispatch(std::string_view line, JSocket& socket);

  /// Closes every connection ("Closing TCP server socket for connection from
  /// %s") and returns once each has finished the request it was handling and
  /// removed itself. Connections handed over later are refused. The first
  /// call does the work; later calls return once it is done.
  ///
  /// Concurrency: any thread; called on one of this server's connection
  /// threads (by a handler), it would wait for itself, so it throws
  /// JTextError there instead.
  void shutdownConnections();

  /// The number of live connections. Any thread.
  size_t connectionCount() const;

  /// The longest request line a connection accepts, terminator excluded; 0
  /// for no cap. A longer line closes its connection (one level-11 line
  /// naming the peer and the cap), which then ends as when its peer goes
  /// away. Fixed at construction. Any thread.
  size_t maxRequestLineSize() const { return maxRequestLineSize_; }
  /// The most connections served at once; 0 for no bound. A connection
  /// handed over past it is closed at once; the first of a run of such is
  /// logged at level 11, and so is the end of the run. Fixed at
  /// construction. Any thread.
  size_t maxConnections() const { return maxConnections_; }
  /// How long a connection may wait for its next request line, or for its
  /// peer to take an answer, before it is closed (level 8 line "Closing the
  /// connection from %s: idle for %d s"); -1 for ever. Fixed at
  /// construction. Any thread.
  int32_t idleTimeoutMs() const { return idleTimeoutMs_; }
  /// Connections closed at once at the connection limit so far. Any thread.
  uint64_t refusedConnections() const;

  /// Says whether the peer of a connection handed over may be served.
  using AcceptFilter = std::function<bool(const sockaddr& peer)>;
  /// Installs `filter` (empty: every peer is served, the default). Each
  /// connection handed over afterwards is first shown to it: one it refuses
  /// is closed at once, before it counts against maxConnections(), without a
  /// log line here (the caller decides what to log) and counted by
  /// filteredConnections(). Set it before the service starts so that no
  /// connection comes in unfiltered. The filter runs on the accepting thread
  /// with this server's connection list locked: it must not call into this
  /// server. Any thread.
  void setAcceptFilter(AcceptFilter filter);
  /// Connections the accept filter refused so far. Any thread.
  uint64_t filteredConnections() const;

  /// The registered names, in lookup order. Any thread.
  std::vector<std::string> functionNames() const;

 protected:
  /// Registers a service's static table: the entries up to the first one
  /// without a name (or all of them) are copied, bound to this object as a
  /// `Service` and sorted by name, byte-wise as strcmp. Replaces any earlier
  /// table. Throws JTextError when this object is not a `Service`. A derived
  /// class calls it qualified, from its registerFunctions() override:
  ///   void registerFunctions() override { JRPCServer::registerFunctions(kFunctions); }
  ///
  /// Concurrency: may replace the table while connections dispatch; a request
  /// uses either the old or the new table.
  template <class Service>
  void registerFunctions(std::span<const JRPCFunction<Service>> table);
  template <class Service, size_t N>
  void registerFunctions(const JRPCFunction<Service> (&table)[N]) {
    registerFunctions(std::span<const JRPCFunction<Service>>(table, N));
  }
  /// Registers bound functions (sorted here); replaces any earlier table.
  void registerFunctions(std::vector<Function> functions);

  /// Takes over an accepted connection: logs "New client connection (%d) from
  /// %s." and starts the connection's thread, which serves requests until
  /// the peer goes away. After shutdownConnections, for a peer the accept
  /// filter refuses, or with maxConnections() connections already served,
  /// the socket is closed instead. Throws when
  /// the thread cannot be started (the socket is then closed). Concurrency:
  /// any thread.
  void addConnection(std::unique_ptr<JSocket> socket, const JInetAddr& peer);

  /// Throws JTextError when called on one of this server's connection
  /// threads, where waiting for the connections to go would never end.
  void refuseOnConnectionThread() const;

 private:
  class Connection;
  friend class Connection;
  using Table = std::vector<Function>;

  // Connection objects count themselves from construction to the very end
  // of their destruction (rpc_server.cpp), so that shut-down can wait until
  // the last one is gone, not only out of the list.
  struct Lifetimes;
  class LifetimeToken;

  JRPCServer(std::string_view name, JTraceMask* mask, const JRPCLimits& limits);

  std::shared_ptr<const Table> table() const;
  static const Function* lookup(const Table& table, std::string_view name);
  // The request loop's end: connectionClosed, then removal from the list.
  // The connection is not touched by the server after removal.
  void connectionEnded(Connection& connection);

  const size_t maxRequestLineSize_;
  const size_t maxConnections_;
  const int32_t idleTimeoutMs_;

  mutable std::mutex tableMutex_;
  std::shared_ptr<const Table> table_;  // guarded by tableMutex_; the table itself is immutable

  mutable JMutex listMutex_;
  std::vector<Connection*> connections_;  // guarded by listMutex_; not owned
  bool refusing_ = false;                 // guarded by listMutex_
  uint64_t refusedInBurst_ = 0;           // guarded by listMutex_
  uint64_t refusedTotal_ = 0;             // guarded by listMutex_
  AcceptFilter acceptFilter_;             // guarded by listMutex_
  uint64_t filteredTotal_ = 0;            // guarded by listMutex_

  std::shared_ptr<Lifetimes> lifetimes_;

  std::mutex shutdownMutex_;
  bool shutDown_ = false;  // guarded by shutdownMutex_
};

template <class Service>
void JRPCServer::registerFunctions(std::span<const JRPCFunction<Service>> table) {
  // The adjustment from this server to the object the handlers belong to.
  Service* service = dynamic_cast<Service*>(this);
  if (service == nullptr) {
    throw JTextError("function table registered on an object of another class");
  }
  std::vector<Function> functions;
  functions.reserve(table.size());
  for (const JRPCFunction<Service>& entry : table) {
    if (entry.name() == nullptr) {
      break;
    }
    functions.push_back(
        {entry.name(), entry.kind(),
         [service, invoke = entry.invoker()](JParams& request, JParams* result, JSocket& socket) {
           invoke(*service, request, result, socket);
         }});
  }
  registerFunctions(std::move(functions));
}

}  // namespace zq
