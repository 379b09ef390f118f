// Apartments and the interface table: a call from another thread runs on the
// owner thread, only while it pumps, and returns its result; an owner calling
// itself through its table entry or a proxy, and two apartments calling each
// other, do not deadlock; every reference a proxy or the table held goes back
// on the owner thread; and the refusals, among them calls to an owner that
// left. A custom interface's proxy is the control's (its calls through GetId),
// the queue's signal waited on among other objects is the console host's.
//
// Connection points: several sinks, a failing sink that does not stop the
// others, refusals and free slots taken again, the slot array's growth and
// limit, and sinks coming and going while events fire. Firing from a worker
// into the sinks' apartment, the events' arguments in declaration order, and
// finding the point are checked on the control's own events.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "com/apartment.h"
#include "com/apartment_proxy.h"
#include "com/com_ptr.h"
#include "com/connection_point.h"
#include "com/dispatch.h"
#include "com/global_interface_table.h"
#include "com/ref_count.h"
#include "helpers/waits.h"

namespace zq::com {
namespace {

using namespace std::chrono_literals;

inline constexpr IID IID_IEvents = makeGuid("{0B5D6C11-7E0A-4F3B-A1C2-3D4E5F607182}");
inline constexpr IID IID_INoProxy = makeGuid("{0B5D6C11-7E0A-4F3B-A1C2-3D4E5F607183}");

constexpr DISPID kTwice = 1;     // result = 2 * argument
constexpr DISPID kCallBack = 2;  // calls kTwice on `peer` with the argument, result + 1
constexpr DISPID kEvent = 3;     // an event: `number` goes to `journal`, the answer is `answer`

template <class T>
ULONG refsOf(T* object) {
  object->AddRef();
  return object->Release();
}

HRESULT callTwice(IDispatch* d, LONG arg, LONG* out, DISPID member = kTwice) {
  JComVariant a(arg);
  DISPPARAMS params{&a, nullptr, 1, 0};
  JComVariant result;
  const HRESULT hr = d->Invoke(member, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                               &result, nullptr, nullptr);
  *out = result.lVal;
  return hr;
}

// Records the threads its calls run on; answers the events' IID (which has
// the dispatch proxy) and one that has no proxy. As an event sink, notes its
// number in a journal all the sinks of a test share.
class Recorder : public JComObject<Recorder, IDispatch> {
 public:
  HRESULT GetTypeInfoCount(UINT* n) override {
    *n = 0;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return DISP_E_UNKNOWNNAME;
  }
  HRESULT Invoke(DISPID member, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO*, UINT*) override {
    EXPECT_EQ(flags, DISPATCH_METHOD);
    EXPECT_NE(result, nullptr);
    {
      std::lock_guard lock(mutex_);
      threads_.push_back(std::this_thread::get_id());
    }
    if (member == kEvent) {
      journal->push_back(number);  // events come from one thread at a time
      return answer;
    }
    const LONG arg = params->rgvarg[0].lVal;
    LONG r = 2 * arg;
    HRESULT hr = S_OK;
    if (member == kCallBack) {
      hr = callTwice(peer.get(), arg, &r);
      ++r;
    }
    result->vt = VT_I4;
    result->lVal = r;
    return hr;
  }
  std::vector<std::thread::id> seen() {
    std::lock_guard lock(mutex_);
    return threads_;
  }

  ComPtr<IDispatch> peer;
  int number = 0;
  std::vector<int>* journal = nullptr;
  HRESULT answer = S_OK;

 protected:
  bool queryMore(REFIID riid, void** out) override {
    *out = riid == IID_IEvents || riid == IID_INoProxy ? static_cast<IDispatch*>(this) : nullptr;
    return *out != nullptr;
  }

 private:
  std::mutex mutex_;
  std::vector<std::thread::id> threads_;
};

ComPtr<IGlobalInterfaceTable> git() {
  ComPtr<IGlobalInterfaceTable> t;
  EXPECT_EQ(createGlobalInterfaceTable(t.put()), S_OK);
  return t;
}

// A thread in its own single-threaded apartment that owns a Recorder,
// registered in the table as the events, and pumps only while `pumping`.
class Owner {
 public:
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

