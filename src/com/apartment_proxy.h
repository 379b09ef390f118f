// Proxies: what a thread outside an object's single-threaded apartment gets
// from the interface table instead of the object, so that every call runs
// on the owner thread. A proxy is built per interface by a factory known by
// the interface's IID: IUnknown and IDispatch (and any dispinterface made
// known with registerDispatchProxy) come with the runtime; a custom
// interface (a dual interface's own methods) brings its own proxy class,
// built on JApartmentProxy or JDispatchProxy, each method one forward():
//
//   struct CounterProxy : JApartmentProxy<ICounter> {
//     using JApartmentProxy::JApartmentProxy;
//     HRESULT Add(LONG n, LONG* total) override {
//       return forward([&](ICounter* c) { return c->Add(n, total); });
//     }
//   };
//   registerProxyFactory(IID_ICounter, &proxyFactory<CounterProxy>);
//
// Arguments stay in the caller's memory (the caller waits until the call
// ran); interface pointers among them are passed as they are.
// Public: a class with a custom interface registers its proxy here.
#pragma once

#include <memory>
#include <type_traits>

#include "com/apartment.h"
#include "com/dispatch.h"
#include "com/ref_count.h"

namespace zq::com {

/// Makes in `*proxy` a proxy of `object` (which has the interface `iid`,
/// owned by `owner`); it holds a reference on `object` and releases it on the
/// owner thread. S_OK, or a failure that `*proxy` is null with.
using JProxyFactory = HRESULT (*)(REFIID iid, IUnknown* object,
                                  const std::shared_ptr<JApartment>& owner, void** proxy);

/// Makes `factory` the proxy factory of `iid`, replacing any other; a null
/// `factory` removes it. Any thread.
void registerProxyFactory(REFIID iid, JProxyFactory factory);
/// Proxies `iid`, a dispinterface, with the runtime's IDispatch proxy.
void registerDispatchProxy(REFIID iid);

/// A proxy of `object`'s interface `iid` for use outside `owner`:
/// REGDB_E_IIDNOTREG when no factory is known for `iid`.
HRESULT createApartmentProxy(REFIID iid, IUnknown* object, const std::shared_ptr<JApartment>& owner,
                             void** proxy);

/// Releases one reference on `object` in `owner` (on its thread when it is
/// single-threaded), without waiting.
void releaseInApartment(IUnknown* object, const std::shared_ptr<JApartment>& owner);

/// The base of a proxy of `Interface`. It answers IUnknown (itself: its
/// identity), the IID it was made for, `Interface` and its IDispatch base if
/// any; it holds one reference on the object, released on the owner thread.
/// Any thread may call it.
template <class Interface>
class JApartmentProxy : public Interface {
 public:
  JApartmentProxy(REFIID proxied, IUnknown* object, std::shared_ptr<JApartment> owner)
      : iid_(proxied), object_(object), owner_(std::move(owner)) {
    object_->AddRef();
  }
  JApartmentProxy(const JApartmentProxy&) = delete;
  JApartmentProxy& operator=(const JApartmentProxy&) = delete;

  HRESULT QueryInterface(REFIID riid, void** out) override {
    if (out == nullptr) {
      return E_POINTER;
    }
    *out = nullptr;
    bool mine = riid == IID_IUnknown || riid == iid_ || riid == iidOf<Interface>();
    if constexpr (std::is_base_of_v<IDispatch, Interface>) {
      mine = mine || riid == IID_IDispatch;
    }
    if (!mine) {
      return E_NOINTERFACE;
    }
    *out = static_cast<Interface*>(this);
    AddRef();
    return S_OK;
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
  ~JApartmentProxy() override { releaseInApartment(object_, owner_); }

  /// Runs `fn(target)` on the owner thread and returns its result (see
  /// JApartment::call: RPC_E_DISCONNECTED once the owner's apartment ended).
  template <class Fn>
  HRESULT forward(Fn&& fn) const {
    return owner_->call([&] { return fn(static_cast<Interface*>(object_)); });
  }

 private:
  const IID iid_;
  // One reference, released on the owner thread; registered as `iid_`, whose
  // shape `Interface` is.
  IUnknown* const object_;
  const std::shared_ptr<JApartment> owner_;
  JRefCount refs_;
};

/// A proxy base that forwards the four IDispatch methods too.
template <class Interface>
class JDispatchProxy : public JApartmentProxy<Interface> {
 public:
  using JApartmentProxy<Interface>::JApartmentProxy;
  HRESULT GetTypeInfoCount(UINT* count) override {
    return this->forward([&](Interface* t) { return t->GetTypeInfoCount(count); });
  }
  HRESULT GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override {
    return this->forward([&](Interface* t) { return t->GetTypeInfo(index, lcid, info); });
  }
  HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override {
    return this->forward(
        [&](Interface* t) { return t->GetIDsOfNames(riid, names, count, lcid, ids); });
  }
  HRESULT Invoke(DISPID member, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                 VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr) override {
    return this->forward([&](Interface* t) {
      return t->Invoke(member, riid, lcid, flags, params, result, excepInfo, argErr);
    });
  }
};

/// The factory of proxies of class `Proxy`, for registerProxyFactory.
template <class Proxy>
HRESULT proxyFactory(REFIID iid, IUnknown* object, const std::shared_ptr<JApartment>& owner,
                     void** proxy) {
  if (proxy == nullptr) {
    return E_POINTER;
  }
  *proxy = static_cast<IUnknown*>(new Proxy(iid, object, owner));
  return S_OK;
}

}  // namespace zq::com
