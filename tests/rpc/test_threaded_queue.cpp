// Tests of JThreadedQueue: start and stop with and without the remaining
// messages, dropped posts, the capacity limit, the handled flag, errors in
// handlers, and ordering and shutdown races between posting threads.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "base/error.h"
#include "helpers/log_capture.h"
#include "rpc/threaded_queue.h"

namespace zq {
namespace {

using std::chrono::milliseconds;

// A payload that counts how many of its kind are alive, so that a test sees
// every message destroyed exactly once, handled or not.
std::atomic<int> g_alive{0};

struct Payload {
  explicit Payload(int v) : value(v) { ++g_alive; }
  ~Payload() { --g_alive; }
  Payload(const Payload&) = delete;
  Payload& operator=(const Payload&) = delete;
  int value;
};
using Message = std::unique_ptr<Payload>;

Message make(int value) {
  return std::make_unique<Payload>(value);
}

// Records what it handles. A message of value `kBlock` holds the handler
// until the test opens the gate, or until stop() is requested when
// `waitForStop` is set; a message of value `kThrow` throws.
class RecordingQueue : public JThreadedQueue<Message> {
 public:
  static constexpr int kBlock = -1;
  static constexpr int kThrow = -2;

  explicit RecordingQueue(bool waitForStop = false)
      : JThreadedQueue<Message>("RecordingQueue"), waitForStop_(waitForStop) {}
  ~RecordingQueue() override { stop(false); }

  std::vector<int> handled() const {
    std::lock_guard lock(mutex_);
    return handled_;
  }
  std::vector<int> handlerThreads() const {
    std::lock_guard lock(mutex_);
    return threads_;
  }
  bool waitHandledCount(size_t n, milliseconds limit = milliseconds(5000)) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return handled_.size() >= n; });
  }
  bool waitBlocked(milliseconds limit = milliseconds(5000)) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return blocked_; });
  }
  void open() {
    std::lock_guard lock(mutex_);
    gateOpen_ = true;
    changed_.notify_all();
  }
  bool sawStopRequest() const { return sawStop_; }

 protected:
  void handleMsg(Message& message) override {
    const int value = message->value;
    if (value == kBlock) {
      std::unique_lock lock(mutex_);
      blocked_ = true;
      changed_.notify_all();
      if (waitForStop_) {
        lock.unlock();
        for (int i = 0; i < 500 && !stopRequested(); ++i) {
          std::this_thread::sleep_for(milliseconds(10));
        }
        sawStop_ = stopRequested();
        lock.lock();
      } else {
        changed_.wait_for(lock, milliseconds(5000), [&] { return gateOpen_; });
      }
    }
    if (value == kThrow) {
      throw JTextError("handler failed");
    }
    std::lock_guard lock(mutex_);
    handled_.push_back(value);
    threads_.push_back(static_cast<int>(::gettid()));
    changed_.notify_all();
  }

 private:
  const bool waitForStop_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<int> handled_;
  std::vector<int> threads_;
  bool blocked_ = false;
  bool gateOpen_ = false;
  std::atomic<bool> sawStop_{false};
};

class ThreadedQueueTest : public ::testing::Test {
 protected:
  void SetUp() override { aliveBefore_ = g_alive.load(); }
  void TearDown() override { EXPECT_EQ(g_alive.load(), aliveBefore_) << "a message leaked"; }
  int aliveBefore_ = 0;
};

// ---- start, stop and dropped posts ----------------------------------------

using QueueLifecycle = ThreadedQueueTest;

TEST_F(QueueLifecycle, PostBeforeStartIsDroppedAndFlagged) {
  RecordingQueue queue;
  JFlag handled;
  queue.postMsg(make(1), &handled);
  EXPECT_TRUE(handled.isSet());
  EXPECT_EQ(g_alive.load(), aliveBefore_);
  queue.start();
  queue.postMsg(make(2));
  ASSERT_TRUE(queue.waitHandledCount(1));
  queue.stop(true);
  EXPECT_EQ(queue.handled(), std::vector<int>{2});
}

TEST_F(QueueLifecycle, PostAfterStopIsDropped) {
  RecordingQueue queue;
  queue.start();
  EXPECT_TRUE(queue.isStarted());
  queue.stop(false);
  EXPECT_FALSE(queue.isStarted());
  JFlag handled;
  queue.postMsg(make(3), &handled);
  EXPECT_TRUE(handled.isSet());
  EXPECT_EQ(queue.pendingCount(), 0u);
  EXPECT_TRUE(queue.handled().empty());
}

