// The fair lock, JThreadedQueue and message maps.
#include <stdexcept>

#include "rpc/fair_lock.h"
#include "rpc/msg_queue.h"
#include "rpc/rpc_client_test_support.h"

namespace zq::test {
namespace {

using Hold = JFairLock::Hold;
using std::chrono::milliseconds;

// A lock, and threads that each queue for it in the order started.
class FairLock : public ::testing::Test {
 protected:
  // Starts `body` and returns once it is queued for the lock.
  void start(std::function<void()> body) {
    const size_t before = lock.waiting();
    threads.emplace_back(std::move(body));
    ASSERT_TRUE(eventually([&] { return lock.waiting() == before + 1; }));
  }
  // `outcome`: -1 while waiting, 1 once taken (and let go), 0 once given up.
  void startTimed(int timeoutMs, std::atomic<int>& outcome) {
    start([this, timeoutMs, &outcome] {
      JDeadline deadline(timeoutMs);
      outcome = lock.lock(deadline, Hold::kCounted) ? 1 : 0;
      if (outcome == 1) {
        lock.unlock();
      }
    });
  }
  JFairLock lock;
  std::atomic<int> first{-1}, second{-1};  // outcomes
  std::vector<std::jthread> threads;       // declared last: joined before the rest goes
};

TEST_F(FairLock, WaitersAreServedInArrivalOrderAndAReturningHolderQueuesBehind) {
  std::vector<int> order;  // guarded by the lock under test
  auto take = [&](int who) {
    JFairLockGuard held(lock);
    order.push_back(who);
  };
  lock.lock();
  for (int who = 1; who <= 3; ++who) {
    start([&, who] { take(who); });
  }
  lock.unlock();  // and at once asks again, as a supervisor loop does
  take(0);
  threads.clear();  // joins them
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 0}));
}

TEST_F(FairLock, ATimedWaitGivesUpOnItsOwnAndTheHolderReleasesOnlyOnTheLastUnlock) {
  lock.lock();
  JDeadline now(0);
  EXPECT_TRUE(lock.lock(now));  // the holder may take it again
  startTimed(100, first);
  startTimed(20000, second);
  EXPECT_TRUE(eventually([&] { return first.load() == 0; }, 10000));
  EXPECT_EQ(lock.waiting(), 1u);  // the one that gave up left the queue
  lock.unlock();
  EXPECT_EQ(lock.waiting(), 1u);
  lock.unlock();
  EXPECT_TRUE(eventually([&] { return second.load() == 1; }, 10000));
}

// A connect holds the lock uncounted: its waiters' time only starts once it turns counted.
TEST_F(FairLock, TimeBehindAnUncountedHolderDoesNotCount) {
  lock.lock(Hold::kUncounted);
  startTimed(1000, first);
  std::this_thread::sleep_for(milliseconds(1500));
  EXPECT_EQ(first.load(), -1) << "gave up behind an uncounted holder";
  EXPECT_EQ(lock.setHold(Hold::kCounted), Hold::kUncounted);
  EXPECT_FALSE(eventually([&] { return lock.waiting() == 0; }, 200))
      << "the time behind the uncounted holder counted";
  EXPECT_TRUE(eventually([&] { return first.load() == 0; }, 10000));
  lock.unlock();
}

// Counts the payloads alive: every message must be destroyed exactly once.
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

// Records what it handles, and where. kBlock waits for open or stop; kThrow(Std) throw.
class RecordingQueue : public JThreadedQueue<Message> {
 public:
  static constexpr int kBlock = -1, kThrow = -2, kThrowStd = -3;
  RecordingQueue() : JThreadedQueue<Message>("RecordingQueue") {}
  ~RecordingQueue() override { stop(false); }
  std::vector<int> handled() const {
    std::lock_guard lock(mutex_);
    return handled_;
  }
  bool waitHandled(size_t n) const {
    return eventually([&] { return handled().size() >= n; }, 20000);
  }
  bool waitBlocked() const {
    return eventually([&] { return blocked_.load(); });
  }
  std::atomic<bool> open{false}, sawStop{false};

