// JFairLock: a lock served in order of arrival, with timed and abandonable
// waits; JDeadline: the time budget of one operation, carried across waits.
//
// The RPC client's call lock and the RPC controller's lock use it, so that a
// thread that takes the lock in a loop (the client's supervisor reconnecting,
// a command thread sending queued commands) can never keep a waiting caller
// out, and so that a caller's wait for the lock counts against its time-out.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

namespace zq {

/// A point in time by which an operation must be done, or none. Waiting
/// behind work that does not count against it (see JFairLock::Hold) pushes
/// it back. One thread at a time.
class JDeadline {
 public:
  using Clock = std::chrono::steady_clock;

  /// `timeoutMs` from now; negative: no deadline.
  explicit JDeadline(int32_t timeoutMs = -1);

  bool limited() const { return limited_; }
  /// Milliseconds left, rounded up, so that 0 means the time is gone; -1
  /// without a deadline.
  int32_t remainingMs() const;
  bool passed() const { return limited_ && Clock::now() >= due_; }
  Clock::time_point due() const { return due_; }
  /// Moves the deadline `by` later.
  void postpone(Clock::duration by) { due_ += by; }

 private:
  bool limited_;
  Clock::time_point due_;
};

/// A recursive lock granted in order of arrival: a thread that lets go of it
/// and asks again queues behind every thread already waiting.
///
/// Concurrency: any thread. The thread that holds the lock may take it again
/// and must unlock it as often.
class JFairLock {
 public:
  /// What a holder does with the lock, as seen by those waiting behind it.
  enum class Hold {
    /// Waiting behind it counts against a waiter's deadline.
    kCounted,
    /// It does not (the RPC client's connect attempt, which a call made
    /// meanwhile waits for before failing at once): the waiter's deadline is
    /// pushed back by the time this holder keeps the lock.
    kUncounted,
  };

  JFairLock() = default;
  JFairLock(const JFairLock&) = delete;
  JFairLock& operator=(const JFairLock&) = delete;

  /// Waits for the lock in arrival order and takes it as `hold`; true when
  /// taken. False, without the lock and out of the queue, when `deadline`
  /// passes first (a lock that comes free as the deadline passes is still
  /// taken) or when `abandon` (may be null) is found set; a thread that sets
  /// an abandon flag calls wakeWaiters() next. The holder taking it again
  /// succeeds at once and keeps its first Hold.
  bool lock(JDeadline& deadline, Hold hold = Hold::kCounted,
            const std::atomic<bool>* abandon = nullptr);
  /// Waits without limit.
  void lock(Hold hold = Hold::kCounted);
  void unlock();

  /// Changes what the holder does from now on, as seen by those waiting
  /// behind it, and returns what it was. Holder only.
  Hold setHold(Hold hold);

  /// Makes every waiter look at its abandon flag again.
  void wakeWaiters();

  /// Threads queued for the lock now (diagnostics and tests).
  size_t waiting() const;

 private:
  void take(Hold hold);

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<uint64_t> queue_;  // tickets of the waiters, first come first
  uint64_t nextTicket_ = 0;
  bool held_ = false;
  std::thread::id owner_;
  int depth_ = 0;
  Hold hold_ = Hold::kCounted;
};

/// Holds a JFairLock until the end of the scope: takes it without limit, or
/// adopts one the caller has just taken with a deadline.
class JFairLockGuard {
 public:
  explicit JFairLockGuard(JFairLock& lock, JFairLock::Hold hold = JFairLock::Hold::kCounted)
      : lock_(lock) {
    lock_.lock(hold);
  }
  JFairLockGuard(JFairLock& lock, std::adopt_lock_t) : lock_(lock) {}
  ~JFairLockGuard() { lock_.unlock(); }
  JFairLockGuard(const JFairLockGuard&) = delete;
  JFairLockGuard& operator=(const JFairLockGuard&) = delete;

 private:
  JFairLock& lock_;
};

}  // namespace zq
