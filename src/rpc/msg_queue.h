// Message queues with message maps: JMsgQueue carries an id and a payload held
// by value, JMsgQueuePtr an id and a pointer; both dispatch each message
// through the message map of the most derived class, then of its bases.
//
// A class declares its map once, one line per message it handles, in its
// override of messageMap(); the map is a function-local static, built on first
// use, chained to the map its base class returns:
//
//   const MessageMap* messageMap() const override {
//     static const MessageMap map(Base::messageMap(), {
//         {0, &handler<&AudioOutputController::onSetNetSource>},
//         {1, &handler<&AudioOutputController::onSetHardSource>},
//     });
//     return &map;
//   }
//
// A handler is a member function taking the payload and returning true when
// it handled the message (a handler returning void always handles it).
// Dispatch tries the entries of a map in order, every entry whose id matches,
// until one returns true, then the base class's map the same way; a message no
// handler accepts is dropped.
#pragma once

#include <functional>
#include <initializer_list>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "rpc/threaded_queue.h"

namespace zq {

/// A message with its payload held by value.
template <typename T, typename K = int>
struct JMsg {
  K id{};
  T payload{};
};

/// A message with a pointer to its payload; the message does not own it.
template <typename T, typename K = int>
struct JMsgPtr {
  K id{};
  T* payload = nullptr;
};

/// The message map of one class: the base class's map (or none) and the
/// class's own entries in order. Immutable once built; any thread may
/// dispatch through it.
template <typename Object, typename Payload, typename K>
class JMessageMap {
 public:
  /// Called with the queue (cast to the handler's class inside) and the
  /// payload; true when the message is handled.
  using Handler = bool (*)(Object& object, Payload& payload);
  struct Entry {
    K id;
    Handler handler;
  };

  JMessageMap(const JMessageMap* base, std::initializer_list<Entry> entries)
      : base_(base), entries_(entries) {}
  JMessageMap(const JMessageMap&) = delete;
  JMessageMap& operator=(const JMessageMap&) = delete;

  const JMessageMap* base() const { return base_; }
  const std::vector<Entry>& entries() const { return entries_; }

  /// Runs the message through this map and then its bases; true when a
  /// handler accepted it.
  static bool dispatch(const JMessageMap* map, Object& object, const K& id, Payload& payload) {
    for (; map != nullptr; map = map->base_) {
      for (const Entry& entry : map->entries_) {
        if (entry.id == id && entry.handler(object, payload)) {
          return true;
        }
      }
    }
    return false;
  }

 private:
  const JMessageMap* base_;
  std::vector<Entry> entries_;
};

namespace detail {

template <typename M>
struct MemberOf;
template <typename R, typename C, typename... A>
struct MemberOf<R (C::*)(A...)> {
  using Class = C;
};
template <typename R, typename C, typename... A>
struct MemberOf<R (C::*)(A...) noexcept> {
  using Class = C;
};
template <typename R, typename C, typename... A>
struct MemberOf<R (C::*)(A...) const> {
  using Class = C;
};
template <typename R, typename C, typename... A>
struct MemberOf<R (C::*)(A...) const noexcept> {
  using Class = C;
};

// Casts the queue down to the class that declared `Method` (a class derived
// from the queue, not virtually) and calls it with the payload.
template <auto Method, typename Object, typename Payload>
bool callHandler(Object& object, Payload& payload) {
  using Class = typename MemberOf<decltype(Method)>::Class;
  static_assert(std::is_base_of_v<Object, Class>, "a handler must be a member of a queue class");
  Class& target = static_cast<Class&>(object);
  if constexpr (std::is_void_v<std::invoke_result_t<decltype(Method), Class&, Payload&>>) {
    std::invoke(Method, target, payload);
    return true;
  } else {
    return static_cast<bool>(std::invoke(Method, target, payload));
  }
}

}  // namespace detail

/// A threaded queue of JMsg<T, K> dispatched through message maps.
template <typename T, typename K = int>
class JMsgQueue : public JThreadedQueue<JMsg<T, K>> {
 public:
  using Message = JMsg<T, K>;
  using MessageMap = JMessageMap<JMsgQueue, T, K>;

  explicit JMsgQueue(std::string_view name = {}, JTraceMask* traceMask = nullptr)
      : JThreadedQueue<Message>(name, traceMask) {}

  using JThreadedQueue<Message>::postMsg;
  /// postMsg of a message built from `id` and `payload`. Any thread.
  void postMsg(K id, T payload) { postMsg(Message{std::move(id), std::move(payload)}); }
  void postMsg(K id, T payload, JFlag* handled) {
    postMsg(Message{std::move(id), std::move(payload)}, handled);
  }

 protected:
  /// The map of the most derived class; none here.
  virtual const MessageMap* messageMap() const { return nullptr; }

  /// The entry of a map for the member function `Method` of a derived
  /// class, taking T& (or const T&, or T by value) and returning bool or void.
  template <auto Method>
  static bool handler(JMsgQueue& queue, T& payload) {
    return detail::callHandler<Method>(queue, payload);
  }

  void handleMsg(Message& message) override {
    MessageMap::dispatch(messageMap(), *this, message.id, message.payload);
  }
};

/// A threaded queue of JMsgPtr<T, K> dispatched through message maps; the
/// handlers receive the payload pointer.
template <typename T, typename K = int>
class JMsgQueuePtr : public JThreadedQueue<JMsgPtr<T, K>> {
 public:
  using Message = JMsgPtr<T, K>;
  using MessageMap = JMessageMap<JMsgQueuePtr, T*, K>;

  explicit JMsgQueuePtr(std::string_view name = {}, JTraceMask* traceMask = nullptr)
      : JThreadedQueue<Message>(name, traceMask) {}

  using JThreadedQueue<Message>::postMsg;
  /// postMsg of a message built from `id` and `payload` (not owned by the
  /// message). Any thread.
  void postMsg(K id, T* payload) { postMsg(Message{std::move(id), payload}); }
  void postMsg(K id, T* payload, JFlag* handled) {
    postMsg(Message{std::move(id), payload}, handled);
  }

 protected:
  virtual const MessageMap* messageMap() const { return nullptr; }

  /// The entry of a map for the member function `Method` of a derived class,
  /// taking T* and returning bool or void.
  template <auto Method>
  static bool handler(JMsgQueuePtr& queue, T*& payload) {
    return detail::callHandler<Method>(queue, payload);
  }

  void handleMsg(Message& message) override {
    MessageMap::dispatch(messageMap(), *this, message.id, message.payload);
  }
};

}  // namespace zq
