// The single waitable objects: event, semaphore and timer semantics, and the
// time-outs of a single wait.
#include <dirent.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "base/error.h"
#include "base/thread.h"
#include "base/waitable.h"
#include "helpers/waits.h"

namespace zq {
namespace {

using test::msSince;
using test::signalledNow;
using Clock = test::Clock;

// ---- JFlag ----------------------------------------------------------------

TEST(Flag, ManualResetStaysSignalledUntilReset) {
  JFlag flag(true, false);
  EXPECT_FALSE(signalledNow(flag));
  flag.set();
  EXPECT_TRUE(signalledNow(flag));
  EXPECT_TRUE(signalledNow(flag));
  EXPECT_TRUE(flag.isSet());
  flag.reset();
  EXPECT_FALSE(flag.isSet());
  EXPECT_FALSE(signalledNow(flag));
}

TEST(Flag, AutoResetIsConsumedByOneWait) {
  JFlag flag(false, false);
  flag.set();
  EXPECT_TRUE(signalledNow(flag));
  EXPECT_FALSE(signalledNow(flag));
}

TEST(Flag, RepeatedSetsMergeIntoOneSignal) {
  JFlag flag(false, false);
  flag.set();
  flag.set();
  flag.set();
  EXPECT_TRUE(signalledNow(flag));
  EXPECT_FALSE(signalledNow(flag));
}

TEST(Flag, InitiallySignalled) {
  JFlag manual(true, true);
  EXPECT_TRUE(signalledNow(manual));
  EXPECT_TRUE(signalledNow(manual));
  JFlag automatic(false, true, "start");
  EXPECT_EQ(automatic.name(), "start");
  EXPECT_TRUE(signalledNow(automatic));
  EXPECT_FALSE(signalledNow(automatic));
}

TEST(Flag, ResetClearsAnAutoResetSignal) {
  JFlag flag(false, false);
  flag.reset();  // harmless when clear
  flag.set();
  flag.reset();
  EXPECT_FALSE(signalledNow(flag));
}

TEST(Flag, SetFromAnotherThreadWakesABlockedWaiter) {
  JFlag flag(false, false);
  const auto start = Clock::now();
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    flag.set();
  });
  EXPECT_NO_THROW(flag.wait(10000));
  EXPECT_GE(msSince(start), 45);
  setter.join();
  EXPECT_FALSE(signalledNow(flag));
}

// ---- time-outs ------------------------------------------------------------

TEST(WaitTimeout, ExpiryThrowsTimeOutAfterTheTimeOut) {
  JFlag flag(true, false);
  const auto start = Clock::now();
  try {
    flag.wait(100);
    FAIL() << "the wait returned";
  } catch (const JTimeoutError& e) {
    EXPECT_EQ(e.message(), "Time out!");
    EXPECT_EQ(e.tag(), 100);
  }
  const int64_t elapsed = msSince(start);
  EXPECT_GE(elapsed, 99);
  EXPECT_LT(elapsed, 5000);
}

TEST(WaitTimeout, ZeroOnlyTests) {
  JSemaphore semaphore(0, 1);
  const auto start = Clock::now();
  EXPECT_THROW(semaphore.wait(0), JTimeoutError);
  EXPECT_LT(msSince(start), 1000);
}

TEST(WaitTimeout, SignalBeforeExpiryEndsTheWaitEarly) {
  JSemaphore semaphore(0, 1);
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    semaphore.release();
  });
  const auto start = Clock::now();
  EXPECT_NO_THROW(semaphore.wait(20000));
  EXPECT_LT(msSince(start), 10000);
  releaser.join();
}

// ---- JSemaphore -----------------------------------------------------------

TEST(Semaphore, InitialCountSatisfiesThatManyWaits) {
  JSemaphore semaphore(2, 5);
  EXPECT_EQ(semaphore.count(), 2);
  EXPECT_EQ(semaphore.maximumCount(), 5);
  EXPECT_TRUE(signalledNow(semaphore));
  EXPECT_TRUE(signalledNow(semaphore));
  EXPECT_FALSE(signalledNow(semaphore));
  EXPECT_EQ(semaphore.count(), 0);
}

TEST(Semaphore, ReleaseReturnsThePreviousCount) {
  JSemaphore semaphore(0, 10);
  EXPECT_EQ(semaphore.release(1), 0);
  EXPECT_EQ(semaphore.release(2), 1);
  EXPECT_EQ(semaphore.release(), 3);
  EXPECT_EQ(semaphore.count(), 4);
  semaphore.wait(0);
  EXPECT_EQ(semaphore.release(), 3);
}

