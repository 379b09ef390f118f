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
    JAutoLock lock(mutex_);
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
  JAutoLock lock(mutex_);
  // Deleting the old client waits for its supervisor, so none of its link
  // events can overwrite the state set below.
  dropClientLocked();
  state_.store(kConnecting);
  try {
    client_ = std::make_shared<JRPCClientNotify>(
        this, host_, port_, timeout_, /*writeTimeout=*/-1, /*retry=*/false, connectAtOnce_,
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
  JAutoLock lock(mutex_);
  return client_;
}

int32_t JRPCController::reconnect() {
  return connect();
}

void JRPCController::disconnect() {
  JAutoLock lock(mutex_);
  dropClientLocked();
  state_.store(kDisconnected);
}

int32_t JRPCController::getState() {
  JAutoLock lock(mutex_);
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
  JAutoLock lock(mutex_);
  if (!client_ || !client_->isConnected()) {
    return -1;
  }
  client_->call("setParams", text, getTimeout());
  return 0;
}

int32_t JRPCController::getParams(std::string& out) {
  JAutoLock lock(mutex_);
  if (!client_ || !client_->isConnected()) {
    return -1;
  }
  const JVariant nop("nop", int32_t{0});
  out = client_->callForText("getParams", &nop, getTimeout());
  return 0;
}

// ---- settings ----------------------------------------------------------------------

int32_t JRPCController::getTimeout() {
  JAutoLock lock(mutex_);
  return timeout_;
}

void JRPCController::setTimeout(int32_t timeoutMs) {
  JAutoLock lock(mutex_);
  timeout_ = timeoutMs;
}

std::string JRPCController::getHost() {
  JAutoLock lock(mutex_);
  return host_;
}

void JRPCController::setHost(std::string_view host) {
  JAutoLock lock(mutex_);
  host_ = host;
}

int32_t JRPCController::getPort() {
  JAutoLock lock(mutex_);
  return port_;
}

void JRPCController::setPort(int32_t port) {
  JAutoLock lock(mutex_);
  port_ = port;
}

bool JRPCController::getConnectAtOnce() {
  JAutoLock lock(mutex_);
  return connectAtOnce_;
}

void JRPCController::setConnectAtOnce(bool connectAtOnce) {
  JAutoLock lock(mutex_);
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
