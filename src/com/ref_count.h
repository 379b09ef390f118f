// JRefCount, the thread-safe reference count behind the objects of this
// runtime: an object starts with one reference (its creator's) and deletes
// itself when Release brings the count to zero.
#pragma once

#include <atomic>

#include "com/types.h"
#include "com/unknown.h"

namespace zq::com {

class JRefCount {
 public:
  /// Any thread.
  ULONG addRef() { return count_.fetch_add(1, std::memory_order_relaxed) + 1; }
  /// Any thread. The new count: the caller deletes the object at 0.
  ULONG release() { return count_.fetch_sub(1, std::memory_order_acq_rel) - 1; }
  ULONG count() const { return count_.load(std::memory_order_acquire); }

 private:
  std::atomic<ULONG> count_{1};
};

/// AddRef, Release and a QueryInterface that answers IUnknown and the
/// interfaces `Interfaces...` (the first base gives the identity), for the
/// runtime's own objects that implement their interfaces directly.
template <class Self, class... Interfaces>
class JComObject : public Interfaces... {
 public:
  HRESULT QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) {
      return E_POINTER;
    }
    *object = nullptr;
    if (riid == IID_IUnknown) {
      *object = static_cast<IUnknown*>(static_cast<First*>(this));
    } else {
      ((riid == iidOf<Interfaces>() && *object == nullptr
            ? void(*object = static_cast<Interfaces*>(this))
            : void()),
       ...);
      if (*object == nullptr && !queryMore(riid, object)) {
        return E_NOINTERFACE;
      }
    }
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
  JComObject() = default;
  ~JComObject() override = default;
  /// Further interfaces a derived class answers (base interfaces of the
  /// listed ones, say); sets `*object` without AddRef and returns true.
  virtual bool queryMore(REFIID /*riid*/, void** /*object*/) { return false; }

 private:
  template <class F, class...>
  struct FirstOf {
    using type = F;
  };
  using First = typename FirstOf<Interfaces...>::type;
  JRefCount refs_;
};

}  // namespace zq::com
