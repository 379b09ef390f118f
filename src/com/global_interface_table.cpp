// The process's interface table, and passing one interface to another
// thread through a stream on top of it.
#include "com/global_interface_table.h"

#include <cstring>
#include <mutex>
#include <unordered_map>

#include "com/apartment_proxy.h"
#include "com/com_ptr.h"
#include "com/dispatch.h"
#include "com/ref_count.h"
#include "com/stream.h"

namespace zq::com {
namespace {

struct Entry {
  IUnknown* object;  // the registered interface, one reference
  IID iid;
  std::shared_ptr<JApartment> owner;
};

struct Table {
  std::mutex mutex;
  std::unordered_map<DWORD, Entry> entries;  // guarded by mutex
  DWORD next = 0x100;                        // guarded by mutex
};

Table& table() {
  static Table t;
  return t;
}

class GlobalInterfaceTable : public JComObject<GlobalInterfaceTable, IGlobalInterfaceTable> {
 public:
  HRESULT RegisterInterfaceInGlobal(IUnknown* object, REFIID riid, DWORD* cookie) override {
    if (object == nullptr || cookie == nullptr) {
      return E_INVALIDARG;
    }
    *cookie = 0;
    std::shared_ptr<JApartment> owner = JApartment::current();
    if (!owner) {
      return CO_E_NOTINITIALIZED;
    }
    void* p = nullptr;
    if (HRESULT hr = object->QueryInterface(riid, &p); FAILED(hr)) {
      return hr;
    }
    Table& t = table();
    std::lock_guard lock(t.mutex);
    // Zero is never a cookie.
    do {
      *cookie = t.next++;
    } while (*cookie == 0 || t.entries.contains(*cookie));
    t.entries.emplace(*cookie, Entry{static_cast<IUnknown*>(p), riid, std::move(owner)});
    return S_OK;
  }

  HRESULT RevokeInterfaceFromGlobal(DWORD cookie) override {
    Entry e;
    {
      Table& t = table();
      std::lock_guard lock(t.mutex);
      auto it = t.entries.find(cookie);
      if (it == t.entries.end()) {
        return E_INVALIDARG;
      }
      e = std::move(it->second);
      t.entries.erase(it);
    }
    releaseInApartment(e.object, e.owner);
    return S_OK;
  }

  HRESULT GetInterfaceFromGlobal(DWORD cookie, REFIID riid, void** object) override {
    if (object == nullptr) {
      return E_INVALIDARG;
    }
    *object = nullptr;
    const std::shared_ptr<JApartment> caller = JApartment::current();
    if (!caller) {
      return CO_E_NOTINITIALIZED;
    }
    Entry e;
    {
      Table& t = table();
      std::lock_guard lock(t.mutex);
      auto it = t.entries.find(cookie);
      if (it == t.entries.end()) {
        return E_INVALIDARG;
      }
      e = it->second;
      // The proxy or the caller's own reference keeps it beyond the lock.
      e.object->AddRef();
    }
    HRESULT hr = S_OK;
    if (e.owner->isCurrent()) {
      hr = e.object->QueryInterface(riid, object);
    } else {
      hr = proxyFor(e, riid, object);
    }
    releaseInApartment(e.object, e.owner);
    return hr;
  }

 private:
  static HRESULT proxyFor(const Entry& e, REFIID riid, void** object) {
    // Nothing can run on an apartment that has ended.
    if (e.owner->closed()) {
      return RPC_E_DISCONNECTED;
    }
    ComPtr<IUnknown> proxy;
    if (HRESULT hr = createApartmentProxy(e.iid, e.object, e.owner, proxy.putVoid()); FAILED(hr)) {
      return hr;
    }
    return proxy->QueryInterface(riid, object);
  }
};

// What a marshalling stream holds: a mark and the table's cookie.
constexpr char kMark[8] = {'Z', 'Q', 'M', 'A', 'R', 'S', 'H', '1'};

}  // namespace

HRESULT createGlobalInterfaceTable(IGlobalInterfaceTable** out) {
  if (out == nullptr) {
    return E_POINTER;
  }
  *out = new GlobalInterfaceTable;
  return S_OK;
}

HRESULT CoMarshalInterThreadInterfaceInStream(REFIID riid, IUnknown* object, IStream** stream) {
  if (stream == nullptr) {
    return E_INVALIDARG;
  }
  *stream = nullptr;
  ComPtr<IGlobalInterfaceTable> git;
  createGlobalInterfaceTable(git.put());
  DWORD cookie = 0;
  if (HRESULT hr = git->RegisterInterfaceInGlobal(object, riid, &cookie); FAILED(hr)) {
    return hr;
  }
  ComPtr<IStream> s;
  createMemoryStream(s.put());
  char record[sizeof kMark + sizeof cookie];
  std::memcpy(record, kMark, sizeof kMark);
  std::memcpy(record + sizeof kMark, &cookie, sizeof cookie);
  s->Write(record, sizeof record, nullptr);
  s->Seek(LARGE_INTEGER{0}, STREAM_SEEK_SET, nullptr);
  *stream = s.detach();
  return S_OK;
}

HRESULT CoGetInterfaceAndReleaseStream(IStream* stream, REFIID riid, void** object) {
  if (object == nullptr) {
    return E_INVALIDARG;
  }
  *object = nullptr;
  if (stream == nullptr) {
    return E_INVALIDARG;
  }
  ComPtr<IStream> s = ComPtr<IStream>::adopt(stream);
  char record[sizeof kMark + sizeof(DWORD)] = {};
  ULONG read = 0;
  if (FAILED(s->Read(record, sizeof record, &read)) || read != sizeof record ||
      std::memcmp(record, kMark, sizeof kMark) != 0) {
    return E_INVALIDARG;
  }
  DWORD cookie = 0;
  std::memcpy(&cookie, record + sizeof kMark, sizeof cookie);
  ComPtr<IGlobalInterfaceTable> git;
  createGlobalInterfaceTable(git.put());
  const HRESULT hr = git->GetInterfaceFromGlobal(cookie, riid, object);
  // One use only: the registration goes, whatever the outcome.
  git->RevokeInterfaceFromGlobal(cookie);
  return hr;
}

}  // namespace zq::com
