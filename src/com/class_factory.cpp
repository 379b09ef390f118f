// Class factories, the module's lock count, and the lookup of class objects
// by CLSID: in the process first, then in the registry.
#include "com/class_factory.h"

#include <dlfcn.h>

#include <atomic>
#include <mutex>
#include <unordered_map>

#include "base/error.h"
#include "base/registry_key.h"
#include "com/com_ptr.h"
#include "com/global_interface_table.h"
#include "com/ref_count.h"
#include "com/registry_lookup.h"

namespace zq::com {
namespace {

std::atomic<LONG> moduleLocks{0};

class ClassFactory : public JComObject<ClassFactory, IClassFactory> {
 public:
  explicit ClassFactory(JCreateFunction create) : create_(create) {}
  HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
    if (object == nullptr) {
      return E_POINTER;
    }
    *object = nullptr;
    if (outer != nullptr) {
      return CLASS_E_NOAGGREGATION;
    }
    return create_(riid, object);
  }
  HRESULT LockServer(BOOL lock) override {
    lock ? lockModule() : unlockModule();
    return S_OK;
  }

 private:
  JCreateFunction create_;
};

struct ClassObjects {
  std::mutex mutex;
  struct Entry {
    CLSID clsid;
    IUnknown* factory;  // one reference
  };
  std::unordered_map<DWORD, Entry> byCookie;  // guarded by mutex
  DWORD next = 1;                             // guarded by mutex
};

ClassObjects& classObjects() {
  static ClassObjects c;
  return c;
}

HRESULT createGlobalInterfaceTableObject(REFIID riid, void** object) {
  ComPtr<IGlobalInterfaceTable> table;
  createGlobalInterfaceTable(table.put());
  return table->QueryInterface(riid, object);
}

using DllGetClassObjectFunction = HRESULT (*)(REFCLSID, REFIID, void**);

// The server registered for `clsid`, loaded; it stays loaded for the
// process's life, as nothing tells when its objects are all gone.
DllGetClassObjectFunction registeredServer(REFCLSID clsid) {
  std::string path;
  try {
    const std::optional<JSystemRegistryKey> server = openExistingKey(
        HKEY_CLASSES_ROOT, "CLSID\\" + guidToString(clsid) + "\\InprocServer32", KEY_READ);
    if (!server || !server->getString("", path) || path.empty()) {
      return nullptr;
    }
  } catch (const JError& e) {
    logCaught(e);
    return nullptr;
  }
  void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    return nullptr;
  }
  return reinterpret_cast<DllGetClassObjectFunction>(::dlsym(module, "DllGetClassObject"));
}

}  // namespace

void lockModule() {
  moduleLocks.fetch_add(1, std::memory_order_relaxed);
}
void unlockModule() {
  moduleLocks.fetch_sub(1, std::memory_order_acq_rel);
}
LONG moduleLockCount() {
  return moduleLocks.load(std::memory_order_acquire);
}
HRESULT canUnloadModule() {
  return moduleLockCount() == 0 ? S_OK : S_FALSE;
}

HRESULT createClassFactory(JCreateFunction create, REFIID riid, void** factory) {
  if (factory == nullptr) {
    return E_POINTER;
  }
  *factory = nullptr;
  if (create == nullptr) {
    return E_INVALIDARG;
  }
  ComPtr<IClassFactory> f = ComPtr<IClassFactory>::adopt(new ClassFactory(create));
  return f->QueryInterface(riid, factory);
}

HRESULT CoRegisterClassObject(REFCLSID clsid, IUnknown* factory, DWORD /*context*/, DWORD /*flags*/,
                              DWORD* cookie) {
  if (factory == nullptr || cookie == nullptr) {
    return E_INVALIDARG;
  }
  factory->AddRef();
  ClassObjects& c = classObjects();
  std::lock_guard lock(c.mutex);
  *cookie = c.next++;
  c.byCookie.emplace(*cookie, ClassObjects::Entry{clsid, factory});
  return S_OK;
}

HRESULT CoRevokeClassObject(DWORD cookie) {
  IUnknown* factory = nullptr;
  {
    ClassObjects& c = classObjects();
    std::lock_guard lock(c.mutex);
    auto it = c.byCookie.find(cookie);
    if (it == c.byCookie.end()) {
      return E_INVALIDARG;
    }
    factory = it->second.factory;
    c.byCookie.erase(it);
  }
  factory->Release();
  return S_OK;
}

HRESULT CoGetClassObject(REFCLSID clsid, DWORD /*context*/, void* /*serverInfo*/, REFIID riid,
                         void** object) {
  if (object == nullptr) {
    return E_POINTER;
  }
  *object = nullptr;
  if (clsid == CLSID_StdGlobalInterfaceTable) {
    return createClassFactory(&createGlobalInterfaceTableObject, riid, object);
  }
  {
    ClassObjects& c = classObjects();
    std::lock_guard lock(c.mutex);
    // The latest registration of a class wins.
    IUnknown* found = nullptr;
    DWORD newest = 0;
    for (const auto& [cookie, e] : c.byCookie) {
      if (e.clsid == clsid && cookie >= newest) {
        found = e.factory;
        newest = cookie;
      }
    }
    if (found != nullptr) {
      return found->QueryInterface(riid, object);
    }
  }
  DllGetClassObjectFunction get = registeredServer(clsid);
  if (get == nullptr) {
    return REGDB_E_CLASSNOTREG;
  }
  return get(clsid, riid, object);
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid,
                         void** object) {
  if (object == nullptr) {
    return E_POINTER;
  }
  *object = nullptr;
  ComPtr<IClassFactory> factory;
  if (HRESULT hr = CoGetClassObject(clsid, context, nullptr, IID_IClassFactory, factory.putVoid());
      FAILED(hr)) {
    return hr;
  }
  return factory->CreateInstance(outer, riid, object);
}

}  // namespace zq::com