 protected:
  void handleMsg(Message& message) override {
    if (message->value == kBlock) {
      blocked_ = true;
      for (int i = 0; i < 5000 && !open && !stopRequested(); ++i) {
        std::this_thread::sleep_for(milliseconds(1));
      }
      sawStop = stopRequested();
    }
    if (message->value == kThrow) {
      throw JTextError("handler failed");
    }
    if (message->value == kThrowStd) {
      throw std::runtime_error("standard failure");
    }
    std::lock_guard lock(mutex_);
    handled_.push_back(message->value);
  }

 private:
  mutable std::mutex mutex_;
  std::vector<int> handled_;
  std::atomic<bool> blocked_{false};
};

class ThreadedQueue : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(g_alive.load(), aliveBefore_) << "a message leaked"; }
  const int aliveBefore_ = g_alive.load();
};

TEST_F(ThreadedQueue, PostsBeyondTheCapacityAreRefused) {
  RecordingQueue queue;
  JFlag refused;
  queue.start(0, 2);
  queue.postMsg(make(RecordingQueue::kBlock));
  ASSERT_TRUE(queue.waitBlocked());  // taken off: no longer counted
  queue.postMsg(make(2));
  queue.postMsg(make(3));
  EXPECT_THROW(queue.postMsg(make(4), &refused), JSysError);
  EXPECT_FALSE(refused.isSet());
  EXPECT_EQ(queue.pendingCount(), 2u);
  queue.open = true;
  ASSERT_TRUE(queue.waitHandled(3));
  queue.postMsg(make(5));  // room again once the thread took messages off
  ASSERT_TRUE(queue.waitHandled(4));
  EXPECT_EQ(queue.handled(), (std::vector<int>{RecordingQueue::kBlock, 2, 3, 5}));
}

TEST_F(ThreadedQueue, StopHandlesOrDestroysWhatIsQueued) {
  for (const bool processRemaining : {false, true}) {
    SCOPED_TRACE(processRemaining);
    RecordingQueue queue;
    queue.start();
    JFlag blockDone, failed, failedStd, lastDone;
    queue.postMsg(make(RecordingQueue::kBlock), &blockDone);
    ASSERT_TRUE(queue.waitBlocked());
    queue.postMsg(make(RecordingQueue::kThrow), &failed);
    queue.postMsg(make(RecordingQueue::kThrowStd), &failedStd);
    queue.postMsg(make(3), &lastDone);
    queue.stop(processRemaining);
    EXPECT_TRUE(queue.sawStop);
    // The message in progress ran to its end, the others too or not at all; a handler that
    // threw still releases its waiter, and the queue goes on with the next.
    EXPECT_EQ(queue.handled(), processRemaining ? (std::vector<int>{RecordingQueue::kBlock, 3})
                                                : std::vector<int>{RecordingQueue::kBlock});
    EXPECT_TRUE(blockDone.isSet() && failed.isSet() && failedStd.isSet() && lastDone.isSet());
    EXPECT_EQ(g_alive.load(), aliveBefore_);
  }
}

