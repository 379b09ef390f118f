// Tests of JThreadedQueue: start and stop with and without the remaining
// messages, dropped posts, the capacity limit, the handled flag, failing
// handlers, and ordering and shut-down races between posting threads.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "base/error.h"
#include "helpers/log_capture.h"
#include "rpc/threaded_queue.h"

namespace zq {
namespace {

using std::chrono::milliseconds;

// Counts the payloads alive, so that a test sees every message destroyed
// exactly once, handled or not.
std::atomic<int> g_alive{0};

struct Payload {
  explicit Payload(int v) : value(v) { ++g_alive; }
  ~Payload() { --g_alive; }
  int value;
};
using Message = std::unique_ptr<Payload>;

Message make(int value) {
  return std::make_unique<Payload>(value);
}

// Records what it handles and on which thread. kBlock holds the handler until
// open() or until stop() is asked for; kThrow and kThrowStd throw a JError
// and a standard exception.
class RecordingQueue : public JThreadedQueue<Message> {
 public:
  static constexpr int kBlock = -1, kThrow = -2, kThrowStd = -3;

  RecordingQueue() : JThreadedQueue<Message>("RecordingQueue") {}
  ~RecordingQueue() override { stop(false); }

  std::vector<int> handled() const {
    std::lock_guard lock(mutex_);
    return handled_;
  }
  std::vector<int> threads() const {
    std::lock_guard lock(mutex_);
    return threads_;
  }
  bool waitHandled(size_t n) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, milliseconds(20000), [&] { return handled_.size() >= n; });
  }
  bool waitBlocked() const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, milliseconds(5000), [&] { return blocked_; });
  }
  void open() {
    std::lock_guard lock(mutex_);
    gateOpen_ = true;
    changed_.notify_all();
  }
  std::atomic<bool> sawStop{false};

 protected:
  void handleMsg(Message& message) override {
    std::unique_lock lock(mutex_);
    if (message->value == kBlock) {
      blocked_ = true;
      changed_.notify_all();
      for (int i = 0; i < 500 && !gateOpen_ && !stopRequested(); ++i) {
        changed_.wait_for(lock, milliseconds(10));
      }
      sawStop = stopRequested();
    }
    if (message->value == kThrow) {
      throw JTextError("handler failed");
    }
    if (message->value == kThrowStd) {
      throw std::runtime_error("standard failure");
    }
    handled_.push_back(message->value);
    threads_.push_back(static_cast<int>(::gettid()));
    changed_.notify_all();
  }

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<int> handled_;
  std::vector<int> threads_;
  bool blocked_ = false;
  bool gateOpen_ = false;
};

class ThreadedQueue : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(g_alive.load(), aliveBefore_) << "a message leaked"; }
  const int aliveBefore_ = g_alive.load();
};

TEST_F(ThreadedQueue, PostsOutsideAStartedQueueAreDroppedAndFlagged) {
  RecordingQueue queue;
  queue.stop(true);  // never started: nothing to do
  JFlag before, after;
  queue.postMsg(make(1), &before);
  EXPECT_TRUE(before.isSet());
  queue.start();
  EXPECT_TRUE(queue.isStarted());
  queue.postMsg(make(2));
  ASSERT_TRUE(queue.waitHandled(1));
  queue.stop(false);
  EXPECT_FALSE(queue.isStarted());
  queue.postMsg(make(3), &after);
  EXPECT_TRUE(after.isSet());
  EXPECT_EQ(queue.pendingCount(), 0u);
  queue.start();  // and it starts again
  queue.postMsg(make(4));
  ASSERT_TRUE(queue.waitHandled(2));
  EXPECT_EQ(queue.handled(), (std::vector<int>{2, 4}));
}

