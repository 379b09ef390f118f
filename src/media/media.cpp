// IThread: the iteration loop of the sucker threads, their stop and pause.
#include "media/media.h"

#include <chrono>
#include <thread>

namespace zq {

IThread::IThread() : JThread("zqsec_provider::IThread") {}

IThread::~IThread() = default;

void IThread::start(int priority) {
  if (state() != kStopped) {
    return;
  }
  stopping_.store(false, std::memory_order_release);
  state_.store(kRunning, std::memory_order_release);
  JThread::start(priority);
}

void IThread::stop() {
  if (state() != kRunning) {
    return;
  }
  state_.store(kStopping, std::memory_order_release);
  stopping_.store(true, std::memory_order_release);
  {
    std::lock_guard lock(idleMutex_);
    idleWake_.notify_all();
  }
  wakeForStop();
  // A paused thread must run again to see that it is to end.
  while (suspendCount() > 0) {
    JThread::resume();
  }
  join();
  state_.store(kStopped, std::memory_order_release);
}

void IThread::pause() {
  // Asked first, the thread parks as soon as its iteration ends; taking the
  // loop mutex then waits for that end. (Taking the mutex first would race
  // the thread, which takes it again at once, for as long as it runs.)
  suspend();
  std::lock_guard loop(loopMutex_);
}

void IThread::resume() {
  std::lock_guard loop(loopMutex_);
  JThread::resume();
}

bool IThread::idle(int ms) {
  std::unique_lock lock(idleMutex_);
  return !idleWake_.wait_for(lock, std::chrono::milliseconds(ms),
                             [this] { return stopping_.load(std::memory_order_acquire); });
}

bool IThread::idleCurrent(int ms) {
  if (auto* self = dynamic_cast<IThread*>(JThread::current())) {
    return self->idle(ms);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  return true;
}

void IThread::run() {
  before();
  while (state() == kRunning) {
    // A pause parks the thread here, between two iterations.
    JThread::checkSuspended();
    if (state() != kRunning || !keepRunning()) {
      break;
    }
    std::lock_guard loop(loopMutex_);
    iterate();
  }
  after();
}

}  // namespace zq
