// Bounded waiting for tests.
#pragma once

#include <chrono>
#include <cstdint>
#include <thread>

#include "base/error.h"
#include "base/waitable.h"

namespace zq::test {

using Clock = std::chrono::steady_clock;

inline int64_t msSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

/// Polls `condition` until it holds (true) or `limitMs` passed (false).
template <class Condition>
bool eventually(Condition&& condition, int limitMs = 20000) {
  const auto until = Clock::now() + std::chrono::milliseconds(limitMs);
  for (; !condition(); std::this_thread::sleep_for(std::chrono::milliseconds(1))) {
    if (Clock::now() >= until) {
      return false;
    }
  }
  return true;
}

/// Whether `object` is signalled now; consumes an auto-reset signal, as any wait does.
inline bool signalledNow(JWaitableObject& object) {
  try {
    object.wait(0);
    return true;
  } catch (const JTimeoutError&) {
    return false;
  }
}

}  // namespace zq::test
