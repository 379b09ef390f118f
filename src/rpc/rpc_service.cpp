// JRPCService: the listening socket, the accept thread that rides out failed
// accepts, and the shut-down order (stop accepting, then close connections).
#include "rpc/rpc_service.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>

#include "base/error.h"
#include "base/thread.h"
#include "net/socket_error.h"

namespace zq {

// A descriptor kept open for the moment the process has none left: giving it
// back lets the accept thread take the excess connection and close it, so the
// peer learns at once instead of waiting in the backlog.
class JRPCService::SpareDescriptor {
 public:
  SpareDescriptor() { reopen(); }
  ~SpareDescriptor() { release(); }
  SpareDescriptor(const SpareDescriptor&) = delete;
  SpareDescriptor& operator=(const SpareDescriptor&) = delete;

  /// Opens it again if it is not held; it may fail while descriptors are
  /// short, and is tried again next time.
  void reopen() {
    if (fd_ < 0) {
      fd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    }
  }
  /// Closes it; false when it was not held.
  bool release() {
    if (fd_ < 0) {
      return false;
    }
    ::close(fd_);
    fd_ = -1;
    return true;
  }

 private:
  int fd_ = -1;
};

// A run of failed accepts, logged when it begins and when it ends.
class JRPCService::AcceptFailures {
 public:
  explicit AcceptFailures(const JRPCService& service) : service_(service) {}

  /// One failure; `refused` when it cost a client its connection.
  void failed(const std::string& message, bool refused) {
    if (attempts_ == 0) {
      JLog::logTraceable(kLevelError, &service_,
                         "Not accepting connections on port %d: %s (retrying)",
                         static_cast<int>(service_.port()), message.c_str());
    }
    ++attempts_;
    if (refused) {
      ++refused_;
    }
  }

  /// The next wait after a failure that took no connection.
  int nextBackOff() {
    backOffMs_ = backOffMs_ == 0 ? kFirstBackOffMs : std::min(backOffMs_ * 2, kMaxBackOffMs);
    return backOffMs_;
  }

  /// A connection was accepted: the run, if any, is over.
  void succeeded() {
    if (attempts_ > 0) {
      JLog::logTraceable(kLevelError, &service_,
                         "Accepting connections on port %d again after %llu failed attempts; "
                         "%llu connections refused meanwhile",
                         static_cast<int>(service_.port()), attempts_, refused_);
    }
    reset();
  }

  /// The accept thread ends.
  void stopped() {
    if (attempts_ > 0) {
      JLog::logTraceable(kLevelError, &service_,
                         "Stopped accepting connections on port %d after %llu failed attempts; "
                         "%llu connections refused meanwhile",
                         static_cast<int>(service_.port()), attempts_, refused_);
    }
    reset();
  }

 private:
  void reset() {
    attempts_ = refused_ = 0;
    backOffMs_ = 0;
  }

  const JRPCService& service_;
  unsigned long long attempts_ = 0;
  unsigned long long refused_ = 0;
  int backOffMs_ = 0;
};

class JRPCService::AcceptThread final : public JThread {
 public:
  AcceptThread(JRPCService& service, std::string_view name) : JThread(name), service_(service) {}
  // The listening socket is closed before this runs (shutdown), so the body
  // has ended or is about to.
  ~AcceptThread() override { join(); }
  AcceptThread(const AcceptThread&) = delete;
  AcceptThread& operator=(const AcceptThread&) = delete;

 protected:
  void run() override { service_.acceptLoop(); }

