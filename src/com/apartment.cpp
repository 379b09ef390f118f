// Apartments and their queues of calls: the thread state that CoInitializeEx
// sets up, and the waiting and pumping that carry a call to its owner thread.
#include "com/apartment.h"

#include <exception>

#include "base/error.h"
#include "base/log.h"

namespace zq::com {

struct JApartment::Call {
  std::function<HRESULT()> fn;
  std::function<void()> post;          // a posted call; nobody waits
  std::shared_ptr<JApartment> waiter;  // the single-threaded caller waiting, if any
  std::mutex mutex;
  std::condition_variable doneChanged;
  std::atomic<bool> done{false};
  HRESULT hr = S_OK;

  void complete(HRESULT result) {
    {
      std::lock_guard lock(mutex);
      hr = result;
      done.store(true, std::memory_order_release);
    }
    doneChanged.notify_all();
    if (waiter) {
      // Taking the caller's lock orders this wake after its last check.
      { std::lock_guard lock(waiter->mutex_); }
      waiter->arrived_.notify_all();
    }
  }
};

namespace {

// The calling thread's membership; ending the thread ends its apartment.
struct ThreadState {
  std::shared_ptr<JApartment> apartment;
  int count = 0;
  ~ThreadState() {
    if (apartment && apartment->singleThreaded()) {
      apartment->close();
    }
  }
};
thread_local ThreadState tls;

std::shared_ptr<JApartment> multithreaded() {
  static const auto mta = std::make_shared<JApartment>(false);
  return mta;
}

}  // namespace

HRESULT CoInitializeEx(void* /*reserved*/, DWORD coinit) {
  const bool single = (coinit & COINIT_APARTMENTTHREADED) != 0;
  if (tls.apartment) {
    if (tls.apartment->singleThreaded() != single) {
      return RPC_E_CHANGED_MODE;
    }
    ++tls.count;
    return S_FALSE;
  }
  tls.apartment = single ? std::make_shared<JApartment>(true) : multithreaded();
  tls.count = 1;
  return S_OK;
}

void CoUninitialize() {
  if (!tls.apartment || --tls.count > 0) {
    return;
  }
  std::shared_ptr<JApartment> leaving = std::move(tls.apartment);
  tls.apartment.reset();
  if (leaving->singleThreaded()) {
    leaving->close();
  }
}

size_t pumpApartmentMessages() {
  return tls.apartment && tls.apartment->singleThreaded() ? tls.apartment->pump() : 0;
}

size_t waitApartmentMessages(int timeoutMs) {
  return tls.apartment && tls.apartment->singleThreaded() ? tls.apartment->waitAndPump(timeoutMs)
                                                          : 0;
}

JWaitableObject* apartmentMessageSignal() {
  return tls.apartment && tls.apartment->singleThreaded() ? &tls.apartment->messageSignal()
                                                          : nullptr;
}

std::shared_ptr<JApartment> JApartment::current() {
  return tls.apartment;
}

JApartment::JApartment(bool singleThreaded)
    : singleThreaded_(singleThreaded), owner_(std::this_thread::get_id()) {}

JApartment::~JApartment() = default;

bool JApartment::isCurrent() const {
  if (!singleThreaded_) {
    // The multithreaded apartment's objects are called from anywhere.
    return true;
  }
  return std::this_thread::get_id() == owner_;
}

std::shared_ptr<JApartment::Call> JApartment::popLocked() {
  if (queue_.empty()) {
    return nullptr;
  }
  std::shared_ptr<Call> c = std::move(queue_.front());
  queue_.pop_front();
  if (queue_.empty()) {
    queued_.reset();
  }
  return c;
}

void JApartment::run(Call& c) {
  if (c.post) {
    c.post();
    return;
  }
  HRESULT hr = E_UNEXPECTED;
  try {
    hr = c.fn();
  } catch (const JError& e) {
    logCaught(e);
  } catch (const std::exception& e) {
    JLog::logf(9, "JApartment: a call failed: %s", e.what());
  }
  c.complete(hr);
}

HRESULT JApartment::call(const std::function<HRESULT()>& fn) {
  if (isCurrent()) {
    return fn();
  }
  auto c = std::make_shared<Call>();
  c->fn = fn;
  std::shared_ptr<JApartment> me = current();
  if (me && me->singleThreaded()) {
    c->waiter = me;
  }
  {
    std::lock_guard lock(mutex_);
    if (closed_) {
      return RPC_E_DISCONNECTED;
    }
    queue_.push_back(c);
    queued_.set();
  }
  arrived_.notify_all();
  if (c->waiter) {
    // Serve our own callers meanwhile: they may be what the call waits on.
    std::unique_lock lock(me->mutex_);
    while (!c->done.load(std::memory_order_acquire)) {
      if (std::shared_ptr<Call> incoming = me->popLocked()) {
        lock.unlock();
        me->run(*incoming);
        lock.lock();
        continue;
      }
      me->arrived_.wait(lock);
    }
  } else {
    std::unique_lock lock(c->mutex);
    c->doneChanged.wait(lock, [&] { return c->done.load(std::memory_order_acquire); });
  }
  std::lock_guard lock(c->mutex);
  return c->hr;
}

void JApartment::post(std::function<void()> fn) {
  if (isCurrent()) {
    fn();
    return;
  }
  auto c = std::make_shared<Call>();
  c->post = std::move(fn);
  {
    std::lock_guard lock(mutex_);
    if (!closed_) {
      queue_.push_back(c);
      queued_.set();
      c.reset();
    }
  }
  if (c) {
    // No owner thread any more: nowhere else to run it.
    c->post();
    return;
  }
  arrived_.notify_all();
}

bool JApartment::closed() const {
  std::lock_guard lock(mutex_);
  return closed_;
}

size_t JApartment::pump() {
  if (!singleThreaded_ || std::this_thread::get_id() != owner_) {
    return 0;
  }
  size_t ran = 0;
  for (;;) {
    std::shared_ptr<Call> c;
    {
      std::lock_guard lock(mutex_);
      c = popLocked();
    }
    if (!c) {
      return ran;
    }
    run(*c);
    ++ran;
  }
}

size_t JApartment::waitAndPump(int timeoutMs) {
  if (!singleThreaded_ || std::this_thread::get_id() != owner_) {
    return 0;
  }
  {
    std::unique_lock lock(mutex_);
    const auto ready = [&] { return !queue_.empty() || closed_; };
    if (timeoutMs < 0) {
      arrived_.wait(lock, ready);
    } else {
      arrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
    }
  }
  return pump();
}

void JApartment::close() {
  std::deque<std::shared_ptr<Call>> left;
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    left.swap(queue_);
    queued_.reset();
  }
  for (const std::shared_ptr<Call>& c : left) {
    if (c->post) {
      c->post();
    } else {
      c->complete(RPC_E_DISCONNECTED);
    }
  }
}

}  // namespace zq::com