  /// Runs `fn` on the owner thread, after what is already queued to it.
  void onOwner(const std::function<void()>& fn,
               std::source_location at = std::source_location::current()) {
    const auto call = [&] {
      return apartment_->call([&] {
        fn();
        return S_OK;
      });
    };
    EXPECT_EQ(test::returnsWithin(20000, "a call run on the owner thread to return", call, at),
              S_OK);
  }

  std::atomic<bool> pumping;
  Recorder* object = nullptr;  // owned by the table entry and the owner thread
  DWORD cookie = 0;
  std::thread::id id;

 private:
  void body() {
    id = std::this_thread::get_id();
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    apartment_ = JApartment::current();
    object = new Recorder;
    EXPECT_EQ(git()->RegisterInterfaceInGlobal(object, IID_IEvents, &cookie), S_OK);
    ready_.set_value();
    while (!stop_) {
      if (pumping) {
        waitApartmentMessages(5);
      } else {
        std::this_thread::sleep_for(1ms);
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
  std::shared_ptr<JApartment> apartment_;
};

// Joins an apartment for the rest of a scope.
struct Joined {
  explicit Joined(DWORD mode = COINIT_APARTMENTTHREADED) { CoInitializeEx(nullptr, mode); }
  ~Joined() { CoUninitialize(); }
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
      if (git()->GetInterfaceFromGlobal(owner.cookie, t < 2 ? IID_IEvents : IID_IDispatch,
                                        proxy.putVoid()) != S_OK ||
          proxy.get() == static_cast<IDispatch*>(owner.object)) {
        return -1;
      }
      int right = 0;
      for (int i = 0; i < kCalls; ++i) {
        LONG r = 0;
        right += callTwice(proxy.get(), i, &r) == S_OK && r == 2 * i ? 1 : 0;
      }
      return right;
    }));
  }
  EXPECT_EQ(callers[0].wait_for(200ms), std::future_status::timeout);
  EXPECT_TRUE(owner.object->seen().empty()) << "ran while the owner did not pump";
  owner.pumping = true;
  for (auto& c : callers)
    EXPECT_EQ(test::returnsWithin(60000, "a caller's calls to return", [&] { return c.get(); }),
              kCalls);
  EXPECT_EQ(owner.object->seen(),
            std::vector<std::thread::id>(size_t{kThreads * kCalls}, owner.id));
}

// Owner a calls its own object through the table and through a proxy made
// elsewhere, and calls b, which calls a back while a waits. Then every proxy
// goes, and only the owner's and the table's references are left.
TEST(Apartment, OwnersCallingThemselvesAndEachOtherThroughProxies) {
  Owner a;
  Owner b;
  Joined joined(COINIT_MULTITHREADED);
  ComPtr<IDispatch> toA;
  ASSERT_EQ(git()->GetInterfaceFromGlobal(a.cookie, IID_IEvents, toA.putVoid()), S_OK);
  b.onOwner([&] {
    EXPECT_EQ(git()->GetInterfaceFromGlobal(a.cookie, IID_IDispatch, b.object->peer.putVoid()),
              S_OK);
  });
  a.onOwner([&] {
    ComPtr<IDispatch> own;
    ASSERT_EQ(git()->GetInterfaceFromGlobal(a.cookie, IID_IEvents, own.putVoid()), S_OK);
    EXPECT_EQ(own.get(), static_cast<IDispatch*>(a.object)) << "a proxy of its own object";
    ComPtr<IDispatch> toB;
    ASSERT_EQ(git()->GetInterfaceFromGlobal(b.cookie, IID_IDispatch, toB.putVoid()), S_OK);
    const struct {
      IDispatch* target;
      DISPID member;
      LONG result;
    } calls[] = {{own.get(), kTwice, 2}, {toA.get(), kTwice, 2}, {toB.get(), kCallBack, 3}};
    for (const auto& c : calls) {
      LONG r = 0;
      EXPECT_EQ(callTwice(c.target, 1, &r, c.member), S_OK);
      EXPECT_EQ(r, c.result);
    }
  });
  EXPECT_EQ(a.object->seen(), std::vector<std::thread::id>(3, a.id));
  EXPECT_EQ(b.object->seen(), std::vector<std::thread::id>{b.id});

  // A proxy answers its own interface and its identity, nothing else.
  ComPtr<IUnknown> identity;
  EXPECT_EQ(toA->QueryInterface(IID_INoProxy, identity.putVoid()), E_NOINTERFACE);
  ASSERT_EQ(toA->QueryInterface(IID_IUnknown, identity.putVoid()), S_OK);
  EXPECT_EQ(identity.get(), static_cast<IUnknown*>(toA.get()));

  identity.reset();
  toA.reset();
  b.onOwner([&] { b.object->peer.reset(); });
  a.onOwner([&] { EXPECT_EQ(refsOf(a.object), 2u) << "the owner's and the table's"; });
}

TEST(Apartment, TableRefusals) {
  Owner owner;
  Joined joined;
  DWORD noProxy = 0;
  owner.onOwner([&] {
    EXPECT_EQ(git()->RegisterInterfaceInGlobal(owner.object, IID_INoProxy, &noProxy), S_OK);
  });

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
    return callTwice(stranded.get(), 1, &r);
  });
  EXPECT_EQ(pending.wait_for(100ms), std::future_status::timeout);
  leave.set_value();
  leaving.join();

  const auto get = [](DWORD cookie, REFIID iid) {
    ComPtr<IUnknown> p;
    return git()->GetInterfaceFromGlobal(cookie, iid, p.putVoid());
  };
  const struct {
    const char* name;
    std::function<HRESULT()> call;
    HRESULT hr;
  } cases[] = {
      {"unknown cookie", [&] { return get(0x7FFFFFF0, IID_IUnknown); }, E_INVALIDARG},
      {"get outside any apartment",
       [&] { return std::async(std::launch::async, get, owner.cookie, IID_IUnknown).get(); },
       CO_E_NOTINITIALIZED},
      {"register an interface the object lacks",
       [&] {
         DWORD c = 0;
         return git()->RegisterInterfaceInGlobal(owner.object, IID_IGlobalInterfaceTable, &c);
       },
       E_NOINTERFACE},
      {"interface without a proxy", [&] { return get(noProxy, IID_INoProxy); }, REGDB_E_IIDNOTREG},
      {"interface the proxy does not answer", [&] { return get(owner.cookie, IID_INoProxy); },
       E_NOINTERFACE},
      {"call waiting when the owner left",
       [&] {
         return test::returnsWithin(20000, "a call to an owner that left to fail",
                                    [&] { return pending.get(); });
       },
       RPC_E_DISCONNECTED},
      {"call after the owner left",
       [&] {
         LONG r = 0;
         return callTwice(stranded.get(), 1, &r);
       },
       RPC_E_DISCONNECTED},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.call(), c.hr);
  }
  EXPECT_EQ(git()->RevokeInterfaceFromGlobal(departed), S_OK);
  EXPECT_EQ(git()->RevokeInterfaceFromGlobal(departed), E_INVALIDARG);
  owner.onOwner([&] {
    EXPECT_EQ(git()->RevokeInterfaceFromGlobal(noProxy), S_OK);
    EXPECT_EQ(refsOf(owner.object), 2u) << "the revoked entry's reference went back";
  });
  EXPECT_TRUE(owner.object->seen().empty());
}

