// JThreadedQueue<T>: a first-in first-out queue of messages handled one at a
// time by a thread of its own; the hand-off between threads of the RPC layer.
//
// Posters on any thread append a message under the queue's mutex and release
// the counting semaphore; the queue's thread waits on its stop event, a
// timer a derived class may arm, and that semaphore, takes one message off
// under the mutex and hands it to handleMsg() outside the mutex. The mutex is
// granted in order of arrival, so a poster waiting for it is served before
// the queue's thread comes back for the next message. The capacity
// is the semaphore's maximum count: a post beyond it fails and the message is
// not queued, so the queue never grows past it.
#pragma once

#include <cstddef>
#include <deque>
#include <exception>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>

#include "base/error.h"
#include "base/log.h"
#include "base/thread.h"
#include "base/wait.h"
#include "base/waitable.h"
#include "rpc/fair_lock.h"

namespace zq {

template <typename T>
class JThreadedQueue : public JThread, public JTraceableObject {
 public:
  /// The capacity every queue of the system is started with.
  static constexpr int kDefaultCapacity = 1000;

  /// Not started. `name` names both the thread and the traceable object;
  /// `traceMask` may be null.
  explicit JThreadedQueue(std::string_view name = {}, JTraceMask* traceMask = nullptr)
      : JThread(name), JTraceableObject(name, traceMask) {}

  /// Stops the queue without handling what is still queued. This is only a
  /// safety net: by the time it runs the derived part is gone, so a class
  /// that implements handleMsg() must call stop() in its own destructor.
  ~JThreadedQueue() override {
    try {
      stop(false);
    } catch (const JError& e) {
      logCaught(e);
    }
  }

  /// When not started: creates the semaphore with `capacity` as its maximum
  /// count, clears the process-remaining flag and starts the thread with
  /// `priority`. Does nothing when already started. Throws JSysError
  /// "CreateSemaphore" or "CreateThread" (the queue then stays stopped).
  /// Owner only; not concurrently with stop().
  void start(int priority = 0, int capacity = kDefaultCapacity) {
    {
      JFairLockGuard lock(mutex_);
      if (semaphore_) {
        return;
      }
      semaphore_ = std::make_unique<JSemaphore>(0, capacity);
      processRemaining_ = false;
    }
    try {
      JThread::start(priority);
    } catch (const JError&) {
      JFairLockGuard lock(mutex_);
      semaphore_.reset();
      throw;
    }
  }

  /// Queues `message` for handleMsg() on the queue's thread. When the queue
  /// is not started the message is dropped without a report. When it already
  /// holds its capacity of unhandled messages, throws the semaphore's
  /// JSysError "ReleaseSemaphore" and the message is not queued (the caller
  /// may retry later). Any thread, including the queue's own.
  void postMsg(T message) { post(std::move(message), nullptr); }

  /// As postMsg(message), and `handled` (not owned, may be null) is set once
  /// the message is done with: on the queue's thread after handleMsg()
  /// returned (or threw) for it and the message was destroyed; at once when
  /// the queue is not started; and when the message is destroyed unhandled at
  /// stop(). A caller can thus wait on it without ever waiting forever. It is
  /// not set when this call throws. Any thread; waiting on `handled` from
  /// the queue's own thread would deadlock.
  void postMsg(T message, JFlag* handled) { post(std::move(message), handled); }

  /// When started: stores `processRemaining`, signals the stop event, waits
  /// for the thread to end, and destroys the semaphore. The thread handles
  /// the message in progress to its end; the messages still queued are then
  /// handled on the queue's thread before it ends (processRemaining true) or
  /// destroyed unhandled (false). Does nothing when not started. Owner only,
  /// never from the queue's thread (a thread cannot wait for its own end:
  /// JTextError); not concurrently with start().
  void stop(bool processRemaining = false) {
    {
      JFairLockGuard lock(mutex_);
      if (!semaphore_) {
        return;
      }
      processRemaining_ = processRemaining;
    }
    stop_.set();
    join();
    stop_.reset();
    std::deque<Item> late;
    {
      JFairLockGuard lock(mutex_);
      semaphore_.reset();
      // Posted between the thread's last look at the queue and now.
      late.swap(queue_);
    }
    for (Item& item : late) {
      finish(item);
    }
  }

