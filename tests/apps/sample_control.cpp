// A sample control for the console host's tests: a shared library exporting
// DllGetClassObject for the control's CLSID, whose object is a small dual
// interface declared with the runtime's type table (properties with get and
// put, methods with return values, out parameters and failures) that fires
// the control's LinkUp event from threads of its own, as the control does
// from its controllers' event threads.
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "base/error.h"
#include "com/apartment.h"
#include "com/apartment_proxy.h"
#include "com/class_factory.h"
#include "com/connection_point.h"
#include "com/dispatch_impl.h"
#include "com/ref_count.h"

namespace {

using namespace zq::com;
using zq::JWaitableObject;

constexpr CLSID kControlClsid = makeGuid("{EF82A84C-2CB5-4738-8968-2A757693A44A}");
constexpr IID kEventsIid = makeGuid("{ED084A2B-E3D1-4DD4-95BB-51244C06F0DC}");

struct ISampleControl : IDispatch {
  static constexpr IID iid = makeGuid("{6D1C0E8A-4B1F-4C55-9D0E-2F7A3C5B9E11}");
};

class SampleControl;
extern const JTypeDescription kSampleType;

class SampleControl
    : public JComObject<SampleControl, IDispatchImpl<SampleControl, ISampleControl, kSampleType>,
                        JConnectionPointContainer> {
 public:
  HRESULT getName(BSTR* out) {
    *out = bstrFromString(name_);
    return S_OK;
  }
  HRESULT putName(BSTR name) {
    name_ = stringFromBstr(name);
    return S_OK;
  }
  HRESULT getCount(LONG* out) {
    *out = count_;
    return S_OK;
  }
  HRESULT putCount(LONG count) {
    count_ = count;
    return S_OK;
  }
  HRESULT add(LONG a, LONG b, LONG* sum) {
    *sum = static_cast<LONG>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
    return S_OK;
  }
  HRESULT describe(BSTR text, BSTR* result) {
    *result = bstrFromString(name_ + ":" + stringFromBstr(text));
    return S_OK;
  }
  HRESULT half(LONG value, DOUBLE* out) {
    *out = value / 2.0;
    return S_OK;
  }
  HRESULT fail(LONG code) { return code; }
  HRESULT reset() {
    count_ = 0;
    return S_OK;
  }
  // Each of `count` threads joins an apartment of its own and fires LinkUp.
  HRESULT fireUp(BSTR name, LONG count) {
    const std::string text = stringFromBstr(name);
    std::lock_guard lock(mutex_);
    for (LONG i = 0; i < count; ++i) {
      threads_.emplace_back([this, text] {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        VARIANT arg;
        arg.vt = VT_BSTR;
        arg.bstrVal = bstrFromString(text);
        DISPPARAMS params;
        params.rgvarg = &arg;
        params.cArgs = 1;
        point_.fire(1, &params);
        VariantClear(&arg);
        CoUninitialize();
      });
    }
    return S_OK;
  }
  // Fires LinkUp from a thread and returns once something waits in the
  // caller's queue, the event's call or the release that precedes it.
  HRESULT fireQueued(BSTR name) {
    JWaitableObject* queued = apartmentMessageSignal();
    if (queued == nullptr) {
      return E_UNEXPECTED;
    }
    fireUp(name, 1);
    try {
      queued->wait(10000);
    } catch (const zq::JTimeoutError&) {
      return E_FAIL;
    }
    return S_OK;
  }

 protected:
  ~SampleControl() override {
    for (std::thread& t : threads_) {
      t.join();
    }
  }
  bool queryMore(REFIID riid, void** object) override {
    if (riid == IID_IDispatch) {
      *object = static_cast<IDispatch*>(static_cast<ISampleControl*>(this));
      return true;
    }
    return false;
  }
  std::span<JConnectionPoint* const> connectionPoints() override { return {&pointer_, 1}; }

 private:
  std::string name_ = "sample";
  LONG count_ = 0;
  JConnectionPoint point_{*static_cast<ISampleControl*>(this), kEventsIid};
  JConnectionPoint* pointer_ = &point_;
  std::mutex mutex_;
  std::vector<std::thread> threads_;  // guarded by mutex_
};

constexpr USHORT kRetval = PARAMFLAG_FOUT | PARAMFLAG_FRETVAL;
using M = JMembers<SampleControl>;
constexpr JMemberDesc kSampleMembers[] = {
    M::propertyGet<&SampleControl::getName>(1, "Name", {{"Name", VT_BSTR, kRetval}},
                                            "property Name"),
    M::propertyPut<&SampleControl::putName>(1, "Name", {{"Name", VT_BSTR}}, "property Name"),
    M::propertyGet<&SampleControl::getCount>(2, "Count", {{"Count", VT_I4, kRetval}},
                                             "property Count"),
    M::propertyPut<&SampleControl::putCount>(2, "Count", {{"Count", VT_I4}}, "property Count"),
    M::method<&SampleControl::add>(4, "Add", {{"A", VT_I4}, {"B", VT_I4}, {"Sum", VT_I4, kRetval}},
                                   "method Add"),
    M::method<&SampleControl::describe>(
        5, "Describe", {{"Text", VT_BSTR}, {"Result", VT_BSTR, PARAMFLAG_FOUT}}, "method Describe"),
    M::method<&SampleControl::half>(6, "Half", {{"Value", VT_I4}, {"Half", VT_R8, kRetval}},
                                    "method Half"),
    M::method<&SampleControl::fail>(7, "Fail", {{"Code", VT_I4}}, "method Fail"),
    M::method<&SampleControl::reset>(8, "Reset", {}, "method Reset"),
    M::method<&SampleControl::fireUp>(9, "FireUp", {{"Name", VT_BSTR}, {"Count", VT_I4}},
                                      "method FireUp"),
    M::method<&SampleControl::fireQueued>(11, "FireQueued", {{"Name", VT_BSTR}},
                                          "method FireQueued"),
};

const JTypeDescription kSampleType{"ISampleControl",
                                   ISampleControl::iid,
                                   TKIND_INTERFACE,
                                   "ISampleControl Interface",
                                   TYPEFLAG_FDUAL,
                                   kSampleMembers,
                                   {}};

HRESULT create(REFIID riid, void** object) {
  auto* control = new SampleControl;
  const HRESULT hr = control->QueryInterface(riid, object);
  control->Release();
  return hr;
}

}  // namespace

// The entry point the host finds with dlsym.
extern "C" HRESULT DllGetClassObject(const GUID& clsid, const GUID& iid, void** out);

extern "C" HRESULT DllGetClassObject(const GUID& clsid, const GUID& iid, void** out) {
  if (!(clsid == kControlClsid)) {
    return CLASS_E_CLASSNOTAVAILABLE;
  }
  // The events' proxy, so that the interface table hands a firing thread
  // one that runs the host's sink on the host's thread.
  registerDispatchProxy(kEventsIid);
  return createClassFactory(&create, iid, out);
}
