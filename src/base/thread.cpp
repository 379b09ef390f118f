// JThread over pthreads: the start hand-shake, the body wrapper with its log
// lines, join through the end signal, priorities and the suspension park.
#include "base/thread.h"

#include <cxxabi.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <thread>

#include "base/error.h"
#include "base/log.h"
#include "base/wait.h"
#include "base/waker.h"

namespace zq {
namespace {

thread_local JThread* t_current = nullptr;

// The system scale runs from -15 (idle) over -2..2 to 15 (time-critical);
// nice runs from 19 (least) to -20. Highest and time-critical are real-time
// where permitted, time-critical a step above: a capture thread at highest
// that only had a nice value waited hundreds of milliseconds on a busy
// machine, and every receiver of its stream ran dry at once. Raising a
// thread above the default needs a privilege the process may not have:
// then the thread keeps what it has.
void applyPriority(int priority, int tid) {
  if (priority == 0) {
    return;
  }
  if (priority >= 2) {
    sched_param param{};
    param.sched_priority =
        ::sched_get_priority_min(SCHED_RR) + (priority >= JThread::kTimeCritical ? 1 : 0);
    if (::pthread_setschedparam(::pthread_self(), SCHED_RR, &param) == 0) {
      return;
    }
  }
  const int nice = std::clamp(-priority * 5, -20, 19);
  ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice);
}

void setSystemThreadName(const std::string& name) {
  if (name.empty()) {
    return;
  }
  // The system keeps 15 characters and the terminating zero.
  ::pthread_setname_np(::pthread_self(), name.substr(0, 15).c_str());
}

}  // namespace

// Shared by start() and the new thread: start() must log the start line
// before the body runs, and must not touch the object once it may have
// deleted itself.
struct JThread::StartRecord {
  JThread* thread;
  std::mutex mutex;
  std::condition_variable changed;
  int tid = 0;
  bool ready = false;
  bool go = false;
};

JThread::JThread(std::string_view name) : JWaitableObject(false), name_(name) {}

JThread::~JThread() {
  if (handle() != -1 && !autoDelete_) {
    // Deleting a thread from its own body is refused by join(); only an
    // auto-delete thread may end that way.
    try {
      join();
    } catch (const JError& e) {
      logCaught(e);
    }
  }
}

void JThread::startAutoDelete(bool autoDelete, int priority) {
  autoDelete_ = autoDelete;
  start(priority);
}

void JThread::start(int priority) {
  if (handle() != -1) {
    throw JTextError("thread already started");
  }
  {
    // A restarted thread does not inherit the suspensions of its last run.
    std::lock_guard lock(parkMutex_);
    suspendCount_ = 0;
    parked_ = false;
  }
  {
    std::lock_guard lock(objectMutex());
    ended_ = false;
  }
  priority_ = priority;
  assignHandle();
  const int endHandle = handle();

  auto record = std::make_shared<StartRecord>();
  record->thread = this;
  pthread_attr_t attributes;
  ::pthread_attr_init(&attributes);
  if (autoDelete_) {
    ::pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  }
  // The new thread takes ownership of this copy of the shared record.
  auto* handOver = new std::shared_ptr<StartRecord>(record);
  const int rc = ::pthread_create(&thread_, &attributes, &JThread::entry, handOver);
  ::pthread_attr_destroy(&attributes);
  if (rc != 0) {
    delete handOver;
    clearHandle();
    throw JSysError(static_cast<uint32_t>(rc), "CreateThread");
  }

  std::unique_lock lock(record->mutex);
  record->changed.wait(lock, [&] { return record->ready; });
  threadId_.store(record->tid, std::memory_order_release);
  const unsigned id = static_cast<unsigned>(record->tid);
  if (!name_.empty()) {
    JLog::logf(kLevelDebug, "The thread 0x%x ('%s') has started with handle %d (0x%x).\n", id,
               name_.c_str(), endHandle, static_cast<unsigned>(endHandle));
  } else {
    JLog::logf(kLevelDebug, "The thread 0x%x has started with handle %d (0x%x).\n", id, endHandle,
               static_cast<unsigned>(endHandle));
  }
  // From here on an auto-delete thread may delete this object at any moment.
  record->go = true;
  record->changed.notify_all();
}

void* JThread::entry(void* handOver) {
  std::shared_ptr<StartRecord> record;
  {
    std::unique_ptr<std::shared_ptr<StartRecord>> owned(
        static_cast<std::shared_ptr<StartRecord>*>(handOver));
    record = *owned;
  }
  JThread* self = record->thread;
  const int tid = static_cast<int>(::gettid());
  t_current = self;
  JLog::setCurrentThreadName(self->name_);
  setSystemThreadName(self->name_);
  applyPriority(self->priority_, tid);
  {
    std::lock_guard lock(self->parkMutex_);
    self->waker_ = &JWaker::current();
  }
  {
    std::unique_lock lock(record->mutex);
    record->tid = tid;
    record->ready = true;
    record->changed.notify_all();
    record->changed.wait(lock, [&] { return record->go; });
  }
  record.reset();
  self->body();
  return nullptr;
}

