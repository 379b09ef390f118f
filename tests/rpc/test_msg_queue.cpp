// Tests of the message queues and their maps: entries tried in order, falling
// through to the base class's map, dropped messages, handlers of a class whose
// queue is not its first base, and the pointer queue.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "rpc/msg_queue.h"

namespace zq {
namespace {

using Payload = std::unique_ptr<int>;

// Handlers record "<tag>.<handler>:<payload>"; those named "no" decline.
class BaseQueue : public JMsgQueue<Payload, int> {
 public:
  explicit BaseQueue(std::string tag)
      : JMsgQueue<Payload, int>("BaseQueue"), tag_(std::move(tag)) {}
  ~BaseQueue() override { stop(false); }
  // Posts and returns once the queue is done with the message.
  void send(int id, int value) {
    JFlag done;
    postMsg(id, std::make_unique<int>(value), &done);
    done.wait(5000);
  }
  std::vector<std::string> calls;  // written on the queue's thread, read after send()

 protected:
  const MessageMap* messageMap() const override {
    static const MessageMap map(JMsgQueue::messageMap(), {{1, &handler<&BaseQueue::one>},
                                                          {2, &handler<&BaseQueue::two>},
                                                          {3, &handler<&BaseQueue::no3>}});
    return &map;
  }
  bool record(const std::string& name, const Payload& p, bool accept = true) {
    calls.push_back(tag_ + "." + name + ":" + std::to_string(*p));
    return accept;
  }

 private:
  bool one(Payload& p) { return record("base.one", p); }
  bool two(Payload& p) { return record("base.two", p); }
  bool no3(Payload& p) { return record("base.no3", p, false); }
  std::string tag_;
};

// Something before the queue among the bases, so that the queue does not
// start the object: the handlers must still be called on the right object.
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
                                                          {4, &handler<&DerivedQueue::no4>},
                                                          {4, &handler<&DerivedQueue::takes4>},
                                                          {5, &handler<&DerivedQueue::void5>},
                                                          {5, &handler<&DerivedQueue::five>}});
    return &map;
  }

 private:
  bool one(Payload& p) { return record("one", p); }
  bool no2(Payload& p) { return record("no2", p, false); }
  bool no4(const Payload& p) { return record("no4", p, false); }
  bool takes4(Payload& p) {
    // Takes the payload over: the message is the handler's to consume.
    Payload taken = std::move(p);
    return record("takes4", taken);
  }
  void void5(Payload& p) { record("void5", p); }
  bool five(Payload& p) { return record("five", p); }
};

TEST(MessageMap, DispatchesAlongTheEntriesAndTheBaseMaps) {
  struct Case {
    const char* name;
    int id;
    std::vector<std::string> calls;
  };
  const Case cases[] = {
      {"a derived entry that accepts hides the base's", 1, {"d.one:1"}},
      {"a derived entry that declines falls through", 2, {"d.no2:2", "d.base.two:2"}},
      {"only the base's entry, declining", 3, {"d.base.no3:3"}},
      {"entries of one map in order", 4, {"d.no4:4", "d.takes4:4"}},
      {"a void handler handles", 5, {"d.void5:5"}},
      {"nobody", 99, {}},
  };
  DerivedQueue queue("d");
  queue.start();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    queue.send(c.id, c.id);
    EXPECT_EQ(std::exchange(queue.calls, {}), c.calls);
  }
}

TEST(MessageMap, EachClassUsesItsOwnMapOnTheObjectItself) {
  BaseQueue base("b");
  DerivedQueue first("first");
  DerivedQueue second("second");
  for (BaseQueue* q : {&base, static_cast<BaseQueue*>(&first), static_cast<BaseQueue*>(&second)}) {
    q->start();
    q->send(1, 1);
    q->send(4, 4);
  }
  EXPECT_EQ(base.calls, (std::vector<std::string>{"b.base.one:1"}));
  EXPECT_EQ(first.calls,
            (std::vector<std::string>{"first.one:1", "first.no4:4", "first.takes4:4"}));
  EXPECT_EQ(second.calls,
            (std::vector<std::string>{"second.one:1", "second.no4:4", "second.takes4:4"}));
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

class PointerQueue : public JMsgQueuePtr<void, int> {
 public:
  ~PointerQueue() override { stop(false); }
  std::vector<std::pair<int, void*>> seen;  // written on the queue's thread

 protected:
  const MessageMap* messageMap() const override {
    static const MessageMap map(JMsgQueuePtr::messageMap(), {{0, &handler<&PointerQueue::zero>},
                                                             {1, &handler<&PointerQueue::one>}});
    return &map;
  }

 private:
  bool zero(void* payload) { return seen.emplace_back(0, payload), true; }
  bool one(void* payload) { return seen.emplace_back(1, payload), true; }
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
  EXPECT_EQ(queue.seen, (std::vector<std::pair<int, void*>>{{1, &a}, {0, &b}}));
}

}  // namespace
}  // namespace zq
