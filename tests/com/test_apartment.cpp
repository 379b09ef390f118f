// Apartments and the interface table: a call from another thread runs on the
// owner thread, only while it pumps, and returns its result; the owner calling
// through its own table entry or a proxy does not deadlock, nor do two
// apartments calling each other; the refusals; and references released on the
// owner thread. The queue's signal waited on among other objects is the
// console host's (it prints events while it reads its input), and the
// interface passed through a stream is the control's, firing its events.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "com/apartment.h"
#include "com/apartment_proxy.h"
#include "com/com_ptr.h"
#include "com/dispatch.h"
#include "com/global_interface_table.h"
#include "com/ref_count.h"

namespace zq::com {
namespace {

using namespace std::chrono_literals;

inline constexpr IID IID_IEvents = makeGuid("{0B5D6C11-7E0A-4F3B-A1C2-3D4E5F607182}");
inline constexpr IID IID_INoProxy = makeGuid("{0B5D6C11-7E0A-4F3B-A1C2-3D4E5F607183}");

constexpr DISPID kTwice = 1;     // result = 2 * argument
constexpr DISPID kCallBack = 2;  // calls kTwice on `peer` with the argument, result + 1

// Records the threads its calls run on.
class Recorder : public JComObject<Recorder, IDispatch> {
 public:
  HRESULT QueryInterface(REFIID riid, void** out) override {
    if ((riid == IID_IEvents || riid == IID_INoProxy) && out != nullptr) {
      *out = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    return JComObject::QueryInterface(riid, out);
  }
  HRESULT GetTypeInfoCount(UINT* n) override {
    *n = 0;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return DISP_E_UNKNOWNNAME;
  }
  HRESULT Invoke(DISPID member, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                 UINT*) override {
    {
      std::lock_guard lock(mutex);
      threads.push_back(std::this_thread::get_id());
    }
    const LONG arg = params->rgvarg[0].lVal;
    if (member == kTwice) {
      result->vt = VT_I4;
      result->lVal = 2 * arg;
      return S_OK;
    }
    if (member == kCallBack && peer) {
      LONG r = 0;
      HRESULT hr = callTwice(peer.get(), arg, &r);
      result->vt = VT_I4;
      result->lVal = r + 1;
      return hr;
    }
    return DISP_E_MEMBERNOTFOUND;
  }
  ULONG refs() {
    AddRef();
    return Release();
  }
  static HRESULT callTwice(IDispatch* d, LONG arg, LONG* out, DISPID member = kTwice) {
    VARIANT a;
    VariantInit(&a);
    a.vt = VT_I4;
    a.lVal = arg;
    DISPPARAMS params{&a, nullptr, 1, 0};
    JComVariant result;
    HRESULT hr = d->Invoke(member, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &result,
                           nullptr, nullptr);
    *out = result.lVal;
    return hr;
  }
  std::vector<std::thread::id> seen() {
    std::lock_guard lock(mutex);
    return threads;
  }

  std::mutex mutex;
  std::vector<std::thread::id> threads;
  ComPtr<IDispatch> peer;
};

ComPtr<IGlobalInterfaceTable> git() {
  ComPtr<IGlobalInterfaceTable> t;
  EXPECT_EQ(createGlobalInterfaceTable(t.put()), S_OK);
  return t;
}

// A thread in its own single-threaded apartment that owns a Recorder,
// registered in the table, and pumps only while `pumping` is set.
class Owner {
 public:
  /// `pumping`: whether the owner pumps from the start.
  explicit Owner(bool startPumping = true) : pumping(startPumping) {
    registerDispatchProxy(IID_IEvents);
    thread_ = std::thread([this] { body(); });
    ready_.get_future().wait();
  }
  ~Owner() {
    stop_ = true;
    thread_.join();
  }
  Owner(const Owner&) = delete;
  Owner& operator=(const Owner&) = delete;

