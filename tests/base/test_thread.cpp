// Threads (life cycle, log lines, suspension), waits for one or several objects, the flag,
// semaphore and timer, and the descriptors they do not hold.
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/error.h"
#include "base/format.h"
#include "base/log.h"
#include "base/thread.h"
#include "base/wait.h"
#include "helpers/descriptors.h"
#include "helpers/log_capture.h"
#include "helpers/waits.h"

namespace zq {
namespace {

using namespace test;

std::string sys(const char* function, uint32_t code) {
  return std::string(function) + " code " + std::to_string(code);
}

// What `f` throws: sys() of a JSysError, the message of any other JError, or "".
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

void sleepMs(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// A '1' or '0' for each of `n` looks whether `object` is signalled (taking it, as waits do).
std::string polls(JWaitableObject& object, int n) {
  std::string seen;
  for (int i = 0; i < n; ++i)
    seen += signalledNow(object) ? '1' : '0';
  return seen;
}

// Runs `f` on a thread of its own after `ms` milliseconds; joins it when destroyed.
struct After {
  After(int ms, std::function<void()> f)
      : thread([ms, f = std::move(f)] {
          sleepMs(ms);
          f();
        }) {}
  std::jthread thread;
};

void resumeFully(JThread& thread) {
  failureOf([&] {
    while (thread.resume() > 1) {
    }
  });
}

// Runs `body`. Leaving the scope (a failed ASSERT too), runs `release`, resumes fully and joins,
// as every subclass whose body uses its members must: never blocks the join.
class Worker : public JThread {
 public:
  Worker(
      std::string_view name, std::function<void()> body, std::function<void()> release = [] {})
      : JThread(name), body_(std::move(body)), release_(std::move(release)) {}
  ~Worker() override {
    release_();
    resumeFully(*this);
    join();
  }

 protected:
  void run() override { body_(); }

 private:
  std::function<void()> body_, release_;
};

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

// First of all: a timed wait that never gave up would hang every later test that has one.
TEST(WaitAll, TakesEveryObjectTogetherWhenTheLastIsSignalledOrNone) {
  JFlag flag(false, false);
  JSemaphore semaphore(0, 5);
  JWaitForMultipleObjects waiter(&flag, &semaphore, true);
  flag.set();
  EXPECT_THROW(returnsWithin(20000, "a wait-all with one of two signalled to time out",
                             [&] { waiter.wait(60); }),
               JTimeoutError);
  EXPECT_TRUE(flag.isSet());
  semaphore.release(2);
  EXPECT_EQ(indices(waiter, 2), "0-");
  EXPECT_EQ(semaphore.count(), 1);

  JFlag manual(true, true);
  JWaitableTimer timer;
  JWaitForMultipleObjects three(&manual, &semaphore, &timer, true), two(&manual, &semaphore, true);
  semaphore.wait(0);
  timer.set(20);
  const auto start = Clock::now();
  {
    After release(60, [&] { semaphore.release(); });
    EXPECT_EQ(three.wait(10000), 0);
    EXPECT_GE(msSince(start), 59);
  }
  EXPECT_EQ(polls(manual, 1) + polls(semaphore, 1) + polls(timer, 1), "100");
  {  // and waits again when an object is taken away meanwhile
    After change(20, [&] {
      manual.reset();
      semaphore.release();
    });
    EXPECT_THROW(two.wait(300), JTimeoutError);
  }
  EXPECT_EQ(semaphore.count(), 1);
  manual.set();
  EXPECT_EQ(two.wait(0), 0);
}

TEST(ThreadLife, HandleJoinSignalAndSuspensionsFollowEachRun) {
  JFlag release(true, false), stop(true, false);
  std::atomic<int> runs{0};
  std::string selfJoin;
  Worker thread(
      "life",
      [&] {
        ++runs;
        selfJoin = failureOf([&] { JThread::current()->join(); });
        release.wait(10000);
      },
      [&] { release.set(); });
  const std::string notRunning = sys("SuspendThread", ESRCH) + sys("ResumeThread", ESRCH);
  auto suspendAndResume = [&] {
    return failureOf([&] { thread.suspend(); }) + failureOf([&] { thread.resume(); });
  };
  EXPECT_EQ(std::tuple(thread.handle(), thread.threadId(), thread.tryJoin(), suspendAndResume()),
            std::tuple(-1, 0, false, notRunning));
  thread.start();
  const int handle = thread.handle();
  EXPECT_TRUE(handle >= 0 && thread.threadId() != 0);
  EXPECT_EQ(failureOf([&] { thread.start(); }), "thread already started");
  EXPECT_EQ(std::tuple(thread.tryJoin(), thread.handle()), std::tuple(false, handle));  // running
  for (int i = 0; i < JThread::kMaximumSuspendCount; ++i)
    thread.suspend();
  EXPECT_EQ(failureOf([&] { thread.suspend(); }), sys("SuspendThread", EOVERFLOW));
  resumeFully(thread);
  // Signalled from the end of its body until joined.
  JWaitForMultipleObjects waiter(&stop, &thread);
  EXPECT_THROW(waiter.wait(30), JTimeoutError);
  release.set();
  EXPECT_EQ((std::tuple{waiter.wait(10000), waiter.wait(0)}), std::tuple(1, 1));
  thread.suspend();  // never honoured
  EXPECT_TRUE(thread.tryJoin());
  EXPECT_EQ(std::tuple(thread.handle(), thread.tryJoin(), suspendAndResume(), selfJoin),
            std::tuple(-1, false, notRunning, "a thread cannot join itself"));
  thread.join();   // a join after the last does nothing
  thread.start();  // and the new run forgets the suspension
  thread.join();
  EXPECT_EQ(std::tuple(thread.handle(), thread.suspendCount(), runs.load()), std::tuple(-1, 0, 2));
}

TEST(ThreadLife, BodyRunsAndSleepsOnItsOwnNamedThread) {
  std::string seenName;
  int64_t seenTid = 0, sleptMs = 0;
  JThread* seenCurrent = nullptr;
  char systemName[32] = {};
  Worker thread("a-rather-long-thread-name", [&] {
    seenName = JLog::currentThreadName();
    seenTid = ::gettid();
    seenCurrent = JThread::current();
    ::pthread_getname_np(::pthread_self(), systemName, sizeof systemName);
    const auto start = Clock::now();
    JThread::sleep(60);
    sleptMs = msSince(start);
  });
  thread.start();
  thread.join();
  EXPECT_EQ(std::tuple(seenName, seenTid, seenCurrent, std::string(systemName)),
            std::tuple("a-rather-long-thread-name", int64_t{thread.threadId()}, &thread,
                       "a-rather-long-t"));
  EXPECT_TRUE(seenTid != ::gettid() && JThread::current() == nullptr);
  EXPECT_GE(sleptMs, 60);
  EXPECT_LT(sleptMs, 30000);  // milliseconds, not seconds
}

// The body uses no member once inside run(), so the base destructor may join it.
TEST(ThreadLife, AnAutoDeleteObjectDeletesItselfAndTheDestructorJoinsABodyNotJoined) {
  static JFlag entered, go, deleted;
  // Static: a repeated run starts afresh.
  entered.reset();
  go.reset();
  deleted.reset();
  struct Plain : JThread {
    Plain() : JThread("plain") {}
    ~Plain() override { deleted.set(); }
    void run() override {
      entered.set();
      go.wait(10000);
    }
  };
  auto* self = new Plain;  // owned by its own thread once started
  self->startAutoDelete(true);
  ASSERT_NO_THROW(entered.wait(10000));
  EXPECT_EQ(failureOf([&] { self->join(); }), "an auto-delete thread cannot be joined");
  EXPECT_FALSE(self->tryJoin());
  go.set();
  EXPECT_NO_THROW(deleted.wait(10000));
  auto thread = std::make_unique<Plain>();
  thread->start();
  ASSERT_NO_THROW(entered.wait(10000));
  const auto start = Clock::now();
  After release(50, [] { go.set(); });
  thread.reset();
  EXPECT_GE(msSince(start), 49);
  std::atomic<bool> ran{false};
  Worker owned("not-auto", [&] { ran = true; });
  owned.startAutoDelete(false, 0);
  owned.join();
  EXPECT_TRUE(ran);
}

// Start line, the body's records, end line: at level 3, or 9 naming what escaped the
// body. A line break ending a message arrives as a space.
TEST(ThreadLog, StartLineThenTheBodysRecordsThenTheEndLine) {
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[] {}, "('logger') terminated normally :"},
      {[] {}, "('') terminated normally :"},
      {[] { throw JTextError("queue broken"); },
       "('t') terminated due to uncaught error : queue broken "},
      {[] { throw "plain text"; },
       "('t') terminated due to uncaught string exception : plain text "},
      {[] { throw std::string("a string"); },
       "('t') terminated due to uncaught string exception : a string "},
      {[] { throw std::runtime_error("standard"); },
       "('t') terminated due to uncaught exception : standard "},
      {[] { throw 42; }, "('t') terminated due to an uncaught exception of unknown type "},
  };
  for (const auto& [end, endLine] : cases) {
    SCOPED_TRACE(endLine);
    const std::string name = endLine.substr(2, endLine.find('\'', 2) - 2);
    test::LogCapture capture((1u << kLevelDebug) | (1u << kLevelWarning));
    Worker thread(name, [&] {
      JLog::debugf("inside the body");
      end();
    });
    thread.start();
    const auto id = static_cast<unsigned>(thread.threadId());
    const int handle = thread.handle();
    thread.join();
    const auto records = capture.records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].text, jformat("The thread 0x%x%s has started with handle %d (0x%x). ", id,
                                       name.empty() ? "" : (" ('" + name + "')").c_str(), handle,
                                       static_cast<unsigned>(handle)));
    EXPECT_EQ(records[1].text, "inside the body");
    EXPECT_EQ(records[2].text, "The thread " + endLine);
    const bool normal = endLine.find("normally") != std::string::npos;
    EXPECT_EQ(std::tuple(records[0].level, records[1].level, records[2].level),
              std::tuple(kLevelDebug, kLevelDebug, normal ? kLevelDebug : kLevelWarning));
  }
}

