// JWaker on a private futex word, sleeping on the monotonic clock, the clock
// of std::chrono::steady_clock.
#include "base/waker.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace zq {
namespace {

constexpr uint32_t kIdle = 0;
constexpr uint32_t kWoken = 1;

long futex(std::atomic<uint32_t>& word, int op, uint32_t value, const timespec* timeout) {
  // The word is a plain 32-bit integer in memory: what the kernel reads.
  static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));
  return ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), op, value, timeout, nullptr,
                   FUTEX_BITSET_MATCH_ANY);
}

}  // namespace

JWaker& JWaker::current() {
  thread_local JWaker waker;
  return waker;
}

void JWaker::wake() {
  // Only a sleeper finds the word idle: when it was already set, nobody
  // sleeps on it or the sleeper will see it before sleeping.
  if (word_.exchange(kWoken, std::memory_order_acq_rel) == kIdle) {
    futex(word_, FUTEX_WAKE | FUTEX_PRIVATE_FLAG, 1, nullptr);
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
    futex(word_, FUTEX_WAIT_BITSET | FUTEX_PRIVATE_FLAG, kIdle, limited ? &at : nullptr);
  }
}

}  // namespace zq
