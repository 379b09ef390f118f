// Connection points: several sinks, a failing sink that does not stop the
// others, refusals and free slots taken again, the slot array's growth and
// limit, and sinks coming and going while events fire. Firing from a worker
// into the sinks' apartment, the events' arguments in declaration order, and
// finding the point are checked on the control's own events.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "com/apartment.h"
#include "com/connection_point.h"
#include "com/ref_count.h"

namespace zq::com {
namespace {

using namespace std::chrono_literals;

inline constexpr IID IID_IEvents = makeGuid("{6A1C0D2E-3F4B-4C5D-8E9F-0A1B2C3D4E01}");

// The sinks a test's events reached, in order.
struct Journal {
  std::mutex mutex;
  std::vector<int> sinks;
};

class Sink : public JComObject<Sink, IDispatch> {
 public:
  Sink(int number, Journal* journal, bool answersEvents = true, HRESULT answer = S_OK)
      : number_(number), journal_(journal), answersEvents_(answersEvents), answer_(answer) {}
  HRESULT GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT Invoke(DISPID, REFIID, LCID, WORD flags, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                 UINT*) override {
    EXPECT_EQ(flags, DISPATCH_METHOD);
    EXPECT_NE(result, nullptr);
    std::lock_guard lock(journal_->mutex);
    journal_->sinks.push_back(number_);
    return answer_;
  }
  ULONG refs() {
    AddRef();
    return Release();
  }

 protected:
  bool queryMore(REFIID riid, void** out) override {
    *out = riid == IID_IEvents && answersEvents_ ? static_cast<IDispatch*>(this) : nullptr;
    return *out != nullptr;
  }

 private:
  int number_;
  Journal* journal_;
  bool answersEvents_;
  HRESULT answer_;
};

class Source : public JComObject<Source, JConnectionPointContainer> {
 public:
  explicit Source(size_t maxSlots = 0) : point(*this, IID_IEvents, maxSlots) {}
  JConnectionPoint point;

 protected:
  std::span<JConnectionPoint* const> connectionPoints() override { return points_; }

 private:
  JConnectionPoint* points_[1] = {&point};
};

// Fires LinkDown("host:1", "refused") the way the control does.
void fireLinkDown(JConnectionPoint& point) {
  JComVariant args[2] = {JComVariant("refused"), JComVariant("host:1")};
  DISPPARAMS params{args, nullptr, 2, 0};
  point.fire(2, &params);
}

struct Joined {
  explicit Joined(DWORD mode = COINIT_APARTMENTTHREADED) { CoInitializeEx(nullptr, mode); }
  ~Joined() { CoUninitialize(); }
};

class ConnectionPoint : public ::testing::Test {
 protected:
  ~ConnectionPoint() override {
    source_->Release();
    for (Sink* s : sinks_) {
      s->Release();
    }
  }
  Joined joined_;
  Journal journal_;
  Source* source_ = new Source;
  std::vector<Sink*> sinks_ = {
      new Sink(0, &journal_),
      new Sink(1, &journal_, true, E_FAIL),
      new Sink(2, &journal_),
      new Sink(3, &journal_, false),
  };
};

// Each advised sink gets a cookie of its own; an object without the events
// is refused and not kept; an event reaches every sink past a failing one,
// in slot order, and a sink advised again takes the slot it left.
TEST_F(ConnectionPoint, SeveralSinksAndAFailingOne) {
  DWORD cookies[4] = {};
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(source_->point.Advise(sinks_[i], &cookies[i]), S_OK);
    EXPECT_NE(cookies[i], 0u);
  }
  EXPECT_TRUE(cookies[0] != cookies[1] && cookies[1] != cookies[2] && cookies[0] != cookies[2]);
  cookies[3] = 77;
  EXPECT_EQ(source_->point.Advise(sinks_[3], &cookies[3]), CONNECT_E_CANNOTCONNECT);
  EXPECT_EQ(cookies[3], 0u);
  EXPECT_EQ(sinks_[3]->refs(), 1u);
  const auto reached = [&] {
    journal_.sinks.clear();
    fireLinkDown(source_->point);
    return journal_.sinks;
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
  std::vector<Sink*> many;
  for (int i = 0; i < 9; ++i) {
    many.push_back(new Sink(i, &journal_));
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
  for (Sink* s : many) {
    EXPECT_EQ(s->refs(), 1u);
    s->Release();
  }
}

TEST_F(ConnectionPoint, SinksComeAndGoWhileEventsFire) {
  std::atomic<bool> stop{false};
  std::atomic<int> rounds{0};
  auto firing = std::async(std::launch::async, [&] {
    Joined joined(COINIT_MULTITHREADED);
    while (!stop) {
      fireLinkDown(source_->point);
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
  for (auto& a : advisers) {
    ASSERT_EQ(a.wait_for(60s), std::future_status::ready);
    EXPECT_TRUE(a.get());
  }
  stop = true;
  ASSERT_EQ(firing.wait_for(20s), std::future_status::ready);
  ComPtr<IEnumConnections> e;
  ASSERT_EQ(source_->point.EnumConnections(e.put()), S_OK);
  CONNECTDATA d{};
  EXPECT_EQ(e->Next(1, &d, nullptr), S_FALSE);
  EXPECT_EQ(sinks_[0]->refs(), 1u);
  EXPECT_EQ(sinks_[2]->refs(), 1u);
}

}  // namespace
}  // namespace zq::com
