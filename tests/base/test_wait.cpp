// Waiting for several objects: the returned index, wait-all, construction
// failures, and auto-reset signals taken exactly once among many waiters.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "base/error.h"
#include "base/thread.h"
#include "base/wait.h"
#include "helpers/waits.h"

namespace zq {
namespace {

using test::eventually;
using test::msSince;
using test::signalledNow;
using Clock = test::Clock;

// ---- the index returned ---------------------------------------------------

TEST(WaitIndex, StopFlagWinsOverTimerAndSemaphore) {
  JFlag stop(false, false);
  JWaitableTimer timer;
  JSemaphore queued(0, 1000);
  JWaitForMultipleObjects waiter(&stop, &timer, &queued);
  stop.set();
  queued.release();
  EXPECT_EQ(waiter.wait(0), 0);
  // The stop flag was auto-reset: the semaphore comes next, then nothing.
  EXPECT_EQ(waiter.wait(0), 2);
  EXPECT_EQ(queued.count(), 0);
  EXPECT_THROW(waiter.wait(0), JTimeoutError);
}

TEST(WaitIndex, LowestSignalledIndexEveryTime) {
  JFlag a(true, false), b(true, false), c(true, false), d(true, false);
  JWaitForMultipleObjects waiter(&a, &b, &c, &d);
  d.set();
  b.set();
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(waiter.wait(0), 1);
  }
  b.reset();
  EXPECT_EQ(waiter.wait(0), 3);
  a.set();
  EXPECT_EQ(waiter.wait(0), 0);
}

TEST(WaitIndex, EveryConstructorKeepsTheOrderGiven) {
  JFlag f0(true, false), f1(true, false), f2(true, false), f3(true, false), f4(true, false);
  f4.set();
  f1.set();
  JWaitableObject* array[] = {&f4, &f0, &f2};
  EXPECT_EQ(JWaitForMultipleObjects(3, array).wait(0), 0);
  EXPECT_EQ(JWaitForMultipleObjects(std::vector<JWaitableObject*>{&f0, &f2, &f3, &f4}).wait(0), 3);
  EXPECT_EQ(JWaitForMultipleObjects(&f0, &f1).wait(0), 1);
  EXPECT_EQ(JWaitForMultipleObjects(&f0, &f2, &f4).wait(0), 2);
  EXPECT_EQ(JWaitForMultipleObjects(&f0, &f2, &f3, &f1).wait(0), 3);
  JWaitForMultipleObjects all(&f1, &f4, true);
  EXPECT_TRUE(all.waitAll());
  EXPECT_EQ(all.count(), 2u);
}

TEST(WaitIndex, BlockedWaiterGetsTheIndexSignalledLater) {
  JFlag stop(false, false);
  JSemaphore work(0, 10);
  JWaitableTimer timer;
  JWaitForMultipleObjects waiter(&stop, &timer, &work);
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    work.release();
  });
  EXPECT_EQ(waiter.wait(10000), 2);
  releaser.join();
  timer.set(10);
  EXPECT_EQ(waiter.wait(10000), 1);
}

TEST(WaitIndex, TimeOutThrowsAndTakesNothing) {
  JFlag a(false, false);
  JSemaphore b(0, 1);
  JWaitForMultipleObjects waiter(&a, &b);
  const auto start = Clock::now();
  try {
    waiter.wait(80);
    FAIL() << "the wait returned";
  } catch (const JTimeoutError& e) {
    EXPECT_EQ(e.message(), "Time out!");
  }
  EXPECT_GE(msSince(start), 79);
  EXPECT_LT(msSince(start), 5000);
}

// ---- failures -------------------------------------------------------------

TEST(WaitConstruction, EmptyListThrowsEmptyVector) {
  try {
    JWaitForMultipleObjects waiter(std::vector<JWaitableObject*>{});
    FAIL() << "an empty vector was accepted";
  } catch (const JTextError& e) {
    EXPECT_EQ(e.message(), "empty vector!");
  }
  JWaitableObject* none[1] = {nullptr};
  EXPECT_THROW(JWaitForMultipleObjects(size_t{0}, none), JTextError);
}

TEST(WaitConstruction, NullObjectIsRefused) {
  JFlag flag;
  EXPECT_THROW(JWaitForMultipleObjects(&flag, nullptr), JTextError);
}

TEST(WaitFailure, ObjectWithoutHandleFailsTheWait) {
  // A thread that was never started, or was joined, has no handle.
  JThread idle("idle");
  EXPECT_EQ(idle.handle(), -1);
  try {
    idle.wait(0);
    FAIL() << "waiting on no handle succeeded";
  } catch (const JSysError& e) {
    EXPECT_STREQ(e.function(), "WaitForSingleObject");
    EXPECT_EQ(e.code(), static_cast<uint32_t>(EBADF));
  }
  JFlag flag(true, true);
  JWaitForMultipleObjects waiter(&flag, &idle);
  try {
    waiter.wait(0);
    FAIL() << "waiting on no handle succeeded";
  } catch (const JSysError& e) {
    EXPECT_STREQ(e.function(), "WaitForMultipleObjects");
  }
}

TEST(WaitFailure, SameObjectTwiceInAWaitAllIsInvalid) {
  JSemaphore semaphore(2, 2);
  JWaitForMultipleObjects waiter(&semaphore, &semaphore, true);
  try {
    waiter.wait(0);
    FAIL() << "a duplicate wait-all succeeded";
  } catch (const JSysError& e) {
    EXPECT_STREQ(e.function(), "WaitForMultipleObjects");
    EXPECT_EQ(e.code(), static_cast<uint32_t>(EINVAL));
  }
  EXPECT_EQ(semaphore.count(), 2);
  // Waiting for any of them is fine.
  EXPECT_EQ(JWaitForMultipleObjects(&semaphore, &semaphore).wait(0), 0);
}

