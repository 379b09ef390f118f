// JThread: life cycle and handle, join and tryJoin, auto-delete, names, log
// lines, priorities, errors escaping the body, and cooperative suspension.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/format.h"
#include "base/log.h"
#include "base/wait.h"
#include "helpers/log_capture.h"
#include "helpers/waits.h"
#include "test_wait_support.h"

namespace zq {
namespace {

using namespace test;

// Runs its function when the test leaves its scope, also through a failed
// ASSERT, so that a parked or looping body never blocks the thread's join.
class OnExit {
 public:
  explicit OnExit(std::function<void()> f) : f_(std::move(f)) {}
  ~OnExit() { f_(); }

 private:
  std::function<void()> f_;
};

void resumeFully(JThread& thread) {
  try {
    while (thread.resume() > 1) {
    }
  } catch (const JError&) {
  }
}

// ---- life cycle -----------------------------------------------------------

TEST(ThreadLife, HandleJoinAndSuspensionsFollowEachRun) {
  JFlag release(true, false);
  std::atomic<int> runs{0};
  FunctionThread thread("life", [&] { ++runs, release.wait(10000); });
  const std::string notRunning = sys("SuspendThread", ESRCH) + sys("ResumeThread", ESRCH);
  auto suspendAndResume = [&] {
    return failureOf([&] { thread.suspend(); }) + failureOf([&] { thread.resume(); });
  };
  EXPECT_EQ(std::tuple(thread.handle(), thread.threadId(), thread.tryJoin(), suspendAndResume()),
            std::tuple(-1, 0, false, notRunning));
  thread.start();
  OnExit cleanup([&] { release.set(), resumeFully(thread); });
  const int handle = thread.handle();
  EXPECT_GE(handle, 0);
  EXPECT_NE(thread.threadId(), 0);
  EXPECT_EQ(failureOf([&] { thread.start(); }), "thread already started");
  EXPECT_FALSE(thread.tryJoin());  // running
  EXPECT_EQ(thread.handle(), handle);
  for (int i = 0; i < JThread::kMaximumSuspendCount; ++i) {
    thread.suspend();
  }
  EXPECT_EQ(failureOf([&] { thread.suspend(); }), sys("SuspendThread", EOVERFLOW));
  EXPECT_EQ(thread.suspendCount(), JThread::kMaximumSuspendCount);
  resumeFully(thread);
  release.set();
  ASSERT_NO_THROW(thread.wait(10000));  // ended, not joined
  thread.suspend();                     // never honoured
  EXPECT_TRUE(thread.tryJoin());
  EXPECT_EQ(std::tuple(thread.handle(), thread.tryJoin(), suspendAndResume()),
            std::tuple(-1, false, notRunning));
  thread.join();   // a join after the last does nothing
  thread.start();  // and the new run forgets the suspension
  thread.join();
  EXPECT_EQ(std::tuple(thread.handle(), thread.suspendCount(), runs.load()), std::tuple(-1, 0, 2));
}

TEST(ThreadLife, BodyRunsAndSleepsOnItsOwnNamedThread) {
  std::string seenName;
  int seenTid = 0;
  int64_t sleptMs = 0;
  JThread* seenCurrent = nullptr;
  char systemName[32] = {};
  FunctionThread thread("a-rather-long-thread-name", [&] {
    seenName = JLog::currentThreadName();
    seenTid = static_cast<int>(::gettid());
    seenCurrent = JThread::current();
    ::pthread_getname_np(::pthread_self(), systemName, sizeof systemName);
    const auto start = Clock::now();
    JThread::sleep(60);
    sleptMs = msSince(start);
  });
  thread.start();
  thread.join();
  EXPECT_EQ(std::tuple(seenName, seenTid, seenCurrent, std::string(systemName)),
            std::tuple("a-rather-long-thread-name", thread.threadId(), &thread, "a-rather-long-t"));
  EXPECT_NE(seenTid, static_cast<int>(::gettid()));
  EXPECT_EQ(JThread::current(), nullptr);
  EXPECT_GE(sleptMs, 60);
  EXPECT_LT(sleptMs, 5000);
}

TEST(ThreadLife, ThreadIsSignalledFromTheEndOfItsBodyUntilJoined) {
  JFlag release(true, false), stop(true, false);
  std::string selfJoin;
  FunctionThread* self = nullptr;
  FunctionThread thread("ends", [&] {
    selfJoin = failureOf([&] { self->join(); });
    release.wait(10000);
  });
  self = &thread;
  thread.start();
  JWaitForMultipleObjects waiter(&stop, &thread);
  EXPECT_THROW(waiter.wait(30), JTimeoutError);
  release.set();
  EXPECT_EQ(waiter.wait(10000), 1);
  EXPECT_EQ(waiter.wait(0), 1);
  EXPECT_GE(thread.handle(), 0);
  thread.join();
  EXPECT_EQ(selfJoin, "a thread cannot join itself");
}

TEST(ThreadLife, DestructorJoinsABodyThatWasNotJoined) {
  // The body uses no member once inside run(), so the base destructor may be
  // the one that joins it.
  static JFlag entered(true, false), go(true, false);
  struct Plain : JThread {
    Plain() : JThread("plain") {}
    void run() override { entered.set(), go.wait(10000); }
  };
  auto thread = std::make_unique<Plain>();
  thread->start();
  ASSERT_NO_THROW(entered.wait(10000));
  const auto start = Clock::now();
  After release(50, [] { go.set(); });
  thread.reset();
  EXPECT_GE(msSince(start), 49);
}

// ---- auto-delete ----------------------------------------------------------

TEST(ThreadAutoDelete, ObjectDeletesItselfWhenTheBodyEndsAndCannotBeJoined) {
  JFlag deleted(true, false), release(true, false);
  struct Held : JThread {
    Held(JFlag& r, JFlag& d) : JThread("held"), release_(r), deleted_(d) {}
    ~Held() override { deleted_.set(); }
    void run() override { release_.wait(10000); }
    JFlag& release_;
    JFlag& deleted_;
  };
  auto* thread = new Held(release, deleted);  // owned by its own thread once started
  thread->startAutoDelete(true);
  EXPECT_EQ(failureOf([&] { thread->join(); }), "an auto-delete thread cannot be joined");
  EXPECT_FALSE(thread->tryJoin());
  release.set();
  EXPECT_NO_THROW(deleted.wait(10000));

  std::atomic<bool> ran{false};
  FunctionThread owned("not-auto", [&] { ran = true; });
  owned.startAutoDelete(false, 0);
  owned.join();
  EXPECT_TRUE(ran.load());
}

// ---- log lines --------------------------------------------------------------

// The start line comes before anything the body logs, the end line after it:
// at level 3 for a normal end, at level 9 naming what escaped the body, which
// goes no further. The in-process output writes every record on one line: the
// line break that ends some of the messages arrives as a space.
TEST(ThreadLog, StartLineThenTheBodysRecordsThenTheEndLine) {
  struct Case {
    const char* name;
    std::function<void()> end;
    std::string endLine;
  };
  const Case cases[] = {
      {"logger", [] {}, "('logger') terminated normally :"},
      {"", [] {}, "('') terminated normally :"},
      {"t", [] { throw JTextError("queue broken"); },
       "('t') terminated due to uncaught error : queue broken "},
      {"t", [] { throw "plain text"; },
       "('t') terminated due to uncaught string exception : plain text "},
      {"t", [] { throw std::string("a string"); },
       "('t') terminated due to uncaught string exception : a string "},
      {"t", [] { throw std::runtime_error("standard"); },
       "('t') terminated due to uncaught exception : standard "},
      {"t", [] { throw 42; }, "('t') terminated due to an uncaught exception of unknown type "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.endLine);
    test::LogCapture capture((1u << kLevelDebug) | (1u << kLevelWarning));
    FunctionThread thread(c.name, [&] { JLog::debugf("inside the body"), c.end(); });
    thread.start();
    const auto id = static_cast<unsigned>(thread.threadId());
    const int handle = thread.handle();
    thread.join();
    const std::string who = *c.name != '\0' ? jformat(" ('%s')", c.name) : "";
    const auto records = capture.records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].text, jformat("The thread 0x%x%s has started with handle %d (0x%x). ", id,
                                       who.c_str(), handle, static_cast<unsigned>(handle)));
    EXPECT_EQ(records[1].text, "inside the body");
    EXPECT_EQ(records[2].text, "The thread " + c.endLine);
    EXPECT_EQ(
        std::tuple(records[0].level, records[1].level, records[2].level),
        std::tuple(kLevelDebug, kLevelDebug,
                   c.endLine.find("normally") != std::string::npos ? kLevelDebug : kLevelWarning));
  }
}

