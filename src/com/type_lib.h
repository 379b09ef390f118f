// ITypeLib, a type library: the named, versioned collection of the
// interfaces and classes a server describes, answered from a static
// JTypeLibraryDescription that lists the same JTypeDescriptions the
// server's dispatch runs on, and the registry keys that register it.
// Public: the control declares its library with it; hosts read it through
// ITypeInfo::GetContainingTypeLib.
#pragma once

#include <span>
#include <vector>

#include "com/registrar.h"
#include "com/type_description.h"

namespace zq::com {

inline constexpr IID IID_ITypeLib = makeGuid("{00020402-0000-0000-C000-000000000046}");

/// The word size of the modules a library describes. Registration names it
/// as the registry's layout spells it ("win32", "win64").
enum SYSKIND : int32_t { SYS_WIN32 = 1, SYS_WIN64 = 3 };
inline constexpr SYSKIND kThisSysKind = sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32;

struct TLIBATTR {
  GUID guid;
  LCID lcid;
  SYSKIND syskind;
  WORD wMajorVerNum;
  WORD wMinorVerNum;
  WORD wLibFlags;
};

struct ITypeLib : IUnknown {
  static constexpr const IID& iid = IID_ITypeLib;

  virtual UINT GetTypeInfoCount() = 0;
  /// The index-th type in declaration order; TYPE_E_ELEMENTNOTFOUND past
  /// the end.
  virtual HRESULT GetTypeInfo(UINT index, ITypeInfo** info) = 0;
  /// The type whose GUID is `guid`; TYPE_E_ELEMENTNOTFOUND when none is.
  virtual HRESULT GetTypeInfoOfGuid(REFGUID guid, ITypeInfo** info) = 0;
  /// Freed by ReleaseTLibAttr.
  virtual HRESULT GetLibAttr(TLIBATTR** attr) = 0;
  virtual void ReleaseTLibAttr(TLIBATTR* attr) = 0;
  /// The index-th type's (with -1 the library's) name, help string, help
  /// context and help file; each output may be null. The caller frees them.
  virtual HRESULT GetDocumentation(INT index, BSTR* name, BSTR* docString, DWORD* helpContext,
                                   BSTR* helpFile) = 0;
};

struct JTypeLibraryDescription {
  const char* name = nullptr;
  GUID libid;
  WORD majorVersion = 1;
  WORD minorVersion = 0;
  const char* helpString = nullptr;
  /// In the library's order. Each one's `library` names this description,
  /// so that its ITypeInfo finds its way back here.
  std::span<const JTypeDescription* const> types;
};

/// An ITypeLib answering from `description`, which must outlive it (a
/// static table). E_POINTER for a null `library`.
HRESULT createTypeLib(const JTypeLibraryDescription& description, ITypeLib** library);

/// The keys under HKEY_CLASSES_ROOT that register the library as
/// implemented by %MODULE% (help files in %MODULE_DIR%): under
/// TypeLib\{LIBID}\<major>.<minor> its help string, FLAGS, the module for
/// language 0 and HELPDIR; and under Interface\{IID} every dual interface
/// and dispinterface of it, marshalled by the automation marshaller and
/// pointing back to the library. Unregistering removes the version, the
/// LIBID key once no other version is left, and the interface keys.
std::vector<JRegistryKeySpec> typeLibraryKeys(const JTypeLibraryDescription& description);

}  // namespace zq::com
