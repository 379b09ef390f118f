// JMutex and JAutoLock: recursion, tryLock seen from another thread, and
// mutual exclusion under contention.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "base/mutex.h"

namespace zq {
namespace {

bool tryLockFromAnotherThread(JMutex& mutex) {
  bool taken = false;
  std::thread([&] { (taken = mutex.tryLock()) ? mutex.unlock() : void(); }).join();
  return taken;
}

TEST(Mutex, OwnerMayLockAgainAndHoldsItUntilTheLastUnlock) {
  JMutex mutex;
  {
    JAutoLock outer(mutex);
    EXPECT_TRUE(mutex.tryLock());  // recursion on the owning thread
    {
      JAutoLock inner(mutex);
      EXPECT_FALSE(tryLockFromAnotherThread(mutex));
    }
    mutex.unlock();
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
