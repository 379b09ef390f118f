// The wait engine: ppoll on the objects' handles (and on the calling
// JThread's suspension handle), then the signal is taken under the state lock.
#include "base/wait.h"

#include <poll.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <ctime>

#include "base/error.h"
#include "base/thread.h"

namespace zq {
namespace {

using Clock = std::chrono::steady_clock;

// Most waits are on four objects or fewer; only larger ones allocate.
constexpr size_t kInlineObjects = 8;

class PollSet {
 public:
  explicit PollSet(size_t capacity) {
    if (capacity > kInlineObjects) {
      heap_.resize(capacity);
      fds_ = heap_.data();
    }
  }
  void clear() { size_ = 0; }
  void truncate(size_t size) { size_ = size; }
  void add(int fd) { fds_[size_++] = pollfd{fd, POLLIN, 0}; }
  pollfd* data() { return fds_; }
  size_t size() const { return size_; }
  pollfd& operator[](size_t i) { return fds_[i]; }

 private:
  pollfd inline_[kInlineObjects]{};
  std::vector<pollfd> heap_;
  pollfd* fds_ = inline_;
  size_t size_ = 0;
};

class Deadline {
 public:
  explicit Deadline(int timeoutMs)
      : infinite_(timeoutMs < 0),
        at_(Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs)) {}

  // The time left for ppoll; null for no limit.
  const timespec* remaining() {
    if (infinite_) {
      return nullptr;
    }
    const auto left = at_ - Clock::now();
    const int64_t ns = left.count() > 0 ? std::chrono::nanoseconds(left).count() : 0;
    left_.tv_sec = static_cast<time_t>(ns / 1000000000);
    left_.tv_nsec = static_cast<long>(ns % 1000000000);
    return &left_;
  }
  bool expired() const { return !infinite_ && Clock::now() >= at_; }

 private:
  bool infinite_;
  Clock::time_point at_;
  timespec left_{};
};

const timespec kNoWait{0, 0};

int pollFor(PollSet& set, const timespec* timeout) {
  return ::ppoll(set.data(), set.size(), timeout, nullptr);
}

// A look without waiting; -1 with errno on failure.
int pollNow(PollSet& set) {
  int n;
  do {
    n = pollFor(set, &kNoWait);
  } while (n < 0 && errno == EINTR);
  return n;
}

bool readable(const pollfd& p) {
  return (p.revents & POLLIN) != 0;
}
bool invalid(const pollfd& p) {
  return (p.revents & POLLNVAL) != 0;
}

}  // namespace

// ---- JWaiter --------------------------------------------------------------

int JWaiter::waitFor(JWaitableObject* const* objects, size_t count, bool waitAll, int timeoutMs,
                     const char* callName) {
  if (count == 0) {
    throw JSysError(EINVAL, callName);
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
  Deadline deadline(timeoutMs);
  PollSet set(count + 1);
  // For each entry of the poll set, the index of its object; -1 for the
  // suspension handle.
  int indexInline[kInlineObjects + 1];
  std::vector<int> indexHeap;
  int* indexOf = indexInline;
  if (count + 1 > kInlineObjects + 1) {
    indexHeap.resize(count + 1);
    indexOf = indexHeap.data();
  }

  for (;;) {
    if (self != nullptr) {
      self->parkIfRequested();
    }
    set.clear();

    if (waitAll) {
      // Under the state lock nobody can take a signal away: when all poll
      // signalled now, consuming the auto-reset ones cannot fail.
      int failure = 0;
      bool all = true;
      {
        std::lock_guard lock(JWaitableObject::stateLock());
        for (size_t i = 0; i < count && failure == 0; ++i) {
          const int fd = objects[i]->handle();
          if (fd < 0) {
            failure = EBADF;
          }
          set.add(fd);
        }
        if (failure == 0 && pollNow(set) < 0) {
          failure = errno;
        }
        for (size_t i = 0; i < count && failure == 0; ++i) {
          if (invalid(set[i])) {
            failure = EBADF;
          }
          all = all && readable(set[i]);
        }
        if (failure == 0 && all) {
          for (size_t i = 0; i < count; ++i) {
            objects[i]->consumeSignal();
          }
        }
      }
      if (failure != 0) {
        throw JSysError(static_cast<uint32_t>(failure), callName);
      }
      if (all) {
        if (self != nullptr) {
          self->parkIfRequested();
        }
        return 0;
      }
      // Block only on the objects not signalled in that snapshot; once one of
      // them is, look at all of them again.
      size_t kept = 0;
      for (size_t i = 0; i < count; ++i) {
        if (!readable(set[i])) {
          indexOf[kept] = static_cast<int>(i);
          set[kept++] = pollfd{set[i].fd, POLLIN, 0};
        }
      }
      set.truncate(kept);
    } else {
      for (size_t i = 0; i < count; ++i) {
        const int fd = objects[i]->handle();
        if (fd < 0) {
          throw JSysError(EBADF, callName);
        }
        indexOf[set.size()] = static_cast<int>(i);
        set.add(fd);
      }
    }

    const size_t objectEntries = set.size();
    if (self != nullptr && self->parkHandle() >= 0) {
      indexOf[set.size()] = -1;
      set.add(self->parkHandle());
    }

    const int n = pollFor(set, deadline.remaining());
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      throw JSysError(static_cast<uint32_t>(errno), callName);
    }
    if (n == 0) {
      if (deadline.expired()) {
        throw JTimeoutError();
      }
      continue;
    }
    for (size_t i = 0; i < set.size(); ++i) {
      if (invalid(set[i])) {
        throw JSysError(EBADF, callName);
      }
    }
    if (objectEntries < set.size() && readable(set[objectEntries])) {
      // Asked to suspend: park at the top of the loop, then wait again.
      continue;
    }
    if (waitAll) {
      continue;
    }
    // Entries are in index order: the first signal taken is the lowest index.
    for (size_t i = 0; i < objectEntries; ++i) {
      if (!readable(set[i])) {
        continue;
      }
      JWaitableObject* object = objects[indexOf[i]];
      bool taken;
      {
        std::lock_guard lock(JWaitableObject::stateLock());
        taken = object->consumeSignal();
      }
      if (taken) {
        if (self != nullptr) {
          self->parkIfRequested();
        }
        return indexOf[i];
      }
    }
    // Every signal seen was taken by another waiter: wait again.
    if (deadline.expired()) {
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
