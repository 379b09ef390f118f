// Helpers shared by the socket tests: failures and log levels as text, and
// threads whose end is awaited with a bound.
#pragma once

#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>

#include "base/format.h"
#include "helpers/log_capture.h"
#include "helpers/waits.h"
#include "net/socket.h"

namespace zq::test {

/// What `body` throws: "<number> <call>[ tag <tag>]" for a JSysError (with
/// `message`, its message), the message of any other error; else "none".
template <class F>
std::string failureOf(F&& body, bool message = false) {
  try {
    body();
  } catch (const JSysError& e) {
    const auto tag = e.tag() == JSysError::kDefaultTag ? "" : " tag " + std::to_string(e.tag());
    return message ? e.message()
                   : std::to_string(e.code() & ~JSysError::kSocketTag) + " " + e.function() + tag;
  } catch (const JError& e) {
    return e.message();
  }
  return "none";
}

/// Expects `body` to time out after at least `minMs` and within `maxMs`.
template <class F>
void expectTimeout(F&& body, int64_t minMs, int64_t maxMs = 5000) {
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(failureOf(body), "Time out!");
  EXPECT_GE(msSince(start), minMs);
  EXPECT_LT(msSince(start), maxMs);
}

/// The level of the records whose text is exactly `text` when there are
/// `count` of them, all at one level; -1 otherwise.
inline int levelOf(const LogCapture& log, const std::string& text, size_t count = 1) {
  std::multiset<int> levels;
  for (const LogCapture::Record& record : log.records()) {
    if (record.text == text) {
      levels.insert(record.level);
    }
  }
  return levels.size() == count && levels.count(*levels.begin()) == count ? *levels.begin() : -1;
}

inline size_t openDescriptors() {
  return static_cast<size_t>(
      std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

/// A thread whose end is awaited with a bound: a thread still running then
/// cannot be stopped, so the program ends there (the test fails, not hangs).
class BoundedThread {
 public:
  explicit BoundedThread(std::function<void()> body)
      : thread_([this, body = std::move(body)] {
          tid_ = ::gettid();
          failureOf(body);
          done_ = true;
        }) {}
  ~BoundedThread() { join(); }

  void join() {
    if (!eventually([this] { return done_.load(); }, 10000)) {
      std::fprintf(stderr, "a socket call did not end within 10 s\n");
      std::_Exit(3);
    }
    if (thread_.joinable()) {
      thread_.join();
    }
  }

  /// Waits (up to 5 s) until the thread sits blocked in one of `calls`.
  bool blockedIn(const std::set<long>& calls) const {
    return eventually([&] {
      std::ifstream file("/proc/self/task/" + std::to_string(tid_.load()) + "/syscall");
      long number = -1;
      return tid_.load() != 0 && (file >> number) && calls.count(number) > 0;
    });
  }

 private:
  std::atomic<pid_t> tid_{0};
  std::atomic<bool> done_{false};
  std::thread thread_;
};

/// What a call blocked in one of `calls` on another thread ends with when
/// `end` is done here.
inline std::string endBlocked(const std::function<void()>& call, const std::set<long>& calls,
                              const std::function<void()>& end) {
  std::string failure = "?";
  BoundedThread thread([&] { failure = failureOf(call); });
  EXPECT_TRUE(thread.blockedIn(calls));
  end();
  thread.join();
  return failure;
}

}  // namespace zq::test
