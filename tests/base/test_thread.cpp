// JThread: life cycle and handle, join and tryJoin, auto-delete, names,
// priorities, errors escaping the body, and cooperative suspension.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/error.h"
#include "base/format.h"
#include "base/log.h"
#include "base/thread.h"
#include "base/wait.h"
#include "helpers/log_capture.h"
#include "helpers/waits.h"

namespace zq {
namespace {

using test::eventually;
using Clock = test::Clock;

// A thread whose body is a function; it joins in its own destructor, as every
// subclass whose body uses its members must.
class FunctionThread : public JThread {
 public:
  FunctionThread(std::string_view name, std::function<void()> body)
      : JThread(name), body_(std::move(body)) {}
  ~FunctionThread() override { join(); }

 protected:
  void run() override { body_(); }

 private:
  std::function<void()> body_;
};

// ---- life cycle -----------------------------------------------------------

TEST(ThreadLife, HandleIsSetWhileStartedAndClearedByJoin) {
  JFlag release(true, false);
  FunctionThread thread("life", [&] { release.wait(10000); });
  EXPECT_EQ(thread.handle(), -1);
  EXPECT_EQ(thread.threadId(), 0);
  thread.start();
  EXPECT_GE(thread.handle(), 0);
  EXPECT_NE(thread.threadId(), 0);
  release.set();
  thread.join();
  EXPECT_EQ(thread.handle(), -1);
  thread.join();  // a second join does nothing
  EXPECT_EQ(thread.handle(), -1);
}

TEST(ThreadLife, BodyRunsOnItsOwnNamedThread) {
  std::string seenName;
  int seenTid = 0;
  JThread* seenCurrent = nullptr;
  char systemName[32] = {};
  FunctionThread thread("a-rather-long-thread-name", [&] {
    seenName = JLog::currentThreadName();
    seenTid = static_cast<int>(::gettid());
    seenCurrent = JThread::current();
    ::pthread_getname_np(::pthread_self(), systemName, sizeof systemName);
  });
  thread.start();
  thread.join();
  EXPECT_EQ(seenName, "a-rather-long-thread-name");
  EXPECT_EQ(seenTid, thread.threadId());
  EXPECT_NE(seenTid, static_cast<int>(::gettid()));
  EXPECT_EQ(seenCurrent, &thread);
  EXPECT_STREQ(systemName, "a-rather-long-t");
  EXPECT_EQ(JThread::current(), nullptr);
  EXPECT_EQ(thread.name(), "a-rather-long-thread-name");
}

TEST(ThreadLife, StartingTwiceIsRefused) {
  JFlag release(true, false);
  FunctionThread thread("twice", [&] { release.wait(10000); });
  thread.start();
  EXPECT_THROW(thread.start(), JTextError);
  release.set();
}

TEST(ThreadLife, TryJoinIsFalseWhileRunningThenTrueOnce) {
  JFlag release(true, false);
  FunctionThread thread("try", [&] { release.wait(10000); });
  EXPECT_FALSE(thread.tryJoin());  // not started
  thread.start();
  const int handle = thread.handle();
  EXPECT_FALSE(thread.tryJoin());
  EXPECT_EQ(thread.handle(), handle);
  release.set();
  ASSERT_TRUE(eventually([&] { return thread.tryJoin(); }));
  EXPECT_EQ(thread.handle(), -1);
  EXPECT_FALSE(thread.tryJoin());
}

TEST(ThreadLife, JoinedThreadCanBeStartedAgain) {
  std::atomic<int> runs{0};
  FunctionThread thread("again", [&] { ++runs; });
  thread.start();
  thread.join();
  thread.start();
  EXPECT_GE(thread.handle(), 0);
  thread.join();
  EXPECT_EQ(runs.load(), 2);
}

TEST(ThreadLife, SleepLastsAtLeastTheTimeAsked) {
  for (bool onJThread : {false, true}) {
    int64_t elapsedMs = 0;
    auto sleeper = [&] {
      const auto start = Clock::now();
      JThread::sleep(60);
      elapsedMs =
          std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    };
    if (onJThread) {
      FunctionThread thread("sleeper", sleeper);
      thread.start();
      thread.join();
    } else {
      sleeper();
    }
    EXPECT_GE(elapsedMs, 60) << onJThread;
    EXPECT_LT(elapsedMs, 5000) << onJThread;
  }
}

TEST(ThreadLife, ThreadIsSignalledWhenItsBodyEnds) {
  JFlag release(true, false);
  JFlag stop(true, false);
  FunctionThread thread("ends", [&] { release.wait(10000); });
  thread.start();
  JWaitForMultipleObjects waiter(&stop, &thread);
  EXPECT_THROW(waiter.wait(30), JTimeoutError);
  release.set();
  EXPECT_EQ(waiter.wait(10000), 1);
  // Ended but not joined: it stays signalled and keeps its handle.
  EXPECT_EQ(waiter.wait(0), 1);
  EXPECT_GE(thread.handle(), 0);
  thread.join();
}

JFlag g_plainEntered(true, false);
JFlag g_plainRelease(true, false);

TEST(ThreadLife, DestructorWaitsForABodyThatWasNotJoined) {
  // The body uses no member once inside run(), so the base destructor may be
  // the one that joins it.
  struct Plain : JThread {
    Plain() : JThread("plain") {}
    void run() override {
      g_plainEntered.set();
      g_plainRelease.wait(10000);
    }
  };
  auto thread = std::make_unique<Plain>();
  thread->start();
  ASSERT_NO_THROW(g_plainEntered.wait(10000));
  std::atomic<bool> destroyed{false};
  std::thread destroyer([&] {
    thread.reset();
    destroyed = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(destroyed.load());
  g_plainRelease.set();
  destroyer.join();
  EXPECT_TRUE(destroyed.load());
}

TEST(ThreadLife, AThreadCannotJoinItself) {
  std::string message;
  FunctionThread* self = nullptr;
  FunctionThread thread("self", [&] {
    try {
      self->join();
    } catch (const JTextError& e) {
      message = e.message();
    }
  });
  self = &thread;
  thread.start();
  thread.join();
  EXPECT_EQ(message, "a thread cannot join itself");
}

// ---- auto-delete ----------------------------------------------------------

class SelfDeleting : public JThread {
 public:
  SelfDeleting(JFlag& started, JFlag& deleted)
      : JThread("auto"), started_(started), deleted_(deleted) {}
  ~SelfDeleting() override { deleted_.set(); }

 protected:
  void run() override {
    started_.set();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }

 private:
  JFlag& started_;
  JFlag& deleted_;
};

TEST(ThreadAutoDelete, ObjectDeletesItselfWhenTheBodyEnds) {
  JFlag started(true, false);
  JFlag deleted(true, false);
  auto* thread = new SelfDeleting(started, deleted);  // owned by its own thread once started
  thread->startAutoDelete(true);
  EXPECT_NO_THROW(started.wait(10000));
  EXPECT_NO_THROW(deleted.wait(10000));
}

TEST(ThreadAutoDelete, JoiningAnAutoDeleteThreadIsRefused) {
  JFlag started(true, false);
  JFlag deleted(true, false);
  JFlag release(true, false);
  class Held : public JThread {
   public:
    Held(JFlag& r, JFlag& d) : JThread("held"), release_(r), deleted_(d) {}
    ~Held() override { deleted_.set(); }
    void run() override { release_.wait(10000); }
    JFlag& release_;
    JFlag& deleted_;
  };
  auto* thread = new Held(release, deleted);  // owned by its own thread once started
  thread->startAutoDelete(true);
  EXPECT_TRUE(thread->autoDelete());
  EXPECT_THROW(thread->join(), JTextError);
  EXPECT_FALSE(thread->tryJoin());
  release.set();
  EXPECT_NO_THROW(deleted.wait(10000));
}

TEST(ThreadAutoDelete, FalseFlagKeepsTheOwnerInCharge) {
  std::atomic<bool> ran{false};
  FunctionThread thread("not-auto", [&] { ran = true; });
  thread.startAutoDelete(false, 0);
  thread.join();
  EXPECT_TRUE(ran.load());
  EXPECT_FALSE(thread.autoDelete());
}

// ---- errors escaping the body ---------------------------------------------

TEST(ThreadErrors, NothingThrownByTheBodyEscapesTheThread) {
  const std::function<void()> throwers[] = {
      [] { throw JTextError("body failed"); },
      [] { throw "a text"; },
      [] { throw std::string("a string"); },
      [] { throw std::runtime_error("a standard error"); },
      [] { throw 42; },
  };
  for (const auto& thrower : throwers) {
    FunctionThread thread("thrower", thrower);
    thread.start();
    thread.join();
    EXPECT_EQ(thread.handle(), -1);
  }
}

// ---- log lines ------------------------------------------------------------

constexpr uint32_t kDebugAndWarnings = (1u << kLevelDebug) | (1u << kLevelWarning);

// The in-process output writes every record on one line: the line break that
// ends some of the messages arrives as a space.
std::string oneLine(std::string message) {
  for (char& c : message) {
    if (c == '\n') {
      c = ' ';
    }
  }
  return message;
}

// The records that contain `text`, in order.
std::vector<test::LogCapture::Record> recordsWith(const test::LogCapture& capture,
                                                  std::string_view text) {
  std::vector<test::LogCapture::Record> found;
  for (const auto& record : capture.records()) {
    if (record.text.find(text) != std::string::npos) {
      found.push_back(record);
    }
  }
  return found;
}

TEST(ThreadLog, NamedThreadLogsStartAndNormalEnd) {
  test::LogCapture capture(kDebugAndWarnings);
  FunctionThread thread("logger", [] {});
  thread.start();
  const int handle = thread.handle();
  const int tid = thread.threadId();
  thread.join();
  const auto started = recordsWith(capture, "has started");
  ASSERT_EQ(started.size(), 1u);
  EXPECT_EQ(started[0].level, kLevelDebug);
  EXPECT_EQ(started[0].text,
            oneLine(jformat("The thread 0x%x ('logger') has started with handle %d (0x%x).\n",
                            static_cast<unsigned>(tid), handle, static_cast<unsigned>(handle))));
  const auto ended = recordsWith(capture, "terminated");
  ASSERT_EQ(ended.size(), 1u);
  EXPECT_EQ(ended[0].level, kLevelDebug);
  EXPECT_EQ(ended[0].text, "The thread ('logger') terminated normally :");
}

TEST(ThreadLog, UnnamedThreadLogsStartWithoutTheName) {
  test::LogCapture capture(kDebugAndWarnings);
  FunctionThread thread("", [] {});
  thread.start();
  const int handle = thread.handle();
  const int tid = thread.threadId();
  thread.join();
  const auto started = recordsWith(capture, "has started");
  ASSERT_EQ(started.size(), 1u);
  EXPECT_EQ(started[0].text,
            oneLine(jformat("The thread 0x%x has started with handle %d (0x%x).\n",
                            static_cast<unsigned>(tid), handle, static_cast<unsigned>(handle))));
  EXPECT_EQ(capture.count("The thread ('') terminated normally :"), 1u);
}

TEST(ThreadLog, StartLineComesBeforeAnythingTheBodyLogs) {
  test::LogCapture capture(kDebugAndWarnings);
  FunctionThread thread("first", [] { JLog::debugf("inside the body"); });
  thread.start();
  thread.join();
  std::vector<std::string> order;
  for (const auto& record : capture.records()) {
    order.push_back(record.text);
  }
  ASSERT_EQ(order.size(), 3u);
  EXPECT_NE(order[0].find("has started"), std::string::npos);
  EXPECT_EQ(order[1], "inside the body");
  EXPECT_NE(order[2].find("terminated normally"), std::string::npos);
}

TEST(ThreadLog, UncaughtErrorsAreLoggedAtLevelNine) {
  struct Case {
    std::function<void()> thrower;
    std::string expected;
  };
  const Case cases[] = {
      {[] { throw JTextError("queue broken"); },
       "The thread ('thrower') terminated due to uncaught error : queue broken\n"},
      {[] { throw "plain text"; },
       "The thread ('thrower') terminated due to uncaught string exception : plain text\n"},
      {[] { throw std::string("a string"); },
       "The thread ('thrower') terminated due to uncaught string exception : a string\n"},
      {[] { throw std::runtime_error("standard"); },
       "The thread ('thrower') terminated due to uncaught exception : standard\n"},
      {[] { throw 42; },
       "The thread ('thrower') terminated due to an uncaught exception of unknown type\n"},
  };
  for (const Case& c : cases) {
    test::LogCapture capture(kDebugAndWarnings);
    FunctionThread thread("thrower", c.thrower);
    thread.start();
    thread.join();
    const auto ended = recordsWith(capture, "terminated");
    ASSERT_EQ(ended.size(), 1u) << c.expected;
    EXPECT_EQ(ended[0].level, kLevelWarning);
    EXPECT_EQ(ended[0].text, oneLine(c.expected));
  }
}

// ---- priorities -----------------------------------------------------------

TEST(ThreadPriority, LowerPriorityIsAppliedAsANiceValue) {
  int niceInside = 0;
  if (::getpriority(PRIO_PROCESS, 0) > 10) {
    GTEST_SKIP() << "the test runs at a lower priority than the one asked for";
  }
  FunctionThread thread(
      "low", [&] { niceInside = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid())); });
  thread.start(-2);
  thread.join();
  EXPECT_EQ(thread.priority(), -2);
  EXPECT_EQ(niceInside, 10);
}

TEST(ThreadPriority, RaisingNeverFailsForLackOfPermission) {
  for (int priority : {1, 2, JThread::kTimeCritical, -15}) {
    std::atomic<bool> ran{false};
    FunctionThread thread("prio", [&] { ran = true; });
    EXPECT_NO_THROW(thread.start(priority));
    thread.join();
    EXPECT_TRUE(ran.load()) << priority;
  }
}

// ---- suspension -----------------------------------------------------------

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
  } catch (const JError& e) {
    logCaught(e);
  }
}

