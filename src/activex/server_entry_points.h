// The entry points of the control's shared library (libZQAudioOutputController.so),
// as a host finds them with dlsym.
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