  /// Runs `fn` on the owner thread (between pumps) and waits for it.
  template <class Fn>
  void onOwner(Fn fn) {
    std::packaged_task<void()> task(fn);
    auto done = task.get_future();
    {
      std::lock_guard lock(mutex_);
      tasks_.push_back(std::move(task));
    }
    ASSERT_EQ(done.wait_for(20s), std::future_status::ready);
  }

  std::atomic<bool> pumping;
  Recorder* object = nullptr;  // owned by the table entry and the owner thread
  DWORD cookie = 0;
  std::thread::id id;

 private:
  void body() {
    id = std::this_thread::get_id();
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    object = new Recorder;
    EXPECT_EQ(git()->RegisterInterfaceInGlobal(object, IID_IEvents, &cookie), S_OK);
    ready_.set_value();
    while (!stop_) {
      if (pumping) {
        waitApartmentMessages(5);
      } else {
        std::this_thread::sleep_for(1ms);
      }
      std::vector<std::packaged_task<void()>> tasks;
      {
        std::lock_guard lock(mutex_);
        tasks.swap(tasks_);
      }
      for (auto& t : tasks) {
        t();
      }
    }
    git()->RevokeInterfaceFromGlobal(cookie);
    pumpApartmentMessages();
    object->Release();
    CoUninitialize();
  }

  std::thread thread_;
  std::promise<void> ready_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<std::packaged_task<void()>> tasks_;
};

// Joins an apartment for a test body on a thread of its own.
struct Joined {
  explicit Joined(DWORD mode = COINIT_APARTMENTTHREADED) { hr = CoInitializeEx(nullptr, mode); }
  ~Joined() { CoUninitialize(); }
  HRESULT hr;
};

// Callers in either kind of apartment get proxies; their calls wait until
// the owner pumps, then each runs on the owner and returns its result.
TEST(Apartment, CallsFromManyThreadsRunOnTheOwnerOnlyWhenItPumps) {
  Owner owner(false);
  constexpr int kThreads = 4;
  constexpr int kCalls = 50;
  std::vector<std::future<int>> callers;
  for (int t = 0; t < kThreads; ++t) {
    callers.push_back(std::async(std::launch::async, [&, t] {
      Joined joined(t % 2 == 0 ? COINIT_APARTMENTTHREADED : COINIT_MULTITHREADED);
      ComPtr<IDispatch> proxy;
      const IID& iid = t < 2 ? IID_IEvents : IID_IDispatch;
      if (git()->GetInterfaceFromGlobal(owner.cookie, iid, proxy.putVoid()) != S_OK ||
          proxy.get() == static_cast<IDispatch*>(owner.object)) {
        return -1;
      }
      int right = 0;
      for (int i = 0; i < kCalls; ++i) {
        LONG r = 0;
        right += Recorder::callTwice(proxy.get(), i, &r) == S_OK && r == 2 * i ? 1 : 0;
      }
      return right;
    }));
  }
  // Nothing runs while the owner does not pump.
  EXPECT_EQ(callers[0].wait_for(200ms), std::future_status::timeout);
  EXPECT_TRUE(owner.object->seen().empty());
  owner.pumping = true;
  for (auto& c : callers) {
    ASSERT_EQ(c.wait_for(60s), std::future_status::ready);
    EXPECT_EQ(c.get(), kCalls);
  }
  const auto seen = owner.object->seen();
  EXPECT_EQ(seen.size(), size_t{kThreads * kCalls});
  EXPECT_EQ(std::count(seen.begin(), seen.end(), owner.id), kThreads * kCalls);
}

TEST(Apartment, OwnerCallingItselfDoesNotDeadlock) {
  Owner owner;
  // A proxy made on another thread, then called on the owner thread.
  ComPtr<IDispatch> proxy;
  std::thread([&] {
    Joined joined;
    ASSERT_EQ(git()->GetInterfaceFromGlobal(owner.cookie, IID_IEvents, proxy.putVoid()), S_OK);
  }).join();
  ASSERT_TRUE(proxy);
  owner.onOwner([&] {
    // Through the table the owner gets its own object, not a proxy.
    ComPtr<IDispatch> own;
    ASSERT_EQ(git()->GetInterfaceFromGlobal(owner.cookie, IID_IEvents, own.putVoid()), S_OK);
    EXPECT_EQ(own.get(), static_cast<IDispatch*>(owner.object));
    LONG r = 0;
    EXPECT_EQ(Recorder::callTwice(own.get(), 1, &r), S_OK);
    EXPECT_EQ(r, 2);
    EXPECT_EQ(Recorder::callTwice(proxy.get(), 2, &r), S_OK);
    EXPECT_EQ(r, 4);
  });
  EXPECT_EQ(owner.object->seen(), (std::vector<std::thread::id>{owner.id, owner.id}));
  // The proxy's reference goes back on the owner thread.
  proxy.reset();
  owner.onOwner([&] { EXPECT_EQ(owner.object->refs(), 2u); });
}

TEST(Apartment, TwoApartmentsCallingEachOtherDoNotDeadlock) {
  Owner a;
  Owner b;
  // b's object calls back into a's through a proxy, while a waits on b.
  b.onOwner([&] {
    ASSERT_EQ(git()->GetInterfaceFromGlobal(a.cookie, IID_IDispatch, b.object->peer.putVoid()),
              S_OK);
  });
  a.onOwner([&] {
    ComPtr<IDispatch> toB;
    ASSERT_EQ(git()->GetInterfaceFromGlobal(b.cookie, IID_IDispatch, toB.putVoid()), S_OK);
    LONG r = 0;
    EXPECT_EQ(Recorder::callTwice(toB.get(), 5, &r, kCallBack), S_OK);
    EXPECT_EQ(r, 11);
  });
  EXPECT_EQ(a.object->seen(), std::vector<std::thread::id>{a.id});
  EXPECT_EQ(b.object->seen(), std::vector<std::thread::id>{b.id});
  b.onOwner([&] { b.object->peer.reset(); });
}

inline constexpr IID IID_ICounter = makeGuid("{0B5D6C11-7E0A-4F3B-A1C2-3D4E5F607184}");

// A custom interface that is not a dispatch interface.
struct ICounter : IUnknown {
  static constexpr const IID& iid = IID_ICounter;
  virtual HRESULT Add(LONG n, LONG* total) = 0;
};

class Counter : public JComObject<Counter, ICounter> {
 public:
  HRESULT Add(LONG n, LONG* total) override {
    ranOn = std::this_thread::get_id();
    *total = total_ += n;
    return S_OK;
  }
  ULONG refs() {
    AddRef();
    return Release();
  }
  std::thread::id ranOn;

