// Tests of the message queues and their message maps: the order of entries,
// falling through to the base class's map, dropped messages, handlers of a
// class whose queue is not its first base, and the pointer queue.
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "rpc/msg_queue.h"

namespace zq {
namespace {

// The calls every handler records, in order: "<handler>:<payload>".
class CallLog {
 public:
  void add(std::string entry) {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(entry));
  }
  std::vector<std::string> take() {
    std::lock_guard lock(mutex_);
    return std::exchange(calls_, {});
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> calls_;
};

using Payload = std::unique_ptr<int>;

class BaseQueue : public JMsgQueue<Payload, int> {
 public:
  explicit BaseQueue(CallLog& log) : JMsgQueue<Payload, int>("BaseQueue"), log_(log) {}
  ~BaseQueue() override { stop(false); }

  // Posts and waits until the queue is done with the message.
  void send(int id, int value) {
    JFlag done;
    postMsg(id, std::make_unique<int>(value), &done);
    done.wait(5000);
  }

 protected:
  const MessageMap* messageMap() const override {
    static const MessageMap map(JMsgQueue::messageMap(),
                                {
                                    {1, &handler<&BaseQueue::onOne>},
                                    {2, &handler<&BaseQueue::onTwo>},
                                    {3, &handler<&BaseQueue::onThreeDeclines>},
                                });
    return &map;
  }

  CallLog& log_;

 private:
  bool onOne(Payload& p) { return record("base.one", p); }
  bool onTwo(Payload& p) { return record("base.two", p); }
  bool onThreeDeclines(Payload& p) {
    record("base.three", p);
    return false;
  }
  bool record(const char* name, const Payload& p) {
    log_.add(std::string(name) + ":" + std::to_string(*p));
    return true;
  }
};

// Something before the queue among the bases, so that the queue does not
// start the object: the handlers must still be called on the right object.
struct Unrelated {
  virtual ~Unrelated() = default;
  int padding[7] = {};
};

class DerivedQueue : public Unrelated, public BaseQueue {
 public:
  DerivedQueue(CallLog& log, std::string tag) : BaseQueue(log), tag_(std::move(tag)) {}
  ~DerivedQueue() override { stop(false); }

 protected:
  const MessageMap* messageMap() const override {
    static const MessageMap map(BaseQueue::messageMap(),
                                {
                                    {1, &handler<&DerivedQueue::onOne>},
                                    {2, &handler<&DerivedQueue::onTwoDeclines>},
                                    {4, &handler<&DerivedQueue::onFourDeclines>},
                                    {4, &handler<&DerivedQueue::onFourAgain>},
                                    {5, &handler<&DerivedQueue::onFiveVoid>},
                                    {5, &handler<&DerivedQueue::onFiveNeverReached>},
                                });
    return &map;
  }

 private:
  bool onOne(Payload& p) {
    log_.add(tag_ + ".one:" + std::to_string(*p));
    return true;
  }
  bool onTwoDeclines(Payload& p) {
    log_.add(tag_ + ".two:" + std::to_string(*p));
    return false;
  }
  bool onFourDeclines(const Payload&) {
    log_.add(tag_ + ".four.first");
    return false;
  }
  bool onFourAgain(Payload& p) {
    // Takes the payload over: the message is the handler's to consume.
    Payload taken = std::move(p);
    log_.add(tag_ + ".four.second:" + std::to_string(*taken));
    return true;
  }
  void onFiveVoid(Payload&) { log_.add(tag_ + ".five"); }
  bool onFiveNeverReached(Payload&) {
    log_.add(tag_ + ".five.again");
    return true;
  }

