// A host's sink for the control's events: an IDispatch of its own whose
// Invoke is driven by the declared event interface, so that the runtime
// checks and converts the arguments the control fires with. Each event is
// handed to the host as its name and its texts, on the thread that runs
// Invoke (the host's, which owns the sink's apartment). Shared by every
// host of the control (zqctl, zqweb).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "com/dispatch_impl.h"
#include "com/ref_count.h"

namespace zq::host {

inline constexpr com::IID DIID_IZQAudioOutputCtrlEvents =
    com::makeGuid("{ED084A2B-E3D1-4DD4-95BB-51244C06F0DC}");

/// The control's event dispinterface as its sinks see it.
struct IControlEvents : com::IDispatch {
  static constexpr const com::IID& iid = DIID_IZQAudioOutputCtrlEvents;
};

/// One event as fired: "LinkUp" {Name} or "LinkDown" {Name, TextError}.
struct Event {
  std::string name;
  std::vector<std::string> args;
};

class EventSink;
extern const com::JTypeDescription kEventSinkType;

class EventSink
    : public com::JComObject<EventSink,
                             com::IDispatchImpl<EventSink, IControlEvents, kEventSinkType>> {
 public:
  explicit EventSink(std::function<void(const Event&)> handler) : handler_(std::move(handler)) {}

  com::HRESULT LinkUp(com::BSTR name);
  com::HRESULT LinkDown(com::BSTR name, com::BSTR textError);

 protected:
  // Answer IDispatch as well as the event interface.
  bool queryMore(com::REFIID riid, void** object) override;

 private:
  std::function<void(const Event&)> handler_;
};

}  // namespace zq::host