 private:
  LONG total_ = 0;
};

struct CounterProxy : JApartmentProxy<ICounter> {
  using JApartmentProxy::JApartmentProxy;
  HRESULT Add(LONG n, LONG* total) override {
    return forward([&](ICounter* c) { return c->Add(n, total); });
  }
};

TEST(Apartment, CustomInterfaceThroughItsOwnProxy) {
  Owner owner;
  Counter* counter = nullptr;
  DWORD cookie = 0;
  owner.onOwner([&] {
    counter = new Counter;
    ASSERT_EQ(git()->RegisterInterfaceInGlobal(counter, IID_ICounter, &cookie), S_OK);
  });
  Joined joined;
  ComPtr<ICounter> proxy;
  registerProxyFactory(IID_ICounter, &proxyFactory<CounterProxy>);
  ASSERT_EQ(git()->GetInterfaceFromGlobal(cookie, IID_ICounter, proxy.putVoid()), S_OK);
  EXPECT_NE(static_cast<void*>(proxy.get()), static_cast<void*>(counter));
  LONG total = 0;
  ASSERT_EQ(proxy->Add(5, &total), S_OK);
  ASSERT_EQ(proxy->Add(2, &total), S_OK);
  EXPECT_EQ(total, 7);
  EXPECT_EQ(counter->ranOn, owner.id);
  // The proxy answers its own interface and its identity, nothing else.
  ComPtr<IDispatch> none;
  EXPECT_EQ(proxy->QueryInterface(IID_IDispatch, none.putVoid()), E_NOINTERFACE);
  ComPtr<IUnknown> identity;
  ASSERT_EQ(proxy->QueryInterface(IID_IUnknown, identity.putVoid()), S_OK);
  EXPECT_EQ(identity.get(), static_cast<IUnknown*>(proxy.get()));
  identity.reset();
  proxy.reset();
  owner.onOwner([&] {
    EXPECT_EQ(git()->RevokeInterfaceFromGlobal(cookie), S_OK);
    pumpApartmentMessages();
    EXPECT_EQ(counter->refs(), 1u);
    counter->Release();
  });
}

TEST(Apartment, TableRefusals) {
  Owner owner;
  Joined joined;
  DWORD noProxy = 0;
  owner.onOwner([&] {
    ASSERT_EQ(git()->RegisterInterfaceInGlobal(owner.object, IID_INoProxy, &noProxy), S_OK);
  });
  auto* plain = new Recorder;

  // An owner that leaves while a call waits for it, and leaves its entry.
  std::promise<void> registered;
  std::promise<void> leave;
  DWORD departed = 0;
  std::thread leaving([&] {
    Joined j;
    auto* r = new Recorder;
    EXPECT_EQ(git()->RegisterInterfaceInGlobal(r, IID_IEvents, &departed), S_OK);
    r->Release();
    registered.set_value();
    leave.get_future().wait();
  });
  registered.get_future().wait();
  ComPtr<IDispatch> stranded;
  ASSERT_EQ(git()->GetInterfaceFromGlobal(departed, IID_IEvents, stranded.putVoid()), S_OK);
  auto pending = std::async(std::launch::async, [&] {
    LONG r = 0;
    return Recorder::callTwice(stranded.get(), 1, &r);
  });
  EXPECT_EQ(pending.wait_for(100ms), std::future_status::timeout);
  leave.set_value();
  leaving.join();

  struct Case {
    const char* name;
    std::function<HRESULT()> call;
    HRESULT hr;
  };
  const Case cases[] = {
      {"unknown cookie",
       [&] {
         ComPtr<IUnknown> p;
         return git()->GetInterfaceFromGlobal(0x7FFFFFF0, IID_IUnknown, p.putVoid());
       },
       E_INVALIDARG},
      {"get outside any apartment",
       [&] {
         return std::async(std::launch::async,
                           [&] {
                             ComPtr<IUnknown> p;
                             return git()->GetInterfaceFromGlobal(owner.cookie, IID_IUnknown,
                                                                  p.putVoid());
                           })
             .get();
       },
       CO_E_NOTINITIALIZED},
      {"register an interface the object lacks",
       [&] {
         DWORD c = 0;
         return git()->RegisterInterfaceInGlobal(plain, IID_IGlobalInterfaceTable, &c);
       },
       E_NOINTERFACE},
      {"interface without a proxy",
       [&] {
         ComPtr<IUnknown> p;
         return git()->GetInterfaceFromGlobal(noProxy, IID_INoProxy, p.putVoid());
       },
       REGDB_E_IIDNOTREG},
      {"interface the proxy does not answer",
       [&] {
         ComPtr<IUnknown> p;
         return git()->GetInterfaceFromGlobal(owner.cookie, IID_INoProxy, p.putVoid());
       },
       E_NOINTERFACE},
      {"call waiting when the owner left", [&] { return pending.get(); }, RPC_E_DISCONNECTED},
      {"call after the owner left",
       [&] {
         LONG r = 0;
         return Recorder::callTwice(stranded.get(), 1, &r);
       },
       RPC_E_DISCONNECTED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.call(), c.hr);
  }
  EXPECT_EQ(git()->RevokeInterfaceFromGlobal(departed), S_OK);
  EXPECT_EQ(git()->RevokeInterfaceFromGlobal(departed), E_INVALIDARG);
  owner.onOwner([&] { EXPECT_EQ(git()->RevokeInterfaceFromGlobal(noProxy), S_OK); });
  EXPECT_TRUE(owner.object->seen().empty());
  plain->Release();
}

}  // namespace
}  // namespace zq::com
