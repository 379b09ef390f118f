// JFlag, JSemaphore and JWaitableTimer over eventfd and timerfd; the single
// wait is the multiple wait's engine (wait.cpp) with one object.
#include "base/waitable.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "base/error.h"
#include "base/wait.h"

namespace zq {
namespace {

// A read that empties an eventfd or a timerfd; false when there was nothing
// to read (another waiter was first).
bool drain(int fd) {
  uint64_t value = 0;
  for (;;) {
    const ssize_t n = ::read(fd, &value, sizeof value);
    if (n == static_cast<ssize_t>(sizeof value)) {
      return true;
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    return false;
  }
}

// Adds to an eventfd's counter. Writing never blocks for our counters: they
// stay far below the eventfd's limit.
bool add(int fd, uint64_t value) {
  for (;;) {
    const ssize_t n = ::write(fd, &value, sizeof value);
    if (n == static_cast<ssize_t>(sizeof value)) {
      return true;
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    return false;
  }
}

}  // namespace

// ---- JWaitableObject ------------------------------------------------------

JWaitableObject::~JWaitableObject() {
  closeHandle();
}

void JWaitableObject::closeHandle() {
  const int fd = handle_.exchange(-1, std::memory_order_acq_rel);
  if (fd >= 0) {
    ::close(fd);
  }
}

void JWaitableObject::wait(int timeoutMs) {
  JWaitableObject* self = this;
  JWaiter::waitFor(&self, 1, false, timeoutMs, "WaitForSingleObject");
}

bool JWaitableObject::consumeSignal() {
  return true;
}

std::mutex& JWaitableObject::stateLock() {
  static std::mutex lock;
  return lock;
}

bool JWaitableObject::pollSignalled() const {
  pollfd p{handle(), POLLIN, 0};
  if (p.fd < 0) {
    return false;
  }
  int n;
  do {
    n = ::poll(&p, 1, 0);
  } while (n < 0 && errno == EINTR);
  return n == 1 && (p.revents & POLLIN) != 0;
}

// ---- JFlag ----------------------------------------------------------------

JFlag::JFlag(bool manualReset, bool initiallySignalled, std::string_view name)
    : manualReset_(manualReset), name_(name) {
  const int fd = ::eventfd(initiallySignalled ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) {
    throw JSysError(static_cast<uint32_t>(errno), "CreateEvent");
  }
  setHandle(fd);
}

void JFlag::set() {
  // The counter only tells "signalled"; however often it is added to, one
  // read empties it, so repeated sets merge into one signal. Written under
  // the state lock that a waiter takes once it sees the signal, so that what
  // the setter wrote before is visible to the waiter also for race checkers,
  // which see no ordering through a descriptor that is only polled.
  int failure = 0;
  {
    std::lock_guard lock(stateLock());
    if (!add(handle(), 1)) {
      failure = errno;
    }
  }
  if (failure != 0) {
    throw JSysError(static_cast<uint32_t>(failure), "SetEvent");
  }
}

void JFlag::reset() {
  std::lock_guard lock(stateLock());
  drain(handle());
}

bool JFlag::consumeSignal() {
  return manualReset_ || drain(handle());
}

// ---- JSemaphore -----------------------------------------------------------

JSemaphore::JSemaphore(int initialCount, int maximumCount)
    : maximum_(maximumCount), count_(initialCount) {
  if (maximumCount <= 0 || initialCount < 0 || initialCount > maximumCount) {
    throw JSysError(EINVAL, "CreateSemaphore");
  }
  // In semaphore mode each read takes one from the counter.
  const int fd =
      ::eventfd(static_cast<unsigned>(initialCount), EFD_CLOEXEC | EFD_NONBLOCK | EFD_SEMAPHORE);
  if (fd < 0) {
    throw JSysError(static_cast<uint32_t>(errno), "CreateSemaphore");
  }
  setHandle(fd);
}

int JSemaphore::release(int n) {
  int previous = 0;
  int failure = 0;
  {
    std::lock_guard lock(stateLock());
    previous = count_;
    if (n <= 0) {
      failure = EINVAL;
    } else if (n > maximum_ - count_) {
      failure = EOVERFLOW;
    } else if (!add(handle(), static_cast<uint64_t>(n))) {
      failure = errno;
    } else {
      count_ += n;
    }
  }
  // Thrown outside the lock: building the error writes a log record.
  if (failure != 0) {
    throw JSysError(static_cast<uint32_t>(failure), "ReleaseSemaphore");
  }
  return previous;
}

int JSemaphore::count() const {
  std::lock_guard lock(stateLock());
  return count_;
}

bool JSemaphore::consumeSignal() {
  if (!drain(handle())) {
    return false;
  }
  --count_;
  return true;
}

// ---- JWaitableTimer -------------------------------------------------------

JWaitableTimer::JWaitableTimer(bool manualReset) : manualReset_(manualReset) {
  const int fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
  if (fd < 0) {
    throw JSysError(static_cast<uint32_t>(errno), "CreateWaitableTimer");
  }
  setHandle(fd);
}

void JWaitableTimer::set(int64_t dueMs) {
  const int periodMs = period();
  if (periodMs < 0) {
    throw JSysError(EINVAL, "SetWaitableTimer");
  }
  itimerspec spec{};
  // A zero it_value would disarm the timer: "at once" is one nanosecond.
  const int64_t dueNs = dueMs > 0 ? dueMs * 1000000 : 1;
  spec.it_value.tv_sec = static_cast<time_t>(dueNs / 1000000000);
  spec.it_value.tv_nsec = static_cast<long>(dueNs % 1000000000);
  spec.it_interval.tv_sec = periodMs / 1000;
  spec.it_interval.tv_nsec = static_cast<long>(periodMs % 1000) * 1000000;
  int failure = 0;
  {
    // Re-arming clears the expirations counted so far: it takes a signal away.
    std::lock_guard lock(stateLock());
    if (::timerfd_settime(handle(), 0, &spec, nullptr) != 0) {
      failure = errno;
    }
  }
  if (failure != 0) {
    throw JSysError(static_cast<uint32_t>(failure), "SetWaitableTimer");
  }
}

void JWaitableTimer::cancel() {
  const itimerspec disarm{};
  int failure = 0;
  {
    std::lock_guard lock(stateLock());
    if (::timerfd_settime(handle(), 0, &disarm, nullptr) != 0) {
      failure = errno;
    }
  }
  if (failure != 0) {
    throw JSysError(static_cast<uint32_t>(failure), "CancelWaitableTimer");
  }
}

bool JWaitableTimer::consumeSignal() {
  return manualReset_ || drain(handle());
}

}  // namespace zq
