// The entry points of the control's shared library (libZQAudioOutputController.so),
// as a host finds them with dlsym.
//
// The library carries its own copy of the automation runtime, but the control
// and its host must share one: one set of apartments, one interface table.
// A host therefore links zq_com and exports its symbols (CMake ENABLE_EXPORTS,
// that is -rdynamic); the library's calls into the runtime then resolve to
// the host's copy when it is loaded.
#pragma once

#include "com/guid.h"
#include "com/hresult.h"

extern "C" {
/// The class object of the control's CLSID; CLASS_E_CLASSNOTAVAILABLE for
/// any other.
__attribute__((visibility("default"))) zq::com::HRESULT DllGetClassObject(
    const zq::com::GUID& clsid, const zq::com::GUID& iid, void** out);
/// S_OK when no control lives and no lock is held, else S_FALSE.
__attribute__((visibility("default"))) zq::com::HRESULT DllCanUnloadNow();
/// Writes (removes) the class's registration under HKEY_CLASSES_ROOT.
__attribute__((visibility("default"))) zq::com::HRESULT DllRegisterServer();
__attribute__((visibility("default"))) zq::com::HRESULT DllUnregisterServer();
}
