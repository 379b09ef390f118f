// Shared by the thread and wait tests: what a call throws, short sleeps, and a
// thread whose body is a function.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "base/error.h"
#include "base/thread.h"
#include "helpers/waits.h"

namespace zq::test {

/// "<function> code <n>" for a JSysError.
inline std::string sys(const char* function, uint32_t code) {
  return std::string(function) + " code " + std::to_string(code);
}

/// What `f` throws: sys() of a JSysError, the message of any other JError,
/// "" when it throws nothing.
template <class F>
std::string failureOf(F&& f) {
  try {
    f();
  } catch (const JSysError& e) {
    return sys(e.function(), e.code());
  } catch (const JError& e) {
    return e.message();
  }
  return "";
}

inline void sleepMs(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

/// Looks `n` times whether `object` is signalled, taking an auto-reset
/// signal as any wait does: a '1' for each look that found it, a '0' else.
inline std::string polls(JWaitableObject& object, int n) {
  std::string seen;
  for (int i = 0; i < n; ++i) {
    seen += signalledNow(object) ? '1' : '0';
  }
  return seen;
}

/// Runs `f` on a thread of its own after `ms` milliseconds; joins it when
/// destroyed.
class After {
 public:
  After(int ms, std::function<void()> f) : thread_([ms, f = std::move(f)] { sleepMs(ms), f(); }) {}
  ~After() { thread_.join(); }

 private:
  std::thread thread_;
};

/// A JThread running a function; it joins in its own destructor, as every
/// subclass whose body uses its members must.
class FunctionThread : public JThread {
 public:
  FunctionThread(std::string_view name, std::function<void()> body)
      : JThread(name), body_(std::move(body)) {}
  ~FunctionThread() override { join(); }

 protected:
  void run() override { body_(); }

 private:
  std::function<void()> body_;
};

}  // namespace zq::test
