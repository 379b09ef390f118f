// Apartments: where an object's calls run. A thread that joins a
// single-threaded apartment (CoInitializeEx with COINIT_APARTMENTTHREADED)
// gets a queue of calls that other threads post to objects it owns; they
// run on that thread only while it pumps (pumpApartmentMessages,
// waitApartmentMessages), or while it waits on a call of its own into
// another apartment, so that two apartments calling each other do not
// deadlock. Threads of the multithreaded apartment (COINIT_MULTITHREADED)
// have no queue: calls to their objects run on the calling thread.
//
// The apartment ends at the thread's last CoUninitialize, or when the
// thread ends: calls still queued then fail with RPC_E_DISCONNECTED, and so
// does every later call into it.
// Public: hosts join and pump apartments.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "base/waitable.h"
#include "com/hresult.h"
#include "com/types.h"

namespace zq::com {

enum : DWORD {
  COINIT_MULTITHREADED = 0x0,
  COINIT_APARTMENTTHREADED = 0x2,
};

/// S_OK when the calling thread joins an apartment of the kind asked, S_FALSE
/// when it is already in one of that kind (each success is matched by a
/// CoUninitialize), RPC_E_CHANGED_MODE when it is in the other kind.
HRESULT CoInitializeEx(void* reserved, DWORD coinit);
/// Leaves one level; the last leaves the apartment.
void CoUninitialize();

/// Runs the calls queued for the calling thread's single-threaded apartment
/// and returns how many ran; 0 on any other thread. Owner thread only.
size_t pumpApartmentMessages();
/// Waits up to `timeoutMs` (-1: no limit) for a call to arrive, then pumps
/// as above; returns how many ran. Returns 0 at once outside a
/// single-threaded apartment.
size_t waitApartmentMessages(int timeoutMs);
/// For a thread that waits on other objects too (JWaitForMultipleObjects):
/// an object signalled while calls are queued for the calling thread's
/// single-threaded apartment, until a pump empties the queue; null outside
/// one. Valid while the thread stays in the apartment.
JWaitableObject* apartmentMessageSignal();

/// One apartment. Shared by the thread that owns it, the interface table
/// and the proxies that call into it, so that it outlives every user.
///
/// Concurrency: call and post from any thread; pump, waitAndPump and close
/// on the owner thread only.
class JApartment : public std::enable_shared_from_this<JApartment> {
 public:
  /// The calling thread's apartment; null when it joined none.
  static std::shared_ptr<JApartment> current();

  explicit JApartment(bool singleThreaded);
  ~JApartment();
  JApartment(const JApartment&) = delete;
  JApartment& operator=(const JApartment&) = delete;

  bool singleThreaded() const { return singleThreaded_; }
  /// True on a thread where this apartment's objects may be called directly.
  bool isCurrent() const;

  /// Runs `fn` in this apartment and returns its result: directly when the
  /// caller may (see isCurrent), otherwise queued for the owner thread and
  /// waited for without limit; a single-threaded caller runs its own
  /// incoming calls while it waits. RPC_E_DISCONNECTED when the apartment
  /// ended before `fn` ran. An error thrown by `fn` is logged and answered
  /// as E_UNEXPECTED.
  HRESULT call(const std::function<HRESULT()>& fn);
  /// Queues `fn` without waiting, for work that must happen on the owner
  /// thread (the last release of an object). When the apartment has ended
  /// or ends before pumping it, `fn` runs on the thread that ends it, or
  /// here when already ended. Runs at once when the caller may call
  /// directly.
  void post(std::function<void()> fn);

  /// Signalled while calls are queued (manual reset). Any thread may wait.
  JWaitableObject& messageSignal() { return queued_; }
  /// True once the apartment has ended. Any thread.
  bool closed() const;

  size_t pump();
  size_t waitAndPump(int timeoutMs);
  /// Ends the apartment (see the top of the file).
  void close();

 private:
  struct Call;
  std::shared_ptr<Call> popLocked();
  void run(Call& call);

  const bool singleThreaded_;
  const std::thread::id owner_;
  mutable std::mutex mutex_;
  std::condition_variable arrived_;               // a call queued, or a call of the owner's done
  std::deque<std::shared_ptr<Call>> queue_;       // guarded by mutex_
  bool closed_ = false;                           // guarded by mutex_
  JFlag queued_{true, false, "apartment calls"};  // set and reset under mutex_
};

}  // namespace zq::com
