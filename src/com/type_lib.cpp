// ITypeLib over a static JTypeLibraryDescription, and the keys that
// register it.
#include "com/type_lib.h"

#include <cstdio>

#include "com/bstr.h"
#include "com/ref_count.h"

namespace zq::com {
namespace {

// The automation marshaller: what carries calls of a dual interface or a
// dispinterface between apartments, from the type information alone.
constexpr const char* kAutomationMarshaller = "{00020424-0000-0000-C000-000000000046}";

BSTR bstrOrNull(const char* text) {
  return text == nullptr ? nullptr : bstrFromString(text);
}

class JTypeLib : public JComObject<JTypeLib, ITypeLib> {
 public:
  explicit JTypeLib(const JTypeLibraryDescription& library) : library_(library) {}

  UINT GetTypeInfoCount() override { return static_cast<UINT>(library_.types.size()); }

  HRESULT GetTypeInfo(UINT index, ITypeInfo** info) override {
    if (info == nullptr) {
      return E_POINTER;
    }
    *info = nullptr;
    if (index >= library_.types.size()) {
      return TYPE_E_ELEMENTNOTFOUND;
    }
    return createTypeInfo(*library_.types[index], info);
  }

  HRESULT GetTypeInfoOfGuid(REFGUID guid, ITypeInfo** info) override {
    if (info == nullptr) {
      return E_POINTER;
    }
    *info = nullptr;
    for (const JTypeDescription* type : library_.types) {
      if (type->guid == guid) {
        return createTypeInfo(*type, info);
      }
    }
    return TYPE_E_ELEMENTNOTFOUND;
  }

  HRESULT GetLibAttr(TLIBATTR** attr) override {
    if (attr == nullptr) {
      return E_POINTER;
    }
    *attr = new TLIBATTR{library_.libid,        0, kThisSysKind, library_.majorVersion,
                         library_.minorVersion, 0};
    return S_OK;
  }
  void ReleaseTLibAttr(TLIBATTR* attr) override { delete attr; }

  HRESULT GetDocumentation(INT index, BSTR* name, BSTR* docString, DWORD* helpContext,
                           BSTR* helpFile) override {
    const char* n = library_.name;
    const char* doc = library_.helpString;
    if (index != -1) {
      if (index < 0 || static_cast<size_t>(index) >= library_.types.size()) {
        return TYPE_E_ELEMENTNOTFOUND;
      }
      n = library_.types[static_cast<size_t>(index)]->name;
      doc = library_.types[static_cast<size_t>(index)]->helpString;
    }
    if (name != nullptr) {
      *name = bstrOrNull(n);
    }
    if (docString != nullptr) {
      *docString = bstrOrNull(doc);
    }
    if (helpContext != nullptr) {
      *helpContext = 0;
    }
    if (helpFile != nullptr) {
      *helpFile = nullptr;
    }
    return S_OK;
  }

 private:
  const JTypeLibraryDescription& library_;
};

// The version as the registry names it: major and minor in hexadecimal.
std::string versionText(WORD major, WORD minor) {
  char text[16];
  std::snprintf(text, sizeof text, "%x.%x", major, minor);
  return text;
}

}  // namespace

HRESULT createTypeLib(const JTypeLibraryDescription& description, ITypeLib** library) {
  if (library == nullptr) {
    return E_POINTER;
  }
  *library = new JTypeLib(description);
  return S_OK;
}

std::vector<JRegistryKeySpec> typeLibraryKeys(const JTypeLibraryDescription& description) {
  using K = JRegistryKeySpec;
  const std::string libid = guidToString(description.libid);
  const std::string version = versionText(description.majorVersion, description.minorVersion);
  const char* platform = kThisSysKind == SYS_WIN64 ? "win64" : "win32";
  K versionKey{version,
               description.helpString != nullptr ? description.helpString : description.name,
               {},
               K::kNone,
               {K{"FLAGS", "0", {}, K::kNone, {}},
                K{"0", std::nullopt, {}, K::kNone, {K{platform, "%MODULE%", {}, K::kNone, {}}}},
                K{"HELPDIR", "%MODULE_DIR%", {}, K::kNone, {}}}};
  K libraries{"TypeLib",
              std::nullopt,
              {},
              K::kNoRemove,
              {K{libid, std::nullopt, {}, K::kRemoveWhenEmpty, {std::move(versionKey)}}}};
  K interfaces{"Interface", std::nullopt, {}, K::kNoRemove, {}};
  for (const JTypeDescription* type : description.types) {
    const bool automation = type->kind == TKIND_DISPATCH ||
                            (type->kind == TKIND_INTERFACE && (type->typeFlags & TYPEFLAG_FDUAL));
    if (!automation) {
      continue;
    }
    interfaces.subkeys.push_back(K{guidToString(type->guid),
                                   type->name,
                                   {},
                                   K::kNone,
                                   {K{"ProxyStubClsid", kAutomationMarshaller, {}, K::kNone, {}},
                                    K{"ProxyStubClsid32", kAutomationMarshaller, {}, K::kNone, {}},
                                    K{"TypeLib", libid, {{"Version", version}}, K::kNone, {}}}});
  }
  return {std::move(libraries), std::move(interfaces)};
}

}  // namespace zq::com