TEST(Semaphore, ReleaseAtMaximumThrowsAndLeavesTheCount) {
  JSemaphore semaphore(0, 2);
  semaphore.release(2);
  try {
    semaphore.release(1);
    FAIL() << "release above the maximum succeeded";
  } catch (const JSysError& e) {
    EXPECT_STREQ(e.function(), "ReleaseSemaphore");
    EXPECT_EQ(e.code(), static_cast<uint32_t>(EOVERFLOW));
    EXPECT_EQ(e.tag(), 100);
    EXPECT_EQ(e.message(),
              "system call error at function 'ReleaseSemaphore' : Value too large for defined "
              "data type");
  }
  EXPECT_EQ(semaphore.count(), 2);
  EXPECT_TRUE(signalledNow(semaphore));
  EXPECT_TRUE(signalledNow(semaphore));
  EXPECT_FALSE(signalledNow(semaphore));
}

TEST(Semaphore, ReleaseOfMoreThanTheRoomLeftAddsNothing) {
  JSemaphore semaphore(1, 3);
  EXPECT_THROW(semaphore.release(3), JSysError);
  EXPECT_EQ(semaphore.count(), 1);
  EXPECT_EQ(semaphore.release(2), 1);
}

TEST(Semaphore, ReleaseOfNothingIsInvalid) {
  JSemaphore semaphore(0, 3);
  for (int n : {0, -1}) {
    try {
      semaphore.release(n);
      FAIL() << "release(" << n << ") succeeded";
    } catch (const JSysError& e) {
      EXPECT_STREQ(e.function(), "ReleaseSemaphore");
      EXPECT_EQ(e.code(), static_cast<uint32_t>(EINVAL));
    }
  }
  EXPECT_EQ(semaphore.count(), 0);
}

TEST(Semaphore, InvalidCountsThrowCreateSemaphore) {
  for (auto [initial, maximum] : {std::pair{3, 2}, std::pair{-1, 2}, std::pair{0, 0}}) {
    try {
      JSemaphore semaphore(initial, maximum);
      FAIL() << initial << "/" << maximum << " was accepted";
    } catch (const JSysError& e) {
      EXPECT_STREQ(e.function(), "CreateSemaphore");
      EXPECT_EQ(e.code(), static_cast<uint32_t>(EINVAL));
    }
  }
}

