// JRPCClient: one TCP connection to a remote RPC service, with the request
// calls, the link supervisor (connect, reconnect, PING) and the link events;
// JRPCClientNotify: a client that forwards its link events to a JRPCNotify.
//
// Threads. Callers on any thread share one client; the call lock serialises
// every exchange on the socket (calls, notifications, PING, connect), so one
// request is outstanding at a time and the answer read belongs to it. It is
// granted in order of arrival: a caller waiting for it is served before the
// supervisor's next connect attempt or PING, however often the supervisor
// comes back for it. The supervisor thread connects, watches the link and
// sends PING; it calls linkUp() after releasing the call lock and linkDown()
// outside it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "base/log.h"
#include "base/mutex.h"
#include "base/thread.h"
#include "base/waitable.h"
#include "net/inet_addr.h"
#include "net/socket.h"
#include "rpc/fair_lock.h"
#include "rpc/line_io.h"
#include "rpc/params.h"
#include "rpc/rpc_notify.h"
#include "rpc/variant.h"

namespace zq {

class JRPCClient : public JLineIO, public JThread, public JTraceableObject {
 public:
  /// Trace bits of the client's own mask (lines written at level 4).
  static constexpr uint32_t kTraceWire = 0x4;
  static constexpr uint32_t kTraceConnection = 0x8;

  /// The supervisor's tick: every wake-up for reconnecting and PING.
  static constexpr int kTickMs = 1000;

  /// Logs "Attached to %s:%d." (trace bit 0x8).
  ///
  /// `connectTimeout`, `writeTimeout`: milliseconds, -1 for none, applied to
  /// every new socket. `retry`: on a failed connect or a lost link try again
  /// later, or give up (the supervisor then ends). `reconnectPeriod`: the
  /// least time between two connect attempts (0: every tick). `pingPeriod`:
  /// the least time between two keep-alive exchanges (0 or less: no PING);
  /// each waits half the period for its answer. `deleteErrorAfterNotify`: who
  /// owns the error given to linkDown() (see there). `traceMask` (may be
  /// null) is the caller's mask. `name` names the supervisor thread.
  ///
  /// With `connectNow` the client connects at once, on the constructing
  /// thread, without telling linkUp(). A failure logs "RPC Connection to
  /// %s:%d failed, will retry later: %s." and leaves the supervisor to try
  /// again (retry set), or logs "RPC Connection to %s:%d failed, giving up:
  /// %s." and throws the error on (retry clear). With `startSupervisor` the
  /// supervisor starts at once; a derived class that overrides linkUp() or
  /// linkDown() passes false and calls start() at the end of its own
  /// constructor, so that they never run on a half-built object.
  JRPCClient(std::string_view host, int32_t port, int32_t connectTimeout = -1,
             int32_t writeTimeout = -1, bool retry = true, bool connectNow = false,
             int32_t reconnectPeriod = 0, int32_t pingPeriod = 0, bool startSupervisor = true,
             bool deleteErrorAfterNotify = true, JTraceMask* traceMask = nullptr,
             std::string_view name = {});

  /// Shuts down when that has not been done, after logging "JRPCClient::
  /// shutdown must be called in destructor of derivated class." (level 9): by
  /// now a derived class's linkUp()/linkDown() must no longer be running.
  ~JRPCClient() override;

  JRPCClient(const JRPCClient&) = delete;
  JRPCClient& operator=(const JRPCClient&) = delete;

  /// The connected flag. Any thread.
  bool isConnected() const;

  // Calls. Each writes one request line and reads one answer line, and
  // returns what follows "OK ": parsed into a JParams, or as text
  // (callForText).
  //
  // Time-out: `timeoutMs` milliseconds (-1: without limit) bound the whole
  // call: the wait for the call lock behind other exchanges, the write and
  // the wait for the answer. A connect attempt already under way (or queued
  // ahead) when the call begins is waited for on top, and does not count: a
  // call made while the supervisor connects waits for the attempt, then
  // fails at once if it failed. So a call returns within its time-out plus
  // at most that one connect attempt (the client's connect time-out).
  //
  // Failures: a disconnected client throws JRPCConnectionLostError at once.
  // A call whose time-out passes while it waits behind another exchange
  // throws JTimeoutError ("Time out!") having sent nothing; the link stays
  // up. A "FAILED ..." answer throws JTextError with the whole answer line
  // (the link stays up). Another answer, "OK" without its blank included,
  // throws JRPCProtocolError (the function's name, code -1). A result text
  // that does not parse throws the parser's error. A socket error, a
  // time-out, a connection closed before the answer, or an answer longer
  // than the line cap of the registry (JRPCLimits, "MaxRequestLineSize";
  // JLineTooLongError, whose message names the cap, in the line logged with
  // the peer) is a lost link: the
  // stream may still bring the late answer, so the connection is closed at
  // once, later calls fail as on a disconnected client, and the supervisor
  // is told (it reports the loss through linkDown() and, with retry set,
  // reconnects). With retry set the call throws JRPCConnectionLostError;
  // without, the error itself.
  //
  // Concurrency: any thread; calls wait for each other, for a PING and for a
  // connect in progress, served in order of arrival.

