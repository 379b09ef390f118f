// The event sink's type table and its two events.
#include "host/event_sink.h"

namespace zq::host {

using namespace zq::com;

namespace {
constexpr JMemberDesc kEventMembers[] = {
    JMembers<EventSink>::method<&EventSink::LinkUp>(1, "LinkUp", {{"Name", VT_BSTR}},
                                                    "event LinkUp"),
    JMembers<EventSink>::method<&EventSink::LinkDown>(
        2, "LinkDown", {{"Name", VT_BSTR}, {"TextError", VT_BSTR}}, "event LinkDown"),
};
}  // namespace

const JTypeDescription kEventSinkType{"_IZQAudioOutputCtrlEvents",
                                      DIID_IZQAudioOutputCtrlEvents,
                                      TKIND_DISPATCH,
                                      "_IZQAudioOutputCtrlEvents Interface",
                                      0,
                                      kEventMembers,
                                      {}};

HRESULT EventSink::LinkUp(BSTR name) {
  handler_({"LinkUp", {stringFromBstr(name)}});
  return S_OK;
}

HRESULT EventSink::LinkDown(BSTR name, BSTR textError) {
  handler_({"LinkDown", {stringFromBstr(name), stringFromBstr(textError)}});
  return S_OK;
}

bool EventSink::queryMore(REFIID riid, void** object) {
  if (riid == IID_IDispatch) {
    *object = static_cast<IDispatch*>(this);
    return true;
  }
  return false;
}

}  // namespace zq::host
