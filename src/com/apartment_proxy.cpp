// The runtime's proxies (IUnknown, IDispatch and dispinterfaces) and the
// table of proxy factories by IID.
#include "com/apartment_proxy.h"

#include <mutex>
#include <unordered_map>

#include "com/dispatch.h"
#include "com/ref_count.h"

namespace zq::com {
namespace {

// Proxies answer IUnknown (themselves: their identity), the interface they
// were made for and, for a dispatch proxy, IDispatch.
template <class Interface>
class ProxyBase : public Interface {
 public:
  ProxyBase(REFIID proxied, IUnknown* object, std::shared_ptr<JApartment> owner)
      : iid_(proxied), object_(object), owner_(std::move(owner)) {
    object_->AddRef();
  }
  HRESULT QueryInterface(REFIID riid, void** out) override {
    if (out == nullptr) {
      return E_POINTER;
    }
    *out = nullptr;
    if (riid == IID_IUnknown || riid == iid_ || riid == iidOf<Interface>()) {
      *out = static_cast<Interface*>(this);
      AddRef();
      return S_OK;
    }
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return refs_.addRef(); }
  ULONG Release() override {
    const ULONG left = refs_.release();
    if (left == 0) {
      delete this;
    }
    return left;
  }

 protected:
  ~ProxyBase() override { releaseInApartment(object_, owner_); }
  template <class Target>
  Target* target() const {
    return static_cast<Target*>(object_);
  }
  const std::shared_ptr<JApartment>& owner() const { return owner_; }

 private:
  const IID iid_;
  IUnknown* const object_;  // one reference, released on the owner thread
  const std::shared_ptr<JApartment> owner_;
  JRefCount refs_;
};

class UnknownProxy : public ProxyBase<IUnknown> {
 public:
  using ProxyBase::ProxyBase;
};

// The object behind is the IDispatch-shaped interface it was registered with.
class DispatchProxy : public ProxyBase<IDispatch> {
 public:
  using ProxyBase::ProxyBase;
  HRESULT GetTypeInfoCount(UINT* count) override {
    return owner()->call([&] { return target<IDispatch>()->GetTypeInfoCount(count); });
  }
  HRESULT GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override {
    return owner()->call([&] { return target<IDispatch>()->GetTypeInfo(index, lcid, info); });
  }
  HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override {
    return owner()->call(
        [&] { return target<IDispatch>()->GetIDsOfNames(riid, names, count, lcid, ids); });
  }
  HRESULT Invoke(DISPID member, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                 VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr) override {
    // The arguments stay in the caller's memory: it waits until the call ran.
    return owner()->call([&] {
      return target<IDispatch>()->Invoke(member, riid, lcid, flags, params, result, excepInfo,
                                         argErr);
    });
  }
};

HRESULT makeUnknownProxy(REFIID iid, IUnknown* object, const std::shared_ptr<JApartment>& owner,
                         void** proxy) {
  *proxy = static_cast<IUnknown*>(new UnknownProxy(iid, object, owner));
  return S_OK;
}

HRESULT makeDispatchProxy(REFIID iid, IUnknown* object, const std::shared_ptr<JApartment>& owner,
                          void** proxy) {
  *proxy = static_cast<IDispatch*>(new DispatchProxy(iid, object, owner));
  return S_OK;
}

struct Factories {
  std::mutex mutex;
  std::unordered_map<IID, JProxyFactory, GuidHash> byIid{
      {IID_IUnknown, &makeUnknownProxy},
      {IID_IDispatch, &makeDispatchProxy},
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
  f.byIid[iid] = factory;
}

void registerDispatchProxy(REFIID iid) {
  registerProxyFactory(iid, &makeDispatchProxy);
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
