// JFairLock and JDeadline: a ticket queue under a mutex and a condition, and
// the budget arithmetic that waiting behind uncounted holders postpones.
#include "rpc/fair_lock.h"

#include <algorithm>
#include <limits>

namespace zq {

// ---- JDeadline -------------------------------------------------------------------

JDeadline::JDeadline(int32_t timeoutMs)
    : limited_(timeoutMs >= 0), due_(Clock::now() + std::chrono::milliseconds(timeoutMs)) {}

int32_t JDeadline::remainingMs() const {
  if (!limited_) {
    return -1;
  }
  const auto left =
      std::chrono::duration_cast<std::chrono::microseconds>(due_ - Clock::now()).count();
  if (left <= 0) {
    return 0;
  }
  const int64_t ms = (left + 999) / 1000;
  return static_cast<int32_t>(std::min<int64_t>(ms, std::numeric_limits<int32_t>::max()));
}

// ---- JFairLock -------------------------------------------------------------------

bool JFairLock::lock(JDeadline& deadline, Hold hold, const std::atomic<bool>* abandon) {
  std::unique_lock guard(mutex_);
  if (held_ && owner_ == std::this_thread::get_id()) {
    ++depth_;
    return true;
  }
  if (abandon != nullptr && abandon->load()) {
    return false;
  }
  if (!held_ && queue_.empty()) {
    take(hold);
    return true;
  }
  const uint64_t ticket = nextTicket_++;
  queue_.push_back(ticket);
  auto leave = [&] {
    queue_.erase(std::find(queue_.begin(), queue_.end(), ticket));
    // The one behind may now be first, with the lock free.
    changed_.notify_all();
  };
  // Every change of holder wakes the waiters (unlock, and take while someone
  // waits), so the holder seen at one look held the lock until the next.
  auto looked = JDeadline::Clock::now();
  bool paused = held_ && hold_ == Hold::kUncounted;
  for (;;) {
    if (!held_ && queue_.front() == ticket) {
      queue_.pop_front();
      take(hold);
      return true;
    }
    const auto now = JDeadline::Clock::now();
    if (paused) {
      deadline.postpone(now - looked);
    }
    looked = now;
    paused = held_ && hold_ == Hold::kUncounted;
    if (abandon != nullptr && abandon->load()) {
      leave();
      return false;
    }
    if (!paused && deadline.passed()) {
      leave();
      return false;
    }
    if (paused || !deadline.limited()) {
      changed_.wait(guard);
    } else {
      changed_.wait_until(guard, deadline.due());
    }
  }
}

void JFairLock::lock(Hold hold) {
  JDeadline none;
  lock(none, hold);
}

void JFairLock::take(Hold hold) {
  held_ = true;
  owner_ = std::this_thread::get_id();
  depth_ = 1;
  hold_ = hold;
  if (!queue_.empty()) {
    changed_.notify_all();  // those still waiting see who holds it now
  }
}

void JFairLock::unlock() {
  std::lock_guard guard(mutex_);
  if (--depth_ > 0) {
    return;
  }
  held_ = false;
  owner_ = std::thread::id();
  if (!queue_.empty()) {
    changed_.notify_all();
  }
}

JFairLock::Hold JFairLock::setHold(Hold hold) {
  std::lock_guard guard(mutex_);
  const Hold before = hold_;
  hold_ = hold;
  if (!queue_.empty()) {
    changed_.notify_all();
  }
  return before;
}

void JFairLock::wakeWaiters() {
  std::lock_guard guard(mutex_);
  changed_.notify_all();
}

size_t JFairLock::waiting() const {
  std::lock_guard guard(mutex_);
  return queue_.size();
}

}  // namespace zq