TEST(ThreadSuspend, NotStartedOrJoinedThreadCannotBeSuspended) {
  FunctionThread thread("never", [] {});
  for (int pass = 0; pass < 2; ++pass) {
    try {
      thread.suspend();
      FAIL() << "suspend succeeded";
    } catch (const JSysError& e) {
      EXPECT_STREQ(e.function(), "SuspendThread");
      EXPECT_EQ(e.code(), static_cast<uint32_t>(ESRCH));
    }
    try {
      thread.resume();
      FAIL() << "resume succeeded";
    } catch (const JSysError& e) {
      EXPECT_STREQ(e.function(), "ResumeThread");
    }
    thread.start();
    thread.join();
  }
}

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
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  EXPECT_EQ(taken.load(), 0);
  EXPECT_EQ(work.count(), 1);

  EXPECT_EQ(thread.resume(), 1);
  ASSERT_TRUE(eventually([&] { return taken.load() == 1; }));
  EXPECT_FALSE(thread.isParked());
  EXPECT_EQ(work.count(), 0);
  stop.set();
}

TEST(ThreadSuspend, CheckPointParksARunningLoop) {
  std::atomic<bool> stop{false};
  std::atomic<int> iterations{0};
  FunctionThread thread("loop", [&] {
    while (!stop) {
      JThread::checkSuspended();
      ++iterations;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  thread.start();
  OnExit cleanup([&] {
    stop = true;
    resumeFully(thread);
  });
  ASSERT_TRUE(eventually([&] { return iterations.load() > 0; }));
  thread.suspend();
  ASSERT_TRUE(eventually([&] { return thread.isParked(); }));
  const int before = iterations.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(iterations.load(), before);
  thread.resume();
  ASSERT_TRUE(eventually([&] { return iterations.load() > before; }));
  stop = true;
}

TEST(ThreadSuspend, SuspensionsCountAndResumeAtZeroDoesNothing) {
  std::atomic<bool> stop{false};
  std::atomic<int> iterations{0};
  FunctionThread thread("counted", [&] {
    while (!stop) {
      JThread::sleep(1);
      ++iterations;
    }
  });
  thread.start();
  OnExit cleanup([&] {
    stop = true;
    resumeFully(thread);
  });
  EXPECT_EQ(thread.resume(), 0);
  EXPECT_EQ(thread.suspend(), 0);
  EXPECT_EQ(thread.suspend(), 1);
  EXPECT_EQ(thread.suspendCount(), 2);
  ASSERT_TRUE(eventually([&] { return thread.isParked(); }));
  EXPECT_EQ(thread.resume(), 2);
  const int before = iterations.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(40));
  EXPECT_TRUE(thread.isParked());
  EXPECT_EQ(iterations.load(), before);
  EXPECT_EQ(thread.resume(), 1);
  ASSERT_TRUE(eventually([&] { return iterations.load() > before; }));
  stop = true;
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
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_FALSE(passed.load());
  thread.resume();
  ASSERT_TRUE(eventually([&] { return passed.load(); }));
}

TEST(ThreadSuspend, TimeOutKeepsRunningWhileParked) {
  JSemaphore never(0, 1);
  std::atomic<bool> entered{false};
  std::atomic<bool> timedOut{false};
  FunctionThread thread("timed", [&] {
    entered = true;
    try {
      // Long enough that the suspension below lands inside the wait even
      // when this machine is slow to schedule the test's own thread.
      never.wait(500);
    } catch (const JTimeoutError&) {
      timedOut = true;
    }
  });
  thread.start();
  OnExit cleanup([&] { resumeFully(thread); });
  ASSERT_TRUE(eventually([&] { return entered.load(); }));
  thread.suspend();
  ASSERT_TRUE(eventually([&] { return thread.isParked(); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  EXPECT_FALSE(timedOut.load());  // parked, even past its time-out
  thread.resume();
  // Resumed past its deadline, the wait ends at once.
  ASSERT_TRUE(eventually([&] { return timedOut.load(); }, 2000));
}

TEST(ThreadSuspend, RestartForgetsEarlierSuspensions) {
  std::atomic<int> runs{0};
  std::atomic<bool> release{false};
  std::atomic<bool> entered{false};
  FunctionThread thread("restart", [&] {
    entered = true;
    while (!release) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ++runs;
  });
  thread.start();
  OnExit cleanup([&] { release = true; });
  ASSERT_TRUE(eventually([&] { return entered.load(); }));
  thread.suspend();  // never honoured: the body passes no check point
  release = true;
  thread.join();
  thread.start();
  thread.join();
  EXPECT_EQ(runs.load(), 2);
  EXPECT_EQ(thread.suspendCount(), 0);
}

TEST(ThreadSuspend, CountIsBounded) {
  JFlag release(true, false);
  FunctionThread thread("bounded", [&] { release.wait(10000); });
  thread.start();
  OnExit cleanup([&] {
    release.set();
    resumeFully(thread);
  });
  for (int i = 0; i < JThread::kMaximumSuspendCount; ++i) {
    thread.suspend();
  }
  try {
    thread.suspend();
    FAIL() << "suspend went past the maximum";
  } catch (const JSysError& e) {
    EXPECT_STREQ(e.function(), "SuspendThread");
  }
  EXPECT_EQ(thread.suspendCount(), JThread::kMaximumSuspendCount);
  while (thread.resume() > 1) {
  }
  release.set();
  thread.join();
}

}  // namespace
}  // namespace zq
