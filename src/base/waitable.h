// The waitable objects: the base JWaitableObject and the event (JFlag),
// semaphore and timer built on eventfd and timerfd, waited for singly here or
// together with JWaitForMultipleObjects (wait.h).
//
// Every object is a file descriptor that polls readable while the object is
// signalled. Manual-reset objects stay signalled until reset; auto-reset
// objects (auto-reset JFlag, JSemaphore, auto-reset JWaitableTimer) are
// consumed by the one waiter that wins, however many wait.
//
// Consuming a signal and every other change that can take a signal away
// (JFlag::reset, JWaitableTimer::set and cancel, JSemaphore's count) happen
// under one process-wide lock, the state lock. A wait-all therefore checks
// that all its objects are signalled and consumes the auto-reset ones in one
// step under that lock: nobody can take one of them away in between.
// Signals given by this process (JFlag::set, JSemaphore::release, a JThread
// ending) are also written under it, and a waiter takes it once it sees a
// signal: whatever the signalling thread wrote before is visible to the
// thread whose wait it ended. The lock is only ever held for a few system
// calls, never while blocking.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace zq {

class JWaiter;

class JWaitableObject {
 public:
  virtual ~JWaitableObject();
  JWaitableObject(const JWaitableObject&) = delete;
  JWaitableObject& operator=(const JWaitableObject&) = delete;

  /// The system handle (a file descriptor that polls readable while the object
  /// is signalled); -1 when there is none.
  int handle() const { return handle_.load(std::memory_order_acquire); }

  /// Waits until the object is signalled and, for an auto-reset object,
  /// consumes the signal. `timeoutMs`: -1 waits without limit, 0 only tests.
  /// Throws JTimeoutError ("Time out!") when the time-out expires and
  /// JSysError "WaitForSingleObject" when the wait fails (no handle, for
  /// example). Called on a JThread, the wait is a suspension check point
  /// (thread.h). Any number of threads may wait at once.
  void wait(int timeoutMs = -1);

 protected:
  explicit JWaitableObject(int handle = -1) : handle_(handle) {}

  /// Replaces the handle without closing the old one.
  void setHandle(int handle) { handle_.store(handle, std::memory_order_release); }
  /// Closes the handle, if any, and sets it to -1.
  void closeHandle();

  /// Takes the signal after the handle polled readable. Called with the state
  /// lock held; nothing else can take the signal while it is held. Returns
  /// false when another waiter took it first. Manual-reset objects keep their
  /// signal and return true (the default).
  virtual bool consumeSignal();

  /// The process-wide lock described at the top of this file.
  static std::mutex& stateLock();

  /// True when the handle polls readable now. Does not consume.
  bool pollSignalled() const;

 private:
  friend class JWaiter;
  std::atomic<int> handle_;
};

/// An event. Process-local: the name is kept for diagnostics only.
class JFlag : public JWaitableObject {
 public:
  /// Throws JSysError "CreateEvent" when the event cannot be created.
  explicit JFlag(bool manualReset = false, bool initiallySignalled = false,
                 std::string_view name = {});

  /// Signals the flag. Setting a signalled flag changes nothing: an auto-reset
  /// flag set twice before anyone waits wakes one waiter once. Throws
  /// JSysError "SetEvent" if the event cannot be written. Any thread.
  void set();
  /// Clears the signal. Any thread.
  void reset();
  /// True when signalled now; does not consume (diagnostics and tests).
  bool isSet() const { return pollSignalled(); }

  bool manualReset() const { return manualReset_; }
  const std::string& name() const { return name_; }

 protected:
  bool consumeSignal() override;

 private:
  bool manualReset_;
  std::string name_;
};

/// A counting semaphore: signalled while its count is above zero; each
/// satisfied wait takes one from the count.
class JSemaphore : public JWaitableObject {
 public:
  /// Requires 0 <= initial <= maximum and maximum > 0; otherwise, or when the
  /// semaphore cannot be created, throws JSysError "CreateSemaphore".
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
  bool consumeSignal() override;

 private:
  const int maximum_;
  int count_;  // guarded by the state lock; equals the eventfd's counter there
};

/// A timer on the monotonic clock. Armed by set(), it fires once after the
/// due time and then every period (0 = one-shot). An auto-reset timer is a
/// tick, not a counter: firings that nobody waited for merge into one signal.
/// A manual-reset timer stays signalled from its first firing until set() or
/// cancel() is called again.
class JWaitableTimer : public JWaitableObject {
 public:
  /// Throws JSysError "CreateWaitableTimer" when the timer cannot be created.
  explicit JWaitableTimer(bool manualReset = false);

  /// The period in milliseconds (0 = one-shot) used by the next set().
  void setPeriod(int periodMs) { periodMs_.store(periodMs, std::memory_order_relaxed); }
  int period() const { return periodMs_.load(std::memory_order_relaxed); }

  /// Arms the timer to fire first after `dueMs` milliseconds from now (0 or
  /// less: at once), then every period. Clears any signal not yet consumed and
  /// replaces any earlier arming. "fire first after 1 000 ms, then every
  /// 1 000 ms" is setPeriod(1000) then set(1000). Throws JSysError
  /// "SetWaitableTimer" on failure, or with EINVAL for a negative period.
  /// Any thread.
  void set(int64_t dueMs);
  /// set(0): fire at once, then every period.
  void fireNow() { set(0); }
  /// Disarms the timer and clears any signal not yet consumed. Throws
  /// JSysError "CancelWaitableTimer" on failure. Any thread.
  void cancel();

  bool manualReset() const { return manualReset_; }

 protected:
  bool consumeSignal() override;

 private:
  bool manualReset_;
  std::atomic<int> periodMs_{0};
};

}  // namespace zq
