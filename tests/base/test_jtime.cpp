// Time values: composition from seconds and microseconds, conversion to
// milliseconds toward zero, and the two clocks.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "base/jtime.h"

namespace zq {
namespace {

TEST(JTimeValue, ComposedFromSecondsAndMicroseconds) {
  EXPECT_EQ(makeJTime(0, 0), 0);
  EXPECT_EQ(makeJTime(3, 250000), 3250000);
  // Seconds beyond 32 bits do not overflow.
  EXPECT_EQ(makeJTime(5000000000LL, 1), 5000000000000001LL);
  EXPECT_EQ(makeJTime(-1, 500000), -500000);
}

TEST(JTimeValue, MillisecondsAreRoundedTowardZero) {
  EXPECT_EQ(toMilliseconds(1999), 1);
  EXPECT_EQ(toMilliseconds(999), 0);
  EXPECT_EQ(toMilliseconds(-999), 0);
  EXPECT_EQ(toMilliseconds(-1999), -1);
  EXPECT_EQ(toMilliseconds(makeJTime(2, 3000)), 2003);
}

TEST(JTimeClock, MonotonicClockAdvancesWithRealTime) {
  const JTime before = monotonicNow();
  const int64_t beforeMs = monotonicMs();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  const JTime after = monotonicNow();
  EXPECT_GE(after - before, 30000);
  EXPECT_LT(after - before, 10000000);
  EXPECT_GE(monotonicMs() - beforeMs, 30);
}

TEST(JTimeClock, WallClockIsMicrosecondsSince1970) {
  const auto system = std::chrono::duration_cast<std::chrono::microseconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  const JTime now = wallClockNow();
  EXPECT_LT(std::abs(now - system), 1000000);
  EXPECT_GT(now, makeJTime(1600000000, 0));  // after September 2020
}

}  // namespace
}  // namespace zq
