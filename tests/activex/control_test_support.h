// What the control's tests share: late-bound calls in declaration order, an
// event sink that records where and what it was told, and a control made in
// a single-threaded apartment of the test's thread.
#pragma once

#include <gtest/gtest.h>

#include <deque>
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
/// reference and read back in their order.
class Call {
 public:
  Call() = default;
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;
  Call& in(LONG v) { return push(JComVariant(v)); }
  Call& in(const char* s) { return push(JComVariant(s)); }
  Call& nullBstr() { return push(nullBstrVariant()); }
  Call& outLong(LONG initial = 0x5A5A) { return byRef(JComVariant(initial)); }
  Call& outBstr() { return byRef(nullBstrVariant()); }
  Call& outDouble(double initial) { return byRef(JComVariant(initial)); }
  /// Invoke with the arguments; a put passes its value as the named one.
  HRESULT invoke(IDispatch* d, DISPID member, WORD flags, VARIANT* result = nullptr) {
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
  LONG longOut(size_t i = 0) const { return outs_.at(i).lVal; }
  std::string bstrOut(size_t i = 0) const { return stringFromBstr(outs_.at(i).bstrVal); }
  double doubleOut(size_t i = 0) const { return outs_.at(i).dblVal; }

 private:
  static JComVariant nullBstrVariant() {
    JComVariant v;
    v.vt = VT_BSTR;
    return v;
  }
  Call& push(const JComVariant& v) {
    args_.push_back(v);
    return *this;
  }
  // The value lives in `outs_` (a deque: its places stay put); the argument
  // points at it.
  Call& byRef(const JComVariant& initial) {
    JComVariant& out = outs_.emplace_back(initial);
    JComVariant& ref = args_.emplace_back();
    ref.vt = static_cast<VARTYPE>(VT_BYREF | out.vt);
    ref.byref = &out.lVal;  // every member of the value's union starts there
    return *this;
  }
  std::deque<JComVariant> args_;
  std::deque<JComVariant> outs_;
};

/// Puts property `id`; the answer.
template <class Value>
HRESULT put(IDispatch* d, DISPID id, Value value) {
  Call c;
  return c.in(value).invoke(d, id, DISPATCH_PROPERTYPUT);
}

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
