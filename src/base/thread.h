// JThread: a named thread whose body is the virtual run(), with the start and
// end log lines, join, auto-delete, priorities and cooperative suspension.
//
// A JThread is also a waitable object: it becomes signalled when the body has
// ended, and stays so until the thread is joined (its handle is -1 from then
// until it is started again).
//
// Suspension. Linux offers no safe way to stop another thread where it
// stands, so suspend() is a request the thread honours at its check points:
//  - every wait it does through this layer (JWaitableObject::wait,
//    JWaitForMultipleObjects::wait, join of another thread): before the wait,
//    while blocked in it (the thread wakes up to park and takes no signal
//    while parked) and before returning from it;
//  - JThread::sleep and JThread::checkSuspended;
//  - before run() is entered.
// Anything else the thread does (computing, blocking in a socket call or on a
// mutex) runs on until it reaches a check point. suspend() does not wait for
// the thread to park (isParked() tells when it has); called by the thread on
// itself, it parks at once until another thread resumes it. Suspensions
// count: the thread runs again when resume() has been called as often as
// suspend().
#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>

#include "base/waitable.h"

namespace zq {

class JWaker;

class JThread : public JWaitableObject {
 public:
  /// The priority that asks for real-time scheduling where permitted.
  static constexpr int kTimeCritical = 15;
  /// The suspension count above which suspend() fails.
  static constexpr int kMaximumSuspendCount = 127;

  /// Not started. The name (may be empty) names the thread in the log, in
  /// JLog::currentThreadName() and, cut to 15 characters, in the system.
  explicit JThread(std::string_view name = {});

  /// A started thread that was neither joined nor auto-deleted is joined
  /// here, so that nothing leaks. The owner must have stopped its body first:
  /// the derived object is already gone when this runs, so a body still
  /// running would block this destructor or use a destroyed object, and one
  /// that had not yet entered run() would run the empty base run() instead.
  /// Subclasses stop and join their body in their own destructor.
  ~JThread() override;

  /// Creates the thread and runs run() on it. `priority` follows the
  /// system's scale: -15 idle, -2..2 lowest..highest, 15 time-critical.
  /// A non-zero priority is applied as far as the process may (nice values;
  /// real-time scheduling for 2 and, a step above, 15 where permitted) and
  /// never fails for lack of permission. Logs the start line at level 3
  /// before run() is entered.
  /// Throws JSysError "CreateThread" when the thread cannot be created and
  /// JTextError when it was already started. Called by the owner only.
  void start(int priority = 0);
  /// Sets the auto-delete flag, then start(). An auto-delete thread deletes
  /// its object when the body ends; nobody else may join or delete it.
  void startAutoDelete(bool autoDelete, int priority = 0);

  /// Waits without limit for the body to end, then releases the thread and
  /// sets the handle to -1. Does nothing when not started or already joined.
  /// A thread must never join itself: that throws JTextError instead of
  /// deadlocking, and so does joining an auto-delete thread. A failed wait
  /// throws JSysError "WaitForSingleObject". Called by the owner only.
  void join();
  /// Without waiting: when the body has ended, releases the thread, sets the
  /// handle to -1 and returns true; otherwise (running, not started, already
  /// joined) returns false. Called by the owner only.
  bool tryJoin();

  /// Asks the thread to park at its next check point (see the top of this
  /// file) and returns the previous suspension count. Throws JSysError
  /// "SuspendThread" when the thread is not started or already joined (ESRCH)
  /// or the count would pass kMaximumSuspendCount (EOVERFLOW). Any thread.
  int suspend();
  /// Takes one from the suspension count and returns the count before; the
  /// thread runs again when the count reaches 0. A count of 0 stays 0. Throws
  /// JSysError "ResumeThread" when not started or already joined. Any thread.
  int resume();
  /// True while the thread is parked at a check point. Any thread.
  bool isParked() const;
  int suspendCount() const;

  /// The kernel thread id; 0 until started.
  int threadId() const { return threadId_.load(std::memory_order_acquire); }
  const std::string& name() const { return name_; }
  int priority() const { return priority_; }
  bool autoDelete() const { return autoDelete_; }

  /// The JThread whose body the calling thread runs; null on other threads.
  static JThread* current();
  /// A check point: parks the calling JThread while it is asked to suspend.
  /// Does nothing on other threads.
  static void checkSuspended();
  /// Sleeps `ms` milliseconds; a check point on a JThread.
  static void sleep(int ms);

 protected:
  /// The thread body. Errors escaping it end the thread after a level 9 log
  /// line; they never reach another thread.
  virtual void run() {}

  bool signalledLocked() const override { return ended_; }

 private:
  friend class JWaiter;
  struct StartRecord;

  static void* entry(void* record);
  void body();
  void parkIfRequested();
  void release();

  bool autoDelete_ = false;
  int priority_ = 0;
  std::atomic<int> threadId_{0};
  std::string name_;
  pthread_t thread_{};
  bool ended_ = false;  // guarded by objectMutex()

  // Suspension, all under parkMutex_: the count, the parked state, and the
  // running thread's waker, woken by suspend() so that a thread blocked in a
  // wait comes out to park (null while the thread does not run).
  mutable std::mutex parkMutex_;
  std::condition_variable parkChanged_;
  int suspendCount_ = 0;
  bool parked_ = false;
  JWaker* waker_ = nullptr;
};

}  // namespace zq