// ---- connection points ----------------------------------------------------------

class Source : public JComObject<Source, JConnectionPointContainer> {
 public:
  explicit Source(size_t maxSlots = 0) : point(*this, IID_IEvents, maxSlots) {}
  JConnectionPoint point;

 protected:
  std::span<JConnectionPoint* const> connectionPoints() override { return points_; }

 private:
  JConnectionPoint* points_[1] = {&point};
};

void fireEvent(JConnectionPoint& point) {
  DISPPARAMS none{};
  point.fire(kEvent, &none);
}

class ConnectionPoint : public ::testing::Test {
 protected:
  ~ConnectionPoint() override {
    source_->Release();
    for (Recorder* s : sinks_) {
      s->Release();
    }
  }
  Recorder* sink(int number, HRESULT answer = S_OK) {
    auto* r = new Recorder;
    r->number = number;
    r->journal = &journal_;
    r->answer = answer;
    return r;
  }
  Joined joined_;
  std::vector<int> journal_;
  Source* source_ = new Source;
  std::vector<Recorder*> sinks_ = {sink(0), sink(1, E_FAIL), sink(2)};
};

// Each advised sink gets a cookie of its own; an object without the events
// is refused and not kept; an event reaches every sink past a failing one,
// in slot order, and a sink advised again takes the slot it left.
TEST_F(ConnectionPoint, SeveralSinksAndAFailingOne) {
  DWORD cookies[3] = {};
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(source_->point.Advise(sinks_[i], &cookies[i]), S_OK);
    EXPECT_NE(cookies[i], 0u);
  }
  EXPECT_TRUE(cookies[0] != cookies[1] && cookies[1] != cookies[2] && cookies[0] != cookies[2]);
  auto* noEvents = new Source;
  DWORD refused = 77;
  EXPECT_EQ(source_->point.Advise(noEvents, &refused), CONNECT_E_CANNOTCONNECT);
  EXPECT_EQ(refused, 0u);
  EXPECT_EQ(noEvents->Release(), 0u) << "the object refused is not kept";
  const auto reached = [&] {
    journal_.clear();
    fireEvent(source_->point);
    return journal_;
  };
  EXPECT_EQ(reached(), (std::vector<int>{0, 1, 2}));
  ASSERT_EQ(source_->point.Unadvise(cookies[1]), S_OK);
  EXPECT_EQ(reached(), (std::vector<int>{0, 2}));
  EXPECT_EQ(source_->point.Unadvise(cookies[1]), CONNECT_E_NOCONNECTION);
  ASSERT_EQ(source_->point.Advise(sinks_[1], &cookies[1]), S_OK);
  EXPECT_EQ(reached(), (std::vector<int>{0, 1, 2}));
}