// A wait blocked without limit wakes up to park; a parked thread takes no signal.
TEST(ThreadSuspend, CheckPointsParkTheThreadUntilTheLastResume) {
  JFlag stop(true, false);
  JSemaphore work(0, 100);
  const std::pair<const char*, std::function<void()>> cases[] = {
      {"blocked wait", [&] { JWaitForMultipleObjects(&stop, &work).wait(60000); }},
      {"checkSuspended",
       [] {
         JThread::checkSuspended();
         sleepMs(1);
       }},
      {"sleep", [] { JThread::sleep(1); }},
      {"timed-out wait", [] { EXPECT_THROW(JSemaphore(0, 1).wait(1), JTimeoutError); }}};
  for (const auto& [name, checkPoint] : cases) {
    SCOPED_TRACE(name);
    stop.reset();
    std::atomic<int> iterations{0};
    Worker thread(
        "loop",
        [&] {
          while (!stop.isSet()) {
            checkPoint();
            ++iterations;
          }
        },
        [&] { stop.set(); });
    work.release();  // lets a blocked wait through once
    thread.start();
    ASSERT_TRUE(eventually([&] { return iterations.load() > 0; }));
    EXPECT_EQ(
        (std::tuple{thread.resume(), thread.suspend(), thread.suspend(), thread.suspendCount()}),
        std::tuple(0, 0, 1, 2));
    ASSERT_TRUE(eventually([&] { return thread.isParked(); }));
    EXPECT_EQ(thread.resume(), 2);
    const int before = iterations.load(), queued = work.count();
    work.release();
    sleepMs(40);
    EXPECT_EQ((std::tuple{thread.isParked(), iterations.load(), work.count(), thread.resume()}),
              std::tuple(true, before, queued + 1, 1));
    ASSERT_TRUE(eventually([&] { return iterations.load() > before; }));
    EXPECT_TRUE(eventually([&] { return !thread.isParked(); }));  // the thread clears it on waking
  }
}