  std::string tag_;
};

TEST(MessageMap, ADerivedHandlerThatAcceptsHidesTheBaseEntry) {
  CallLog log;
  DerivedQueue queue(log, "d");
  queue.start();
  queue.send(1, 10);
  EXPECT_EQ(log.take(), std::vector<std::string>{"d.one:10"});
}

TEST(MessageMap, ADerivedHandlerThatDeclinesFallsThroughToTheBase) {
  CallLog log;
  DerivedQueue queue(log, "d");
  queue.start();
  queue.send(2, 20);
  EXPECT_EQ(log.take(), (std::vector<std::string>{"d.two:20", "base.two:20"}));
}

TEST(MessageMap, EntriesOfOneMapAreTriedInOrder) {
  CallLog log;
  DerivedQueue queue(log, "d");
  queue.start();
  queue.send(4, 40);
  EXPECT_EQ(log.take(), (std::vector<std::string>{"d.four.first", "d.four.second:40"}));
}

TEST(MessageMap, AVoidHandlerHandlesTheMessage) {
  CallLog log;
  DerivedQueue queue(log, "d");
  queue.start();
  queue.send(5, 50);
  EXPECT_EQ(log.take(), std::vector<std::string>{"d.five"});
}

TEST(MessageMap, MessagesNoHandlerAcceptsAreDropped) {
  CallLog log;
  DerivedQueue queue(log, "d");
  queue.start();
  queue.send(3, 30);  // only the base declining handler
  queue.send(99, 0);  // nobody
  queue.send(1, 11);  // and the queue goes on
  EXPECT_EQ(log.take(), (std::vector<std::string>{"base.three:30", "d.one:11"}));
}

TEST(MessageMap, TheBaseClassAloneUsesItsOwnMap) {
  CallLog log;
  BaseQueue queue(log);
  queue.start();
  queue.send(1, 1);
  queue.send(2, 2);
  queue.send(4, 4);
  EXPECT_EQ(log.take(), (std::vector<std::string>{"base.one:1", "base.two:2"}));
}

TEST(MessageMap, IsSharedByEveryObjectOfAClassAndCallsEachOnItself) {
  CallLog log;
  DerivedQueue first(log, "first");
  DerivedQueue second(log, "second");
  first.start();
  second.start();
  first.send(1, 1);
  second.send(1, 2);
  first.send(2, 3);
  EXPECT_EQ(log.take(),
            (std::vector<std::string>{"first.one:1", "second.one:2", "first.two:3", "base.two:3"}));
}

TEST(MessageMap, AQueueWithoutAMapDropsEverything) {
  class Bare : public JMsgQueue<int, int> {
   public:
    ~Bare() override { stop(false); }
  } queue;
  queue.start();
  JFlag done;
  queue.postMsg(1, 5, &done);
  done.wait(5000);
  EXPECT_EQ(queue.pendingCount(), 0u);
}

// ---- the pointer queue ------------------------------------------------------

class PointerQueue : public JMsgQueuePtr<void, int> {
 public:
  ~PointerQueue() override { stop(false); }
  std::vector<std::pair<int, void*>> seen;  // written on the queue's thread

 protected:
  const MessageMap* messageMap() const override {
    static const MessageMap map(JMsgQueuePtr::messageMap(),
                                {
                                    {0, &handler<&PointerQueue::onZero>},
                                    {1, &handler<&PointerQueue::onOne>},
                                });
    return &map;
  }

 private:
  bool onZero(void* payload) {
    seen.emplace_back(0, payload);
    return true;
  }
  bool onOne(void* payload) {
    seen.emplace_back(1, payload);
    return true;
  }
};

TEST(MessageMapPointer, HandlersReceiveThePayloadPointerItself) {
  PointerQueue queue;
  queue.start();
  int a = 0;
  double b = 0;
  queue.postMsg(1, &a);
  queue.postMsg(0, &b);
  JFlag done;
  queue.postMsg(7, nullptr, &done);
  done.wait(5000);
  queue.stop(false);
  ASSERT_EQ(queue.seen.size(), 2u);
  EXPECT_EQ(queue.seen[0], (std::pair<int, void*>{1, &a}));
  EXPECT_EQ(queue.seen[1], (std::pair<int, void*>{0, &b}));
}

}  // namespace
}  // namespace zq
