// Waiting for several waitable objects at once: JWaiter, the base of waiters
// with the wait engine every wait of this layer runs on, and
// JWaitForMultipleObjects.
//
// A thread that must be woken on demand waits on a stop JFlag together with
// its work objects and acts on the index returned:
//
//   JWaitForMultipleObjects waiter(&stop, &timer, &queued);
//   for (;;) {
//     const int index = waiter.wait();
//     if (index == 0) break;  // the stop flag wins over everything else
//     ...
//   }
#pragma once

#include <cstddef>
#include <vector>

#include "base/waitable.h"

namespace zq {

class JWaiter {
 public:
  virtual ~JWaiter() = default;

  /// Waits as the waiter says; returns the index of the object that ended the
  /// wait. `timeoutMs`: -1 without limit, 0 only tests.
  virtual int wait(int timeoutMs = -1) = 0;

  /// The engine under every wait of this layer. Waits for any (or, with
  /// `waitAll`, all) of `count` objects and consumes the signal of the
  /// auto-reset ones that satisfy the wait. Returns the lowest index among
  /// the objects signalled when it looked (0 for a satisfied wait-all).
  ///
  /// Throws JTimeoutError ("Time out!") when `timeoutMs` (>= 0) expires, and
  /// JSysError named `callName` when the wait cannot be done: an object with
  /// no handle (EBADF), no objects or the same object twice in a wait-all
  /// (EINVAL).
  ///
  /// On a JThread the wait is a suspension check point (thread.h): a thread
  /// asked to suspend parks before it starts, while it is blocked (it then
  /// takes no signal while parked; its time-out keeps running) and before it
  /// returns.
  static int waitFor(JWaitableObject* const* objects, size_t count, bool waitAll, int timeoutMs,
                     const char* callName);
};

/// Waits for any or all of a fixed list of objects. The objects are taken
/// when the waiter is built and must outlive it. One waiter may be used by one thread at a time;
/// several waiters may wait on the same objects from different threads.
class JWaitForMultipleObjects : public JWaiter {
 public:
  /// Throws JTextError "empty vector!" when `count` is 0 and JTextError
  /// "null waitable object" when an entry is null.
  JWaitForMultipleObjects(size_t count, JWaitableObject* const* objects, bool waitAll = false);
  explicit JWaitForMultipleObjects(const std::vector<JWaitableObject*>& objects,
                                   bool waitAll = false);
  JWaitForMultipleObjects(JWaitableObject* object0, JWaitableObject* object1, bool waitAll = false);
  JWaitForMultipleObjects(JWaitableObject* object0, JWaitableObject* object1,
                          JWaitableObject* object2, bool waitAll = false);
  JWaitForMultipleObjects(JWaitableObject* object0, JWaitableObject* object1,
                          JWaitableObject* object2, JWaitableObject* object3, bool waitAll = false);

  /// Waits for any object and returns its index in construction order, the
  /// lowest when several are signalled; with wait-all, returns 0 once all are
  /// signalled at the same moment, having consumed the auto-reset ones
  /// together (a wait-all that times out consumes nothing). Throws
  /// JTimeoutError on time-out and JSysError "WaitForMultipleObjects" on
  /// failure (see JWaiter::waitFor).
  int wait(int timeoutMs = -1) override;

  size_t count() const { return objects_.size(); }
  bool waitAll() const { return waitAll_; }

 private:
  void check() const;

  bool waitAll_;
  std::vector<JWaitableObject*> objects_;
};

}  // namespace zq
