// Waiting for several objects: the index returned, wait-all, the failures,
// and signals that wake every waiter they satisfy and are taken exactly once.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <functional>
#include <vector>

#include "base/wait.h"
#include "helpers/waits.h"
#include "test_wait_support.h"

namespace zq {
namespace {

using namespace test;

// The indices `n` waits that only look return, "-" for a time-out.
std::string indices(JWaitForMultipleObjects& waiter, int n) {
  std::string seen;
  for (int i = 0; i < n; ++i) {
    int index = -1;
    failureOf([&] { index = waiter.wait(0); });
    seen += index < 0 ? "-" : std::to_string(index);
  }
  return seen;
}

// ---- the index returned ---------------------------------------------------

TEST(WaitIndex, LowestSignalledIndexWinsAndOnlyAutoResetSignalsAreTaken) {
  JFlag stop(false, false), manual(true, false);
  JWaitableTimer timer;
  JSemaphore queued(0, 1000);
  JWaitForMultipleObjects waiter(&stop, &timer, &queued, &manual);
  manual.set();
  queued.release();
  stop.set();
  EXPECT_EQ(indices(waiter, 4), "0233");
  manual.reset();
  EXPECT_EQ(indices(waiter, 1), "-");
}

TEST(WaitIndex, EveryConstructorKeepsTheOrderGiven) {
  JFlag f0(true, false), f1(true, true), f2(true, false), f3(true, false), f4(true, true);
  JWaitableObject* array[] = {&f4, &f0, &f2};
  EXPECT_EQ(JWaitForMultipleObjects(3, array).wait(0), 0);
  EXPECT_EQ(JWaitForMultipleObjects(std::vector<JWaitableObject*>{&f0, &f2, &f3, &f4}).wait(0), 3);
  EXPECT_EQ(JWaitForMultipleObjects(&f0, &f1).wait(0), 1);
  EXPECT_EQ(JWaitForMultipleObjects(&f0, &f2, &f4).wait(0), 2);
  EXPECT_EQ(JWaitForMultipleObjects(&f0, &f2, &f3, &f1).wait(0), 3);
}

TEST(WaitIndex, BlockedWaiterWakesWithTheIndexSignalledLater) {
  JFlag stop(false, false);
  JWaitableTimer timer;
  JSemaphore work(0, 10);
  JWaitForMultipleObjects waiter(&stop, &timer, &work);
  {
    After release(30, [&] { work.release(); });
    EXPECT_EQ(waiter.wait(10000), 2);
  }
  timer.set(10);
  EXPECT_EQ(waiter.wait(10000), 1);
}

TEST(WaitFailure, BadListsAndObjectsWithoutHandleAreRefused) {
  JFlag flag(true, true);
  JWaitableObject* none[1] = {nullptr};
  EXPECT_EQ(failureOf([] { JWaitForMultipleObjects(std::vector<JWaitableObject*>{}); }),
            "empty vector!");
  EXPECT_EQ(failureOf([&] { JWaitForMultipleObjects(size_t{0}, none); }), "empty vector!");
  EXPECT_EQ(failureOf([&] { JWaitForMultipleObjects(&flag, nullptr); }), "null waitable object");
  // A thread never started (or already joined) has no handle.
  JThread idle("idle");
  EXPECT_EQ(failureOf([&] { idle.wait(0); }), sys("WaitForSingleObject", EBADF));
  EXPECT_EQ(failureOf([&] { JWaitForMultipleObjects(&flag, &idle).wait(0); }),
            sys("WaitForMultipleObjects", EBADF));
  // One object twice cannot give two signals at once to a wait-all; a wait for
  // any of them is fine.
  JSemaphore semaphore(2, 2);
  EXPECT_EQ(failureOf([&] { JWaitForMultipleObjects(&semaphore, &semaphore, true).wait(0); }),
            sys("WaitForMultipleObjects", EINVAL));
  EXPECT_EQ(semaphore.count(), 2);
  EXPECT_EQ(JWaitForMultipleObjects(&semaphore, &semaphore).wait(0), 0);
}

// ---- wait-all -------------------------------------------------------------

TEST(WaitAll, TakesEveryObjectTogetherOrNone) {
  JFlag flag(false, false);
  JSemaphore semaphore(0, 5);
  JWaitForMultipleObjects waiter(&flag, &semaphore, true);
  flag.set();
  EXPECT_THROW(waiter.wait(60), JTimeoutError);
  EXPECT_TRUE(flag.isSet());
  semaphore.release(2);
  EXPECT_EQ(indices(waiter, 2), "0-");
  EXPECT_EQ(semaphore.count(), 1);
}

TEST(WaitAll, ReturnsWhenTheLastObjectIsSignalled) {
  JFlag first(true, true);
  JSemaphore second(0, 1);
  JWaitableTimer third;
  JWaitForMultipleObjects waiter(&first, &second, &third, true);
  third.set(20);
  const auto start = Clock::now();
  {
    After release(60, [&] { second.release(); });
    EXPECT_EQ(waiter.wait(10000), 0);
    EXPECT_GE(msSince(start), 59);
  }
  EXPECT_EQ(polls(first, 1) + polls(second, 1) + polls(third, 1), "100");
}

TEST(WaitAll, WaitsAgainWhenAnObjectIsTakenAwayMeanwhile) {
  JFlag manual(true, true);
  JSemaphore semaphore(0, 1);
  JWaitForMultipleObjects waiter(&manual, &semaphore, true);
  {
    After change(20, [&] { manual.reset(), semaphore.release(); });
    EXPECT_THROW(waiter.wait(300), JTimeoutError);
  }
  EXPECT_EQ(semaphore.count(), 1);
  manual.set();
  EXPECT_EQ(waiter.wait(0), 0);
}

// ---- many waiters ---------------------------------------------------------

// Threads that wait on (stop, target) and count the times they took target;
// `once`: each ends after its first.
class Waiters {
 public:
  Waiters(int n, JWaitableObject& target, bool once = false) {
    for (int i = 0; i < n; ++i) {
      threads_.emplace_back([this, &target, once] {
        JWaitForMultipleObjects waiter(&stop_, &target);
        while (waiter.wait(20000) != 0 && (++wakeUps_, !once)) {
        }
      });
    }
    sleepMs(30);
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

TEST(WaitConcurrency, EachAutoResetSignalGoesToExactlyOneWaiter) {
  JFlag flag(false, false);
  JWaitableTimer timer;
  JSemaphore semaphore(0, 100);
  struct Case {
    const char* name;
    JWaitableObject& object;
    std::function<void()> signal;
  };
  const Case cases[] = {{"auto-reset flag", flag, [&] { flag.set(); }},
                        {"timer", timer, [&] { timer.fireNow(); }},
                        {"semaphore", semaphore, [&] { semaphore.release(); }}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Waiters waiters(6, c.object);
    for (int round = 1; round <= 6; ++round) {
      c.signal();
      ASSERT_TRUE(eventually([&] { return waiters.wakeUps() >= round; }));
      sleepMs(15);  // time for a second, wrong winner to show up
      ASSERT_EQ(waiters.wakeUps(), round);
    }
  }
}

TEST(WaitConcurrency, OneSignalWakesEveryWaiterItSatisfies) {
  JFlag manual(true, false);
  JSemaphore semaphore(0, 100);
  Waiters onFlag(4, manual, true), onSemaphore(5, semaphore, true);
  manual.set();
  EXPECT_TRUE(eventually([&] { return onFlag.wakeUps() == 4; }));
  semaphore.release(3);
  EXPECT_TRUE(eventually([&] { return onSemaphore.wakeUps() == 3; }));
  sleepMs(30);
  EXPECT_EQ(onSemaphore.wakeUps(), 3);
  EXPECT_EQ(semaphore.count(), 0);
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
    for (auto [object, taken] : {std::pair{&a, &takenA}, std::pair{&b, &takenB}}) {
      consumers.emplace_back([&stop, object = object, taken = taken] {
        JWaitForMultipleObjects waiter(&stop, object);
        while (waiter.wait(20000) == 1) {
          ++*taken;
        }
      });
    }
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
  for (int i = 0; i < kReleases; ++i) {
    a.release();
    b.release();
  }
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
