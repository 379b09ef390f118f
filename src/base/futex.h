// The two futex operations the waiting code of this system is built on: sleep
// while a 32-bit word holds a value, and wake the sleepers on a word.
#pragma once

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <ctime>

namespace zq {

/// Sleeps while `word` holds `expected`, until woken or until `deadline` (an
/// absolute time on the monotonic clock; null for no limit). Returns early on
/// a change made before the sleep, on a signal and spuriously: callers look at
/// their word and clock again. True when a wake ended the sleep.
inline bool futexWait(std::atomic<uint32_t>& word, uint32_t expected, const timespec* deadline) {
  // The word is a plain 32-bit integer in memory: what the kernel reads.
  static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));
  return ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word),
                   FUTEX_WAIT_BITSET | FUTEX_PRIVATE_FLAG, expected, deadline, nullptr,
                   FUTEX_BITSET_MATCH_ANY) == 0;
}

/// Wakes up to `count` threads sleeping on `word`.
inline void futexWake(std::atomic<uint32_t>& word, int count) {
  ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAKE | FUTEX_PRIVATE_FLAG, count,
            nullptr, nullptr, 0);
}

}  // namespace zq
