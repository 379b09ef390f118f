// Time values: composition from seconds and microseconds, conversion to
// milliseconds toward zero, and the two clocks.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "base/jtime.h"

namespace zq {
namespace {

TEST(JTimeValue, ComposedFromSecondsAndMicrosecondsAndCutToMillisecondsTowardZero) {
  EXPECT_EQ(makeJTime(3, 250000), 3250000);
  EXPECT_EQ(makeJTime(5000000000LL, 1), 5000000000000001LL);  // no 32-bit overflow
  EXPECT_EQ(makeJTime(-1, 500000), -500000);
  for (auto [time, ms] : {std::pair<JTime, int64_t>{1999, 1}, {999, 0}, {-999, 0}, {-1999, -1}}) {
    EXPECT_EQ(toMilliseconds(time), ms) << time;
  }
}

TEST(JTimeClock, MonotonicAdvancesWithRealTimeAndWallCountsFrom1970) {
  const JTime before = monotonicNow();
  const int64_t beforeMs = monotonicMs();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_GE(monotonicNow() - before, 30000);
  EXPECT_LT(monotonicNow() - before, 10000000);
  EXPECT_GE(monotonicMs() - beforeMs, 30);
  const auto system = std::chrono::duration_cast<std::chrono::microseconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  EXPECT_LT(std::abs(wallClockNow() - system), 1000000);
}

}  // namespace
}  // namespace zq