TEST(ThreadSuspend, ThreadAskedToSuspendWhileTakingASignalParksBeforeReturning) {
  // Always signalled; taking it blocks until the test has asked the taker to suspend.
  struct SuspendedWhileTaken : JWaitableObject {
    bool signalledLocked() const override { return true; }
    void consumeLocked() override {
      taken.set_value();
      asked.get_future().wait();
    }
    std::promise<void> taken, asked;
  } object;
  std::atomic<bool> returned{false};
  Worker thread("taker", [&] {
    object.wait(0);
    returned = true;
  });
  thread.start();
  ASSERT_EQ(object.taken.get_future().wait_for(std::chrono::seconds(10)),
            std::future_status::ready);
  thread.suspend();
  object.asked.set_value();
  ASSERT_TRUE(eventually([&] { return thread.isParked(); }));
  EXPECT_FALSE(returned.load());
  thread.resume();
  EXPECT_TRUE(eventually([&] { return returned.load(); }));
}

TEST(ThreadSuspend, SelfSuspensionWaitsForAResumeAndATimeOutRunsOnWhileParked) {
  JSemaphore never(0, 1);
  std::atomic<bool> entered{false}, timedOut{false};
  Worker thread("timed", [&] {
    JThread::current()->suspend();
    entered = true;
    timedOut = failureOf([&] { never.wait(500); }) == "Time out!";
  });
  thread.start();
  ASSERT_TRUE(eventually([&] { return thread.isParked(); }));
  sleepMs(30);
  EXPECT_FALSE(entered);
  thread.resume();
  ASSERT_TRUE(eventually([&] { return entered.load(); }));
  thread.suspend();
  ASSERT_TRUE(eventually([&] { return thread.isParked(); }));
  sleepMs(700);
  EXPECT_FALSE(timedOut);  // parked, even past its time-out
  thread.resume();
  ASSERT_TRUE(eventually([&] { return timedOut.load(); }, 2000));
}