 private:
  JRPCService& service_;
};

JRPCService::JRPCService(uint16_t port, bool startNow, JTraceMask* traceMask,
                         std::string_view namePrefix)
    : JRPCService(JInetAddr(in_addr{htonl(INADDR_ANY)}, port), startNow, traceMask, namePrefix) {}

JRPCService::JRPCService(const JInetAddr& address, bool startNow, JTraceMask* traceMask,
                         std::string_view namePrefix)
    : JRPCServer(std::string(namePrefix) + "::RPC[" + std::to_string(address.port()) + "]",
                 traceMask),
      listener_(std::make_unique<JTCPSocket>()),
      spare_(std::make_unique<SpareDescriptor>()) {
  const uint16_t port = address.port();
  if (address.isAny()) {
    listener_->bind(port);
  } else {
    listener_->bind(address);
  }
  address_ = listener_->localAddress();
  port_ = port != 0 ? port : address_.port();
  if (port_ != port) {
    setTraceName(std::string(namePrefix) + "::RPC[" + std::to_string(port_) + "]");
  }
  acceptThread_ = std::make_unique<AcceptThread>(*this, traceName() + "::Accept");
  if (startNow) {
    JLog::logTraceable(kLevelTraceRpc, this, "Starting service thread");
    start();
  }
}

JRPCService::~JRPCService() {
  try {
    shutdown();
  } catch (const JError& e) {
    logCaught(e);
  }
}

void JRPCService::start() {
  std::lock_guard lock(lifecycleMutex_);
  if (shutDown_) {
    throw JTextError("RPC service already shut down");
  }
  if (started_) {
    throw JTextError("RPC service already started");
  }
  JLog::logTraceable(kLevelTraceRpc, this, "Listening on port %d.", static_cast<int>(port_));
  listener_->listen(kBacklog);
  acceptThread_->start();
  started_ = true;
}

void JRPCService::shutdown() {
  // Checked before anything is stopped: a handler cannot shut its own
  // service down.
  refuseOnConnectionThread();
  std::lock_guard lock(lifecycleMutex_);
  if (shutDown_) {
    return;
  }
  if (listener_) {
    {
      std::lock_guard stopLock(stopMutex_);
      stop_.store(true);
    }
    stopChanged_.notify_all();
    trace(0x2, "Closing server socket.");
    listener_->close();
    trace(0x2, "Waiting on accept thread to exit.");
    acceptThread_->join();
    listener_.reset();
  }
  trace(0x2, "Shutting down opened connections.");
  shutdownConnections();
  shutDown_ = true;
}

bool JRPCService::backOff(int milliseconds) {
  std::unique_lock lock(stopMutex_);
  return !stopChanged_.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                [this] { return stop_.load(); });
}

void JRPCService::acceptLoop() {
  AcceptFailures failures(*this);
  while (!stop_.load()) {
    JLog::logTraceable(kLevelTraceRpc, this, "Waiting for incoming connections");
    spare_->reopen();
    JInetAddr peer;
    int err = 0;
    std::unique_ptr<JStreamSocket> socket;
    try {
      socket = listener_->tryAccept(&peer, err);
    } catch (const JError& e) {
      // No handle: shut down between the check and the call.
      if (!stop_.load()) {
        report(e);
      }
      break;
    }
    if (!socket) {
      if (!acceptFailed(err, failures)) {
        break;
      }
      continue;
    }
    try {
      addConnection(std::move(socket), peer);
      failures.succeeded();
    } catch (const JError& e) {
      // No thread for this client (its socket is closed); the next may fare
      // better.
      failures.failed(e.message(), true);
    } catch (const std::exception& e) {
      failures.failed(e.what(), true);
    }
  }
  failures.stopped();
}

bool JRPCService::acceptFailed(int err, AcceptFailures& failures) {
  const std::string message = "accept: " + JSysError::codeText(socketErrorCode(err)) + " (errno " +
                              std::to_string(err) + ")";
  if (stop_.load() || err == EBADF || err == EINVAL || err == ENOTSOCK) {
    // Closed by shutdown, or no longer listening.
    if (!stop_.load()) {
      JLog::logTraceable(kLevelError, this, "Stopped accepting connections on port %d: %s",
                         static_cast<int>(port_), message.c_str());
    }
    return false;
  }
  if (err == ECONNABORTED || err == EPROTO) {
    // That connection is gone; the next one may be fine.
    failures.failed(message, true);
    return true;
  }
  if ((err == EMFILE || err == ENFILE) && spare_->release()) {
    // The freed descriptor takes the excess connection, if one is waiting,
    // and closes it; never waits for one.
    int excessErr = 0;
    std::unique_ptr<JStreamSocket> excess;
    try {
      excess = listener_->tryAccept(nullptr, excessErr, 0);
    } catch (const JError& e) {
      // No handle: shut down meanwhile.
      if (!stop_.load()) {
        report(e);
      }
      return false;
    }
    spare_->reopen();
    if (excess) {
      excess.reset();
      failures.failed(message, true);
      return true;
    }
  }
  failures.failed(message, false);
  return backOff(failures.nextBackOff());
}

}  // namespace zq
