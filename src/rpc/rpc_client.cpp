// The RPC client: connecting, request exchanges and the link supervisor with
// its reconnection and PING.
#include "rpc/rpc_client.h"

#include <chrono>
#include <cstring>
#include <utility>

#include "base/wait.h"
#include "net/inet_addr.h"
#include "net/tcp_socket.h"
#include "rpc/rpc_error.h"
#include "rpc/rpc_limits.h"

namespace zq {
namespace {

constexpr std::string_view kOkPrefix = "OK ";
constexpr std::string_view kFailedPrefix = "FAILED ";
// Request lines up to this size are built on the stack.
constexpr size_t kLineBufferSize = 256;

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Copies without the terminating NUL; an empty view may have no data at all.
size_t copyText(std::string_view text, char* out) {
  if (!text.empty()) {
    std::memcpy(out, text.data(), text.size());
  }
  return text.size();
}

int lengthOf(std::string_view text) {
  return static_cast<int>(text.size());
}

// Bound and text of a value list joined by "," without a blank.
size_t valuesBound(const std::vector<JVariant>& values) {
  size_t bound = values.empty() ? 0 : values.size() - 1;
  for (const JVariant& value : values) {
    bound += value.elementTextLength();
  }
  return bound;
}

size_t writeValues(const std::vector<JVariant>& values, char* out) {
  size_t n = 0;
  for (size_t i = 0; i < values.size(); ++i) {
    if (i > 0) {
      out[n++] = ',';
    }
    n += values[i].writeElement(out + n);
  }
  return n;
}

}  // namespace

// ---- construction and shut-down ---------------------------------------------

JRPCClient::JRPCClient(std::string_view host, int32_t port, int32_t connectTimeout,
                       int32_t writeTimeout, bool retry, bool connectNow, int32_t reconnectPeriod,
                       int32_t pingPeriod, bool startSupervisor, bool deleteErrorAfterNotify,
                       JTraceMask* traceMask, std::string_view name)
    : JThread(name),
      JTraceableObject("JRPCClient - host=" + std::string(host) + ", port=" + std::to_string(port),
                       traceMask),
      host_(host),
      port_(port),
      connectTimeout_(connectTimeout),
      writeTimeout_(writeTimeout),
      retry_(retry),
      reconnectPeriod_(reconnectPeriod),
      pingPeriod_(pingPeriod),
      deleteErrorAfterNotify_(deleteErrorAfterNotify) {
  // A peer answering an endless line would otherwise make this process hold
  // all of it: past the cap the exchange fails and the link is dropped.
  setMaxLineLength(JRPCLimits::fromRegistry().maxLineSize);
  trace(kTraceConnection, "Attached to %s:%d.", host_.c_str(), port_);
  if (connectNow) {
    try {
      JFairLockGuard held(callLock_, JFairLock::Hold::kUncounted);
      const bool made = connectLocked();
      JAutoLock state(stateMutex_);
      connected_ = made;
    } catch (const JError& e) {
      if (!retry_) {
        JLog::logTraceable(kLevelWarning, this, "RPC Connection to %s:%d failed, giving up: %s.",
                           host_.c_str(), port_, e.message().c_str());
        throw;
      }
      JLog::logTraceable(kLevelWarning, this,
                         "RPC Connection to %s:%d failed, will retry later: %s.", host_.c_str(),
                         port_, e.message().c_str());
    }
  }
  if (startSupervisor) {
    start();
  }
}

JRPCClient::~JRPCClient() {
  if (!shutdownCalled_.load()) {
    JLog::logTraceable(kLevelWarning, this,
                       "JRPCClient::shutdown must be called in destructor of derivated class.");
    shutdown();
  }
}

void JRPCClient::shutdown() {
  if (shutdownCalled_.exchange(true)) {
    return;
  }
  trace(kTraceConnection, "Shutting down.");
  stopping_.store(true);
  stopEvent_.set();
  callLock_.wakeWaiters();  // a supervisor waiting for the call lock gives up
  {
    // A connect in progress fails at once; one about to start sees the
    // stopping flag (connectLocked checks it after publishing its socket).
    JAutoLock lock(stateMutex_);
    if (connecting_ != nullptr) {
      connecting_->close();
    }
  }
  join();
  shutdownDone_.store(true);
  trace(kTraceConnection, "Shutdown complete.");
}

bool JRPCClient::isConnected() const {
  JAutoLock lock(stateMutex_);
  return connected_;
}

void JRPCClient::linkDown(JError* error) {
  if (!deleteErrorAfterNotify_) {
    delete error;  // handed over by the supervisor, and nobody listens here
  }
}

// ---- connecting -----------------------------------------------------------------

// Called with the call lock held. False, with nothing logged, when the
// client is stopping: that connect is skipped.
bool JRPCClient::connectLocked() {
  trace(kTraceConnection, "Connecting to %s:%d.", host_.c_str(), port_);
  auto socket = std::make_unique<JTCPSocket>();
  socket->setConnectTimeout(connectTimeout_);
  socket->setWriteTimeout(writeTimeout_);
  {
    JAutoLock lock(stateMutex_);
    connecting_ = socket.get();
  }
  // Unpublished before the socket goes, whichever way this ends.
  struct Unpublish {
    JRPCClient& client;
    void operator()() {
      JAutoLock lock(client.stateMutex_);
      client.connecting_ = nullptr;
    }
    ~Unpublish() { (*this)(); }
  } unpublish{*this};
  if (stopping_.load()) {
    return false;
  }
  socket->connect(JInetAddr(host_, static_cast<uint16_t>(port_)));
  // Established: from here a shut-down no longer closes it.
  unpublish();
  socket->setNoDelay(true);
  setSocket(std::move(socket));
  JAutoLock state(stateMutex_);
  live_ = this->socket();
  return true;
}

// ---- exchanges -----------------------------------------------------------------

template <typename WriteArguments>
void JRPCClient::exchange(std::string_view function, size_t argumentsBound, WriteArguments&& write,
                          int32_t timeoutMs, const Result* result) {
  JDeadline deadline(timeoutMs);
  if (!callLock_.lock(deadline)) {
    // Behind other exchanges the whole time: nothing was sent, the link stays.
    trace(kTraceConnection, "Calling %.*s timed out waiting for the link.", lengthOf(function),
          function.data());
    throw JTimeoutError();
  }
  JFairLockGuard held(callLock_, std::adopt_lock);
  if (!isConnected()) {
    trace(kTraceConnection, "Calling %.*s fails on unconnected RPC client.", lengthOf(function),
          function.data());
    throw JRPCConnectionLostError();
  }
  if (deadline.passed()) {
    // The lock came free just as the time ran out.
    trace(kTraceConnection, "Calling %.*s timed out waiting for the link.", lengthOf(function),
          function.data());
    throw JTimeoutError();
  }

  char local[kLineBufferSize];
  std::string heap;
  const size_t bound = function.size() + 2 + argumentsBound;
  char* buffer = local;
  if (bound > sizeof local) {
    heap.resize(bound);
    buffer = heap.data();
  }
  size_t length = copyText(function, buffer);
  buffer[length++] = '(';
  length += write(buffer + length);
  buffer[length++] = ')';
  const std::string_view line(buffer, length);
  trace(kTraceWire, "--> %.*s", lengthOf(line), line.data());

  std::string_view answer;
  try {
    writeWithin(line, deadline);
    if (result == nullptr) {
      return;  // one-way
    }
    const bool got = readLine(answer, deadline);
    if (got) {
      trace(kTraceWire, "<-- %.*s", lengthOf(answer), answer.data());
    } else {
      trace(kTraceWire, "<--");
    }
    socket()->setReadTimeout(-1);
    if (!got) {
      throw JRPCProtocolError(function, JRPCProtocolError::kNoContext, -1);
    }
  } catch (const JError& e) {
    JLog::logTraceable(kLevelWarning, this, "RPC Connection to %s:%d lost, RPC call aborted: %s.",
                       host_.c_str(), port_, e.message().c_str());
    // The stream may still bring the late answer: no later exchange may read
    // it as its own, so the connection goes now.
    dropLinkLocked();
    if (retry_) {
      throw JRPCConnectionLostError();
    }
    throw;
  }

  if (answer.starts_with(kOkPrefix)) {
    const std::string_view text = answer.substr(kOkPrefix.size());
    if (result->params != nullptr) {
      try {
        result->params->parse(text);
      } catch (const JError& e) {
        logCaught(e);
        throw;
      }
    } else {
      result->text->assign(text);
    }
    return;
  }
  if (answer.starts_with(kFailedPrefix)) {
    throw JTextError(answer);
  }
  throw JRPCProtocolError(function, JRPCProtocolError::kNoContext, -1);
}

JParams JRPCClient::call(std::string_view function, std::string_view paramText, int32_t timeoutMs) {
  JParams params;
  const Result result{&params, nullptr};
  exchange(
      function, paramText.size(), [&](char* out) { return copyText(paramText, out); }, timeoutMs,
      &result);
  return params;
}

JParams JRPCClient::call(std::string_view function, const JVariant* chain, int32_t timeoutMs) {
  JParams params;
  const Result result{&params, nullptr};
  exchange(
      function, chain != nullptr ? chain->textLength() : 0,
      [&](char* out) { return chain != nullptr ? chain->write(out) : 0; }, timeoutMs, &result);
  return params;
}

JParams JRPCClient::call(std::string_view function, const std::vector<JVariant>& values,
                         int32_t timeoutMs) {
  JParams params;
  const Result result{&params, nullptr};
  exchange(
      function, valuesBound(values), [&](char* out) { return writeValues(values, out); }, timeoutMs,
      &result);
  return params;
}

std::string JRPCClient::callForText(std::string_view function, std::string_view paramText,
                                    int32_t timeoutMs) {
  std::string text;
  const Result result{nullptr, &text};
  exchange(
      function, paramText.size(), [&](char* out) { return copyText(paramText, out); }, timeoutMs,
      &result);
  return text;
}

std::string JRPCClient::callForText(std::string_view function, const JVariant* chain,
                                    int32_t timeoutMs) {
  std::string text;
  const Result result{nullptr, &text};
  exchange(
      function, chain != nullptr ? chain->textLength() : 0,
      [&](char* out) { return chain != nullptr ? chain->write(out) : 0; }, timeoutMs, &result);
  return text;
}

std::string JRPCClient::callForText(std::string_view function, const std::vector<JVariant>& values,
                                    int32_t timeoutMs) {
  std::string text;
  const Result result{nullptr, &text};
  exchange(
      function, valuesBound(values), [&](char* out) { return writeValues(values, out); }, timeoutMs,
      &result);
  return text;
}

void JRPCClient::notify(std::string_view function, const JVariant* chain, int32_t timeoutMs) {
  exchange(
      function, chain != nullptr ? chain->textLength() : 0,
      [&](char* out) { return chain != nullptr ? chain->write(out) : 0; }, timeoutMs, nullptr);
}

// Called with the call lock held. A write waits no longer than the time left
// to the exchange, nor than the client's write time-out.
void JRPCClient::writeWithin(std::string_view line, const JDeadline& deadline) {
  JSocket* s = socket();
  const int32_t left = deadline.remainingMs();
  const bool tighter = deadline.limited() && (writeTimeout_ < 0 || left < writeTimeout_);
  if (!tighter) {
    writeLine(line);
    return;
  }
  // 0 would mean "do not wait at all" and is warned about.
  s->setWriteTimeout(left > 0 ? left : 1);
  try {
    writeLine(line);
  } catch (const JError&) {
    s->setWriteTimeout(writeTimeout_);
    throw;
  }
  s->setWriteTimeout(writeTimeout_);
}

// Called with the call lock held, when an exchange or a PING found the link
// broken: closes the connection (with any late answer in it), marks the
// client disconnected and tells the supervisor, which reports the loss.
void JRPCClient::dropLinkLocked() {
  {
    JAutoLock state(stateMutex_);
    live_ = nullptr;  // before the socket goes: connectionLost() may use it
  }
  setSocket(nullptr);
  JAutoLock state(stateMutex_);
  connected_ = false;
  lossPending_ = true;
  try {
    linkLostEvent_.set();
  } catch (const JError& e) {
    logCaught(e);  // the supervisor still sees the loss on its next tick
  }
}

bool JRPCClient::connectionLocalAddress(JInetAddr& out) const {
  // live_ is cleared under the state mutex before its socket goes.
  JAutoLock state(stateMutex_);
  if (live_ == nullptr) {
    return false;
  }
  out = live_->localAddress();
  return true;
}

void JRPCClient::connectionLost() {
  {
    JAutoLock state(stateMutex_);
    if (!connected_) {
      return;
    }
    if (live_ != nullptr) {
      try {
        live_->shutdown();  // an exchange under way fails now and drops the link
      } catch (const JError& e) {
        logCaught(e);
      }
    }
  }
  JDeadline none;
  if (!callLock_.lock(none, JFairLock::Hold::kUncounted, &stopping_)) {
    return;  // shutting down
  }
  JFairLockGuard held(callLock_, std::adopt_lock);
  if (isConnected()) {
    dropLinkLocked();
  }
}

// On the supervisor: takes a loss to report, if there is one.
bool JRPCClient::takeLoss() {
  JAutoLock state(stateMutex_);
  if (!lossPending_) {
    return false;
  }
  lossPending_ = false;
  linkLostEvent_.reset();
  return true;
}

// ---- the supervisor --------------------------------------------------------------

void JRPCClient::run() {
  JWaitableTimer timer(false);
  timer.setPeriod(kTickMs);
  timer.set(kTickMs);
  JWaitForMultipleObjects waiter(&timer, &stopEvent_, &linkLostEvent_);
  constexpr int kTimer = 0;

  // One time stamp serves both periods: noted now, at every connect attempt
  // and at every PING.
  int64_t noted = nowMs();
  bool firstPass = true;
  for (;;) {
    int index = -1;
    if (!firstPass) {
      index = waiter.wait();
    }
    if (stopping_.load()) {
      break;
    }
    const int64_t now = nowMs();
    if (takeLoss()) {
      // An exchange found the link lost and dropped it (the link-lost event
      // woke us, or the timer got here first).
      linkLost();
    } else if (!isConnected()) {
      if (firstPass || now - noted > reconnectPeriod_) {
        noted = now;
        connectAttempt(firstPass);
      }
    } else if (index == kTimer) {
      if (pingPeriod_ > 0 && now - noted > pingPeriod_) {
        noted = now;
        ping();
      }
    }
    firstPass = false;
  }
}

void JRPCClient::connectAttempt(bool firstPass) {
  // Behind every caller already waiting; callers that come while it connects
  // wait for it without counting the time (kUncounted). Shut-down wakes it.
  JDeadline none;
  if (!callLock_.lock(none, JFairLock::Hold::kUncounted, &stopping_)) {
    return;  // shutting down: the attempt is skipped
  }
  std::unique_ptr<JError> failure;
  {
    JFairLockGuard held(callLock_, std::adopt_lock);
    try {
      if (!connectLocked()) {
        return;  // shutting down: the attempt is skipped
      }
      // A loss signalled before this point concerned the previous socket.
      linkLostEvent_.reset();
      {
        JAutoLock state(stateMutex_);
        connected_ = true;
      }
      trace(kTraceConnection,
            firstPass ? "RPC link to %s:%d established." : "RPC link to %s:%d back up.",
            host_.c_str(), port_);
    } catch (const JError& e) {
      failure = e.clone();
    }
  }
  if (!failure) {
    try {
      linkUp();
    } catch (const JError& e) {
      report(e);
    }
    return;
  }
  if (!firstPass) {
    return;  // later attempts fail silently; a loss was reported when it happened
  }
  JLog::logTraceable(kLevelWarning, this, "RPC Connection to %s:%d down, will retry later: %s.",
                     host_.c_str(), port_, failure->message().c_str());
  notifyDown(failure.release());
  if (!retry_) {
    stopping_.store(true);
  }
}

// Reports a loss taken by takeLoss(); the link was dropped when it was found.
void JRPCClient::linkLost() {
  // Raw owning pointer: linkDown's interface hands it over.
  JError* error = new JRPCConnectionLostError();
  try {
    linkDown(error);
  } catch (const JError& e) {
    report(e);
  }
  if (!retry_) {
    stopping_.store(true);
  }
  if (deleteErrorAfterNotify_) {
    delete error;
  }
}

void JRPCClient::notifyDown(JError* error) {
  try {
    linkDown(error);
  } catch (const JError& e) {
    report(e);
  }
  if (deleteErrorAfterNotify_) {
    delete error;
  }
}

void JRPCClient::ping() {
  // Callers keeping the call lock busy for half the period are left alone:
  // the next tick tries again. Once the lock is held the exchange has half
  // the period of its own, so that a PING that waited long for the lock on a
  // busy machine does not take a healthy link down for want of time.
  JDeadline lockWait(pingPeriod_ / 2);
  if (!callLock_.lock(lockWait, JFairLock::Hold::kCounted, &stopping_)) {
    return;
  }
  JFairLockGuard held(callLock_, std::adopt_lock);
  if (!isConnected()) {
    return;  // a call found the link lost while this waited
  }
  JDeadline deadline(pingPeriod_ / 2);
  try {
    trace(kTraceWire, "--> PING");
    writeWithin("PING", deadline);
    std::string_view answer;
    const bool got = readLine(answer, deadline);
    if (got) {
      trace(kTraceWire, "<-- %.*s", lengthOf(answer), answer.data());
    } else {
      trace(kTraceWire, "<--");
    }
    if (!got || answer != "PONG") {
      throw JRPCProtocolError("pong", JRPCProtocolError::kNoContext, -1);
    }
    socket()->setReadTimeout(-1);
  } catch (const JError& e) {
    if (retry_) {
      JLog::logTraceable(kLevelWarning, this, "RPC Connection to %s:%d down, will retry later: %s.",
                         host_.c_str(), port_, e.message().c_str());
    } else {
      JLog::logTraceable(kLevelWarning, this, "RPC Connection to %s:%d down, giving up: %s.",
                         host_.c_str(), port_, e.message().c_str());
    }
    dropLinkLocked();  // reported on the next pass
  }
}

// ---- JRPCClientNotify -------------------------------------------------------------

JRPCClientNotify::JRPCClientNotify(JRPCNotify* listener, std::string_view host, int32_t port,
                                   int32_t connectTimeout, int32_t writeTimeout, bool retry,
                                   bool connectNow, int32_t reconnectPeriod, int32_t pingPeriod,
                                   bool startSupervisor, bool deleteErrorAfterNotify,
                                   JTraceMask* traceMask, std::string_view name)
    : JRPCClient(host, port, connectTimeout, writeTimeout, retry, connectNow, reconnectPeriod,
                 pingPeriod, false, deleteErrorAfterNotify, traceMask, name),
      listener_(listener) {
  if (startSupervisor) {
    start();
  }
}

JRPCClientNotify::~JRPCClientNotify() {
  shutdown();
}

void JRPCClientNotify::linkUp() {
  if (listener_ != nullptr) {
    listener_->linkUp();
  }
}

void JRPCClientNotify::linkDown(JError* error) {
  if (listener_ != nullptr) {
    listener_->linkDown(error);  // takes ownership when deleteErrorAfterNotify() is clear
  } else {
    JRPCClient::linkDown(error);
  }
}

}  // namespace zq