TEST_F(ConnectionPoint, SlotsGrowOneFourThenDoubleUpToTheLimit) {
  auto* limited = new Source(4);
  std::vector<Recorder*> many;
  for (int i = 0; i < 9; ++i) {
    many.push_back(sink(i));
  }
  const size_t growth[] = {1, 4, 4, 4, 8, 8, 8, 8, 16};
  for (size_t i = 0; i < many.size(); ++i) {
    SCOPED_TRACE(i);
    DWORD cookie = 0;
    ASSERT_EQ(source_->point.Advise(many[i], &cookie), S_OK);
    EXPECT_EQ(source_->point.slotCount(), growth[i]);
    const HRESULT expected = i < 4 ? S_OK : CONNECT_E_ADVISELIMIT;
    EXPECT_EQ(limited->point.Advise(many[i], &cookie), expected);
  }
  EXPECT_EQ(limited->point.slotCount(), 4u);
  limited->Release();
  source_->Release();
  source_ = new Source;
  // Destroying a point revoked its sinks: only our references are left.
  for (Recorder* s : many) {
    EXPECT_EQ(refsOf(s), 1u);
    s->Release();
  }
}

TEST_F(ConnectionPoint, SinksComeAndGoWhileEventsFire) {
  std::atomic<bool> stop{false};
  std::atomic<int> rounds{0};
  auto firing = std::async(std::launch::async, [&] {
    Joined joined(COINIT_MULTITHREADED);
    while (!stop) {
      fireEvent(source_->point);
      ++rounds;
    }
  });
  std::vector<std::future<bool>> advisers;
  for (int t = 0; t < 2; ++t) {
    advisers.push_back(std::async(std::launch::async, [&, t] {
      Joined joined(COINIT_MULTITHREADED);
      // Overlap the firing for certain.
      for (int i = 0; i < 20000 && rounds == 0; ++i) {
        std::this_thread::sleep_for(1ms);
      }
      bool ok = true;
      for (int i = 0; i < 200; ++i) {
        DWORD cookie = 0;
        ok = ok && source_->point.Advise(sinks_[t * 2], &cookie) == S_OK &&
             source_->point.Unadvise(cookie) == S_OK;
      }
      return ok;
    }));
  }
  for (auto& a : advisers)
    EXPECT_TRUE(test::returnsWithin(60000, "a sink's advices to end", [&] { return a.get(); }));
  stop = true;
  ASSERT_EQ(firing.wait_for(20s), std::future_status::ready);
  ComPtr<IEnumConnections> e;
  ASSERT_EQ(source_->point.EnumConnections(e.put()), S_OK);
  CONNECTDATA d{};
  EXPECT_EQ(e->Next(1, &d, nullptr), S_FALSE);
  EXPECT_EQ(refsOf(sinks_[0]), 1u);
  EXPECT_EQ(refsOf(sinks_[2]), 1u);
}

}  // namespace
}  // namespace zq::com
