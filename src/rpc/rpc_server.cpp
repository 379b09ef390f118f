// JRPCServer: request parsing and dispatch through the sorted function table,
// and the Connection threads that serve one client each.
#include "rpc/rpc_server.h"

#include <cxxabi.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <thread>
#include <utility>

#include "base/thread.h"
#include "rpc/line_io.h"
#include "rpc/rpc_error.h"
#include "rpc/rpc_limits.h"

namespace zq {
namespace {

// The socket error a peer's reset raises on a read: a client that went away
// without closing, which is no error of the server.
constexpr uint32_t kConnectionReset = JSysError::kSocketTag | 10054;

constexpr uint32_t kRpcTraceBit = 1u << kLevelTraceRpc;

// "FAILED " and the message: the message gets the 505 bytes after the prefix.
constexpr char kFailedPrefix[] = "FAILED ";
constexpr size_t kFailedPrefixLength = sizeof kFailedPrefix - 1;
constexpr size_t kFailedBufferSize = 512;
constexpr size_t kFailedMessageSize = 505;
static_assert(kFailedPrefixLength + kFailedMessageSize == kFailedBufferSize);

bool isBlank(char c) {
  return c == ' ' || c == '\t';
}

bool isNameChar(char c) {
  const auto b = static_cast<unsigned char>(c);
  return (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') || b == '_' ||
         b >= 0x80;
}

// Byte-wise, unsigned, a prefix first: what strcmp does (char_traits<char>
// compares as unsigned char).
bool nameLess(std::string_view a, std::string_view b) {
  return a < b;
}

}  // namespace

// ---- lifetimes ----------------------------------------------------------------

struct JRPCServer::Lifetimes {
  std::mutex mutex;
  std::condition_variable changed;
  size_t alive = 0;
};

// The first base of a Connection, hence the last part of it destroyed: once
// it has signalled, nothing of the connection object is left to touch.
class JRPCServer::LifetimeToken {
 public:
  explicit LifetimeToken(std::shared_ptr<Lifetimes> lifetimes) : lifetimes_(std::move(lifetimes)) {
    std::lock_guard lock(lifetimes_->mutex);
    ++lifetimes_->alive;
  }
  ~LifetimeToken() {
    // Notified under the lock: the waiter may return and release its share
    // as soon as it can take the lock.
    std::lock_guard lock(lifetimes_->mutex);
    --lifetimes_->alive;
    lifetimes_->changed.notify_all();
  }
  LifetimeToken(const LifetimeToken&) = delete;
  LifetimeToken& operator=(const LifetimeToken&) = delete;