TEST_F(ThreadedQueue, KeepsEachPostersOrderAndLosesNothingToARacingStop) {
  constexpr int kThreads = 3, kEach = 300;
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    RecordingQueue queue;
    queue.start(0, kThreads * kEach);
    std::vector<std::unique_ptr<JFlag>> flags(kThreads * kEach);
    std::ranges::generate(flags, [] { return std::make_unique<JFlag>(true); });
    std::vector<std::jthread> posters;
    for (int t = 0; t < kThreads; ++t) {
      posters.emplace_back([&, t] {
        for (int i = t * kEach; i < (t + 1) * kEach; ++i) {
          queue.postMsg(make(i), flags[static_cast<size_t>(i)].get());
        }
      });
    }
    for (int i = 0; i < 50; ++i) {  // read while they post: under the queue's lock
      EXPECT_LE(queue.pendingCount(), size_t{kThreads * kEach});
    }
    if (round > 0) {
      queue.stop(round % 2 == 0);  // while they post
    }
    posters.clear();  // joins them
    for (const auto& flag : flags) {
      ASSERT_TRUE(flag->isSet() || round == 0) << "a waiter would wait forever";
    }
    ASSERT_TRUE(round > 0 || queue.waitHandled(kThreads * kEach));
    queue.stop(round % 2 == 0);
    std::vector<int> last(kThreads, -1);
    for (int value : queue.handled()) {
      EXPECT_GT(value % kEach, last[value / kEach]) << "poster " << value / kEach << " overtaken";
      last[value / kEach] = value % kEach;
    }
  }
}

using Owned = std::unique_ptr<int>;

// Handlers record "<tag>.<handler>:<payload>"; those named "no..." decline.
class BaseQueue : public JMsgQueue<Owned, int> {
 public:
  explicit BaseQueue(std::string tag) : JMsgQueue<Owned, int>("BaseQueue"), tag_(std::move(tag)) {}
  ~BaseQueue() override { stop(false); }
  // Posts and returns once the queue is done with the message.
  void send(int id) {
    JFlag done;
    postMsg(id, std::make_unique<int>(id), &done);
    done.wait(5000);
  }
  std::vector<std::string> calls;  // written on the queue's thread, read after send()

 protected:
  const MessageMap* messageMap() const override {
    static const MessageMap map(JMsgQueue::messageMap(),
                                {{1, &handler<&BaseQueue::one>}, {2, &handler<&BaseQueue::two>}});
    return &map;
  }
  bool record(const std::string& name, const Owned& p, bool accept = true) {
    calls.push_back(tag_ + "." + name + ":" + std::to_string(*p));
    return accept;
  }

 private:
  bool one(Owned& p) { return record("base.one", p); }
  bool two(Owned& p) { return record("base.two", p); }
  std::string tag_;
};

// A base before the queue's: the handlers must still be called on the right object.
struct Unrelated {
  virtual ~Unrelated() = default;
  int padding[7] = {};
};

class DerivedQueue : public Unrelated, public BaseQueue {
 public:
  using BaseQueue::BaseQueue;
  ~DerivedQueue() override { stop(false); }

 protected:
  const MessageMap* messageMap() const override {
    static const MessageMap map(BaseQueue::messageMap(), {{1, &handler<&DerivedQueue::one>},
                                                          {2, &handler<&DerivedQueue::no2>},
                                                          {5, &handler<&DerivedQueue::void5>},
                                                          {5, &handler<&DerivedQueue::five>}});
    return &map;
  }

 private:
  bool one(Owned& p) { return record("one", p); }
  bool no2(Owned& p) { return record("no2", p, false); }
  void void5(Owned& p) { record("void5", p); }
  bool five(Owned& p) { return record("five", p); }
};

TEST(MessageMap, DispatchesAlongTheEntriesAndTheBaseMapsOnTheObjectItself) {
  const std::tuple<const char*, int, std::vector<std::string>> cases[] = {
      {"a derived entry that accepts hides the base's", 1, {"d.one:1"}},
      {"a derived entry that declines falls through", 2, {"d.no2:2", "d.base.two:2"}},
      {"a void handler handles, the first entry first", 5, {"d.void5:5"}},
      {"nobody", 99, {}},
  };
  DerivedQueue queue("d");
  queue.start();
  for (const auto& [name, id, calls] : cases) {
    SCOPED_TRACE(name);
    queue.send(id);
    EXPECT_EQ(std::exchange(queue.calls, {}), calls);
  }
}

}  // namespace
}  // namespace zq::test