void JThread::body() {
  // Copied now: once the end is signalled (or the object deleted), the owner
  // may destroy the object.
  const std::string name = name_;
  const bool autoDelete = autoDelete_;
  try {
    parkIfRequested();
    run();
    JLog::logf(kLevelDebug, "The thread ('%s') terminated normally :", name.c_str());
  } catch (const JError& e) {
    char message[1024];
    e.getMessage(message, sizeof message);
    JLog::logf(kLevelWarning, "The thread ('%s') terminated due to uncaught error : %s\n",
               name.c_str(), message);
  } catch (const char* text) {
    JLog::logf(kLevelWarning,
               "The thread ('%s') terminated due to uncaught string exception : %s\n", name.c_str(),
               text != nullptr ? text : "");
  } catch (const std::string& text) {
    JLog::logf(kLevelWarning,
               "The thread ('%s') terminated due to uncaught string exception : %s\n", name.c_str(),
               text.c_str());
  } catch (const std::exception& e) {
    JLog::logf(kLevelWarning, "The thread ('%s') terminated due to uncaught exception : %s\n",
               name.c_str(), e.what());
  } catch (abi::__forced_unwind&) {
    // Thread cancellation unwinds through here and must go on.
    throw;
  } catch (...) {
    JLog::logf(kLevelWarning,
               "The thread ('%s') terminated due to an uncaught exception of unknown type\n",
               name.c_str());
  }
  JLog::setCurrentThreadName({});
  t_current = nullptr;
  {
    // The waker goes with this thread.
    std::lock_guard lock(parkMutex_);
    waker_ = nullptr;
  }
  if (autoDelete) {
    // The object was created for this thread and belongs to it alone.
    delete this;
  } else {
    std::lock_guard lock(objectMutex());
    ended_ = true;
    wakeWaitersLocked();
  }
}

void JThread::release() {
  // The body has signalled its end; pthread_join only waits for the last
  // instructions of the thread.
  const int rc = ::pthread_join(thread_, nullptr);
  if (rc != 0) {
    throw JSysError(static_cast<uint32_t>(rc), "WaitForSingleObject");
  }
  clearHandle();
}

void JThread::join() {
  if (handle() == -1) {
    return;
  }
  if (current() == this) {
    throw JTextError("a thread cannot join itself");
  }
  if (autoDelete_) {
    throw JTextError("an auto-delete thread cannot be joined");
  }
  JWaitableObject::wait(-1);
  release();
}

bool JThread::tryJoin() {
  if (handle() == -1 || current() == this || autoDelete_) {
    return false;
  }
  {
    std::lock_guard lock(objectMutex());
    if (!ended_) {
      return false;
    }
  }
  release();
  return true;
}

int JThread::suspend() {
  if (handle() == -1) {
    throw JSysError(ESRCH, "SuspendThread");
  }
  int previous;
  {
    std::lock_guard lock(parkMutex_);
    previous = suspendCount_;
    if (previous >= kMaximumSuspendCount) {
      previous = -1;
    } else if (suspendCount_++ == 0 && waker_ != nullptr) {
      waker_->wake();
    }
  }
  if (previous < 0) {
    throw JSysError(EOVERFLOW, "SuspendThread");
  }
  if (current() == this) {
    parkIfRequested();
  }
  return previous;
}

int JThread::resume() {
  if (handle() == -1) {
    throw JSysError(ESRCH, "ResumeThread");
  }
  std::lock_guard lock(parkMutex_);
  const int previous = suspendCount_;
  if (suspendCount_ > 0 && --suspendCount_ == 0) {
    parkChanged_.notify_all();
  }
  return previous;
}

bool JThread::isParked() const {
  std::lock_guard lock(parkMutex_);
  return parked_;
}

int JThread::suspendCount() const {
  std::lock_guard lock(parkMutex_);
  return suspendCount_;
}

void JThread::parkIfRequested() {
  std::unique_lock lock(parkMutex_);
  if (suspendCount_ == 0) {
    return;
  }
  parked_ = true;
  parkChanged_.wait(lock, [this] { return suspendCount_ == 0; });
  parked_ = false;
}

JThread* JThread::current() {
  return t_current;
}

void JThread::checkSuspended() {
  if (JThread* self = current()) {
    self->parkIfRequested();
  }
}

void JThread::sleep(int ms) {
  using Clock = std::chrono::steady_clock;
  const auto until = Clock::now() + std::chrono::milliseconds(std::max(ms, 0));
  if (current() == nullptr) {
    std::this_thread::sleep_until(until);
    return;
  }
  // On a JThread the sleep is on the thread's waker, which suspend() wakes:
  // a request parks it at once. Other wake-ups (left from an earlier wait)
  // only go round the loop.
  JWaker& waker = JWaker::current();
  for (;;) {
    checkSuspended();
    if (Clock::now() >= until) {
      return;
    }
    waker.sleepUntil(until);
  }
}

}  // namespace zq
