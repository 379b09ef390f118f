// The two clocks behind JTime: CLOCK_REALTIME for time stamps and
// CLOCK_MONOTONIC for periods.
#include "base/jtime.h"

#include <ctime>

namespace zq {
namespace {

JTime readClock(clockid_t clock) {
  timespec ts{};
  // clock_gettime cannot fail for these two clocks with a valid pointer.
  ::clock_gettime(clock, &ts);
  return makeJTime(ts.tv_sec, ts.tv_nsec / 1000);
}

}  // namespace

JTime wallClockNow() {
  return readClock(CLOCK_REALTIME);
}

JTime monotonicNow() {
  return readClock(CLOCK_MONOTONIC);
}

int64_t monotonicMs() {
  return toMilliseconds(monotonicNow());
}

}  // namespace zq
