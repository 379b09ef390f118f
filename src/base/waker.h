// JWaker: the one word each thread sleeps on while it waits for waitable
// objects. Objects wake the threads registered on them (waitable.h), and
// JThread::suspend wakes the thread it asks to park (thread.h).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace zq {

/// A wake-up flag with a futex under it: wake() sets it and wakes the owner
/// if it sleeps; sleepUntil() takes it, sleeping until it is set. Wake-ups
/// given while the owner is not sleeping are kept (at most one), so none is
/// lost between the owner's last look at its objects and its sleep.
class JWaker {
 public:
  using Clock = std::chrono::steady_clock;

  /// The calling thread's waker, made at its first use. It lives until the
  /// thread ends: whoever keeps a pointer to another thread's waker must
  /// stop using it before that thread ends (see JThread).
  static JWaker& current();

  JWaker() = default;
  JWaker(const JWaker&) = delete;
  JWaker& operator=(const JWaker&) = delete;

  /// Sets the flag and wakes the owner if it sleeps. Any thread, lock-free.
  void wake();

  /// Forgets a wake-up given so far. Owner only.
  void clear() { word_.store(0, std::memory_order_relaxed); }

  /// Takes the flag, sleeping until it is set or `deadline` passes
  /// (Clock::time_point::max() for no limit). True when woken, false when the
  /// deadline passed first. A wake-up given before the call returns at once.
  /// Owner only.
  bool sleepUntil(Clock::time_point deadline);

 private:
  std::atomic<uint32_t> word_{0};
};

}  // namespace zq
