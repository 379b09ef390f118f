// Proxies: what a thread outside an object's single-threaded apartment gets
// from the interface table instead of the object, so that every call runs
// on the owner thread. A proxy is built per interface by a factory known by
// the interface's IID: IUnknown and IDispatch (and any dispinterface made
// known with registerDispatchProxy) come with the runtime; a custom
// interface brings its own factory, whose proxy forwards each method through
// JApartment::call.
// Public: a class with a custom interface registers its proxy here.
#pragma once

#include <memory>

#include "com/apartment.h"
#include "com/unknown.h"

namespace zq::com {

/// Makes in `*proxy` a proxy of `object` (which has the interface `iid`,
/// owned by `owner`); it holds a reference on `object` and releases it on the
/// owner thread. S_OK, or a failure that `*proxy` is null with.
using JProxyFactory = HRESULT (*)(REFIID iid, IUnknown* object,
                                  const std::shared_ptr<JApartment>& owner, void** proxy);

/// Makes `factory` the proxy factory of `iid`, replacing any other. Any thread.
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

}  // namespace zq::com