TEST(WaitIndex, LowestSignalledIndexWinsAndOnlyAutoResetSignalsAreTaken) {
  JFlag stop(false, false), manual(true, false);
  JWaitableTimer timer;
  JSemaphore queued(0, 1000);
  JWaitForMultipleObjects waiter(&stop, &timer, &queued, &manual), blocked(&stop, &timer, &queued);
  manual.set(), queued.release(), stop.set();
  EXPECT_EQ(indices(waiter, 4), "0233");
  manual.reset();
  EXPECT_EQ(indices(waiter, 1), "-");
  {
    After release(30, [&] { queued.release(); });
    EXPECT_EQ(blocked.wait(10000), 2);  // woken with the index signalled later
  }
  timer.set(10);
  EXPECT_EQ(blocked.wait(10000), 1);
  // The array and vector constructors keep the order given too.
  JFlag f0(true, false), f2(true, false), f4(true, true);
  JWaitableObject* array[] = {&f4, &f0, &f2};
  EXPECT_EQ(JWaitForMultipleObjects(3, array).wait(0), 0);
  EXPECT_EQ(JWaitForMultipleObjects(std::vector<JWaitableObject*>{&f0, &f2, &f4}).wait(0), 2);
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
  // One object twice cannot give two signals at once to a wait-all.
  JSemaphore semaphore(2, 2);
  EXPECT_EQ(failureOf([&] { JWaitForMultipleObjects(&semaphore, &semaphore, true).wait(0); }),
            sys("WaitForMultipleObjects", EINVAL));
  EXPECT_EQ(semaphore.count(), 2);
  EXPECT_EQ(JWaitForMultipleObjects(&semaphore, &semaphore).wait(0), 0);
}

// Threads counting the times they took `target` (`once`: each ends after its first).
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
  ~Waiters() { stop(); }
  int wakeUps() const { return wakeUps_.load(); }
  int stop() {
    stop_.set(), threads_.clear();
    return wakeUps();
  }

 private:
  JFlag stop_{true, false};
  std::atomic<int> wakeUps_{0};
  std::vector<std::jthread> threads_;
};

