// The in-process server around the control: its class object, whether it may
// be unloaded, and the registry keys it writes when it registers itself and
// removes when it unregisters. The shared library's entry points call these.
#pragma once

#include <string>
#include <vector>

#include "com/registrar.h"
#include "com/unknown.h"

namespace zq::activex {

using namespace zq::com;

/// The class object for the control's CLSID; CLASS_E_CLASSNOTAVAILABLE for
/// any other class.
HRESULT getClassObject(REFCLSID clsid, REFIID iid, void** out);
/// S_OK when no control lives and no lock is held, else S_FALSE.
HRESULT canUnloadNow();
/// The keys under HKEY_CLASSES_ROOT, the class's and its type library's,
/// with %MODULE% for the module's path and %MODULE_DIR% for its directory.
const std::vector<JRegistryKeySpec>& registrationKeys();
/// The path of the file (the shared library, or a program) that holds the
/// code or data at `address`; empty when none does.
std::string modulePathOf(const void* address);
/// Writes (removes) the keys, %MODULE% replaced by `module`.
HRESULT registerServer(const std::string& module);
HRESULT unregisterServer(const std::string& module);

}  // namespace zq::activex