TEST_F(QueueLifecycle, StopWithoutProcessingDestroysTheQueuedMessages) {
  RecordingQueue queue(/*waitForStop=*/true);
  queue.start();
  JFlag blockDone, secondDone, thirdDone;
  queue.postMsg(make(RecordingQueue::kBlock), &blockDone);
  ASSERT_TRUE(queue.waitBlocked());
  queue.postMsg(make(2), &secondDone);
  queue.postMsg(make(3), &thirdDone);
  queue.stop(false);
  EXPECT_TRUE(queue.sawStopRequest());
  // The message in progress ran to its end; the others never reached the
  // handler, and every waiter was released.
  EXPECT_EQ(queue.handled(), std::vector<int>{RecordingQueue::kBlock});
  EXPECT_TRUE(blockDone.isSet());
  EXPECT_TRUE(secondDone.isSet());
  EXPECT_TRUE(thirdDone.isSet());
  EXPECT_EQ(g_alive.load(), aliveBefore_);
}

TEST_F(QueueLifecycle, StopWithProcessingHandlesTheRestOnTheQueueThread) {
  RecordingQueue queue(/*waitForStop=*/true);
  queue.start();
  queue.postMsg(make(RecordingQueue::kBlock));
  ASSERT_TRUE(queue.waitBlocked());
  queue.postMsg(make(2));
  queue.postMsg(make(3));
  queue.stop(true);
  EXPECT_TRUE(queue.sawStopRequest());
  EXPECT_EQ(queue.handled(), (std::vector<int>{RecordingQueue::kBlock, 2, 3}));
  const std::vector<int> threads = queue.handlerThreads();
  ASSERT_EQ(threads.size(), 3u);
  EXPECT_NE(threads[1], static_cast<int>(::gettid()));
  EXPECT_EQ(threads[1], threads[0]);
  EXPECT_EQ(threads[2], threads[0]);
}

TEST_F(QueueLifecycle, CanBeStartedAgainAfterStop) {
  RecordingQueue queue;
  queue.start();
  queue.postMsg(make(1));
  ASSERT_TRUE(queue.waitHandledCount(1));
  queue.stop(false);
  queue.start();
  queue.postMsg(make(2));
  ASSERT_TRUE(queue.waitHandledCount(2));
  queue.stop(false);
  EXPECT_EQ(queue.handled(), (std::vector<int>{1, 2}));
}

TEST_F(QueueLifecycle, StartTwiceKeepsTheFirstCapacity) {
  RecordingQueue queue;
  queue.start(0, 1);
  queue.start(0, 50);
  queue.postMsg(make(RecordingQueue::kBlock));
  ASSERT_TRUE(queue.waitBlocked());
  queue.postMsg(make(1));
  EXPECT_THROW(queue.postMsg(make(2)), JSysError);
  queue.open();
  queue.stop(true);
}

TEST_F(QueueLifecycle, StopOfAStoppedQueueDoesNothing) {
  RecordingQueue queue;
  queue.stop(true);
  queue.stop(false);
  EXPECT_FALSE(queue.isStarted());
}

// ---- capacity ---------------------------------------------------------------

using QueueCapacity = ThreadedQueueTest;

TEST_F(QueueCapacity, APostBeyondTheCapacityThrowsAndKeepsTheMessageOut) {
  RecordingQueue queue;
  queue.start(0, 2);
  queue.postMsg(make(RecordingQueue::kBlock));
  ASSERT_TRUE(queue.waitBlocked());  // taken off: no longer counted
  queue.postMsg(make(1));
  queue.postMsg(make(2));
  JFlag refusedDone;
  try {
    queue.postMsg(make(3), &refusedDone);
    FAIL() << "a third message fitted into a queue of two";
  } catch (const JSysError& e) {
    EXPECT_STREQ(e.function(), "ReleaseSemaphore");
  }
  EXPECT_FALSE(refusedDone.isSet());
  EXPECT_EQ(queue.pendingCount(), 2u);
  queue.open();
  ASSERT_TRUE(queue.waitHandledCount(3));
  // Room again once the thread took messages off.
  queue.postMsg(make(4));
  ASSERT_TRUE(queue.waitHandledCount(4));
  queue.stop(false);
  EXPECT_EQ(queue.handled(), (std::vector<int>{RecordingQueue::kBlock, 1, 2, 4}));
}

