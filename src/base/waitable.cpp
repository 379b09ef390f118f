// JFlag, JSemaphore and JWaitableTimer in user space, and the process's timer
// thread; the single wait is the multiple wait's engine (wait.cpp) with one
// object.
#include "base/waitable.h"

#include <pthread.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <system_error>
#include <thread>
#include <vector>

#include "base/error.h"
#include "base/wait.h"
#include "base/waker.h"

namespace zq {
namespace {

using Clock = std::chrono::steady_clock;

int64_t nowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

// Handles are numbers from 1 up, never reused before 2^31 objects were made.
int nextHandle() {
  static std::atomic<uint32_t> last{0};
  return static_cast<int>(last.fetch_add(1, std::memory_order_relaxed) % 0x7FFFFFFFu) + 1;
}

}  // namespace

// ---- the timer thread ---------------------------------------------------------

// Fires every armed timer of the process at its due time: a binary heap of
// the armed timers ordered by due time, each timer knowing its place, so
// that arming, cancelling and destroying one costs a logarithm of their
// number. The thread sleeps until the earliest due time or until an earlier
// one is armed. Lock order: the heap's lock, then a timer's object mutex.
class JTimerThread {
 public:
  static JTimerThread& instance() {
    // Never destroyed: timers may be armed or destroyed by static destructors
    // and by threads still running at exit.
    static JTimerThread* const thread = new JTimerThread;
    return *thread;
  }

  // Replaces the timer's arming: signals it now when `dueMs` <= 0, and
  // schedules its next firing when there is one.
  void arm(JWaitableTimer& timer, int64_t dueMs, int periodMs) {
    std::unique_lock lock(mutex_);
    remove(timer);
    const int64_t now = nowNs();
    timer.periodNs_ = static_cast<int64_t>(periodMs) * 1000000;
    bool schedule = true;
    {
      std::lock_guard objectLock(timer.objectMutex());
      timer.signalled_ = false;
      if (dueMs <= 0) {
        signal(timer);
        schedule = timer.periodNs_ > 0;
        timer.dueNs_ = now + timer.periodNs_;
      } else {
        timer.dueNs_ = now + dueMs * 1000000;
      }
    }
    if (schedule) {
      startThreadLocked();
      push(timer);
      if (timer.heapIndex_ == 0) {
        changed_.notify_one();
      }
    }
  }

  void disarm(JWaitableTimer& timer, bool clearSignal) {
    std::lock_guard lock(mutex_);
    remove(timer);
    if (clearSignal) {
      std::lock_guard objectLock(timer.objectMutex());
      timer.signalled_ = false;
    }
  }

 private:
  JTimerThread() = default;

  static void signal(JWaitableTimer& timer) {
    timer.signalled_ = true;
    timer.wakeWaitersLocked();
  }

  void startThreadLocked() {
    if (started_) {
      return;
    }
    try {
      std::thread thread([this] { loop(); });
      ::pthread_setname_np(thread.native_handle(), "zq-timers");
      thread.detach();
    } catch (const std::system_error& e) {
      throw JSysError(static_cast<uint32_t>(e.code().value()), "SetWaitableTimer");
    }
    started_ = true;
  }

  void loop() {
    std::unique_lock lock(mutex_);
    for (;;) {
      if (heap_.empty()) {
        changed_.wait(lock);
        continue;
      }
      JWaitableTimer& timer = *heap_.front();
      const int64_t now = nowNs();
      if (timer.dueNs_ > now) {
        changed_.wait_until(lock, Clock::time_point(std::chrono::nanoseconds(timer.dueNs_)));
        continue;
      }
      remove(timer);
      {
        std::lock_guard objectLock(timer.objectMutex());
        signal(timer);
      }
      if (timer.periodNs_ > 0) {
        // A tick that could not be given in time merges with the next one:
        // a late timer does not fire in a burst to catch up.
        timer.dueNs_ += timer.periodNs_;
        if (timer.dueNs_ <= now) {
          timer.dueNs_ = now + timer.periodNs_;
        }
        push(timer);
      }
    }
  }

  // ---- the heap (guarded by mutex_) ----

  bool earlier(size_t a, size_t b) const { return heap_[a]->dueNs_ < heap_[b]->dueNs_; }

  void place(size_t i, JWaitableTimer* timer) {
    heap_[i] = timer;
    timer->heapIndex_ = i;
  }

  void swapAt(size_t a, size_t b) {
    JWaitableTimer* first = heap_[a];
    place(a, heap_[b]);
    place(b, first);
  }

  void up(size_t i) {
    while (i > 0 && earlier(i, (i - 1) / 2)) {
      swapAt(i, (i - 1) / 2);
      i = (i - 1) / 2;
    }
  }

