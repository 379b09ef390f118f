// Connection points over the Global Interface Table, and the enumerators of
// connections and points.
#include "com/connection_point.h"

#include <algorithm>

#include "com/apartment.h"
#include "com/ref_count.h"

namespace zq::com {
namespace {

// Enumerates a snapshot of items, each holding one reference that the
// enumerator owns and hands out AddRef'd.
template <class Interface, class Item>
class Enumerator : public JComObject<Enumerator<Interface, Item>, Interface> {
 public:
  explicit Enumerator(std::vector<Item> items) : items_(std::move(items)) {}
  ~Enumerator() override {
    for (Item& i : items_) {
      unknownOf(i)->Release();
    }
  }
  HRESULT Next(ULONG count, Item* out, ULONG* fetched) override {
    if (out == nullptr || (count > 1 && fetched == nullptr)) {
      return E_POINTER;
    }
    ULONG n = 0;
    for (; n < count && position_ < items_.size(); ++n, ++position_) {
      out[n] = items_[position_];
      unknownOf(out[n])->AddRef();
    }
    if (fetched != nullptr) {
      *fetched = n;
    }
    return n == count ? S_OK : S_FALSE;
  }
  HRESULT Skip(ULONG count) override {
    const size_t left = items_.size() - position_;
    position_ += std::min<size_t>(count, left);
    return count <= left ? S_OK : S_FALSE;
  }
  HRESULT Reset() override {
    position_ = 0;
    return S_OK;
  }
  HRESULT Clone(Interface** clone) override {
    if (clone == nullptr) {
      return E_POINTER;
    }
    for (Item& i : items_) {
      unknownOf(i)->AddRef();
    }
    auto* c = new Enumerator(items_);
    c->position_ = position_;
    *clone = c;
    return S_OK;
  }

 private:
  static IUnknown* unknownOf(const CONNECTDATA& d) { return d.pUnk; }
  static IUnknown* unknownOf(IConnectionPoint* p) { return p; }
  std::vector<Item> items_;
  size_t position_ = 0;
};

using ConnectionsEnumerator = Enumerator<IEnumConnections, CONNECTDATA>;
using PointsEnumerator = Enumerator<IEnumConnectionPoints, IConnectionPoint*>;

}  // namespace

JConnectionPoint::JConnectionPoint(IUnknown& container, REFIID eventIid, size_t maxSlots)
    : container_(container), eventIid_(eventIid), maxSlots_(maxSlots) {
  createGlobalInterfaceTable(table_.put());
}

JConnectionPoint::~JConnectionPoint() {
  for (DWORD cookie : slots_) {
    if (cookie != 0) {
      table_->RevokeInterfaceFromGlobal(cookie);
    }
  }
}

HRESULT JConnectionPoint::QueryInterface(REFIID riid, void** object) {
  if (object == nullptr) {
    return E_POINTER;
  }
  *object = nullptr;
  if (riid == IID_IUnknown || riid == IID_IConnectionPoint) {
    *object = static_cast<IConnectionPoint*>(this);
    AddRef();
    return S_OK;
  }
  return E_NOINTERFACE;
}

HRESULT JConnectionPoint::GetConnectionInterface(IID* connectionIid) {
  if (connectionIid == nullptr) {
    return E_POINTER;
  }
  *connectionIid = eventIid_;
  return S_OK;
}

HRESULT JConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** container) {
  if (container == nullptr) {
    return E_POINTER;
  }
  return container_.QueryInterface(IID_IConnectionPointContainer,
                                   reinterpret_cast<void**>(container));
}