// A manual-reset flag stays signalled: each of its waiters takes it once.
TEST(WaitConcurrency, ASignalWakesAsManyWaitersAsItSatisfies) {
  JFlag flag(false, false), manual(true, false);
  JWaitableTimer timer;
  JSemaphore semaphore(0, 100);
  const std::tuple<const char*, JWaitableObject*, std::function<void()>, int> cases[] = {
      {"auto-reset flag", &flag, [&] { flag.set(); }, 1},
      {"timer", &timer, [&] { timer.fireNow(); }, 1},
      {"semaphore", &semaphore, [&] { semaphore.release(); }, 1},
      {"semaphore by 3", &semaphore, [&] { semaphore.release(3); }, 3},
      {"manual-reset flag", &manual, [&] { manual.set(); }, 6}};
  for (const auto& [name, object, signal, woken] : cases) {
    SCOPED_TRACE(name);
    // One-shot waiters where a signal is for several: one waiter cannot take it all.
    Waiters waiters(6, *object, woken > 1);
    for (int round = 1; round * woken <= 6; ++round) {
      signal();
      ASSERT_TRUE(eventually([&] { return waiters.wakeUps() >= round * woken; }));
      sleepMs(15);  // time for a second, wrong winner to show up
      ASSERT_EQ(waiters.wakeUps(), round * woken);
    }
    EXPECT_EQ(semaphore.count(), 0);
  }
}

// Waiters on A, on B and wait-all ones on (A, B): each release is taken exactly once.
TEST(WaitConcurrency, WaitAllAndSingleWaitersNeverTakeASignalTwice) {
  constexpr int kReleases = 3000;
  JSemaphore a(0, 1000000), b(0, 1000000);
  std::atomic<bool> stop{false};
  std::atomic<int> takenBoth{0};
  std::vector<std::jthread> both;
  for (int i = 0; i < 2; ++i) {
    both.emplace_back([&] {
      JWaitForMultipleObjects all(&a, &b, true);
      while (!stop)
        failureOf([&] { all.wait(5), ++takenBoth; });
    });
  }
  Waiters onA(2, a), onB(2, b);
  for (int i = 0; i < kReleases; ++i)
    a.release(), b.release();
  EXPECT_TRUE(eventually([&] { return a.count() == 0 && b.count() == 0; }, 20000));
  stop = true;
  both.clear();
  EXPECT_EQ((std::tuple{onA.stop() + takenBoth, onB.stop() + takenBoth}),
            std::tuple(kReleases, kReleases));
}

TEST(Flag, ManualStaysSignalledAutoIsTakenOnceSetsMergeAndWaitsTimeOut) {
  JFlag manual(true, false), automatic(false, false), initialManual(true, true),
      initialAuto(false, true);
  const std::string unset = polls(manual, 1);
  manual.set();
  const std::string set = polls(manual, 2);
  manual.reset();
  automatic.set(), automatic.set();
  const std::string merged = polls(automatic, 2);
  automatic.set(), automatic.reset();
  EXPECT_EQ(unset + set + polls(manual, 1) + merged + polls(automatic, 1) +
                polls(initialManual, 2) + polls(initialAuto, 2),
            "01101001110");
  // A time-out expires no earlier than asked; zero only looks.
  const auto start = Clock::now();
  EXPECT_EQ(failureOf([&] { manual.wait(100); }) + failureOf([&] { manual.wait(0); }),
            "Time out!Time out!");
  EXPECT_GE(msSince(start), 99);
}

TEST(Semaphore, CountsWaitsAndReleasesAndFailuresLeaveTheCount) {
  JSemaphore semaphore(2, 5);
  EXPECT_EQ(polls(semaphore, 3), "110");
  EXPECT_EQ((std::tuple{semaphore.release(1), semaphore.release(2), semaphore.release()}),
            std::tuple(0, 1, 3));
  semaphore.wait(0);
  EXPECT_EQ((std::tuple{semaphore.release(), semaphore.count()}), std::tuple(3, 4));
  const std::tuple<int, int, int, uint32_t> failures[] = {
      {2, 2, 1, EOVERFLOW}, {1, 3, 3, EOVERFLOW}, {0, 3, 0, EINVAL}, {0, 3, -1, EINVAL}};
  for (auto [initial, maximum, n, code] : failures) {
    SCOPED_TRACE(testing::Message() << initial << "/" << maximum << " + " << n);
    JSemaphore one(initial, maximum);
    EXPECT_EQ(failureOf([&] { one.release(n); }), sys("ReleaseSemaphore", code));
    EXPECT_EQ(one.count(), initial);
  }
  for (auto [initial, maximum] : {std::pair{3, 2}, std::pair{-1, 2}, std::pair{0, 0}})
    EXPECT_EQ(failureOf([&] { JSemaphore bad(initial, maximum); }), sys("CreateSemaphore", EINVAL));
}

