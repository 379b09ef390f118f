// The waitable objects: the base JWaitableObject and the event (JFlag),
// semaphore and timer, waited for singly here or together with
// JWaitForMultipleObjects (wait.h).
//
// The objects live in user space and hold no descriptor: each keeps its
// state under its own mutex with the list of the threads now waiting on it.
// A waiting thread registers its JWaker (waker.h) on every object it waits
// for and sleeps; whatever may signal an object wakes the registered threads,
// which look at their objects again and take what they wait for. Manual-reset
// objects stay signalled until reset; auto-reset objects (auto-reset JFlag,
// JSemaphore, auto-reset JWaitableTimer) are consumed by the one waiter that
// wins, however many wait. Timers are fired by one timer thread per process.
//
// A signal is given and taken under the object's mutex, so whatever the
// signalling thread wrote before is visible to the thread whose wait it
// ended. A wait-all holds the mutexes of all its objects (taken in address
// order) while it checks and consumes them: nobody can take one of the
// signals away in between.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace zq {

class JWaiter;
class JWaker;
class WaitCall;

class JWaitableObject {
 public:
  virtual ~JWaitableObject();
  JWaitableObject(const JWaitableObject&) = delete;
  JWaitableObject& operator=(const JWaitableObject&) = delete;

  /// A number naming the object, unique in the process (log lines print it);
  /// -1 when the object has none (a JThread not started or already joined),
  /// and then it cannot be waited for.
  int handle() const { return handle_.load(std::memory_order_acquire); }

  /// Waits until the object is signalled and, for an auto-reset object,
  /// consumes the signal. `timeoutMs`: -1 waits without limit, 0 only tests.
  /// Throws JTimeoutError ("Time out!") when the time-out expires and
  /// JSysError "WaitForSingleObject" (EBADF) when the object has no handle.
  /// Called on a JThread, the wait is a suspension check point (thread.h).
  /// Any number of threads may wait at once.
  void wait(int timeoutMs = -1);

 protected:
  /// With a new handle, or without one (`withHandle` false) until
  /// assignHandle().
  explicit JWaitableObject(bool withHandle = true);

  /// Gives the object a new handle.
  void assignHandle();
  /// Sets the handle to -1.
  void clearHandle() { handle_.store(-1, std::memory_order_release); }

  /// The mutex guarding the object's state and its waiter list.
  std::mutex& objectMutex() const { return mutex_; }

  /// True when the object is signalled now. Called with objectMutex() held.
  virtual bool signalledLocked() const = 0;
  /// Takes the signal once signalledLocked() said so; for an auto-reset
  /// object, clears it or counts it down. Called with objectMutex() held.
  /// Manual-reset objects keep their signal (the default).
  virtual void consumeLocked() {}

  /// Wakes every thread waiting on the object, so that it looks again.
  /// Called with objectMutex() held, after a change that may signal it.
  void wakeWaitersLocked();

 private:
  friend class JWaiter;
  friend class WaitCall;

  // One thread's registration on this object for the time of one wait: a
  // node of the object's list, kept on the waiting thread's stack.
  struct Registration {
    JWaker* waker = nullptr;
    Registration* previous = nullptr;
    Registration* next = nullptr;
  };
  void addWaiter(Registration& registration);
  void removeWaiter(Registration& registration);

  mutable std::mutex mutex_;
  Registration* waiters_ = nullptr;  // guarded by mutex_
  std::atomic<int> handle_;
};

/// An event. Process-local: the name is kept for diagnostics only.
class JFlag : public JWaitableObject {
 public:
  explicit JFlag(bool manualReset = false, bool initiallySignalled = false,
                 std::string_view name = {});

  /// Signals the flag. Setting a signalled flag changes nothing: an auto-reset
  /// flag set twice before anyone waits wakes one waiter once. Any thread.
  void set();
  /// Clears the signal. Any thread.
  void reset();
  /// True when signalled now; does not consume (diagnostics and tests).
  bool isSet() const;

  bool manualReset() const { return manualReset_; }
  const std::string& name() const { return name_; }

 protected:
  bool signalledLocked() const override { return signalled_; }
  void consumeLocked() override;

 private:
  const bool manualReset_;
  const std::string name_;
  bool signalled_;  // guarded by objectMutex()
};

/// A counting semaphore: signalled while its count is above zero; each
/// satisfied wait takes one from the count.
class JSemaphore : public JWaitableObject {
 public:
  /// Requires 0 <= initial <= maximum and maximum > 0; otherwise throws
  /// JSysError "CreateSemaphore" (EINVAL).
  JSemaphore(int initialCount, int maximumCount);

  /// Adds `n` (> 0) to the count and returns the count before. A release that
  /// would take the count above the maximum throws JSysError
  /// "ReleaseSemaphore" (code EOVERFLOW) and leaves the count as it was; n <= 0
  /// throws it with EINVAL. Any thread.
  int release(int n = 1);

  /// The current count (diagnostics and tests; it may change at once).
  int count() const;
  int maximumCount() const { return maximum_; }

 protected:
  bool signalledLocked() const override { return count_ > 0; }
  void consumeLocked() override { --count_; }

 private:
  const int maximum_;
  int count_;  // guarded by objectMutex()
};

/// A timer on the monotonic clock. Armed by set(), it fires once after the
/// due time and then every period (0 = one-shot). An auto-reset timer is a
/// tick, not a counter: firings that nobody waited for merge into one signal.
/// A manual-reset timer stays signalled from its first firing until set() or
/// cancel() is called again. Armed timers are fired by the process's timer
/// thread, started at the first set() with a due time in the future.
class JWaitableTimer : public JWaitableObject {
 public:
  explicit JWaitableTimer(bool manualReset = false);
  /// Disarms the timer. Nobody may wait on it any more.
  ~JWaitableTimer() override;

  /// The period in milliseconds (0 = one-shot) used by the next set().
  void setPeriod(int periodMs) { periodMs_.store(periodMs, std::memory_order_relaxed); }
  int period() const { return periodMs_.load(std::memory_order_relaxed); }

  /// Arms the timer to fire first after `dueMs` milliseconds from now (0 or
  /// less: at once, before set() returns), then every period. Clears any
  /// signal not yet consumed and replaces any earlier arming. "fire first
  /// after 1 000 ms, then every 1 000 ms" is setPeriod(1000) then set(1000).
  /// Throws JSysError "SetWaitableTimer" (EINVAL) for a negative period, and
  /// when the timer thread cannot be started. Any thread.
  void set(int64_t dueMs);
  /// set(0): fire at once, then every period.
  void fireNow() { set(0); }
  /// Disarms the timer and clears any signal not yet consumed. Any thread.
  void cancel();

  bool manualReset() const { return manualReset_; }

 protected:
  bool signalledLocked() const override { return signalled_; }
  void consumeLocked() override;

 private:
  friend class JTimerThread;

  const bool manualReset_;
  std::atomic<int> periodMs_{0};
  bool signalled_ = false;  // guarded by objectMutex()
  // The schedule, guarded by the timer thread's lock (waitable.cpp): the
  // next firing on the steady clock in nanoseconds, the period in force, and
  // the place in the timer thread's heap (kNotArmed when not armed).
  static constexpr size_t kNotArmed = static_cast<size_t>(-1);
  int64_t dueNs_ = 0;
  int64_t periodNs_ = 0;
  size_t heapIndex_ = kNotArmed;
};

}  // namespace zq