  void down(size_t i) {
    for (;;) {
      size_t least = i;
      for (size_t child = 2 * i + 1; child <= 2 * i + 2 && child < heap_.size(); ++child) {
        if (earlier(child, least)) {
          least = child;
        }
      }
      if (least == i) {
        return;
      }
      swapAt(i, least);
      i = least;
    }
  }

  void push(JWaitableTimer& timer) {
    heap_.push_back(nullptr);
    place(heap_.size() - 1, &timer);
    up(heap_.size() - 1);
  }

  void remove(JWaitableTimer& timer) {
    const size_t i = timer.heapIndex_;
    if (i == JWaitableTimer::kNotArmed) {
      return;
    }
    timer.heapIndex_ = JWaitableTimer::kNotArmed;
    JWaitableTimer* last = heap_.back();
    heap_.pop_back();
    if (last == &timer) {
      return;
    }
    place(i, last);
    up(i);
    down(last->heapIndex_);
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<JWaitableTimer*> heap_;
  bool started_ = false;
};

// ---- JWaitableObject ------------------------------------------------------

JWaitableObject::JWaitableObject(bool withHandle) : handle_(withHandle ? nextHandle() : -1) {}

JWaitableObject::~JWaitableObject() = default;

void JWaitableObject::assignHandle() {
  handle_.store(nextHandle(), std::memory_order_release);
}

void JWaitableObject::wait(int timeoutMs) {
  JWaitableObject* self = this;
  JWaiter::waitFor(&self, 1, false, timeoutMs, "WaitForSingleObject");
}

void JWaitableObject::wakeWaitersLocked() {
  for (Registration* r = waiters_; r != nullptr; r = r->next) {
    r->waker->wake();
  }
}

void JWaitableObject::addWaiter(Registration& registration) {
  std::lock_guard lock(mutex_);
  registration.previous = nullptr;
  registration.next = waiters_;
  if (waiters_ != nullptr) {
    waiters_->previous = &registration;
  }
  waiters_ = &registration;
}

void JWaitableObject::removeWaiter(Registration& registration) {
  std::lock_guard lock(mutex_);
  if (registration.previous != nullptr) {
    registration.previous->next = registration.next;
  } else {
    waiters_ = registration.next;
  }
  if (registration.next != nullptr) {
    registration.next->previous = registration.previous;
  }
}

// ---- JFlag ----------------------------------------------------------------

JFlag::JFlag(bool manualReset, bool initiallySignalled, std::string_view name)
    : manualReset_(manualReset), name_(name), signalled_(initiallySignalled) {}

void JFlag::set() {
  std::lock_guard lock(objectMutex());
  if (!signalled_) {
    signalled_ = true;
    wakeWaitersLocked();
  }
}

void JFlag::reset() {
  std::lock_guard lock(objectMutex());
  signalled_ = false;
}

bool JFlag::isSet() const {
  std::lock_guard lock(objectMutex());
  return signalled_;
}

void JFlag::consumeLocked() {
  if (!manualReset_) {
    signalled_ = false;
  }
}

// ---- JSemaphore -----------------------------------------------------------

JSemaphore::JSemaphore(int initialCount, int maximumCount)
    : maximum_(maximumCount), count_(initialCount) {
  if (maximumCount <= 0 || initialCount < 0 || initialCount > maximumCount) {
    throw JSysError(EINVAL, "CreateSemaphore");
  }
}

int JSemaphore::release(int n) {
  int previous = 0;
  int failure = 0;
  {
    std::lock_guard lock(objectMutex());
    previous = count_;
    if (n <= 0) {
      failure = EINVAL;
    } else if (n > maximum_ - count_) {
      failure = EOVERFLOW;
    } else {
      count_ += n;
      wakeWaitersLocked();
    }
  }
  // Thrown outside the lock: building the error writes a log record.
  if (failure != 0) {
    throw JSysError(static_cast<uint32_t>(failure), "ReleaseSemaphore");
  }
  return previous;
}

int JSemaphore::count() const {
  std::lock_guard lock(objectMutex());
  return count_;
}

// ---- JWaitableTimer -------------------------------------------------------

JWaitableTimer::JWaitableTimer(bool manualReset) : manualReset_(manualReset) {}

JWaitableTimer::~JWaitableTimer() {
  JTimerThread::instance().disarm(*this, false);
}

void JWaitableTimer::set(int64_t dueMs) {
  const int periodMs = period();
  if (periodMs < 0) {
    throw JSysError(EINVAL, "SetWaitableTimer");
  }
  JTimerThread::instance().arm(*this, dueMs, periodMs);
}

void JWaitableTimer::cancel() {
  JTimerThread::instance().disarm(*this, true);
}

void JWaitableTimer::consumeLocked() {
  if (!manualReset_) {
    signalled_ = false;
  }
}

}  // namespace zq
