// The RPC controller: client life, the two synchronous remote calls, and link
// events carried from the client's supervisor to the controller's queue.
#include "rpc/rpc_controller.h"

#include <utility>

#include "rpc/variant.h"

namespace zq {

JRPCController::JRPCController(JRPCNotifyWithContext<>* listener, int32_t port,
                               std::string_view host, int32_t timeoutMs, bool connectAtOnce,
                               JTraceMask* traceMask)
    : JRPCController(listener, port, host, timeoutMs, connectAtOnce, traceMask, true) {}

JRPCController::JRPCController(JRPCNotifyWithContext<>* listener, int32_t port,
                               std::string_view host, int32_t timeoutMs, bool connectAtOnce,
                               JTraceMask* traceMask, bool startQueue)
    : JThreadedQueue<JRPCEventMsg>("JRPCController (JThreadedQueue<JRPCEventMsg>) " +
                                       std::string(host) + ":" + std::to_string(port),
                                   traceMask),
      port_(port),
      host_(host),
      connectAtOnce_(connectAtOnce),
      timeout_(timeoutMs),
      listener_(listener),
      traceMask_(traceMask) {
  if (startQueue) {
    this->startQueue();
  }
}

JRPCController::~JRPCController() {
  closeLink();
}

void JRPCController::closeLink() {
  {
    JFairLockGuard lock(mutex_);
    dropClientLocked();
  }
  try {
    stop(false);
  } catch (const JError& e) {
    logCaught(e);
  }
}

// ---- the client ------------------------------------------------------------------

int32_t JRPCController::connect() {
  JFairLockGuard lock(mutex_);
  // Deleting the old client waits for its supervisor, so none of its link
  // events can overwrite the state set below.
  dropClientLocked();
  state_.store(kConnecting);
  // Creating the client may connect at once: a call that waits meanwhile
  // waits for that attempt uncounted, then goes on with its whole time-out.
  const JFairLock::Hold before = mutex_.setHold(JFairLock::Hold::kUncounted);
  try {
    client_ = std::make_shared<JRPCClientNotify>(
        this, host_, port_, timeout_.load(), /*writeTimeout=*/-1, /*retry=*/false, connectAtOnce_,
        /*reconnectPeriod=*/0, kPingPeriodMs, /*startSupervisor=*/true,
        /*deleteErrorAfterNotify=*/false, traceMask_,
        "JRPCController_" + host_ + ":" + std::to_string(port_));
    if (connectAtOnce_) {
      // Unless the new supervisor has already found the link lost.
      int32_t expected = kConnecting;
      state_.compare_exchange_strong(expected, kConnected);
    }
  } catch (const JError& e) {
    logCaught(e);
    state_.store(kDisconnected);
  }
  mutex_.setHold(before);
  return client_ ? 0 : -1;
}

void JRPCController::dropClientLocked() {
  if (client_) {
    // The supervisor stops here, even when another thread still holds the
    // client for a call in progress.
    client_->shutdown();
    client_.reset();
  }
}

std::shared_ptr<JRPCClientNotify> JRPCController::currentClient() {
  JFairLockGuard lock(mutex_);
  return client_;
}

std::shared_ptr<JRPCClientNotify> JRPCController::currentClient(JDeadline& deadline) {
  lockWithin(deadline);
  JFairLockGuard lock(mutex_, std::adopt_lock);
  return client_;
}

void JRPCController::lockWithin(JDeadline& deadline) {
  if (!mutex_.lock(deadline)) {
    // Behind another call the whole time: nothing was sent.
    throw JTimeoutError();
  }
}

int32_t JRPCController::reconnect() {
  return connect();
}

void JRPCController::disconnect() {
  JFairLockGuard lock(mutex_);
  dropClientLocked();
  state_.store(kDisconnected);
}

int32_t JRPCController::getState() {
  JFairLockGuard lock(mutex_);
  if (!client_) {
    return kDisconnected;
  }
  int32_t state = state_.load();
  if (state == kConnected && !client_->isConnected()) {
    state_.compare_exchange_strong(state, kDisconnected);
    state = kDisconnected;
  }
  return state;
}

// ---- remote calls ----------------------------------------------------------------

int32_t JRPCController::setParams(std::string_view text) {
  JDeadline deadline(timeout_.load());
  lockWithin(deadline);
  JFairLockGuard lock(mutex_, std::adopt_lock);
  if (!client_ || !client_->isConnected()) {
    return -1;
  }
  // What is left of the time-out bounds the client's call, its own wait for
  // the client included.
  client_->call("setParams", text, deadline.remainingMs());
  return 0;
}

int32_t JRPCController::getParams(std::string& out) {
  JDeadline deadline(timeout_.load());
  lockWithin(deadline);
  JFairLockGuard lock(mutex_, std::adopt_lock);
  if (!client_ || !client_->isConnected()) {
    return -1;
  }
  const JVariant nop("nop", int32_t{0});
  out = client_->callForText("getParams", &nop, deadline.remainingMs());
  return 0;
}

// ---- settings ----------------------------------------------------------------------

int32_t JRPCController::getTimeout() {
  return timeout_.load();
}

void JRPCController::setTimeout(int32_t timeoutMs) {
  timeout_.store(timeoutMs);
}

std::string JRPCController::getHost() {
  JFairLockGuard lock(mutex_);
  return host_;
}

void JRPCController::setHost(std::string_view host) {
  JFairLockGuard lock(mutex_);
  host_ = host;
}

int32_t JRPCController::getPort() {
  JFairLockGuard lock(mutex_);
  return port_;
}

void JRPCController::setPort(int32_t port) {
  JFairLockGuard lock(mutex_);
  port_ = port;
}

bool JRPCController::getConnectAtOnce() {
  JFairLockGuard lock(mutex_);
  return connectAtOnce_;
}

void JRPCController::setConnectAtOnce(bool connectAtOnce) {
  JFairLockGuard lock(mutex_);
  connectAtOnce_ = connectAtOnce;
}

// ---- link events -------------------------------------------------------------------

void JRPCController::linkUp() {
  state_.store(kConnected);
  post(JRPCEventMsg{JRPCEventMsg::kLinkUp, this, nullptr});
}

void JRPCController::linkDown(JError* error) {
  std::unique_ptr<JError> owned(error);  // ours: the client does not delete it
  state_.store(kDisconnected);
  if (!owned) {
    owned = std::make_unique<JTextError>("Unknown error");
  }
  post(JRPCEventMsg{JRPCEventMsg::kLinkDown, this, std::move(owned)});
}

void JRPCController::post(JRPCEventMsg message) {
  // Never into the supervisor: a full queue loses the event, with a trace.
  try {
    postMsg(std::move(message));
  } catch (const JError& e) {
    logCaught(e);
  }
}

void JRPCController::handleMsg(JRPCEventMsg& message) {
  if (listener_ == nullptr) {
    return;
  }
  switch (message.kind) {
    case JRPCEventMsg::kLinkUp:
      listener_->linkUp(message.controller);
      break;
    case JRPCEventMsg::kLinkDown:
      listener_->linkDown(message.controller, message.error.get());
      break;
    default:
      break;
  }
}

}  // namespace zq
