// JRPCService: the listening socket, the accept thread and the shut-down
// order (stop accepting first, then close the connections).
#include "rpc/rpc_service.h"

#include <string>

#include "base/error.h"
#include "base/thread.h"

namespace zq {

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
    : JRPCServer(std::string(namePrefix) + "::RPC[" + std::to_string(port) + "]", traceMask),
      listener_(std::make_unique<JTCPSocket>()) {
  listener_->bind(port);
  port_ = port != 0 ? port : listener_->localAddress().port();
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
    stop_.store(true);
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

void JRPCService::acceptLoop() {
  while (!stop_.load()) {
    JLog::logTraceable(kLevelTraceRpc, this, "Waiting for incoming connections");
    JInetAddr peer;
    std::unique_ptr<JStreamSocket> socket;
    try {
      socket = listener_->accept(&peer);
    } catch (const JError& e) {
      // Closing the listening socket ends the wait this way too.
      report(e);
      return;
    }
    if (!socket) {
      return;
    }
    try {
      addConnection(std::move(socket), peer);
    } catch (const JError& e) {
      // No thread for this client (its socket is closed); the next may fare
      // better.
      report(e);
    }
  }
}

}  // namespace zq
