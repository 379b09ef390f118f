// The single waitable objects: event, semaphore and timer semantics, the
// time-outs of a single wait, and no descriptor held per object.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <iterator>
#include <memory>
#include <set>
#include <vector>

#include "helpers/waits.h"
#include "test_wait_support.h"

namespace zq {
namespace {

using namespace test;

// ---- JFlag and time-outs ----------------------------------------------------

TEST(Flag, ManualStaysSignalledAutoIsTakenOnceAndSetsMerge) {
  JFlag manual(true, false), automatic(false, false), initialManual(true, true),
      initialAuto(false, true);
  EXPECT_EQ(polls(manual, 1), "0");
  manual.set();
  EXPECT_EQ(polls(manual, 2), "11");
  manual.reset();
  EXPECT_EQ(polls(manual, 1), "0");
  automatic.set();
  automatic.set();
  EXPECT_EQ(polls(automatic, 2), "10");
  automatic.set();
  automatic.reset();
  EXPECT_EQ(polls(automatic, 1) + polls(initialManual, 2) + polls(initialAuto, 2), "01110");
  {
    After set(50, [&] { automatic.set(); });
    EXPECT_NO_THROW(automatic.wait(10000));  // blocked until then
  }
  EXPECT_EQ(polls(automatic, 1), "0");
}

TEST(WaitTimeout, ExpiresNoEarlierThanAskedAndZeroOnlyLooks) {
  JFlag flag(true, false);
  const auto start = Clock::now();
  EXPECT_EQ(failureOf([&] { flag.wait(100); }), "Time out!");
  EXPECT_GE(msSince(start), 99);
  const auto zero = Clock::now();
  EXPECT_EQ(failureOf([&] { flag.wait(0); }), "Time out!");
  EXPECT_LT(msSince(zero), 1000);
}

// ---- JSemaphore -------------------------------------------------------------

TEST(Semaphore, CountsWaitsAndReleases) {
  JSemaphore semaphore(2, 5);
  EXPECT_EQ(polls(semaphore, 3), "110");
  EXPECT_EQ(semaphore.release(1), 0);
  EXPECT_EQ(semaphore.release(2), 1);
  EXPECT_EQ(semaphore.release(), 3);
  semaphore.wait(0);
  EXPECT_EQ(semaphore.release(), 3);
  EXPECT_EQ(semaphore.count(), 4);
}

TEST(Semaphore, FailuresNameTheirFunctionAndLeaveTheCount) {
  struct Case {
    int initial, maximum, n;
    uint32_t code;
  };
  for (const Case& c : {Case{2, 2, 1, EOVERFLOW}, Case{1, 3, 3, EOVERFLOW}, Case{0, 3, 0, EINVAL},
                        Case{0, 3, -1, EINVAL}}) {
    SCOPED_TRACE(testing::Message() << c.initial << "/" << c.maximum << " + " << c.n);
    JSemaphore semaphore(c.initial, c.maximum);
    EXPECT_EQ(failureOf([&] { semaphore.release(c.n); }), sys("ReleaseSemaphore", c.code));
    EXPECT_EQ(semaphore.count(), c.initial);
  }
  for (auto [initial, maximum] : {std::pair{3, 2}, std::pair{-1, 2}, std::pair{0, 0}}) {
    EXPECT_EQ(failureOf([&] { JSemaphore semaphore(initial, maximum); }),
              sys("CreateSemaphore", EINVAL));
  }
}

TEST(Semaphore, ConcurrentReleasesNeverPassTheMaximum) {
  constexpr int kMaximum = 500, kThreads = 4, kPerThread = 200;  // 800 attempts, 500 places
  JSemaphore semaphore(0, kMaximum);
  std::atomic<int> accepted{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kPerThread; ++i) {
        accepted += failureOf([&] { semaphore.release(); }).empty() ? 1 : 0;
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(accepted.load(), kMaximum);
  EXPECT_EQ(polls(semaphore, kMaximum + 1), std::string(kMaximum, '1') + "0");
}

// ---- JWaitableTimer ---------------------------------------------------------

TEST(Timer, FiresOnceAtItsDueTimeOrEveryPeriodMergingTicksNobodyTook) {
  JWaitableTimer timer;
  EXPECT_THROW(timer.wait(50), JTimeoutError);  // not armed
  auto start = Clock::now();
  timer.set(400);
  EXPECT_THROW(timer.wait(50), JTimeoutError);
  timer.wait(10000);
  EXPECT_GE(msSince(start), 399);
  EXPECT_LT(msSince(start), 5000);
  EXPECT_THROW(timer.wait(250), JTimeoutError);

  timer.setPeriod(50);
  start = Clock::now();
  timer.set(50);
  for (int i = 0; i < 5; ++i) {
    timer.wait(5000);
  }
  EXPECT_GE(msSince(start), 200);
  EXPECT_LT(msSince(start), 2000);

  timer.setPeriod(500);
  timer.set(100);  // fires at 100, 600, 1100 ms
  sleepMs(800);
  EXPECT_EQ(polls(timer, 2), "10");
  EXPECT_NO_THROW(timer.wait(5000));  // and ticks on
}

TEST(Timer, ArmingReplacesTheLastCancelClearsAndManualResetStays) {
  JWaitableTimer manual(true), timer;
  manual.set(20);
  manual.wait(5000);
  EXPECT_EQ(polls(manual, 2), "11");
  manual.set(60000);
  EXPECT_EQ(polls(manual, 1), "0");
  timer.setPeriod(20);
  timer.set(60);
  timer.cancel();
  EXPECT_THROW(timer.wait(300), JTimeoutError);
  timer.fireNow();
  timer.cancel();
  EXPECT_EQ(polls(timer, 1), "0");

  timer.setPeriod(0);
  timer.set(30);
  timer.set(60000);
  EXPECT_THROW(timer.wait(200), JTimeoutError);
  timer.set(-5);  // a due time in the past fires at once
  const std::string past = polls(timer, 1);
  timer.fireNow();
  EXPECT_EQ(past + polls(timer, 1), "11");
  EXPECT_THROW(timer.wait(150), JTimeoutError);  // one-shot

  timer.setPeriod(100);
  const auto armed = Clock::now();
  timer.fireNow();
  timer.wait(5000);
  timer.wait(5000);
  EXPECT_GE(msSince(armed), 99);

  timer.setPeriod(-1);
  EXPECT_EQ(failureOf([&] { timer.set(10); }), sys("SetWaitableTimer", EINVAL));
}

TEST(Timer, ManyTimersEachFireAtTheirOwnTimeWhateverTheArmingOrder) {
  // The process's timers share one schedule: arming, re-arming and cancelling
  // timers in the middle of it must neither lose one nor hold the others back
  // behind a far one.
  constexpr size_t kTimers = 64;
  std::vector<std::unique_ptr<JWaitableTimer>> timers;
  for (size_t i = 0; i < kTimers; ++i) {
    timers.push_back(std::make_unique<JWaitableTimer>(true));
    timers[i]->set(static_cast<int64_t>(i * 37 % kTimers) * 5);  // 0..315 ms, shuffled
  }
  for (size_t i = 0; i < kTimers; i += 5) {
    timers[i]->set(600000);
  }
  for (size_t i = 3; i < kTimers; i += 8) {
    timers[i]->cancel();
  }
  auto fires = [](size_t i) { return i % 5 != 0 && i % 8 != 3; };
  for (size_t i = 0; i < kTimers; ++i) {
    EXPECT_TRUE(!fires(i) || failureOf([&] { timers[i]->wait(10000); }).empty()) << i;
  }
  for (size_t i = 0; i < kTimers; ++i) {
    EXPECT_EQ(signalledNow(*timers[i]), fires(i)) << i;
  }
}

TEST(WaitableResources, ObjectsAndThreadsHoldNoDescriptor) {
  // A host runs thousands of them under a limit of 1 024 descriptors.
  auto openDescriptors = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
  };
  const auto before = openDescriptors();
  std::vector<std::unique_ptr<JWaitableObject>> objects;
  std::vector<std::unique_ptr<FunctionThread>> threads;
  for (int i = 0; i < 2000; ++i) {
    objects.push_back(std::make_unique<JFlag>(true, false));
    objects.push_back(std::make_unique<JSemaphore>(0, 10));
    objects.push_back(std::make_unique<JWaitableTimer>());
    static_cast<JWaitableTimer&>(*objects.back()).set(600000);
    if (i % 40 == 0) {
      threads.push_back(std::make_unique<FunctionThread>("idle", [] {}));
      threads.back()->start();
    }
  }
  EXPECT_EQ(openDescriptors(), before);
  // Their handles, which log lines print to tell objects apart, all differ.
  std::set<int> handles;
  for (const auto& object : objects) {
    EXPECT_GT(object->handle(), 0);
    handles.insert(object->handle());
  }
  EXPECT_EQ(handles.size(), objects.size());
}

}  // namespace
}  // namespace zq
