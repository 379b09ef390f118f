// Bounded waiting for tests.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <source_location>
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

/// Runs `call`, which a fault could block for ever where no release or join would free it, and
/// returns what it returns. When it has not returned after `limitMs`, the test fails at the
/// caller's line, saying what it waited for in vain, and the program ends there: unwinding would
/// only wait for the stuck thread again.
template <class Call>
decltype(auto) returnsWithin(int limitMs, const char* what, Call&& call,
                             std::source_location at = std::source_location::current()) {
  struct Watch {
    std::promise<void> returned;
    std::jthread thread;
    ~Watch() { returned.set_value(); }
  } watch;
  watch.thread = std::jthread([&, done = watch.returned.get_future()] {
    if (done.wait_for(std::chrono::milliseconds(limitMs)) != std::future_status::ready) {
      ADD_FAILURE_AT(at.file_name(), static_cast<int>(at.line()))
          << "waited " << limitMs / 1000 << " s in vain for " << what;
      std::fflush(stdout);
      std::_Exit(1);
    }
  });
  return std::forward<Call>(call)();
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