// ---- priorities -------------------------------------------------------------

TEST(ThreadPriority, LowerIsANiceValueAndRaisingNeverFailsForLackOfPermission) {
  int niceInside = 0;
  FunctionThread low(
      "low", [&] { niceInside = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid())); });
  low.start(-2);
  low.join();
  if (::getpriority(PRIO_PROCESS, 0) <= 10) {  // unless the test runs lower already
    EXPECT_EQ(niceInside, 10);
  }
  for (int priority : {1, 2, JThread::kTimeCritical, -15}) {
    std::atomic<bool> ran{false};
    FunctionThread thread("prio", [&] { ran = true; });
    EXPECT_NO_THROW(thread.start(priority));
    thread.join();
    EXPECT_TRUE(ran.load()) << priority;
  }
}

// ---- suspension -------------------------------------------------------------

TEST(ThreadSuspend, ThreadBlockedInAWaitParksAndTakesNoSignal) {
  JSemaphore work(0, 10);
  JFlag stop(true, false);
  std::atomic<int> taken{0};
  FunctionThread thread("worker", [&] {
    JWaitForMultipleObjects waiter(&stop, &work);
    while (waiter.wait(20000) == 1) {
      ++taken;
    }
  });
  thread.start();
  OnExit cleanup([&] {
    stop.set();
    resumeFully(thread);
  });
  EXPECT_EQ(thread.suspend(), 0);
  ASSERT_TRUE(eventually([&] { return thread.isParked(); }));
  work.release();
  sleepMs(60);
  EXPECT_EQ(taken.load(), 0);
  EXPECT_EQ(work.count(), 1);
  EXPECT_EQ(thread.resume(), 1);
  ASSERT_TRUE(eventually([&] { return taken.load() == 1; }));
  EXPECT_FALSE(thread.isParked());
}

