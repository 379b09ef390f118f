// Time values of the system: 64-bit signed microsecond counts, built from
// (seconds, microseconds) and read from the wall clock or a monotonic clock.
#pragma once

#include <cstdint>

namespace zq {

/// A time or a duration in microseconds.
using JTime = int64_t;

/// seconds x 1 000 000 + microseconds.
constexpr JTime makeJTime(int64_t seconds, int64_t microseconds) {
  return seconds * 1000000 + microseconds;
}

/// Milliseconds of a time value, rounded toward zero (-1 999 us is -1 ms).
constexpr int64_t toMilliseconds(JTime time) {
  return time / 1000;
}

/// The wall clock: microseconds since 1970-01-01 00:00:00 UTC. It may jump
/// when the system time is changed; use it for time stamps, not for periods.
JTime wallClockNow();

/// A clock that never goes back, in microseconds from an arbitrary origin
/// (the machine's boot). Periods and time-outs are measured with it.
JTime monotonicNow();

/// monotonicNow() in milliseconds, for code that notes times in milliseconds.
int64_t monotonicMs();

}  // namespace zq