// ---- the handled flag and failing handlers ----------------------------------

using QueueHandledFlag = ThreadedQueueTest;

TEST_F(QueueHandledFlag, IsSetOnlyAfterTheHandlerReturned) {
  RecordingQueue queue;
  queue.start();
  JFlag handled;
  queue.postMsg(make(RecordingQueue::kBlock), &handled);
  ASSERT_TRUE(queue.waitBlocked());
  EXPECT_FALSE(handled.isSet());
  queue.open();
  handled.wait(5000);
  // The waiter sees the handler's work and the message already destroyed.
  EXPECT_EQ(queue.handled(), std::vector<int>{RecordingQueue::kBlock});
  EXPECT_EQ(g_alive.load(), aliveBefore_);
  queue.stop(false);
}

TEST_F(QueueHandledFlag, FlushWaitsForEverythingPostedBefore) {
  RecordingQueue queue;
  queue.start();
  for (int i = 0; i < 50; ++i) {
    queue.postMsg(make(i));
  }
  JFlag flushed;
  queue.postMsg(make(50), &flushed);
  flushed.wait(5000);
  EXPECT_EQ(queue.handled().size(), 51u);
  queue.stop(false);
}

TEST_F(QueueHandledFlag, IsSetWhenTheHandlerThrowsAndTheQueueGoesOn) {
  test::LogCapture log(0xFFFFFFFEu, "%c|%m");
  RecordingQueue queue;
  queue.start();
  JFlag failed, next;
  queue.postMsg(make(RecordingQueue::kThrow), &failed);
  queue.postMsg(make(7), &next);
  failed.wait(5000);
  next.wait(5000);
  EXPECT_EQ(queue.handled(), std::vector<int>{7});
  EXPECT_TRUE(log.contains("Exception CATCH|handler failed"));
  queue.stop(false);
}

TEST_F(QueueHandledFlag, IsSetForMessagesDestroyedWithTheQueue) {
  JFlag pending;
  {
    RecordingQueue queue(/*waitForStop=*/true);
    queue.start();
    queue.postMsg(make(RecordingQueue::kBlock));
    ASSERT_TRUE(queue.waitBlocked());
    queue.postMsg(make(1), &pending);
  }
  EXPECT_TRUE(pending.isSet());
}

// ---- several threads --------------------------------------------------------

using QueueConcurrency = ThreadedQueueTest;

TEST_F(QueueConcurrency, KeepsEachPostersOrder) {
  constexpr int kThreads = 4;
  constexpr int kEach = 500;
  RecordingQueue queue;
  queue.start(0, kThreads * kEach);
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([&queue, t] {
      for (int i = 0; i < kEach; ++i) {
        queue.postMsg(make(t * kEach + i));
      }
    });
  }
  for (std::thread& poster : posters) {
    poster.join();
  }
  ASSERT_TRUE(queue.waitHandledCount(kThreads * kEach, milliseconds(20000)));
  queue.stop(false);
  const std::vector<int> handled = queue.handled();
  ASSERT_EQ(handled.size(), static_cast<size_t>(kThreads * kEach));
  std::vector<int> last(kThreads, -1);
  for (int value : handled) {
    const int t = value / kEach;
    EXPECT_GT(value % kEach, last[t]) << "poster " << t << " overtaken by itself";
    last[t] = value % kEach;
  }
}

TEST_F(QueueConcurrency, PostsRacingAStopAreHandledOrReleasedNeverLost) {
  for (int round = 0; round < 20; ++round) {
    RecordingQueue queue;
    queue.start();
    constexpr int kThreads = 3;
    constexpr int kEach = 100;
    std::vector<std::unique_ptr<JFlag>> flags;
    for (int i = 0; i < kThreads * kEach; ++i) {
      flags.push_back(std::make_unique<JFlag>(true));
    }
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t) {
      posters.emplace_back([&, t] {
        for (int i = 0; i < kEach; ++i) {
          const int n = t * kEach + i;
          queue.postMsg(make(n), flags[static_cast<size_t>(n)].get());
        }
      });
    }
    queue.stop(round % 2 == 0);
    for (std::thread& poster : posters) {
      poster.join();
    }
    for (const auto& flag : flags) {
      ASSERT_TRUE(flag->isSet()) << "a waiter would wait forever (round " << round << ")";
    }
    EXPECT_EQ(g_alive.load(), aliveBefore_);
  }
}

}  // namespace
}  // namespace zq
