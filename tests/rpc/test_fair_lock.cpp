// Tests of JFairLock: service in order of arrival (a holder that comes back
// queues behind the waiters), timed waits that give up and leave the queue,
// holders whose time does not count, abandoned waits, and recursion.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "helpers/waits.h"
#include "rpc/fair_lock.h"

namespace zq {
namespace {

using Hold = JFairLock::Hold;

// Starts `body` on a thread once the lock's queue holds `queued` waiters,
// then waits until it holds one more: threads queue in the order started.
void startQueued(JFairLock& lock, std::vector<std::thread>& threads, std::function<void()> body) {
  const size_t before = lock.waiting();
  threads.emplace_back(std::move(body));
  ASSERT_TRUE(test::eventually([&] { return lock.waiting() == before + 1; }));
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
  std::vector<std::thread> threads;
  for (int who = 1; who <= 3; ++who) {
    startQueued(lock, threads, [&, who] {
      JFairLockGuard held(lock);
      record(who);
    });
  }
  // The holder lets go and asks at once again, as a supervisor loop does.
  lock.unlock();
  lock.lock();
  record(0);
  lock.unlock();
  for (std::thread& t : threads) {
    t.join();
  }
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 0}));
}

TEST(FairLock, ATimedWaitGivesUpAndLeavesTheQueue) {
  JFairLock lock;
  lock.lock();
  std::vector<std::thread> threads;
  std::atomic<int> timedOut{-1};
  std::atomic<bool> nextServed{false};
  startQueued(lock, threads, [&] {
    JDeadline deadline(100);
    const bool taken = lock.lock(deadline);
    timedOut = taken ? 0 : 1;
    if (taken) {
      lock.unlock();
    }
  });
  startQueued(lock, threads, [&] {
    JFairLockGuard held(lock);
    nextServed = true;
  });
  // The first waiter gives up behind the holder; the second stays queued.
  EXPECT_TRUE(test::eventually([&] { return timedOut.load() == 1; }, 10000));
  EXPECT_EQ(lock.waiting(), 1u);
  lock.unlock();
  for (std::thread& t : threads) {
    t.join();
  }
  EXPECT_TRUE(nextServed);
}

TEST(FairLock, TimeBehindAnUncountedHolderDoesNotCount) {
  struct Case {
    Hold holderKind;
    bool taken;  // by the 100 ms waiter, when the holder keeps it far longer
  };
  for (const Case c : {Case{Hold::kUncounted, true}, Case{Hold::kCounted, false}}) {
    JFairLock lock;
    lock.lock(c.holderKind);
    std::vector<std::thread> threads;
    std::atomic<int> outcome{-1};
    startQueued(lock, threads, [&] {
      JDeadline deadline(100);
      const bool taken = lock.lock(deadline);
      outcome = taken ? 1 : 0;
      if (taken) {
        lock.unlock();
      }
    });
    if (c.holderKind == Hold::kUncounted) {
      // At least three times the waiter's time-out; longer on a busy machine.
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      EXPECT_EQ(outcome.load(), -1) << "gave up behind an uncounted holder";
    } else {
      EXPECT_TRUE(test::eventually([&] { return outcome.load() != -1; }, 10000));
    }
    lock.unlock();
    for (std::thread& t : threads) {
      t.join();
    }
    EXPECT_EQ(outcome.load(), c.taken ? 1 : 0);
  }
}

TEST(FairLock, AnAbandonedWaitReturnsWithoutTheLock) {
  JFairLock lock;
  lock.lock();
  std::atomic<bool> stop{false};
  std::atomic<int> outcome{-1};
  std::vector<std::thread> threads;
  startQueued(lock, threads, [&] {
    JDeadline none;
    outcome = lock.lock(none, Hold::kCounted, &stop) ? 1 : 0;
  });
  stop = true;
  lock.wakeWaiters();
  threads[0].join();
  EXPECT_EQ(outcome.load(), 0);
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
  std::vector<std::thread> threads;
  startQueued(lock, threads, [&] {
    JFairLockGuard held(lock);
    served = true;
  });
  lock.unlock();
  EXPECT_EQ(lock.waiting(), 1u);
  EXPECT_FALSE(served);
  lock.unlock();
  threads[0].join();
  EXPECT_TRUE(served);
}

}  // namespace
}  // namespace zq
