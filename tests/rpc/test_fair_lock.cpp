// Tests of JFairLock: service in order of arrival (a holder that comes back
// queues behind the waiters), timed waits that give up and leave the queue,
// holders whose time does not count, abandoned waits, and recursion.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "helpers/waits.h"
#include "rpc/fair_lock.h"

namespace zq {
namespace {

using Hold = JFairLock::Hold;

// Threads that each queue for the lock in the order started.
class Waiters {
 public:
  explicit Waiters(JFairLock& lock) : lock_(lock) {}
  ~Waiters() { join(); }
  // Starts `body` and returns once it is queued for the lock.
  void start(std::function<void()> body) {
    const size_t before = lock_.waiting();
    threads_.emplace_back(std::move(body));
    ASSERT_TRUE(test::eventually([&] { return lock_.waiting() == before + 1; }));
  }
  void join() {
    for (std::thread& t : threads_) {
      t.join();
    }
    threads_.clear();
  }

 private:
  JFairLock& lock_;
  std::vector<std::thread> threads_;
};

// -1 while waiting, then 1 when `lock` was taken within `timeoutMs`, else 0.
std::function<void()> timedTake(JFairLock& lock, int timeoutMs, std::atomic<int>& outcome) {
  return [&lock, timeoutMs, &outcome] {
    JDeadline deadline(timeoutMs);
    const bool taken = lock.lock(deadline);
    outcome = taken ? 1 : 0;
    if (taken) {
      lock.unlock();
    }
  };
}

TEST(FairLock, WaitersAreServedInArrivalOrderAndAReturningHolderQueuesBehind) {
  JFairLock lock;
  std::mutex orderMutex;
  std::vector<int> order;
  auto record = [&](int who) {
    std::lock_guard guard(orderMutex);
    order.push_back(who);
  };
  lock.lock();
  Waiters waiters(lock);
  for (int who = 1; who <= 3; ++who) {
    waiters.start([&, who] {
      JFairLockGuard held(lock);
      record(who);
    });
  }
  // The holder lets go and asks at once again, as a supervisor loop does.
  lock.unlock();
  lock.lock();
  record(0);
  lock.unlock();
  waiters.join();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 0}));
}

TEST(FairLock, ATimedWaitGivesUpOnItsOwnAndLeavesTheQueue) {
  JFairLock lock;
  lock.lock();
  std::atomic<int> first{-1};
  std::atomic<int> second{-1};
  Waiters waiters(lock);
  waiters.start(timedTake(lock, 100, first));
  waiters.start(timedTake(lock, 60000, second));
  // The holder keeps the lock: the first waiter gives up by its own clock,
  // and the one behind it is served once the lock is free.
  EXPECT_TRUE(test::eventually([&] { return first.load() == 0; }, 10000));
  EXPECT_EQ(lock.waiting(), 1u);
  lock.unlock();
  EXPECT_TRUE(test::eventually([&] { return second.load() == 1; }, 10000));
}

TEST(FairLock, TimeBehindAnUncountedHolderDoesNotCount) {
  {
    JFairLock lock;
    lock.lock(Hold::kCounted);
    std::atomic<int> outcome{-1};
    Waiters waiters(lock);
    waiters.start(timedTake(lock, 100, outcome));
    EXPECT_TRUE(test::eventually([&] { return outcome.load() == 0; }, 10000));
    lock.unlock();
  }
  // A 1 s waiter is still queued after 1.5 s behind an uncounted holder, and
  // its time only starts once the holder turns counted.
  JFairLock lock;
  lock.lock(Hold::kUncounted);
  std::atomic<int> outcome{-1};
  Waiters waiters(lock);
  waiters.start(timedTake(lock, 1000, outcome));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(outcome.load(), -1) << "gave up behind an uncounted holder";
  EXPECT_EQ(lock.setHold(Hold::kCounted), Hold::kUncounted);
  EXPECT_FALSE(test::eventually([&] { return lock.waiting() == 0; }, 200))
      << "the time behind the uncounted holder counted";
  lock.unlock();
  EXPECT_TRUE(test::eventually([&] { return outcome.load() == 1; }, 10000));
}

TEST(FairLock, AnAbandonedWaitReturnsWithoutTheLock) {
  JFairLock lock;
  lock.lock();
  std::atomic<bool> stop{false};
  std::atomic<int> outcome{-1};
  Waiters waiters(lock);
  waiters.start([&] {
    JDeadline none;
    outcome = lock.lock(none, Hold::kCounted, &stop) ? 1 : 0;
  });
  stop = true;
  lock.wakeWaiters();
  EXPECT_TRUE(test::eventually([&] { return outcome.load() == 0; }, 10000));
  EXPECT_EQ(lock.waiting(), 0u);
  lock.unlock();
  JDeadline none;
  EXPECT_FALSE(lock.lock(none, Hold::kCounted, &stop));  // set before asking, lock free
}

TEST(FairLock, TheHolderMayTakeItAgainAndReleasesItOnTheLastUnlock) {
  JFairLock lock;
  lock.lock();
  JDeadline now(0);
  EXPECT_TRUE(lock.lock(now));
  std::atomic<bool> served{false};
  Waiters waiters(lock);
  waiters.start([&] {
    JFairLockGuard held(lock);
    served = true;
  });
  lock.unlock();
  EXPECT_EQ(lock.waiting(), 1u);
  EXPECT_FALSE(served);
  lock.unlock();
  waiters.join();
  EXPECT_TRUE(served);
}

}  // namespace
}  // namespace zq
