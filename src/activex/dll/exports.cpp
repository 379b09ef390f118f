// The entry points of the in-process server, found by name with dlsym.
#include "activex/module.h"
#include "activex/server_entry_points.h"

using zq::com::GUID;
using zq::com::HRESULT;

namespace {
// Its address is in this library whatever the host links: the library's
// other functions may resolve to a host's copies of them.
const char kAnchor = 0;
std::string thisLibrary() {
  return zq::activex::modulePathOf(&kAnchor);
}
}  // namespace

HRESULT DllGetClassObject(const GUID& clsid, const GUID& iid, void** out) {
  return zq::activex::getClassObject(clsid, iid, out);
}

HRESULT DllCanUnloadNow() {
  return zq::activex::canUnloadNow();
}

HRESULT DllRegisterServer() {
  return zq::activex::registerServer(thisLibrary());
}

HRESULT DllUnregisterServer() {
  return zq::activex::unregisterServer(thisLibrary());
}