  /// True between start() and stop(). Any thread.
  bool isStarted() const {
    JFairLockGuard lock(mutex_);
    return semaphore_ != nullptr;
  }

  /// The number of messages queued and not yet taken by the queue's thread.
  /// Any thread; the value may change at once.
  size_t pendingCount() const {
    JFairLockGuard lock(mutex_);
    return queue_.size();
  }

 protected:
  /// Called on the queue's thread with each message, in posting order. The
  /// message is destroyed after the call; the handler may move from it. A
  /// JError escaping it is logged ("Exception CATCH") and the queue goes on.
  virtual void handleMsg(T& message) = 0;

  /// The queue's thread.
  void run() override {
    JSemaphore* semaphore;
    {
      JFairLockGuard lock(mutex_);
      semaphore = semaphore_.get();
    }
    if (semaphore == nullptr) {
      return;
    }
    // The semaphore outlives this loop: stop() destroys it after the join.
    JWaitForMultipleObjects waiter(&stop_, &timer_, semaphore);
    for (;;) {
      const int index = waiter.wait();
      if (index == 0) {
        break;
      }
      if (index == 1) {
        continue;
      }
      std::optional<Item> item;
      {
        JFairLockGuard lock(mutex_);
        if (!queue_.empty()) {
          item.emplace(std::move(queue_.front()));
          queue_.pop_front();
        }
      }
      if (item) {
        handle(*item);
      }
    }
    std::deque<Item> remaining;
    bool process;
    {
      JFairLockGuard lock(mutex_);
      remaining.swap(queue_);
      process = processRemaining_;
    }
    for (Item& item : remaining) {
      if (process) {
        handle(item);
      } else {
        finish(item);
      }
    }
  }

  /// True from the moment stop() is called until the queue's thread takes
  /// the request, which it does once the message in progress is handled. A
  /// handler that runs long may poll it to cut its work short. Any thread.
  bool stopRequested() const { return stop_.isSet(); }

  /// An auto-reset timer that wakes the queue's thread (and does nothing
  /// else) when a derived class arms it.
  JWaitableTimer& queueTimer() { return timer_; }

 private:
  // The thread is started through start() only, and the queue owns it.
  using JThread::startAutoDelete;

  struct Item {
    std::optional<T> message;  // emptied once done with
    JFlag* handled;
  };

  void post(T message, JFlag* handled) {
    {
      JFairLockGuard lock(mutex_);
      if (semaphore_) {
        // Released first: when it is full the message stays out.
        semaphore_->release(1);
        queue_.push_back(Item{std::optional<T>(std::move(message)), handled});
        return;
      }
    }
    signal(handled);
  }

  void handle(Item& item) {
    try {
      handleMsg(*item.message);
    } catch (const JError& e) {
      logCaught(e);
    } catch (const std::exception& e) {
      JLog::logTraceable(kLevelError, this, "Message handler failed: %s", e.what());
    }
    finish(item);
  }

  // Destroys the message, then tells whoever waits for it.
  static void finish(Item& item) {
    item.message.reset();
    signal(std::exchange(item.handled, nullptr));
  }

  static void signal(JFlag* handled) {
    if (handled == nullptr) {
      return;
    }
    try {
      handled->set();
    } catch (const JError& e) {
      logCaught(e);
    }
  }

  std::unique_ptr<JSemaphore> semaphore_;  // guarded by mutex_; none while stopped
  bool processRemaining_ = false;          // guarded by mutex_
  JFlag stop_;
  std::deque<Item> queue_;  // guarded by mutex_
  // Granted in order of arrival: the queue's thread takes it once per message
  // and never keeps a poster out for more than one turn.
  mutable JFairLock mutex_;
  JWaitableTimer timer_;
};

}  // namespace zq
