// The entry points of the in-process server, found by name with dlsym.
#include "activex/server_entry_points.h"

#include "activex/module.h"

using zq::com::GUID;
using zq::com::HRESULT;

HRESULT DllGetClassObject(const GUID& clsid, const GUID& iid, void** out) {
  return zq::activex::getClassObject(clsid, iid, out);
}

HRESULT DllCanUnloadNow() {
  return zq::activex::canUnloadNow();
}

HRESULT DllRegisterServer() {
  return zq::activex::registerServer();
}

HRESULT DllUnregisterServer() {
  return zq::activex::unregisterServer();
}
