// What every host of the control does with it, in one place for zqctl and
// zqweb: load the control's library through its class factory (dlopen, never
// linking the class), join a single-threaded apartment on the calling
// thread, create the control, advise an event sink, and call members by
// name through GetIDsOfNames and Invoke, reading the members' kinds and
// parameters from the control's type information.
//
// Concurrency: one thread, the one that built the host, calls everything;
// events reach it only while it pumps its apartment (pump, wait, or any
// waitApartmentMessages of its own).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <variant>
#include <vector>

#include "com/com_ptr.h"
#include "com/connection_point.h"
#include "com/type_info.h"
#include "com/variant.h"
#include "host/event_sink.h"

namespace zq::host {

inline constexpr com::CLSID CLSID_ZQAudioOutputCtrl =
    com::makeGuid("{EF82A84C-2CB5-4738-8968-2A757693A44A}");

/// A member as the type information describes it.
struct MemberInfo {
  struct Param {
    std::string name;
    com::VARTYPE vt = com::VT_EMPTY;
    com::USHORT flags = 0;
    bool isOut() const { return (flags & com::PARAMFLAG_FOUT) != 0; }
    bool isRetval() const { return (flags & com::PARAMFLAG_FRETVAL) != 0; }
  };
  com::DISPID dispid = com::DISPID_UNKNOWN;
  com::INVOKEKIND kind = com::INVOKE_FUNC;
  std::string name;
  std::string help;
  std::vector<Param> params;

  size_t inCount() const;
  /// "SetNetSource Proto:BSTR Host:BSTR Port:I4 -> Result:I4", or for a put
  /// "Server = Hostname:BSTR".
  std::string usage() const;
};

/// The name of a VARTYPE as the listings show it ("I4", "BSTR").
std::string vartypeName(com::VARTYPE vt);
/// "0x80020005 Type mismatch." for a known code, the code alone otherwise.
std::string hresultText(com::HRESULT hr);

/// An argument: a 32-bit integer or a text.
using Value = std::variant<int32_t, std::string>;

/// One call by name: a method, or a property get (no arguments), or with
/// `put` a property put whose one argument is the value.
struct Call {
  std::string member;
  std::vector<Value> args;
  bool put = false;
};

/// An out parameter's value after a call, in declaration order.
struct Output {
  std::string name;
  com::JComVariant value;
};

class ControlHost {
 public:
  using EventHandler = std::function<void(const Event&)>;

  enum class Outcome {
    kDone,
    kRejected,  // the call does not fit the control: nothing was called
    kFailed,    // Invoke failed
  };

  /// Throws JTextError with the reason when the library cannot be loaded,
  /// has no class factory, the control cannot be created or refuses the sink.
  /// `onEvent` gets the events, on this thread while it pumps.
  ControlHost(const std::string& libraryPath, EventHandler onEvent);
  /// Unadvises, leaves the apartment (so that an event still on its way to
  /// this thread fails instead of waiting for a pump that will not come),
  /// then releases the control.
  ~ControlHost();
  ControlHost(const ControlHost&) = delete;
  ControlHost& operator=(const ControlHost&) = delete;

  /// The member `call` names if it fits it (kind and number of arguments);
  /// null with the reason in `error` when not.
  const MemberInfo* resolve(const Call& call, std::string& error) const;
  /// Runs one call; its out parameters in `outs`, or the reason in `error`.
  Outcome invoke(const Call& call, std::vector<Output>& outs, std::string& error);

  /// Delivers the events queued for this thread now.
  void pump();
  /// Delivers events as they come for `seconds`.
  void wait(double seconds);

  const std::vector<MemberInfo>& members() const { return members_; }
  /// The type's name from its type information ("IZQAudioOutputCtrl").
  const std::string& typeName() const { return typeName_; }
  /// A function the control's library exports (null when it has none):
  /// whatever else of the library a host uses, reached in the copy the
  /// control itself runs on.
  void* entryPoint(const char* name) const;

 private:
  void readTypeInfo();

  bool joined_ = false;
  void* library_ = nullptr;
  com::ComPtr<com::IDispatch> control_;
  com::ComPtr<com::IConnectionPoint> point_;
  com::DWORD cookie_ = 0;
  std::vector<MemberInfo> members_;
  std::string typeName_;
};

}  // namespace zq::host
