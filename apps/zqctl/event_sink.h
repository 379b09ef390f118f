// The console host's sink for the control's events: an IDispatch of its own
// whose Invoke is driven by the declared event interface, so that the
// runtime checks and converts the arguments the control fires with. Each
// event becomes one line of text handed to the host's printer, on the thread
// that runs Invoke (the host's, which owns the sink's apartment).
#pragma once

#include <functional>
#include <string>

#include "com/dispatch_impl.h"
#include "com/ref_count.h"

namespace zq::zqctl {

inline constexpr com::IID DIID_IZQAudioOutputCtrlEvents =
    com::makeGuid("{ED084A2B-E3D1-4DD4-95BB-51244C06F0DC}");

/// The control's event dispinterface as its sinks see it.
struct IControlEvents : com::IDispatch {
  static constexpr const com::IID& iid = DIID_IZQAudioOutputCtrlEvents;
};

class EventSink;
extern const com::JTypeDescription kEventSinkType;

class EventSink
    : public com::JComObject<EventSink,
                             com::IDispatchImpl<EventSink, IControlEvents, kEventSinkType>> {
 public:
  /// `print` gets each event's line, e.g. event LinkUp "127.0.0.1:10001".
  explicit EventSink(std::function<void(const std::string&)> print) : print_(std::move(print)) {}

  com::HRESULT LinkUp(com::BSTR name);
  com::HRESULT LinkDown(com::BSTR name, com::BSTR textError);

 protected:
  // Answer IDispatch as well as the event interface.
  bool queryMore(com::REFIID riid, void** object) override;

 private:
  std::function<void(const std::string&)> print_;
};

}  // namespace zq::zqctl