// ---- wait-all -------------------------------------------------------------

TEST(WaitAll, PartlySignalledTimesOutAndConsumesNothing) {
  JFlag flag(false, false);
  JSemaphore semaphore(0, 5);
  JWaitForMultipleObjects waiter(&flag, &semaphore, true);
  flag.set();
  EXPECT_THROW(waiter.wait(60), JTimeoutError);
  EXPECT_TRUE(flag.isSet());

  semaphore.release(2);
  EXPECT_EQ(waiter.wait(0), 0);
  // Both auto-reset objects gave one signal each.
  EXPECT_FALSE(flag.isSet());
  EXPECT_EQ(semaphore.count(), 1);
}

TEST(WaitAll, ReturnsWhenTheLastObjectIsSignalled) {
  JFlag first(true, true);
  JSemaphore second(0, 1);
  JWaitableTimer third;
  JWaitForMultipleObjects waiter(&first, &second, &third, true);
  third.set(20);
  const auto start = Clock::now();
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    second.release();
  });
  EXPECT_EQ(waiter.wait(10000), 0);
  EXPECT_GE(msSince(start), 59);
  releaser.join();
  EXPECT_TRUE(first.isSet());  // manual reset keeps its signal
  EXPECT_EQ(second.count(), 0);
  EXPECT_FALSE(signalledNow(third));
}

TEST(WaitAll, WaitsAgainWhenAnObjectIsTakenAwayMeanwhile) {
  JFlag manual(true, true);
  JSemaphore semaphore(0, 1);
  JWaitForMultipleObjects waiter(&manual, &semaphore, true);
  std::thread changer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    manual.reset();
    semaphore.release();
  });
  EXPECT_THROW(waiter.wait(300), JTimeoutError);
  changer.join();
  EXPECT_EQ(semaphore.count(), 1);
  manual.set();
  EXPECT_EQ(waiter.wait(0), 0);
}

// ---- one signal, one winner -----------------------------------------------

// Waiters that loop on (stop, target) and count the times they took target.
class Waiters {
 public:
  Waiters(int n, JWaitableObject& target) {
    for (int i = 0; i < n; ++i) {
      threads_.emplace_back([this, &target] {
        JWaitForMultipleObjects waiter(&stop_, &target);
        while (waiter.wait(20000) != 0) {
          ++wakeUps_;
        }
      });
    }
  }
  ~Waiters() {
    stop_.set();
    for (auto& thread : threads_) {
      thread.join();
    }
  }
  int wakeUps() const { return wakeUps_.load(); }

 private:
  JFlag stop_{true, false};
  std::atomic<int> wakeUps_{0};
  std::vector<std::thread> threads_;
};

TEST(WaitConcurrency, AutoResetFlagWakesExactlyOneOfManyWaiters) {
  JFlag flag(false, false);
  Waiters waiters(6, flag);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  for (int round = 1; round <= 10; ++round) {
    flag.set();
    ASSERT_TRUE(eventually([&] { return waiters.wakeUps() >= round; }));
    // Give a second, wrong winner time to show up.
    std::this_thread::sleep_for(std::chrono::milliseconds(15));
    ASSERT_EQ(waiters.wakeUps(), round);
  }
}

TEST(WaitConcurrency, SemaphoreReleaseWakesExactlyAsManyWaiters) {
  JSemaphore semaphore(0, 100);
  Waiters waiters(8, semaphore);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  semaphore.release(5);
  ASSERT_TRUE(eventually([&] { return waiters.wakeUps() >= 5; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(waiters.wakeUps(), 5);
  EXPECT_EQ(semaphore.count(), 0);
}

TEST(WaitConcurrency, TimerFiringGoesToOneWaiter) {
  JWaitableTimer timer;
  Waiters waiters(4, timer);
  for (int round = 1; round <= 5; ++round) {
    timer.fireNow();
    ASSERT_TRUE(eventually([&] { return waiters.wakeUps() >= round; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(15));
    ASSERT_EQ(waiters.wakeUps(), round);
  }
}

// Single waiters on A, on B and wait-all waiters on (A, B) compete for two
// semaphores: every release is taken exactly once, whoever takes it.
TEST(WaitConcurrency, WaitAllAndSingleWaitersNeverTakeASignalTwice) {
  constexpr int kReleases = 3000;
  JSemaphore a(0, 1000000), b(0, 1000000);
  JFlag stop(true, false);
  std::atomic<int> takenA{0}, takenB{0};
  std::vector<std::thread> consumers;
  for (int i = 0; i < 2; ++i) {
    consumers.emplace_back([&] {
      JWaitForMultipleObjects waiter(&stop, &a);
      while (waiter.wait(20000) == 1) {
        ++takenA;
      }
    });
    consumers.emplace_back([&] {
      JWaitForMultipleObjects waiter(&stop, &b);
      while (waiter.wait(20000) == 1) {
        ++takenB;
      }
    });
    consumers.emplace_back([&] {
      JWaitForMultipleObjects all(&a, &b, true);
      while (!stop.isSet()) {
        try {
          all.wait(5);
          ++takenA;
          ++takenB;
        } catch (const JTimeoutError&) {
        }
      }
    });
  }
  std::thread producer([&] {
    for (int i = 0; i < kReleases; ++i) {
      a.release();
      b.release();
    }
  });
  producer.join();
  ASSERT_TRUE(eventually([&] { return a.count() == 0 && b.count() == 0; }, 20000));
  stop.set();
  for (auto& consumer : consumers) {
    consumer.join();
  }
  EXPECT_EQ(takenA.load(), kReleases);
  EXPECT_EQ(takenB.load(), kReleases);
}

}  // namespace
}  // namespace zq