HRESULT JConnectionPoint::Advise(IUnknown* sink, DWORD* cookie) {
  if (sink == nullptr || cookie == nullptr) {
    return E_POINTER;
  }
  *cookie = 0;
  ComPtr<IUnknown> events;
  if (FAILED(sink->QueryInterface(eventIid_, events.putVoid()))) {
    return CONNECT_E_CANNOTCONNECT;
  }
  std::lock_guard lock(mutex_);
  DWORD registered = 0;
  if (HRESULT hr = table_->RegisterInterfaceInGlobal(events.get(), eventIid_, &registered);
      FAILED(hr)) {
    return hr;
  }
  auto free = std::find(slots_.begin(), slots_.end(), 0u);
  if (free == slots_.end()) {
    const size_t grown = slots_.empty() ? 1 : slots_.size() == 1 ? 4 : slots_.size() * 2;
    if (maxSlots_ != 0 && grown > maxSlots_) {
      table_->RevokeInterfaceFromGlobal(registered);
      return CONNECT_E_ADVISELIMIT;
    }
    const size_t used = slots_.size();
    try {
      slots_.resize(grown, 0);
    } catch (const std::bad_alloc&) {
      table_->RevokeInterfaceFromGlobal(registered);
      return CONNECT_E_ADVISELIMIT;
    }
    free = slots_.begin() + static_cast<std::ptrdiff_t>(used);
  }
  *free = registered;
  *cookie = registered;
  return S_OK;
}

HRESULT JConnectionPoint::Unadvise(DWORD cookie) {
  std::lock_guard lock(mutex_);
  auto it = cookie == 0 ? slots_.end() : std::find(slots_.begin(), slots_.end(), cookie);
  if (it == slots_.end()) {
    return CONNECT_E_NOCONNECTION;
  }
  *it = 0;
  table_->RevokeInterfaceFromGlobal(cookie);
  return S_OK;
}

HRESULT JConnectionPoint::EnumConnections(IEnumConnections** connections) {
  if (connections == nullptr) {
    return E_POINTER;
  }
  *connections = nullptr;
  std::vector<CONNECTDATA> items;
  {
    std::lock_guard lock(mutex_);
    for (DWORD cookie : slots_) {
      IUnknown* sink = nullptr;
      if (cookie != 0 && SUCCEEDED(table_->GetInterfaceFromGlobal(
                             cookie, IID_IUnknown, reinterpret_cast<void**>(&sink)))) {
        items.push_back({sink, cookie});
      }
    }
  }
  *connections = new ConnectionsEnumerator(std::move(items));
  return S_OK;
}

size_t JConnectionPoint::slotCount() const {
  std::lock_guard lock(mutex_);
  return slots_.size();
}

void JConnectionPoint::forEachSink(const std::function<void(IDispatch*)>& fn) {
  for (size_t i = 0;; ++i) {
    ComPtr<IDispatch> sink;
    {
      std::lock_guard lock(mutex_);
      if (i >= slots_.size()) {
        return;
      }
      if (slots_[i] == 0 ||
          FAILED(table_->GetInterfaceFromGlobal(slots_[i], eventIid_, sink.putVoid()))) {
        continue;
      }
    }
    fn(sink.get());
  }
}

void JConnectionPoint::fire(DISPID member, DISPPARAMS* params) {
  forEachSink([&](IDispatch* sink) {
    JComVariant result;
    // The sink's answer does not concern the source.
    sink->Invoke(member, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, params, &result, nullptr,
                 nullptr);
  });
}

HRESULT JConnectionPointContainer::EnumConnectionPoints(IEnumConnectionPoints** points) {
  if (points == nullptr) {
    return E_POINTER;
  }
  std::vector<IConnectionPoint*> items;
  for (JConnectionPoint* p : connectionPoints()) {
    p->AddRef();
    items.push_back(p);
  }
  *points = new PointsEnumerator(std::move(items));
  return S_OK;
}

HRESULT JConnectionPointContainer::FindConnectionPoint(REFIID riid, IConnectionPoint** point) {
  if (point == nullptr) {
    return E_POINTER;
  }
  *point = nullptr;
  for (JConnectionPoint* p : connectionPoints()) {
    if (p->eventIid() == riid) {
      p->AddRef();
      *point = p;
      return S_OK;
    }
  }
  return CONNECT_E_NOCONNECTION;
}

}  // namespace zq::com