 private:
  std::shared_ptr<Lifetimes> lifetimes_;
};

// ---- Connection ---------------------------------------------------------------

// One client: reads request lines and answers them on its own thread until
// the peer goes away, then removes itself from the server's list and, as an
// auto-delete thread, deletes itself. While it is in the list the server may
// shut its socket down from another thread; once out of it, nobody but its
// own thread touches it.
class JRPCServer::Connection final : private JRPCServer::LifetimeToken,
                                     public JLineIO,
                                     public JThread,
                                     public JTraceableObject {
 public:
  Connection(JRPCServer& server, std::unique_ptr<JSocket> socket, std::string peer,
             const std::string& name)
      : LifetimeToken(server.lifetimes_),
        JLineIO(std::move(socket)),
        JThread(name),
        JTraceableObject(name, server.traceMask()),
        server_(server),
        peer_(std::move(peer)) {
    setMaxLineLength(server.maxRequestLineSize());
    if (server.idleTimeoutMs_ > 0) {
      // A peer that neither sends a request nor takes its answer for that
      // long gives its place up.
      JLineIO::socket()->setReadTimeout(server.idleTimeoutMs_);
      JLineIO::socket()->setWriteTimeout(server.idleTimeoutMs_);
    }
  }

  const std::string& peer() const { return peer_; }

  /// Ends the connection as if the peer had closed it: a blocked read
  /// returns, and requests already received are dropped rather than run.
  /// Called by the server under its list mutex.
  void close() {
    closing_.store(true);
    socket()->shutdown();
  }

 protected:
  void run() override {
    std::string_view line;
    for (;;) {
      if (!readRequest(line) || closing_.load()) {
        break;
      }
      if (line == "PING") {
        try {
          writeLine("PONG");
        } catch (const JError& e) {
          JLog::logTraceable(kLevelError, this, "Error while answering RPC PING request: %s\n",
                             e.message().c_str());
          break;
        }
        continue;
      }
      if (!serve(line)) {
        break;
      }
    }
    // The last use of the server: from here on it may be gone.
    server_.connectionEnded(*this);
  }

 private:
  bool rpcTraced() const { return traceEnabled(kRpcTraceBit); }

  // False when the connection is to end: the peer closed it, reset it, or
  // the read failed.
  bool readRequest(std::string_view& line) {
    try {
      return readLine(line);
    } catch (const JLineTooLongError& e) {
      JLog::logTraceable(kLevelError, this,
                         "Request line from %s longer than %zu bytes: closing the connection",
                         peer_.c_str(), e.maxLength());
    } catch (const JTimeoutError& e) {
      if (server_.idleTimeoutMs_ > 0 && socket()->readTimeout() == server_.idleTimeoutMs_) {
        JLog::logTraceable(kLevelInfo, this, "Closing the connection from %s: idle for %d s",
                           peer_.c_str(), server_.idleTimeoutMs_ / 1000);
      } else {
        readFailed(e.message());
      }
    } catch (const JSysError& e) {
      if (e.code() == kConnectionReset) {
        JLog::logTraceable(kLevelTraceRpc, this, "Client disconnected");
      } else {
        readFailed(e.message());
      }
    } catch (const JError& e) {
      readFailed(e.message());
    } catch (const std::exception& e) {
      // A line too long for the memory left, for instance.
      readFailed(e.what());
    }
    return false;
  }

  void readFailed(const std::string& message) const {
    JLog::logTraceable(kLevelError, this, "Error while reading client request: %s\n",
                       message.c_str());
  }

  // Dispatches one request and writes its answer, if any. False when the
  // connection is to end (an answer that could not be written).
  bool serve(std::string_view line) {
    if (rpcTraced()) {
      JLog::logTraceable(kLevelTraceRpc, this, "Processing request: '%s'.",
                         std::string(line).c_str());
    }
    // The message is kept as bytes, not as a C string: a request quoted in
    // it may hold a NUL, and the peer gets the request as it sent it.
    std::string failed(kFailedPrefix, kFailedPrefixLength);
    try {
      std::unique_ptr<JParams> result = server_.dispatch(line, *socket());
      if (!result) {
        if (rpcTraced()) {
          JLog::logTraceable(kLevelTraceRpc, this, "No answer required for request '%s'.",
                             std::string(line).c_str());
        }
        return true;
      }
      // One allocation: the prefix, the text's upper bound and the terminator.
      std::string answer(3 + result->textLength(), '\0');
      std::memcpy(answer.data(), "OK ", 3);
      answer.resize(3 + result->write(answer.data() + 3, ','));
      result.reset();
      if (rpcTraced()) {
        JLog::logTraceable(kLevelTraceRpc, this, "Answering '%s' for request '%s'.", answer.c_str(),
                           std::string(line).c_str());
      }
      try {
        writeLine(answer);
      } catch (const JError& e) {
        JLog::logTraceable(kLevelError, this,
                           "Failed returning OK answer '%s' for request '%s': %s", answer.c_str(),
                           std::string(line).c_str(), e.message().c_str());
        return false;
      }
      return true;
    } catch (const JRPCError& e) {
      // Up to what a message buffer of the protocol holds, its NUL excluded.
      failed += std::string_view(e.text()).substr(0, kFailedMessageSize - 1);
    } catch (const JError& e) {
      char message[kFailedMessageSize];
      e.getMessage(message, sizeof message);
      failed += message;
    } catch (const std::exception& e) {
      // A fault of the handler itself (out of memory, a bug): the client
      // still gets its answer and the connection goes on.
      failed += unexpectedFailure(line, e.what());
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (...) {
      failed += unexpectedFailure(line, "exception of unknown type");
    }
    // A message may hold a line feed (a handler's own text): sent as it is,
    // it would end the answer early and leave the rest to be taken for the
    // answer to the client's next request.
    std::replace(failed.begin(), failed.end(), '\n', ' ');
    if (rpcTraced()) {
      JLog::logTraceable(kLevelTraceRpc, this, "RPC Request '%s' failed: '%s'.",
                         std::string(line).c_str(), failed.c_str());
    }
    try {
      writeLine(failed);
    } catch (const JError& e) {
      JLog::logTraceable(kLevelError, this,
                         "Failed returning FAILED answer '%s' for request '%s': %s", failed.c_str(),
                         std::string(line).c_str(), e.message().c_str());
    }
    return true;
  }

  std::string unexpectedFailure(std::string_view line, const char* what) const {
    JLog::logTraceable(kLevelError, this, "Unexpected exception while handling request '%s': %s",
                       std::string(line).c_str(), what);
    char message[kFailedMessageSize];
    std::snprintf(message, sizeof message, "Unexpected exception: %s", what);
    return message;
  }

  JRPCServer& server_;
  const std::string peer_;
  std::atomic<bool> closing_{false};
};

// ---- JRPCServer -----------------------------------------------------------------

JRPCServer::JRPCServer(std::string_view name, JTraceMask* mask)
    : JRPCServer(name, mask, JRPCLimits::fromRegistry()) {}

JRPCServer::JRPCServer(std::string_view name, JTraceMask* mask, const JRPCLimits& limits)
    : JTraceableObject(name, mask),
      maxRequestLineSize_(limits.maxLineSize),
      maxConnections_(limits.maxConnections),
      idleTimeoutMs_(limits.idleTimeoutMs()),
      table_(std::make_shared<const Table>()),
      lifetimes_(std::make_shared<Lifetimes>()) {
  connections_.reserve(16);
}

JRPCServer::~JRPCServer() {
  try {
    shutdownConnections();
  } catch (const JError& e) {
    logCaught(e);
  }
}

void JRPCServer::connectionClosed(JSocket& /*socket*/) {}

void JRPCServer::registerFunctions(std::vector<Function> functions) {
  std::stable_sort(functions.begin(), functions.end(),
                   [](const Function& a, const Function& b) { return nameLess(a.name, b.name); });
  auto table = std::make_shared<const Table>(std::move(functions));
  std::lock_guard lock(tableMutex_);
  table_ = std::move(table);
}

std::shared_ptr<const JRPCServer::Table> JRPCServer::table() const {
  std::lock_guard lock(tableMutex_);
  return table_;
}

std::vector<std::string> JRPCServer::functionNames() const {
  std::vector<std::string> names;
  for (const Function& f : *table()) {
    names.push_back(f.name);
  }
  return names;
}

const JRPCServer::Function* JRPCServer::lookup(const Table& table, std::string_view name) {
  // The first of equal names: with duplicates, the one listed first wins.
  const auto it = std::lower_bound(
      table.begin(), table.end(), name,
      [](const Function& f, std::string_view wanted) { return nameLess(f.name, wanted); });
  if (it == table.end() || std::string_view(it->name) != name) {
    return nullptr;
  }
  return &*it;
}

std::unique_ptr<JParams> JRPCServer::dispatch(std::string_view line, JSocket& socket) {
  size_t i = 0;
  while (i < line.size() && isBlank(line[i])) {
    ++i;
  }
  const size_t nameBegin = i;
  while (i < line.size() && isNameChar(line[i])) {
    ++i;
  }
  const std::string_view name = line.substr(nameBegin, i - nameBegin);
  while (i < line.size() && isBlank(line[i])) {
    ++i;
  }
  if (i == line.size() || line[i] != '(') {
    throw JRPCProtocolError("function name syntax error", line, -2);
  }
  if (name.empty()) {
    throw JRPCProtocolError("missing function name", line, -3);
  }
  // Held for the call: a table registered meanwhile cannot free this entry.
  const std::shared_ptr<const Table> functions = table();
  const Function* function = lookup(*functions, name);
  if (function == nullptr) {
    throw JRPCProtocolError("unknown function", name, -4);
  }
  // What follows the list, the ")" included, is not looked at.
  JParams request;
  request.parse(line.substr(i + 1));
  std::unique_ptr<JParams> result;
  if (function->kind != JRPCKind::kOneWay) {
    result = std::make_unique<JParams>();
  }
  function->handler(request, result.get(), socket);
  return result;
}

void JRPCServer::addConnection(std::unique_ptr<JSocket> socket, const JInetAddr& peer) {
  // A peer that reset before it was taken has nobody left to answer: closed
  // here, without a thread (a flood of connect-and-reset otherwise costs a
  // thread each and keeps the peers behind it waiting). A peer that only
  // closed its sending side still gets its answers.
  pollfd gone{socket->handle(), 0, 0};
  if (::poll(&gone, 1, 0) == 1 && (gone.revents & (POLLHUP | POLLERR)) != 0) {
    return;
  }
  const std::string peerText = peer.text();
  std::unique_ptr<Connection> connection;
  {
    JAutoLock lock(listMutex_);
    if (refusing_) {
      // Shut down: the connection goes with its socket, never started.
      return;
    }
    if (acceptFilter_ && !acceptFilter_(*peer.data())) {
      // A peer the owner does not serve: closed here, before it takes a place.
      ++filteredTotal_;
      return;
    }
    if (maxConnections_ != 0 && connections_.size() >= maxConnections_) {
      // Closed at once (the socket goes here), with one line for a burst.
      if (refusedInBurst_++ == 0) {
        JLog::logTraceable(kLevelError, this,
                           "Too many connections (%zu, the MaxConnections limit): closing new "
                           "ones at once, the first from %s",
                           connections_.size(), peerText.c_str());
      }
      ++refusedTotal_;
      return;
    }
    if (refusedInBurst_ != 0) {
      JLog::logTraceable(kLevelError, this,
                         "Taking connections again after closing %llu at the limit of %zu",
                         static_cast<unsigned long long>(refusedInBurst_), maxConnections_);
      refusedInBurst_ = 0;
    }
    connection = std::make_unique<Connection>(*this, std::move(socket), peerText,
                                              traceName() + "::Connection(" + peerText + ")");
    JLog::logTraceable(kLevelTraceRpc, this, "New client connection (%d) from %s.",
                       static_cast<int>(connections_.size()), peerText.substr(0, 63).c_str());
    // Listed before it starts, so that a shutdown from here on closes it.
    connections_.push_back(connection.get());
  }
  // Started outside the list's lock: a thread takes a while to start, and
  // the connections ending meanwhile must not queue behind it (thousands of
  // peers that connect and reset at once made a new one wait seconds).
  try {
    connection->startAutoDelete(true);
  } catch (...) {
    JAutoLock lock(listMutex_);
    connections_.erase(std::find(connections_.begin(), connections_.end(), connection.get()));
    throw;
  }
  // Owned by its thread from here on: it deletes itself when the thread ends.
  connection.release();
}

uint64_t JRPCServer::refusedConnections() const {
  JAutoLock lock(listMutex_);
  return refusedTotal_;
}

void JRPCServer::setAcceptFilter(AcceptFilter filter) {
  JAutoLock lock(listMutex_);
  acceptFilter_ = std::move(filter);
}

uint64_t JRPCServer::filteredConnections() const {
  JAutoLock lock(listMutex_);
  return filteredTotal_;
}

void JRPCServer::connectionEnded(Connection& connection) {
  try {
    connectionClosed(*connection.socket());
  } catch (const JError& e) {
    logCaught(e);
  } catch (const std::exception& e) {
    JLog::logTraceable(kLevelError, &connection, "Unexpected exception in connectionClosed: %s",
                       e.what());
  }
  JAutoLock lock(listMutex_);
  connections_.erase(std::find(connections_.begin(), connections_.end(), &connection));
}

size_t JRPCServer::connectionCount() const {
  JAutoLock lock(listMutex_);
  return connections_.size();
}

void JRPCServer::refuseOnConnectionThread() const {
  const JThread* current = JThread::current();
  if (current == nullptr) {
    return;
  }
  JAutoLock lock(listMutex_);
  for (const Connection* c : connections_) {
    if (static_cast<const JThread*>(c) == current) {
      throw JTextError("an RPC server cannot be shut down from one of its connections");
    }
  }
}

void JRPCServer::shutdownConnections() {
  refuseOnConnectionThread();
  std::lock_guard once(shutdownMutex_);
  if (shutDown_) {
    return;
  }
  {
    JAutoLock lock(listMutex_);
    refusing_ = true;
    for (Connection* c : connections_) {
      JSocket* socket = c->socket();
      if (socket == nullptr || socket->handle() == JSocket::kNoHandle) {
        continue;
      }
      JLog::logTraceable(kLevelTraceRpc, this, "Closing TCP server socket for connection from %s",
                         c->peer().c_str());
      try {
        // The connection's blocked read then returns as if the peer had
        // closed, and its thread ends the connection the ordinary way.
        c->close();
      } catch (const JError& e) {
        JLog::logTraceable(kLevelError, this, "Could not close TCP server socket: %s",
                           e.message().c_str());
      }
    }
  }
  JLog::logTraceable(kLevelTraceRpc, this, "Waiting for running transaction to finish.");
  while (connectionCount() > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  {
    // Out of the list, a connection still has its own destruction to finish.
    std::unique_lock lock(lifetimes_->mutex);
    lifetimes_->changed.wait(lock, [this] { return lifetimes_->alive == 0; });
  }
  JLog::logTraceable(kLevelTraceRpc, this, "RPC Server shut down successfully.");
  shutDown_ = true;
}

}  // namespace zq
