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
#include "com/registry_lookup.h"
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

const std::string kClsidKey = "CLSID\\{EF82A84C-2CB5-4738-8968-2A757693A44A}";
const std::string kLibKey = "TypeLib\\{FD291BDF-E161-444B-A24D-0A5C31564EE6}";
const std::string kLibVersionKey = kLibKey + "\\1.0";
const std::string kInterfaceKey = "Interface\\{232B42FD-A8E5-4691-A9E9-808FE2CBCA74}";
const std::string kEventsKey = "Interface\\{ED084A2B-E3D1-4DD4-95BB-51244C06F0DC}";

// The key paths below HKEY_CLASSES_ROOT in the store's file.
std::set<std::string> keysIn(const std::filesystem::path& dir) {
  std::set<std::string> keys;
  std::ifstream in(dir / "HKEY_CLASSES_ROOT.reg");
  const std::string prefix = "[HKEY_CLASSES_ROOT\\";
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(prefix, 0) == 0 && line.back() == ']') {
      keys.insert(line.substr(prefix.size(), line.size() - prefix.size() - 1));
    }
  }
  return keys;
}

std::string valueAt(const std::string& path, const std::string& name = "") {
  std::optional<JSystemRegistryKey> key = openExistingKey(HKEY_CLASSES_ROOT, path, KEY_READ);
  if (!key) {
    return "(absent)";
  }
  std::string v;
  return key->getString(name, v) ? v : "(no value)";
}

TEST(Registration, WritesAndRemovesExactlyTheListedKeys) {
  zq::test::ScopedRegistryDir registry;
  // Someone else's class stays through both.
  JSystemRegistryKey(HKEY_CLASSES_ROOT, "CLSID\\{00000000-1111-2222-3333-444444444444}")
      .setString("", "other");
  const std::string module = "/opt/zq/lib/libZQAudioOutputController.so";
  ASSERT_EQ(registerServer(module), S_OK);
  std::set<std::string> expectedKeys = {
      "ZQAudioOutputController.ZQAudioOutputCtrl.1",
      "ZQAudioOutputController.ZQAudioOutputCtrl.1\\CLSID",
      "ZQAudioOutputController.ZQAudioOutputCtrl",
      "ZQAudioOutputController.ZQAudioOutputCtrl\\CLSID",
      "ZQAudioOutputController.ZQAudioOutputCtrl\\CurVer",
      "CLSID",
      "CLSID\\{00000000-1111-2222-3333-444444444444}",
      kClsidKey,
      kClsidKey + "\\ProgID",
      kClsidKey + "\\VersionIndependentProgID",
      kClsidKey + "\\Programmable",
      kClsidKey + "\\Control",
      kClsidKey + "\\Insertable",
      kClsidKey + "\\InprocServer32",
      kClsidKey + "\\ToolboxBitmap32",
      kClsidKey + "\\MiscStatus",
      kClsidKey + "\\MiscStatus\\1",
      kClsidKey + "\\TypeLib",
      kClsidKey + "\\Version",
      "TypeLib",
      kLibKey,
      kLibVersionKey,
      kLibVersionKey + "\\FLAGS",
      kLibVersionKey + "\\0",
      kLibVersionKey + "\\0\\win64",
      kLibVersionKey + "\\HELPDIR",
      "Interface",
  };
  for (const std::string& key : {kInterfaceKey, kEventsKey}) {
    for (const char* sub : {"", "\\ProxyStubClsid", "\\ProxyStubClsid32", "\\TypeLib"}) {
      expectedKeys.insert(key + sub);
    }
  }
  EXPECT_EQ(keysIn(registry.path()), expectedKeys);
  const struct {
    std::string path;
    const char* name;
    const char* value;
  } values[] = {
      {"ZQAudioOutputController.ZQAudioOutputCtrl\\CurVer", "",
       "ZQAudioOutputController.ZQAudioOutputCtrl.1"},
      {kClsidKey + "\\InprocServer32", "", "/opt/zq/lib/libZQAudioOutputController.so"},
      {kClsidKey + "\\InprocServer32", "ThreadingModel", "Apartment"},
      {kClsidKey + "\\TypeLib", "", "{FD291BDF-E161-444B-A24D-0A5C31564EE6}"},
      {kLibVersionKey + "\\0\\win64", "", "/opt/zq/lib/libZQAudioOutputController.so"},
      {kInterfaceKey + "\\ProxyStubClsid32", "", "{00020424-0000-0000-C000-000000000046}"},
      {kEventsKey, "", "_IZQAudioOutputCtrlEvents"},
  };
  for (const auto& v : values) {
    SCOPED_TRACE(v.path + " " + v.name);
    EXPECT_EQ(valueAt(v.path, v.name), v.value);
  }
  // Registering again re-creates the empty marker keys: a value left in one
  // goes.
  JSystemRegistryKey(HKEY_CLASSES_ROOT, kClsidKey + "\\Control").setString("stale", "x");
  ASSERT_EQ(registerServer(module), S_OK);
  EXPECT_EQ(valueAt(kClsidKey + "\\Control", "stale"), "(no value)");
  EXPECT_EQ(keysIn(registry.path()), expectedKeys);

  ASSERT_EQ(unregisterServer(module), S_OK);
  EXPECT_EQ(keysIn(registry.path()),
            (std::set<std::string>{"CLSID", "CLSID\\{00000000-1111-2222-3333-444444444444}",
                                   "TypeLib", "Interface"}));
  EXPECT_EQ(unregisterServer(module), S_OK) << "nothing left to remove is no error";
}