TEST(Timer, FiresAtItsDueTimeOrEveryPeriodAndArmingReplacesTheLast) {
  JWaitableTimer timer;
  EXPECT_THROW(timer.wait(50), JTimeoutError);  // not armed
  auto start = Clock::now();
  timer.set(400);
  EXPECT_THROW(timer.wait(50), JTimeoutError);
  timer.wait(10000);
  EXPECT_TRUE(msSince(start) >= 399 && msSince(start) < 5000);
  EXPECT_THROW(timer.wait(250), JTimeoutError);

  timer.setPeriod(500);
  start = Clock::now();
  timer.set(100);  // fires at 100, 600, 1100 ms
  sleepMs(800);
  EXPECT_EQ(polls(timer, 2), "10");   // the missed tick merged into one signal
  EXPECT_NO_THROW(timer.wait(5000));  // and ticks on, a period after the last tick
  EXPECT_TRUE(msSince(start) >= 1099 && msSince(start) < 5000);
  // A manual-reset timer stays signalled; arming again or a cancel clears a signal not taken.
  JWaitableTimer manual(true);
  manual.set(20);
  manual.wait(5000);
  EXPECT_EQ(polls(manual, 2), "11");
  manual.set(60000);
  EXPECT_EQ(polls(manual, 1), "0");
  timer.fireNow();
  timer.cancel();
  EXPECT_EQ(polls(timer, 1), "0");

  timer.setPeriod(0);
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

// One shared schedule: arming, re-arming, cancelling neither loses a timer nor holds one back.
TEST(Timer, ManyTimersEachFireAtTheirOwnTimeWhateverTheArmingOrder) {
  constexpr size_t kTimers = 64;
  std::vector<std::unique_ptr<JWaitableTimer>> timers;
  for (size_t i = 0; i < kTimers; ++i) {
    timers.push_back(std::make_unique<JWaitableTimer>(true));
    timers[i]->set(static_cast<int64_t>(i * 37 % kTimers) * 5);  // 0..315 ms, shuffled
  }
  for (size_t i = 0; i < kTimers; i += 5)
    timers[i]->set(600000);
  for (size_t i = 3; i < kTimers; i += 8)
    timers[i]->cancel();
  auto fires = [](size_t i) { return i % 5 != 0 && i % 8 != 3; };
  for (size_t i = 0; i < kTimers; ++i)
    EXPECT_TRUE(!fires(i) || failureOf([&] { timers[i]->wait(10000); }).empty()) << i;
  for (size_t i = 0; i < kTimers; ++i) {
    EXPECT_EQ(signalledNow(*timers[i]), fires(i)) << i;  // the manual-reset ones stay signalled
  }
}

// A timer moved into the place of a cancelled one may be due before the one now above it.
TEST(Timer, ATimerMovedIntoACancelledOnesPlaceIsNotHeldBehindALaterOne) {
  // Armed in this order the schedule's tree is [300, 60000, 350, 61000, 62000, 400]: cancelling
  // 61000 moves 400 under 60000, 70000 keeps it from being the tree's last, and once 300 and 350
  // have fired, 400 must come before 60000.
  const int64_t dues[] = {300, 60000, 350, 61000, 62000, 400, 70000};
  std::vector<std::unique_ptr<JWaitableTimer>> timers;
  for (const int64_t due : dues) {
    if (due == 70000)
      timers[3]->cancel();
    timers.push_back(std::make_unique<JWaitableTimer>());
    timers.back()->set(due);
  }
  EXPECT_NO_THROW(timers[5]->wait(10000));
}

TEST(WaitableResources, ObjectsAndThreadsHoldNoDescriptor) {
  // A host runs thousands of them under a limit of 1 024 descriptors.
  const auto before = openDescriptors();
  std::vector<std::unique_ptr<JWaitableObject>> objects;
  std::vector<std::unique_ptr<Worker>> threads;
  for (int i = 0; i < 2000; ++i) {
    objects.push_back(std::make_unique<JFlag>(true, false));
    objects.push_back(std::make_unique<JSemaphore>(0, 10));
    objects.push_back(std::make_unique<JWaitableTimer>());
    static_cast<JWaitableTimer&>(*objects.back()).set(600000);
    if (i % 40 == 0)
      threads.emplace_back(std::make_unique<Worker>("idle", [] {}))->start();
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
