// JWaker on a private futex word, sleeping on the monotonic clock, the clock
// of std::chrono::steady_clock.
#include "base/waker.h"

#include <ctime>

#include "base/futex.h"

namespace zq {
namespace {

constexpr uint32_t kIdle = 0;
constexpr uint32_t kWoken = 1;

}  // namespace

JWaker& JWaker::current() {
  thread_local JWaker waker;
  return waker;
}

void JWaker::wake() {
  // Only a sleeper finds the word idle: when it was already set, nobody
  // sleeps on it or the sleeper will see it before sleeping.
  if (word_.exchange(kWoken, std::memory_order_acq_rel) == kIdle) {
    futexWake(word_, 1);
  }
}

bool JWaker::sleepUntil(Clock::time_point deadline) {
  const bool limited = deadline != Clock::time_point::max();
  timespec at{};
  if (limited) {
    const auto ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch()).count();
    at.tv_sec = static_cast<time_t>(ns / 1000000000);
    at.tv_nsec = static_cast<long>(ns % 1000000000);
  }
  for (;;) {
    if (word_.exchange(kIdle, std::memory_order_acq_rel) == kWoken) {
      return true;
    }
    if (limited && Clock::now() >= deadline) {
      return false;
    }
    // Sleeps only while the word is still idle; FUTEX_WAIT_BITSET takes an
    // absolute time on the monotonic clock. EAGAIN (set meanwhile), EINTR
    // and ETIMEDOUT all go round to look at the word and the clock again.
    futexWait(word_, kIdle, limited ? &at : nullptr);
  }
}

}  // namespace zq
