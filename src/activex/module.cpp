// The control's server: class object and self-registration.
#include "activex/module.h"

#include <dlfcn.h>

#include <filesystem>

#include "activex/zq_audio_output_ctrl.h"
#include "com/class_factory.h"

namespace zq::activex {

namespace {
const std::string kClsid = guidToString(CLSID_ZQAudioOutputCtrl);
const std::string kLibid = guidToString(LIBID_ZQAUDIOOUTPUTCONTROLLERLib);
constexpr const char* kProgId = "ZQAudioOutputController.ZQAudioOutputCtrl.1";
constexpr const char* kIndependentProgId = "ZQAudioOutputController.ZQAudioOutputCtrl";
constexpr const char* kDescription = "ZQAudioOutputCtrl Control";
}  // namespace

HRESULT getClassObject(REFCLSID clsid, REFIID iid, void** out) {
  if (out == nullptr) {
    return E_POINTER;
  }
  *out = nullptr;
  if (!(clsid == CLSID_ZQAudioOutputCtrl)) {
    return CLASS_E_CLASSNOTAVAILABLE;
  }
  return createClassFactory(&JZQAudioOutputCtrl::create, iid, out);
}

HRESULT canUnloadNow() {
  return canUnloadModule();
}

const std::vector<JRegistryKeySpec>& registrationKeys() {
  using K = JRegistryKeySpec;
  static const std::vector<K> keys = {
      K{kProgId, kDescription, {}, K::kNone, {K{"CLSID", kClsid, {}, K::kNone, {}}}},
      K{kIndependentProgId,
        kDescription,
        {},
        K::kNone,
        {K{"CLSID", kClsid, {}, K::kNone, {}}, K{"CurVer", kProgId, {}, K::kNone, {}}}},
      K{"CLSID",
        std::nullopt,
        {},
        K::kNoRemove,
        {K{kClsid,
           kDescription,
           {},
           K::kNone,
           {
               K{"ProgID", kProgId, {}, K::kNone, {}},
               K{"VersionIndependentProgID", kIndependentProgId, {}, K::kNone, {}},
               K{"Programmable", std::nullopt, {}, K::kForceRemove, {}},
               K{"Control", std::nullopt, {}, K::kForceRemove, {}},
               K{"Insertable", std::nullopt, {}, K::kForceRemove, {}},
               K{"InprocServer32", "%MODULE%", {{"ThreadingModel", "Apartment"}}, K::kNone, {}},
               K{"ToolboxBitmap32", "%MODULE%, 102", {}, K::kNone, {}},
               K{"MiscStatus", "0", {}, K::kNone, {K{"1", "132497", {}, K::kNone, {}}}},
               K{"TypeLib", kLibid, {}, K::kNone, {}},
               K{"Version", "1.0", {}, K::kNone, {}},
           }}}},
  };
  static const std::vector<K> withLibrary = [] {
    std::vector<K> all = keys;
    for (K& k : typeLibraryKeys(kZQAudioOutputControllerLib)) {
      all.push_back(std::move(k));
    }
    return all;
  }();
  return withLibrary;
}

std::string modulePathOf(const void* address) {
  Dl_info info{};
  if (::dladdr(address, &info) == 0 || info.dli_fname == nullptr) {
    return {};
  }
  return info.dli_fname;
}

namespace {
JReplacements replacementsFor(const std::string& module) {
  return {{"MODULE", module}, {"MODULE_DIR", std::filesystem::path(module).parent_path().string()}};
}
}  // namespace

HRESULT registerServer(const std::string& module) {
  return registerKeys(registrationKeys(), replacementsFor(module));
}

HRESULT unregisterServer(const std::string& module) {
  return unregisterKeys(registrationKeys(), replacementsFor(module));
}

}  // namespace zq::activex
