// The wait engine: look at the objects under their mutexes and take what the
// wait asks for; otherwise register the thread's JWaker on each object and
// sleep until one of them (or a suspension request) wakes it.
#include "base/wait.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>

#include "base/error.h"
#include "base/thread.h"
#include "base/waker.h"

namespace zq {
namespace {

using Clock = std::chrono::steady_clock;

// Most waits are on four objects or fewer; only larger ones allocate.
constexpr size_t kInlineObjects = 8;

// A small array on the stack, on the heap when larger.
template <typename T>
class SmallArray {
 public:
  explicit SmallArray(size_t size) {
    if (size > kInlineObjects) {
      heap_.resize(size);
      data_ = heap_.data();
    }
  }
  T& operator[](size_t i) { return data_[i]; }
  T* begin() { return data_; }

 private:
  T inline_[kInlineObjects]{};
  std::vector<T> heap_;
  T* data_ = inline_;
};

Clock::time_point deadlineOf(int timeoutMs) {
  if (timeoutMs < 0) {
    return Clock::time_point::max();
  }
  return Clock::now() + std::chrono::milliseconds(timeoutMs);
}

}  // namespace

// ---- JWaiter --------------------------------------------------------------

// The engine's state for one call: the objects, the order their mutexes are
// taken in for a wait-all, and the thread's registrations.
class WaitCall {
 public:
  WaitCall(JWaitableObject* const* objects, size_t count, bool waitAll)
      : objects_(objects),
        count_(count),
        waitAll_(waitAll),
        lockOrder_(waitAll ? count : 0),
        registrations_(count) {
    if (waitAll_) {
      std::copy(objects, objects + count, lockOrder_.begin());
      std::sort(lockOrder_.begin(), lockOrder_.begin() + count);
    }
  }

  ~WaitCall() {
    if (registered_) {
      for (size_t i = 0; i < count_; ++i) {
        objects_[i]->removeWaiter(registrations_[i]);
      }
    }
  }

  WaitCall(const WaitCall&) = delete;
  WaitCall& operator=(const WaitCall&) = delete;

  // The index taken, or -1 when the wait is not satisfied now.
  int take() { return waitAll_ ? takeAll() : takeFirst(); }

  bool registered() const { return registered_; }

  void registerOn(JWaker& waker) {
    for (size_t i = 0; i < count_; ++i) {
      registrations_[i].waker = &waker;
      objects_[i]->addWaiter(registrations_[i]);
    }
    registered_ = true;
  }

 private:
  int takeFirst() {
    for (size_t i = 0; i < count_; ++i) {
      JWaitableObject& object = *objects_[i];
      std::lock_guard lock(object.mutex_);
      if (object.signalledLocked()) {
        object.consumeLocked();
        return static_cast<int>(i);
      }
    }
    return -1;
  }

  int takeAll() {
    for (size_t i = 0; i < count_; ++i) {
      lockOrder_[i]->mutex_.lock();
    }
    bool all = true;
    for (size_t i = 0; i < count_ && all; ++i) {
      all = objects_[i]->signalledLocked();
    }
    if (all) {
      for (size_t i = 0; i < count_; ++i) {
        objects_[i]->consumeLocked();
      }
    }
    for (size_t i = count_; i-- > 0;) {
      lockOrder_[i]->mutex_.unlock();
    }
    return all ? 0 : -1;
  }

  JWaitableObject* const* objects_;
  const size_t count_;
  const bool waitAll_;
  SmallArray<JWaitableObject*> lockOrder_;
  SmallArray<JWaitableObject::Registration> registrations_;
  bool registered_ = false;
};

int JWaiter::waitFor(JWaitableObject* const* objects, size_t count, bool waitAll, int timeoutMs,
                     const char* callName) {
  if (count == 0) {
    throw JSysError(EINVAL, callName);
  }
  for (size_t i = 0; i < count; ++i) {
    if (objects[i]->handle() < 0) {
      throw JSysError(EBADF, callName);
    }
  }
  if (waitAll) {
    // One object listed twice would have to give two signals at once.
    for (size_t i = 0; i < count; ++i) {
      for (size_t j = i + 1; j < count; ++j) {
        if (objects[i] == objects[j]) {
          throw JSysError(EINVAL, callName);
        }
      }
    }
  }

  JThread* self = JThread::current();
  const Clock::time_point deadline = deadlineOf(timeoutMs);
  WaitCall call(objects, count, waitAll);
  JWaker& waker = JWaker::current();
  for (;;) {
    if (self != nullptr) {
      self->parkIfRequested();
    }
    const int index = call.take();
    if (index >= 0) {
      if (self != nullptr) {
        self->parkIfRequested();
      }
      return index;
    }
    if (!call.registered()) {
      if (timeoutMs == 0) {
        throw JTimeoutError();
      }
      // Registered before looking again: a signal given after that look
      // wakes the thread, and none given before it is missed.
      waker.clear();
      call.registerOn(waker);
      continue;
    }
    if (!waker.sleepUntil(deadline)) {
      throw JTimeoutError();
    }
  }
}

// ---- JWaitForMultipleObjects ----------------------------------------------

JWaitForMultipleObjects::JWaitForMultipleObjects(size_t count, JWaitableObject* const* objects,
                                                 bool waitAll)
    : waitAll_(waitAll), objects_(objects, objects + count) {
  check();
}

JWaitForMultipleObjects::JWaitForMultipleObjects(const std::vector<JWaitableObject*>& objects,
                                                 bool waitAll)
    : waitAll_(waitAll), objects_(objects) {
  check();
}

JWaitForMultipleObjects::JWaitForMultipleObjects(JWaitableObject* object0, JWaitableObject* object1,
                                                 bool waitAll)
    : waitAll_(waitAll), objects_{object0, object1} {
  check();
}

JWaitForMultipleObjects::JWaitForMultipleObjects(JWaitableObject* object0, JWaitableObject* object1,
                                                 JWaitableObject* object2, bool waitAll)
    : waitAll_(waitAll), objects_{object0, object1, object2} {
  check();
}

JWaitForMultipleObjects::JWaitForMultipleObjects(JWaitableObject* object0, JWaitableObject* object1,
                                                 JWaitableObject* object2, JWaitableObject* object3,
                                                 bool waitAll)
    : waitAll_(waitAll), objects_{object0, object1, object2, object3} {
  check();
}

void JWaitForMultipleObjects::check() const {
  if (objects_.empty()) {
    throw JTextError("empty vector!");
  }
  for (const JWaitableObject* object : objects_) {
    if (object == nullptr) {
      throw JTextError("null waitable object");
    }
  }
}

int JWaitForMultipleObjects::wait(int timeoutMs) {
  return waitFor(objects_.data(), objects_.size(), waitAll_, timeoutMs, "WaitForMultipleObjects");
}

}  // namespace zq
