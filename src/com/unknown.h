// IUnknown, the base of every interface: identity and reference counting.
//
// Rules every implementation here keeps, and that callers may rely on:
//  - QueryInterface for IID_IUnknown always gives the same pointer for one
//    object (its identity); asking again for an interface that was given
//    once succeeds again; asking through any interface of the object gives
//    the same set of answers.
//  - A pointer handed out (by QueryInterface or any call returning one) has
//    been AddRef'd for the receiver, who Releases it once.
//  - AddRef and Release may be called from any thread; they return the new
//    count, for diagnostics only.
// Public: hosts include it.
#pragma once

#include "com/guid.h"
#include "com/hresult.h"
#include "com/types.h"

namespace zq::com {

inline constexpr IID IID_IUnknown = makeGuid("{00000000-0000-0000-C000-000000000046}");

struct IUnknown {
  static constexpr const IID& iid = IID_IUnknown;

  /// S_OK and `*object` AddRef'd when the object has the interface;
  /// E_NOINTERFACE and `*object` null otherwise; E_POINTER for a null `object`.
  virtual HRESULT QueryInterface(REFIID riid, void** object) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

 protected:
  // Objects are destroyed by their own Release, never by a caller's delete.
  virtual ~IUnknown() = default;
};

/// The IID an interface type declares as its `iid`.
template <class Interface>
constexpr const IID& iidOf() {
  return Interface::iid;
}

}  // namespace zq::com
