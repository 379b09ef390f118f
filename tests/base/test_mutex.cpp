// JMutex and JAutoLock: recursion, tryLock seen from another thread, and
// mutual exclusion under contention.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "base/mutex.h"

namespace zq {
namespace {

bool tryLockFromAnotherThread(JMutex& mutex) {
  bool taken = false;
  std::thread other([&] {
    taken = mutex.tryLock();
    if (taken) {
      mutex.unlock();
    }
  });
  other.join();
  return taken;
}

TEST(Mutex, OwnerMayLockAgainAndMustUnlockAsOften) {
  JMutex mutex;
  mutex.lock();
  EXPECT_TRUE(mutex.tryLock());  // recursion on the owning thread
  mutex.lock();
  EXPECT_FALSE(tryLockFromAnotherThread(mutex));
  mutex.unlock();
  EXPECT_FALSE(tryLockFromAnotherThread(mutex));
  mutex.unlock();
  EXPECT_FALSE(tryLockFromAnotherThread(mutex));
  mutex.unlock();
  EXPECT_TRUE(tryLockFromAnotherThread(mutex));
}

TEST(Mutex, AutoLockHoldsForItsScopeOnly) {
  JMutex mutex;
  {
    JAutoLock outer(mutex);
    {
      JAutoLock inner(mutex);
      EXPECT_FALSE(tryLockFromAnotherThread(mutex));
    }
    EXPECT_FALSE(tryLockFromAnotherThread(mutex));
  }
  EXPECT_TRUE(tryLockFromAnotherThread(mutex));
}

TEST(Mutex, ExcludesConcurrentWriters) {
  JMutex mutex;
  int64_t counter = 0;  // deliberately not atomic: the mutex guards it
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        JAutoLock lock(mutex);
        JAutoLock again(mutex);
        counter = counter + 1;
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(counter, 80000);
}

}  // namespace
}  // namespace zq
