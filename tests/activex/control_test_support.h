// What the control's tests share: late-bound calls in declaration order, an
// event sink that records where and what it was told, and a control made in
// a single-threaded apartment of the test's thread.
#pragma once

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "activex/zq_audio_output_ctrl.h"
#include "com/apartment.h"
#include "com/bstr.h"
#include "com/com_ptr.h"
#include "com/ref_count.h"
#include "helpers/waits.h"

namespace zq::activex::test {

/// A call's arguments in declaration order; `out` entries are filled in by
/// reference.
class Call {
 public:
  Call& in(LONG v) { return push(JComVariant(v)); }
  Call& in(const char* s) { return push(JComVariant(s)); }
  Call& nullBstr() {
    JComVariant v;
    v.vt = VT_BSTR;
    return push(v);
  }
  Call& outLong(LONG initial = 0x5A5A) {
    longs_.push_back(initial);
    return byRef(VT_I4);
  }
  Call& outBstr() {
    bstrs_.emplace_back();
    return byRef(VT_BSTR);
  }
  Call& outDouble(double initial) {
    doubles_.push_back(initial);
    return byRef(VT_R8);
  }
  /// Invoke with the arguments; a put passes its value as the named one.
  HRESULT invoke(IDispatch* d, DISPID member, WORD flags, VARIANT* result = nullptr) {
    // Out slots were reserved up front, so the pointers stay valid.
    size_t l = 0, b = 0, r = 0;
    for (VARIANT& v : args_) {
      if (v.vt == (VT_BYREF | VT_I4))
        v.plVal = &longs_[l++];
      if (v.vt == (VT_BYREF | VT_BSTR))
        v.pbstrVal = bstrs_[b++].put();
      if (v.vt == (VT_BYREF | VT_R8))
        v.pdblVal = &doubles_[r++];
    }
    std::vector<VARIANT> reversed(args_.rbegin(), args_.rend());
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    if (flags == DISPATCH_PROPERTYPUT) {
      params.rgdispidNamedArgs = &put;
      params.cNamedArgs = 1;
    }
    return d->Invoke(member, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, nullptr,
                     nullptr);
  }
  LONG longOut(size_t i = 0) const { return longs_.at(i); }
  std::string bstrOut(size_t i = 0) const { return bstrs_.at(i).str(); }
  double doubleOut(size_t i = 0) const { return doubles_.at(i); }

 private:
  Call& push(const VARIANT& v) {
    VARIANT copy;
    VariantInit(&copy);
    VariantCopy(&copy, &v);
    args_.push_back(copy);
    return *this;
  }
  Call& byRef(VARTYPE vt) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BYREF | vt;
    args_.push_back(v);
    return *this;
  }
  std::vector<VARIANT> args_;  // owns the BSTRs of its in arguments
  std::vector<LONG> longs_;
  std::vector<JBstr> bstrs_;
  std::vector<double> doubles_;

 public:
  Call() {
    longs_.reserve(8);
    bstrs_.reserve(8);
    doubles_.reserve(8);
  }
  ~Call() {
    for (VARIANT& v : args_) {
      if (v.vt == VT_BSTR)
        VariantClear(&v);
    }
  }
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;
};

/// An event sink: records each event with the thread it ran on, and
/// answers `answer`.
class EventSink : public JComObject<EventSink, IDispatch> {
 public:
  struct Event {
    DISPID dispid;
    std::vector<std::string> args;  // declaration order
    std::thread::id thread;
  };
  explicit EventSink(HRESULT answer = S_OK) : answer_(answer) {}
  HRESULT GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT Invoke(DISPID member, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                 UINT*) override {
    Event e{member, {}, std::this_thread::get_id()};
    for (UINT i = params->cArgs; i > 0; --i) {
      e.args.push_back(stringFromBstr(params->rgvarg[i - 1].bstrVal));
    }
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(e));
    return answer_;
  }
  std::vector<Event> events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }

 protected:
  bool queryMore(REFIID riid, void** object) override {
    if (riid == DIID__IZQAudioOutputCtrlEvents) {
      *object = static_cast<IDispatch*>(this);
      return true;
    }
    return false;
  }

 private:
  const HRESULT answer_;
  mutable std::mutex mutex_;
  std::vector<Event> events_;
};

/// Advises `sink` on `control`'s event point; the point, to unadvise.
inline ComPtr<IConnectionPoint> advise(IUnknown* control, IDispatch* sink, DWORD* cookie) {
  ComPtr<IConnectionPoint> point;
  EXPECT_EQ(ComPtr<IConnectionPointContainer>::queryFrom(control)->FindConnectionPoint(
                DIID__IZQAudioOutputCtrlEvents, point.put()),
            S_OK);
  EXPECT_EQ(point->Advise(sink, cookie), S_OK);
  return point;
}

/// Runs this apartment's calls until `condition` holds (20 s at most).
template <class Condition>
bool pumpUntil(Condition&& condition, int limitMs = 20000) {
  return zq::test::eventually(
      [&] {
        waitApartmentMessages(5);
        return condition();
      },
      limitMs);
}

/// The test's thread in a single-threaded apartment, with a fresh control.
class ControlFixture : public ::testing::Test {
 protected:
  ControlFixture() {
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    EXPECT_EQ(JZQAudioOutputCtrl::create(IID_IZQAudioOutputCtrl, control_.putVoid()), S_OK);
  }
  ~ControlFixture() override {
    control_.reset();
    CoUninitialize();
  }
  IZQAudioOutputCtrl* control() { return control_.get(); }
  JZQAudioOutputCtrl& impl() { return *static_cast<JZQAudioOutputCtrl*>(control_.get()); }
  ComPtr<IZQAudioOutputCtrl> control_;
};

}  // namespace zq::activex::test
