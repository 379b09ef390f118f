// JMutex, a recursive process-local lock, and JAutoLock, its scope guard.
#pragma once

#include <mutex>

namespace zq {

/// Recursive: the owning thread may lock again and must unlock as often.
/// Also usable with std::unique_lock and std::condition_variable_any.
class JMutex {
 public:
  JMutex() = default;
  JMutex(const JMutex&) = delete;
  JMutex& operator=(const JMutex&) = delete;

  void lock() { mutex_.lock(); }
  void unlock() { mutex_.unlock(); }
  /// True when the lock was taken.
  bool tryLock() { return mutex_.try_lock(); }
  bool try_lock() { return mutex_.try_lock(); }

 private:
  std::recursive_mutex mutex_;
};

/// Holds a JMutex from construction to destruction.
class JAutoLock {
 public:
  explicit JAutoLock(JMutex& mutex) : mutex_(mutex) { mutex_.lock(); }
  ~JAutoLock() { mutex_.unlock(); }
  JAutoLock(const JAutoLock&) = delete;
  JAutoLock& operator=(const JAutoLock&) = delete;

 private:
  JMutex& mutex_;
};

}  // namespace zq