TEST(Semaphore, ConcurrentReleasesNeverPassTheMaximum) {
  constexpr int kMaximum = 500;
  constexpr int kThreads = 4;
  constexpr int kPerThread = 200;  // 800 attempts for 500 places
  JSemaphore semaphore(0, kMaximum);
  std::atomic<int> accepted{0};
  std::atomic<int> refused{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kPerThread; ++i) {
        try {
          semaphore.release();
          ++accepted;
        } catch (const JSysError&) {
          ++refused;
        }
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(accepted.load(), kMaximum);
  EXPECT_EQ(refused.load(), kThreads * kPerThread - kMaximum);
  EXPECT_EQ(semaphore.count(), kMaximum);
  int taken = 0;
  while (signalledNow(semaphore)) {
    ++taken;
  }
  EXPECT_EQ(taken, kMaximum);
}

// ---- JWaitableTimer -------------------------------------------------------

TEST(Timer, NotArmedNeverFires) {
  JWaitableTimer timer;
  EXPECT_THROW(timer.wait(50), JTimeoutError);
}

TEST(Timer, OneShotFiresOnceAtItsDueTime) {
  JWaitableTimer timer;
  EXPECT_EQ(timer.period(), 0);
  const auto start = Clock::now();
  timer.set(400);
  EXPECT_THROW(timer.wait(50), JTimeoutError);
  timer.wait(10000);
  const int64_t elapsed = msSince(start);
  EXPECT_GE(elapsed, 399);
  EXPECT_LT(elapsed, 5000);
  EXPECT_THROW(timer.wait(250), JTimeoutError);
}

TEST(Timer, PeriodicTimerTicksEveryPeriod) {
  JWaitableTimer timer;
  timer.setPeriod(50);
  const auto start = Clock::now();
  timer.set(50);
  for (int i = 0; i < 5; ++i) {
    timer.wait(5000);
  }
  const int64_t elapsed = msSince(start);
  EXPECT_GE(elapsed, 200);
  EXPECT_LT(elapsed, 2000);
}

TEST(Timer, PeriodicAutoResetTimerIsATickNotACounter) {
  JWaitableTimer timer;
  timer.setPeriod(500);
  timer.set(100);  // fires at 100, 600, 1100 ms
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  EXPECT_TRUE(signalledNow(timer));
  EXPECT_FALSE(signalledNow(timer));
  // Ticking goes on after the merged firings.
  EXPECT_NO_THROW(timer.wait(5000));
}

TEST(Timer, ManualResetTimerStaysSignalledUntilSetAgain) {
  JWaitableTimer timer(true);
  EXPECT_TRUE(timer.manualReset());
  timer.set(20);
  timer.wait(5000);
  EXPECT_TRUE(signalledNow(timer));
  EXPECT_TRUE(signalledNow(timer));
  timer.set(60000);
  EXPECT_FALSE(signalledNow(timer));
}

TEST(Timer, CancelStopsAnArmedTimer) {
  JWaitableTimer timer;
  timer.setPeriod(20);
  timer.set(60);
  timer.cancel();
  EXPECT_THROW(timer.wait(300), JTimeoutError);
}

TEST(Timer, CancelClearsAFiringNotYetWaitedFor) {
  JWaitableTimer timer;
  timer.fireNow();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  timer.cancel();
  EXPECT_FALSE(signalledNow(timer));
}

TEST(Timer, FireNowSignalsAtOnceThenFollowsThePeriod) {
  JWaitableTimer timer;
  timer.fireNow();
  const auto start = Clock::now();
  timer.wait(5000);
  EXPECT_LT(msSince(start), 2000);
  EXPECT_THROW(timer.wait(150), JTimeoutError);  // one-shot

  timer.setPeriod(100);
  const auto armed = Clock::now();
  timer.fireNow();
  timer.wait(5000);
  timer.wait(5000);
  EXPECT_GE(msSince(armed), 99);
}

TEST(Timer, SetReplacesAnEarlierArming) {
  JWaitableTimer timer;
  timer.set(30);
  timer.set(60000);
  EXPECT_THROW(timer.wait(200), JTimeoutError);
  timer.set(-5);  // a due time in the past fires at once
  EXPECT_NO_THROW(timer.wait(5000));
}

TEST(Timer, NegativePeriodIsRefused) {
  JWaitableTimer timer;
  timer.setPeriod(-1);
  try {
    timer.set(10);
    FAIL() << "a negative period was accepted";
  } catch (const JSysError& e) {
    EXPECT_STREQ(e.function(), "SetWaitableTimer");
    EXPECT_EQ(e.code(), static_cast<uint32_t>(EINVAL));
  }
}

TEST(Timer, ManyTimersEachFireAtTheirOwnTimeWhateverTheArmingOrder) {
  // The process's timers share one schedule: arming, re-arming and cancelling
  // timers in the middle of it must neither lose one nor hold the others back
  // behind a far one.
  constexpr int kTimers = 64;
  std::vector<std::unique_ptr<JWaitableTimer>> timers;
  for (int i = 0; i < kTimers; ++i) {
    timers.push_back(std::make_unique<JWaitableTimer>(true));
  }
  enum class Fate { kFires, kCancelled, kFar };
  std::vector<Fate> fate(kTimers, Fate::kFires);
  for (int i = 0; i < kTimers; ++i) {
    timers[static_cast<size_t>(i)]->set((i * 37 % kTimers) * 5);  // 0..315 ms, shuffled
  }
  for (int i = 0; i < kTimers; i += 5) {
    timers[static_cast<size_t>(i)]->set(600000);
    fate[static_cast<size_t>(i)] = Fate::kFar;
  }
  for (int i = 3; i < kTimers; i += 8) {
    timers[static_cast<size_t>(i)]->cancel();
    fate[static_cast<size_t>(i)] = Fate::kCancelled;
  }
  for (int i = 0; i < kTimers; ++i) {
    if (fate[static_cast<size_t>(i)] == Fate::kFires) {
      EXPECT_NO_THROW(timers[static_cast<size_t>(i)]->wait(10000)) << "timer " << i;
    }
  }
  for (int i = 0; i < kTimers; ++i) {
    if (fate[static_cast<size_t>(i)] != Fate::kFires) {
      EXPECT_FALSE(signalledNow(*timers[static_cast<size_t>(i)])) << "timer " << i;
    }
  }
}

// ---- no descriptor per object ---------------------------------------------------

size_t openDescriptors() {
  size_t n = 0;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (::readdir(dir) != nullptr) {
      ++n;
    }
    ::closedir(dir);
  }
  return n;
}

class Idle : public JThread {
 public:
  Idle() : JThread("idle") {}
  ~Idle() override { join(); }
};

TEST(WaitableResources, ObjectsAndThreadsHoldNoDescriptor) {
  // A host runs thousands of them under a limit of 1 024 descriptors.
  const size_t before = openDescriptors();
  std::vector<std::unique_ptr<JWaitableObject>> objects;
  for (int i = 0; i < 2000; ++i) {
    objects.push_back(std::make_unique<JFlag>(true, false));
    objects.push_back(std::make_unique<JSemaphore>(0, 10));
    auto timer = std::make_unique<JWaitableTimer>();
    timer->set(600000);
    objects.push_back(std::move(timer));
  }
  std::vector<std::unique_ptr<Idle>> threads(50);
  for (auto& thread : threads) {
    thread = std::make_unique<Idle>();
    thread->start();
  }
  EXPECT_EQ(openDescriptors(), before);
}

}  // namespace
}  // namespace zq