TEST_F(ThreadedQueue, StopHandlesOrDestroysWhatIsQueued) {
  for (const bool processRemaining : {false, true}) {
    SCOPED_TRACE(processRemaining);
    RecordingQueue queue;
    queue.start();
    JFlag blockDone, secondDone, thirdDone;
    queue.postMsg(make(RecordingQueue::kBlock), &blockDone);
    ASSERT_TRUE(queue.waitBlocked());
    queue.postMsg(make(2), &secondDone);
    queue.postMsg(make(3), &thirdDone);
    queue.stop(processRemaining);
    EXPECT_TRUE(queue.sawStop);
    // The message in progress ran to its end; the others were handled on the
    // queue's thread or never reached the handler. Every waiter was released.
    EXPECT_EQ(queue.handled(), processRemaining ? (std::vector<int>{RecordingQueue::kBlock, 2, 3})
                                                : std::vector<int>{RecordingQueue::kBlock});
    const std::vector<int> threads = queue.threads();
    EXPECT_NE(threads[0], static_cast<int>(::gettid()));
    EXPECT_EQ(std::vector<int>(threads.size(), threads[0]), threads);
    EXPECT_TRUE(blockDone.isSet() && secondDone.isSet() && thirdDone.isSet());
    EXPECT_EQ(g_alive.load(), aliveBefore_);
  }
}

TEST_F(ThreadedQueue, APostBeyondTheFirstCapacityThrowsAndKeepsTheMessageOut) {
  RecordingQueue queue;
  queue.start(0, 2);
  queue.start(0, 50);  // already started: the first capacity stays
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
  ASSERT_TRUE(queue.waitHandled(3));
  queue.postMsg(make(4));  // room again once the thread took messages off
  ASSERT_TRUE(queue.waitHandled(4));
  EXPECT_EQ(queue.handled(), (std::vector<int>{RecordingQueue::kBlock, 1, 2, 4}));
}

TEST_F(ThreadedQueue, TheHandledFlagIsSetOnceTheHandlerIsDoneEvenWhenItThrew) {
  test::LogCapture log(0xFFFFFFFEu, "%c|%m");
  RecordingQueue queue;
  queue.start();
  JFlag blocked, failed, failedStd, next;
  queue.postMsg(make(RecordingQueue::kBlock), &blocked);
  ASSERT_TRUE(queue.waitBlocked());
  EXPECT_FALSE(blocked.isSet());
  queue.open();
  blocked.wait(5000);
  // The waiter sees the handler's work and the message already destroyed.
  EXPECT_EQ(queue.handled(), std::vector<int>{RecordingQueue::kBlock});
  EXPECT_EQ(g_alive.load(), aliveBefore_);
  queue.postMsg(make(RecordingQueue::kThrow), &failed);
  queue.postMsg(make(RecordingQueue::kThrowStd), &failedStd);
  queue.postMsg(make(7), &next);
  failed.wait(5000);
  failedStd.wait(5000);
  next.wait(5000);
  EXPECT_EQ(queue.handled(), (std::vector<int>{RecordingQueue::kBlock, 7}));
  EXPECT_EQ(log.count("Exception CATCH|handler failed"), 1u);
  EXPECT_EQ(log.count("|Message handler failed: standard failure"), 1u);
}

TEST_F(ThreadedQueue, KeepsEachPostersOrder) {
  constexpr int kThreads = 4, kEach = 500;
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
  ASSERT_TRUE(queue.waitHandled(kThreads * kEach));
  std::vector<int> last(kThreads, -1);
  for (int value : queue.handled()) {
    EXPECT_GT(value % kEach, last[value / kEach]) << "poster " << value / kEach << " overtaken";
    last[value / kEach] = value % kEach;
  }
}

TEST_F(ThreadedQueue, PostsRacingAStopAreHandledOrReleasedNeverLost) {
  for (int round = 0; round < 20; ++round) {
    RecordingQueue queue;
    queue.start();
    constexpr int kThreads = 3, kEach = 100;
    std::vector<std::unique_ptr<JFlag>> flags;
    for (int i = 0; i < kThreads * kEach; ++i) {
      flags.push_back(std::make_unique<JFlag>(true));
    }
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t) {
      posters.emplace_back([&, t] {
        for (int i = t * kEach; i < (t + 1) * kEach; ++i) {
          queue.postMsg(make(i), flags[static_cast<size_t>(i)].get());
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
