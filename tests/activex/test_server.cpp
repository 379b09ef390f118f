// The control's in-process server: the registration keys written and removed,
// and the shared library loaded with dlopen and used as a host uses it.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <fstream>
#include <set>

#include "activex/module.h"
#include "activex/zq_audio_output_ctrl_interface.h"
#include "com/apartment.h"
#include "com/class_factory.h"
#include "com/com_ptr.h"
#include "com/registry_test_support.h"
#include "helpers/temp_dir.h"

// This program links the control's layers and also loads the library that
// holds another copy of them (the runtime and the foundation below them are
// one shared copy), which the address sanitizer reports as one definition
// twice.
extern "C" const char* __asan_default_options();
extern "C" const char* __asan_default_options() {
  return "detect_odr_violation=0";
}

namespace zq::activex::test {
namespace {

using zq::test::valueAt;

const std::string kClsidKey = "CLSID\\{EF82A84C-2CB5-4738-8968-2A757693A44A}";

// A registry file's keys, each with its values, in any order.
std::multiset<std::string> keysOf(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::multiset<std::string> keys;
  std::string key;
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with('[') && !key.empty()) {
      keys.insert(key);
      key.clear();
    }
    key +=
        line.starts_with('[') || line.starts_with('@') || line.starts_with('"') ? line + "\n" : "";
  }
  keys.insert(key);
  return keys;
}

// The store's file after registration holds the class's, its type
// library's and both interfaces' keys with their values, as
// registered_classes.reg does; registering again gives the same (an empty
// marker key is made again: a value left in one goes); unregistering leaves
// what was there before, someone else's class and the parent keys.
TEST(Registration, WritesAndRemovesExactlyTheListedKeys) {
  zq::test::ScopedRegistryDir registry;
  const std::filesystem::path file = registry.path() / "HKEY_CLASSES_ROOT.reg";
  JSystemRegistryKey(HKEY_CLASSES_ROOT, "CLSID\\{00000000-1111-2222-3333-444444444444}")
      .setString("", "other");
  for (const char* parent : {"TypeLib", "Interface"}) {
    JSystemRegistryKey(HKEY_CLASSES_ROOT, parent);
  }
  const std::multiset<std::string> before = keysOf(file);
  const std::string module = "/opt/zq/lib/libZQAudioOutputController.so";
  ASSERT_EQ(registerServer(module), S_OK);
  EXPECT_EQ(keysOf(file), keysOf(ZQ_REGISTERED_CLASSES));
  JSystemRegistryKey(HKEY_CLASSES_ROOT, kClsidKey + "\\Control").setString("stale", "x");
  ASSERT_EQ(registerServer(module), S_OK);
  EXPECT_EQ(keysOf(file), keysOf(ZQ_REGISTERED_CLASSES));
  ASSERT_EQ(unregisterServer(module), S_OK);
  EXPECT_EQ(keysOf(file), before);
  EXPECT_EQ(unregisterServer(module), S_OK) << "nothing left to remove is no error";
}

using GetClassObjectFn = HRESULT (*)(const GUID&, const GUID&, void**);
using NoArgumentFn = HRESULT (*)();

// As a host: the library loaded, its entry points, the class object of
// this class only, and registration that lets CoCreateInstance find it
// until it is removed (zqctl's tests drive the library's control itself).
TEST(SharedLibrary, CreatesRegistersAndServesTheControl) {
  zq::test::ScopedRegistryDir registry;
  void* const library = ::dlopen(ZQ_CONTROL_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << ::dlerror();
  const auto getClassObject =
      reinterpret_cast<GetClassObjectFn>(::dlsym(library, "DllGetClassObject"));
  const auto canUnload = reinterpret_cast<NoArgumentFn>(::dlsym(library, "DllCanUnloadNow"));
  const auto registerIt = reinterpret_cast<NoArgumentFn>(::dlsym(library, "DllRegisterServer"));
  const auto unregisterIt = reinterpret_cast<NoArgumentFn>(::dlsym(library, "DllUnregisterServer"));
  ASSERT_TRUE(getClassObject && canUnload && registerIt && unregisterIt);
  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
  ComPtr<IClassFactory> factory;
  EXPECT_EQ(getClassObject(IID_IDispatch, IID_IClassFactory, factory.putVoid()),
            CLASS_E_CLASSNOTAVAILABLE);
  ASSERT_EQ(getClassObject(CLSID_ZQAudioOutputCtrl, IID_IClassFactory, factory.putVoid()), S_OK);
  ComPtr<IDispatch> control;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, control.putVoid()), S_OK);
  factory.reset();
  EXPECT_EQ(canUnload(), S_FALSE) << "a control lives";

  control.reset();
  EXPECT_EQ(canUnload(), S_OK);

  ASSERT_EQ(registerIt(), S_OK);
  const std::string module = valueAt(kClsidKey + "\\InprocServer32");
  EXPECT_EQ(std::filesystem::canonical(module), std::filesystem::canonical(ZQ_CONTROL_LIBRARY));
  ASSERT_EQ(CoCreateInstance(CLSID_ZQAudioOutputCtrl, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                             control.putVoid()),
            S_OK);
  control.reset();
  ASSERT_EQ(unregisterIt(), S_OK);
  EXPECT_EQ(CoCreateInstance(CLSID_ZQAudioOutputCtrl, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                             control.putVoid()),
            REGDB_E_CLASSNOTREG);
  CoUninitialize();
  ::dlclose(library);
}

}  // namespace
}  // namespace zq::activex::test
