// The runtime's proxies (IUnknown, IDispatch and dispinterfaces) and the
// table of proxy factories by IID.
#include "com/apartment_proxy.h"

#include <mutex>
#include <unordered_map>

#include "com/dispatch.h"
#include "com/ref_count.h"

namespace zq::com {
namespace {

using UnknownProxy = JApartmentProxy<IUnknown>;
using DispatchProxy = JDispatchProxy<IDispatch>;

struct Factories {
  std::mutex mutex;
  std::unordered_map<IID, JProxyFactory, GuidHash> byIid{
      {IID_IUnknown, &proxyFactory<UnknownProxy>},
      {IID_IDispatch, &proxyFactory<DispatchProxy>},
  };
};

Factories& factories() {
  static Factories f;
  return f;
}

}  // namespace

void registerProxyFactory(REFIID iid, JProxyFactory factory) {
  Factories& f = factories();
  std::lock_guard lock(f.mutex);
  if (factory == nullptr) {
    f.byIid.erase(iid);
  } else {
    f.byIid[iid] = factory;
  }
}

void registerDispatchProxy(REFIID iid) {
  registerProxyFactory(iid, &proxyFactory<DispatchProxy>);
}

HRESULT createApartmentProxy(REFIID iid, IUnknown* object, const std::shared_ptr<JApartment>& owner,
                             void** proxy) {
  if (proxy == nullptr) {
    return E_POINTER;
  }
  *proxy = nullptr;
  if (object == nullptr || !owner) {
    return E_INVALIDARG;
  }
  JProxyFactory factory = nullptr;
  {
    Factories& f = factories();
    std::lock_guard lock(f.mutex);
    if (auto it = f.byIid.find(iid); it != f.byIid.end()) {
      factory = it->second;
    }
  }
  if (factory == nullptr) {
    return REGDB_E_IIDNOTREG;
  }
  return factory(iid, object, owner, proxy);
}

void releaseInApartment(IUnknown* object, const std::shared_ptr<JApartment>& owner) {
  if (object == nullptr) {
    return;
  }
  if (!owner) {
    object->Release();
    return;
  }
  owner->post([object] { object->Release(); });
}

}  // namespace zq::com