  /// The line is function + "(" + paramText + ")".
  JParams call(std::string_view function, std::string_view paramText, int32_t timeoutMs = -1);
  /// The line is function + "(" + the chain's text ("a=1, b=2") + ")"; a null
  /// chain gives "()".
  JParams call(std::string_view function, const JVariant* chain, int32_t timeoutMs = -1);
  /// The line is function + "(" + each value's text joined by "," + ")".
  JParams call(std::string_view function, const std::vector<JVariant>& values,
               int32_t timeoutMs = -1);
  std::string callForText(std::string_view function, std::string_view paramText,
                          int32_t timeoutMs = -1);
  std::string callForText(std::string_view function, const JVariant* chain, int32_t timeoutMs = -1);
  std::string callForText(std::string_view function, const std::vector<JVariant>& values,
                          int32_t timeoutMs = -1);

  /// A one-way request: writes function + "(" + chain + ")" and reads
  /// nothing. `timeoutMs` bounds the wait for the call lock and the write as
  /// for a call. Fails like a call (a disconnected client, a time-out behind
  /// another exchange, a write that fails). Any thread.
  void notify(std::string_view function, const JVariant* chain, int32_t timeoutMs = -1);

  /// The peer this link controls is known to be gone (a receiver of its
  /// data stream saw the stream end): the link is treated as lost now. A
  /// pending exchange fails at once (its socket is shut down), the link is
  /// dropped and the supervisor reports the loss once, as for a loss an
  /// exchange finds. Nothing happens while disconnected. Any thread.
  void connectionLost();

  /// The local address of the established connection into `out`; false,
  /// with `out` untouched, while there is none. A receiver of a data stream
  /// that the peer sends to this host names this address. Any thread.
  bool connectionLocalAddress(JInetAddr& out) const;

  /// Starts the supervisor when the constructor did not. Owner only, once.
  void start() { JThread::start(0); }

  /// Stops the supervisor, once: logs "Shutting down." (trace bit 0x8), sets
  /// the stopping flag, wakes the supervisor (also where it waits for the
  /// call lock), aborts a connect in progress by closing its socket, waits
  /// for the supervisor to end, and logs "Shutdown complete.". A connect the
  /// supervisor was about to make is skipped silently. A connection already made
  /// stays usable for calls. A class derived from JRPCClient calls it in its
  /// own destructor. Owner only; never from linkUp() or linkDown() (the
  /// supervisor would wait for itself).
  void shutdown();

  const std::string& host() const { return host_; }
  int32_t port() const { return port_; }
  bool retry() const { return retry_; }
  bool deleteErrorAfterNotify() const { return deleteErrorAfterNotify_; }

 protected:
  /// The link was established or re-established; on the supervisor thread,
  /// after the call lock was released. Empty by default.
  virtual void linkUp() {}

  /// The link is down: a new JRPCConnectionLostError when an established
  /// link was lost, or the error of the first connect attempt. On the
  /// supervisor thread, outside the call lock. `error` is a raw owning
  /// pointer handed over by this interface: with deleteErrorAfterNotify() set
  /// the client deletes it once this returns (do not keep it); when clear,
  /// the override owns it. The default discards it.
  virtual void linkDown(JError* error);

  /// The supervisor.
  void run() override;

 private:
  // The two forms a call returns its result in.
  struct Result {
    JParams* params = nullptr;
    std::string* text = nullptr;
  };

  template <typename WriteArguments>
  void exchange(std::string_view function, size_t argumentsBound, WriteArguments&& write,
                int32_t timeoutMs, const Result* result);
  bool connectLocked();
  void connectAttempt(bool firstPass);
  void writeWithin(std::string_view line, const JDeadline& deadline);
  void dropLinkLocked();
  bool takeLoss();
  void linkLost();
  void ping();
  void notifyDown(JError* error);

  // The call mutex, granted in order of arrival (see the top of this file).
  JFairLock callLock_;
  mutable JMutex stateMutex_;
  JFlag stopEvent_;
  JFlag linkLostEvent_;
  const std::string host_;
  const int32_t port_;
  const int32_t connectTimeout_;
  const int32_t writeTimeout_;
  const bool retry_;
  const int32_t reconnectPeriod_;
  const int32_t pingPeriod_;
  bool connected_ = false;  // guarded by stateMutex_
  // A lost link found by an exchange and not yet reported by the supervisor;
  // set with the link-lost event. Guarded by stateMutex_.
  bool lossPending_ = false;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> shutdownCalled_{false};
  std::atomic<bool> shutdownDone_{false};
  const bool deleteErrorAfterNotify_;
  // The socket of a connect in progress, so that shutdown can close it. Not
  // owned: the connect owns it. Guarded by stateMutex_.
  JSocket* connecting_ = nullptr;
  // The established connection's socket, for connectionLost(); guarded by
  // stateMutex_, cleared before the socket goes.
  JSocket* live_ = nullptr;
};

/// A JRPCClient whose link events go to a listener (not owned, may be null).
class JRPCClientNotify : public JRPCClient {
 public:
  /// The listener, then the JRPCClient arguments. The supervisor is started
  /// here, after the listener is set, when `startSupervisor` is true.
  JRPCClientNotify(JRPCNotify* listener, std::string_view host, int32_t port,
                   int32_t connectTimeout = -1, int32_t writeTimeout = -1, bool retry = true,
                   bool connectNow = false, int32_t reconnectPeriod = 0, int32_t pingPeriod = 0,
                   bool startSupervisor = true, bool deleteErrorAfterNotify = true,
                   JTraceMask* traceMask = nullptr, std::string_view name = {});
  ~JRPCClientNotify() override;

 protected:
  void linkUp() override;
  void linkDown(JError* error) override;

 private:
  JRPCNotify* const listener_;
};

}  // namespace zq
