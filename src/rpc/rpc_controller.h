// JRPCController: the base of every object that controls one remote service
// over RPC. It owns the client to the service, re-creates it on demand, sends
// "setParams" and "getParams", and turns the client's link events into
// messages handled on its own queue thread, where its listener hears them.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "base/error.h"
#include "base/log.h"
#include "base/mutex.h"
#include "net/socket_layer.h"
#include "rpc/fair_lock.h"
#include "rpc/rpc_client.h"
#include "rpc/rpc_notify.h"
#include "rpc/threaded_queue.h"

namespace zq {

class JRPCController;

/// A link event on its way from the client's supervisor to the controller's
/// queue thread.
struct JRPCEventMsg {
  enum Kind : int32_t {
    kLinkUp = 1,
    kLinkDown = 2,
  };

  int32_t kind = 0;
  /// The controller the event concerns.
  JRPCController* controller = nullptr;
  /// Why the link went down; none for link up.
  std::unique_ptr<JError> error;
};

/// What the owner of a remote-service controller can do with it.
class JRPCControllerInterface {
 public:
  /// Link states answered by getState().
  enum State : int32_t {
    kDisconnected = 0,
    kConnecting = 1,
    kConnected = 2,
  };

  /// Calls the remote "setParams" with `text` as its parameter text; 0 on
  /// success, -1 (nothing sent) when not connected.
  virtual int32_t setParams(std::string_view text) = 0;
  /// Calls the remote "getParams" and stores the answer's text in `out`; 0
  /// on success, -1 (nothing sent) when not connected.
  virtual int32_t getParams(std::string& out) = 0;
  /// Milliseconds: the client's connect time-out and the answer time-out of
  /// setParams and getParams.
  virtual int32_t getTimeout() = 0;
  virtual void setTimeout(int32_t timeoutMs) = 0;
  virtual std::string getHost() = 0;
  virtual void setHost(std::string_view host) = 0;
  virtual int32_t getPort() = 0;
  virtual void setPort(int32_t port) = 0;
  /// One of State.
  virtual int32_t getState() = 0;
  virtual bool getConnectAtOnce() = 0;
  virtual void setConnectAtOnce(bool connectAtOnce) = 0;
  virtual int32_t reconnect() = 0;
  virtual void disconnect() = 0;
  /// 0 when a client exists afterwards, -1 when it could not be created.
  virtual int32_t connect() = 0;
  virtual ~JRPCControllerInterface() = default;
};

class JRPCController : public virtual JRPCControllerInterface,
                       public JRPCNotify,
                       public JThreadedQueue<JRPCEventMsg> {
 public:
  /// The client's PING period.
  static constexpr int32_t kPingPeriodMs = 5000;

  /// Stores the values (`listener` not owned, may be null; `traceMask` may
  /// be null and is handed to the client too), names itself
  /// "JRPCController (JThreadedQueue<JRPCEventMsg>) host:port" and starts its
  /// queue. Does not connect: the owner calls connect() next.
  JRPCController(JRPCNotifyWithContext<>* listener, int32_t port, std::string_view host,
                 int32_t timeoutMs, bool connectAtOnce, JTraceMask* traceMask = nullptr);

  /// Deletes the client (under the mutex: a call in progress ends first),
  /// then stops the queue without delivering the events still queued; an
  /// event being delivered is finished first.
  ~JRPCController() override;

  // Concurrency: every operation below may be called from any thread,
  // the listener on the queue thread included (the client's supervisor only
  // ever posts to the queue, so deleting a client never waits for the queue
  // thread). They are serialised by the controller's mutex, which setParams
  // and getParams hold for the whole remote call, so disconnect() waits for
  // a call in progress. The mutex is granted in order of arrival, so a
  // thread that sends call after call (the audio output controller's command
  // thread) never keeps another caller out. The controller itself must not
  // be destroyed by its listener: destruction waits for the queue thread to
  // end.

  /// Under the mutex: when a client exists and is connected, calls
  /// "setParams" with `text` and returns 0; otherwise returns -1 (nothing
  /// sent). getTimeout() bounds the whole operation: the wait for the mutex
  /// behind another call, then the client's call (see JRPCClient); a
  /// connect() in progress when it begins is waited for on top, uncounted.
  /// A time-out passed while waiting behind another call throws
  /// JTimeoutError ("Time out!") with nothing sent and the link left up. A
  /// "FAILED " answer or a lost link throws as JRPCClient's calls do; a lost
  /// link (a time-out waiting for the answer included) also drops the link,
  /// which the listener hears as one link down.
  int32_t setParams(std::string_view text) override;
  /// As setParams, with the line getParams(nop=0); `out` receives the text
  /// after "OK ".
  int32_t getParams(std::string& out) override;
  int32_t getTimeout() override;
  void setTimeout(int32_t timeoutMs) override;
  std::string getHost() override;
  /// Takes effect at the next connect().
  void setHost(std::string_view host) override;
  int32_t getPort() override;
  /// Takes effect at the next connect().
  void setPort(int32_t port) override;
  /// No client: 0. A state of 2 whose client has lost its link: 0, even
  /// before the link-down event was delivered.
  int32_t getState() override;
  bool getConnectAtOnce() override;
  void setConnectAtOnce(bool connectAtOnce) override;
  /// connect().
  int32_t reconnect() override;
  /// Deletes the client (which shuts it down); state 0.
  void disconnect() override;
  /// Deletes any client, sets state 1 and creates a new client (retry off,
  /// PING every 5 s, supervisor started, connecting at once when the
  /// connect-at-once flag is set, which makes the state 2 at once). A failure
  /// to create it is logged ("Exception CATCH") and leaves no client: -1.
  int32_t connect() override;

 protected:
  /// The link state as stored, without the live check and without the lock:
  /// it may be stale by the time the caller acts on it.
  int32_t linkState() const { return state_.load(); }

  /// The current client, or null. The caller may use it without the
  /// controller's mutex: a client dropped meanwhile (disconnect, reconnect)
  /// has had its supervisor stopped, so it sends no more link events, and is
  /// destroyed when the caller lets go of it. Any thread.
  std::shared_ptr<JRPCClientNotify> currentClient();
  /// As currentClient(), waiting for the mutex no later than `deadline`
  /// (postponed by a connect() in progress); throws JTimeoutError when it
  /// passes first.
  std::shared_ptr<JRPCClientNotify> currentClient(JDeadline& deadline);

  // JRPCNotify, on the client's supervisor thread: only queue the event.
  // Neither takes the controller's mutex, so that deleting the client under
  // it (which waits for the supervisor) cannot deadlock.
  void linkUp() override;
  /// Takes ownership of `error` (the client is built with
  /// delete-error-after-notify clear).
  void linkDown(JError* error) override;

  /// On the queue thread: tells the listener, with this controller as
  /// context.
  void handleMsg(JRPCEventMsg& message) override;

  /// As the public constructor, except that the queue is started only with
  /// `startQueue`. A derived class passes false and calls startQueue() at the
  /// end of its own constructor: the queue's thread must not start while the
  /// derived part is still being built.
  JRPCController(JRPCNotifyWithContext<>* listener, int32_t port, std::string_view host,
                 int32_t timeoutMs, bool connectAtOnce, JTraceMask* traceMask, bool startQueue);

  /// Starts the event queue (priority 0, capacity 1 000) when it is not
  /// started. Owner only.
  void startQueue() { start(0, kDefaultCapacity); }

  /// Deletes the client, then stops the queue without delivering the events
  /// still queued, waiting for an event being delivered. The destructor does
  /// this; a derived class whose members a listener may reach through the
  /// event's context (a name, say) does it first in its own destructor, so
  /// that no event is delivered once those members are gone. Owner only,
  /// never from the listener.
  void closeLink();

 private:
  void post(JRPCEventMsg message);
  /// Stops the client's supervisor and lets go of it; under mutex_.
  void dropClientLocked();
  /// Takes mutex_ no later than `deadline`; throws JTimeoutError otherwise.
  void lockWithin(JDeadline& deadline);

  // A user of the socket layer from before the first client to after the last.
  JSocketLayer::Holder socketLayer_;
  int32_t port_;      // guarded by mutex_
  std::string host_;  // guarded by mutex_
  std::atomic<int32_t> state_{kDisconnected};
  // Shared so that a user of the client outside the mutex (a derived class's
  // command thread) keeps it alive through its call; see currentClient().
  std::shared_ptr<JRPCClientNotify> client_;  // guarded by mutex_
  // Recursive, granted in order of arrival; held as kUncounted by connect().
  JFairLock mutex_;
  bool connectAtOnce_;  // guarded by mutex_
  // Read without the mutex, so that a call can start its clock before it
  // waits for the mutex.
  std::atomic<int32_t> timeout_;
  JRPCNotifyWithContext<>* const listener_;
  JTraceMask* const traceMask_;
};

}  // namespace zq