// A body passing a check point in a loop parks there; suspensions count, a
// resume at zero does nothing, and a thread may suspend itself.
TEST(ThreadSuspend, CheckPointsParkARunningLoopUntilTheLastResume) {
  struct Case {
    const char* name;
    std::function<void()> checkPoint;
  };
  const Case cases[] = {{"checkSuspended", [] { JThread::checkSuspended(), sleepMs(1); }},
                        {"sleep", [] { JThread::sleep(1); }},
                        {"wait", [] { EXPECT_THROW(JSemaphore(0, 1).wait(1), JTimeoutError); }}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::atomic<bool> stop{false};
    std::atomic<int> iterations{0};
    FunctionThread thread("loop", [&] {
      while (!stop) {
        c.checkPoint();
        ++iterations;
      }
    });
    thread.start();
    OnExit cleanup([&] {
      stop = true;
      resumeFully(thread);
    });
    ASSERT_TRUE(eventually([&] { return iterations.load() > 0; }));
    EXPECT_EQ(thread.resume(), 0);
    EXPECT_EQ(thread.suspend(), 0);
    EXPECT_EQ(thread.suspend(), 1);
    EXPECT_EQ(thread.suspendCount(), 2);
    ASSERT_TRUE(eventually([&] { return thread.isParked(); }));
    EXPECT_EQ(thread.resume(), 2);
    const int before = iterations.load();
    sleepMs(40);
    EXPECT_TRUE(thread.isParked());
    EXPECT_EQ(iterations.load(), before);
    EXPECT_EQ(thread.resume(), 1);
    ASSERT_TRUE(eventually([&] { return iterations.load() > before; }));
  }
}

// Always signalled; taking it blocks until the test has asked the taking
// thread to suspend, so that the request lands inside the wait after the
// signal was taken.
class SuspendedWhileTaken : public JWaitableObject {
 public:
  std::promise<void> taken, asked;

 protected:
  bool signalledLocked() const override { return true; }
  void consumeLocked() override { taken.set_value(), asked.get_future().wait(); }
};

TEST(ThreadSuspend, ThreadAskedToSuspendWhileTakingASignalParksBeforeReturning) {
  SuspendedWhileTaken object;
  std::atomic<bool> returned{false};
  FunctionThread thread("taker", [&] { object.wait(0), returned = true; });
  thread.start();
  OnExit cleanup([&] { resumeFully(thread); });
  ASSERT_EQ(object.taken.get_future().wait_for(std::chrono::seconds(10)),
            std::future_status::ready);
  thread.suspend();
  object.asked.set_value();
  ASSERT_TRUE(eventually([&] { return thread.isParked(); }));
  EXPECT_FALSE(returned.load());
  thread.resume();
  EXPECT_TRUE(eventually([&] { return returned.load(); }));
}

TEST(ThreadSuspend, ThreadSuspendingItselfWaitsForAResume) {
  std::atomic<bool> passed{false};
  FunctionThread thread("self-suspend", [&] {
    JThread::current()->suspend();
    passed = true;
  });
  thread.start();
  OnExit cleanup([&] { resumeFully(thread); });
  ASSERT_TRUE(eventually([&] { return thread.isParked(); }));
  sleepMs(30);
  EXPECT_FALSE(passed.load());
  thread.resume();
  ASSERT_TRUE(eventually([&] { return passed.load(); }));
}

TEST(ThreadSuspend, TimeOutKeepsRunningWhileParked) {
  JSemaphore never(0, 1);
  std::atomic<bool> entered{false}, timedOut{false};
  FunctionThread thread("timed", [&] {
    entered = true;
    // Long enough that the suspension below lands inside the wait even when
    // this machine is slow to schedule the test's own thread.
    timedOut = failureOf([&] { never.wait(500); }) == "Time out!";
  });
  thread.start();
  OnExit cleanup([&] { resumeFully(thread); });
  ASSERT_TRUE(eventually([&] { return entered.load(); }));
  thread.suspend();
  ASSERT_TRUE(eventually([&] { return thread.isParked(); }));
  sleepMs(700);
  EXPECT_FALSE(timedOut.load());  // parked, even past its time-out
  thread.resume();
  // Resumed past its deadline, the wait ends at once.
  ASSERT_TRUE(eventually([&] { return timedOut.load(); }, 2000));
}

}  // namespace
}  // namespace zq
