// Class factories and object creation by CLSID: IClassFactory, a factory
// over a creation function, the module's count of objects and locks that
// decides whether it may be unloaded, and CoCreateInstance, which finds a
// class among the class objects registered in the process, the runtime's
// own (the Global Interface Table) and the in-process servers registered
// under HKEY_CLASSES_ROOT\CLSID\{clsid}\InprocServer32 (loaded with their
// DllGetClassObject).
// Public: the control's module and hosts include it.
#pragma once

#include "com/unknown.h"

namespace zq::com {

inline constexpr IID IID_IClassFactory = makeGuid("{00000001-0000-0000-C000-000000000046}");

enum : DWORD {
  CLSCTX_INPROC_SERVER = 0x1,
  CLSCTX_INPROC_HANDLER = 0x2,
  CLSCTX_LOCAL_SERVER = 0x4,
  CLSCTX_ALL = 0x17,
};
enum : DWORD { REGCLS_SINGLEUSE = 0, REGCLS_MULTIPLEUSE = 1 };

struct IClassFactory : IUnknown {
  static constexpr const IID& iid = IID_IClassFactory;
  /// CLASS_E_NOAGGREGATION for a non-null `outer`: no class here aggregates.
  virtual HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** object) = 0;
  /// Keeps the module loaded while locked (counts).
  virtual HRESULT LockServer(BOOL lock) = 0;
};

/// The module's count of live objects and server locks. Any thread.
void lockModule();
void unlockModule();
LONG moduleLockCount();
/// What DllCanUnloadNow answers: S_OK when nothing is live or locked, else
/// S_FALSE.
HRESULT canUnloadModule();

/// Creates a new object and gives its interface `riid` (what a class's
/// CreateInstance does).
using JCreateFunction = HRESULT (*)(REFIID riid, void** object);

/// A class factory creating through `create`.
HRESULT createClassFactory(JCreateFunction create, REFIID riid, void** factory);

/// Makes `factory` the class object of `clsid` in this process until
/// revoked; the cookie is non-zero.
HRESULT CoRegisterClassObject(REFCLSID clsid, IUnknown* factory, DWORD context, DWORD flags,
                              DWORD* cookie);
/// E_INVALIDARG for a cookie that is not registered.
HRESULT CoRevokeClassObject(DWORD cookie);
/// The class object of `clsid`: REGDB_E_CLASSNOTREG when the class is
/// neither registered in the process nor under HKEY_CLASSES_ROOT, or its
/// server cannot be loaded or lacks DllGetClassObject.
HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, void* serverInfo, REFIID riid,
                         void** object);
/// A new object of `clsid` through its class object.
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid,
                         void** object);

}  // namespace zq::com