using GetClassObjectFn = HRESULT (*)(const GUID&, const GUID&, void**);
using NoArgumentFn = HRESULT (*)();

// The library as a host loads it.
class SharedLibrary : public ::testing::Test {
 protected:
  SharedLibrary() {
    handle_ = ::dlopen(ZQ_CONTROL_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (handle_ != nullptr) {
      getClassObject_ = reinterpret_cast<GetClassObjectFn>(::dlsym(handle_, "DllGetClassObject"));
      canUnload_ = reinterpret_cast<NoArgumentFn>(::dlsym(handle_, "DllCanUnloadNow"));
      register_ = reinterpret_cast<NoArgumentFn>(::dlsym(handle_, "DllRegisterServer"));
      unregister_ = reinterpret_cast<NoArgumentFn>(::dlsym(handle_, "DllUnregisterServer"));
    }
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
  }
  ~SharedLibrary() override {
    CoUninitialize();
    if (handle_ != nullptr) {
      ::dlclose(handle_);
    }
  }
  zq::test::ScopedRegistryDir registry_;
  void* handle_ = nullptr;
  GetClassObjectFn getClassObject_ = nullptr;
  NoArgumentFn canUnload_ = nullptr;
  NoArgumentFn register_ = nullptr;
  NoArgumentFn unregister_ = nullptr;
};

// As a host: the entry points, the class object of this class only, and
// registration that lets CoCreateInstance find it until it is removed
// (zqctl's tests drive the library's control itself).
TEST_F(SharedLibrary, CreatesRegistersAndServesTheControl) {
  ASSERT_NE(handle_, nullptr) << ::dlerror();
  ASSERT_TRUE(getClassObject_ && canUnload_ && register_ && unregister_);
  ComPtr<IClassFactory> factory;
  EXPECT_EQ(getClassObject_(IID_IDispatch, IID_IClassFactory, factory.putVoid()),
            CLASS_E_CLASSNOTAVAILABLE);
  ASSERT_EQ(getClassObject_(CLSID_ZQAudioOutputCtrl, IID_IClassFactory, factory.putVoid()), S_OK);
  ComPtr<IDispatch> control;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, control.putVoid()), S_OK);
  factory.reset();
  EXPECT_EQ(canUnload_(), S_FALSE) << "a control lives";

  control.reset();
  EXPECT_EQ(canUnload_(), S_OK);

  ASSERT_EQ(register_(), S_OK);
  const std::string module = valueAt(kClsidKey + "\\InprocServer32");
  EXPECT_EQ(std::filesystem::canonical(module), std::filesystem::canonical(ZQ_CONTROL_LIBRARY));
  ASSERT_EQ(CoCreateInstance(CLSID_ZQAudioOutputCtrl, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                             control.putVoid()),
            S_OK);
  control.reset();
  ASSERT_EQ(unregister_(), S_OK);
  EXPECT_EQ(CoCreateInstance(CLSID_ZQAudioOutputCtrl, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                             control.putVoid()),
            REGDB_E_CLASSNOTREG);
}

}  // namespace
}  // namespace zq::activex::test
