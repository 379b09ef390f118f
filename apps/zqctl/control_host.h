// The console host's side of the control: it loads the control's library
// through its class factory (dlopen, never linking the class), joins a
// single-threaded apartment on the calling thread, creates the control,
// advises an event sink and calls members by name through GetIDsOfNames
// and Invoke, reading the members' kinds and parameters from the control's
// type information.
//
// Concurrency: one thread, the one that built the host, calls everything;
// events reach it only while it pumps (pump, wait) or between statements.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "com/com_ptr.h"
#include "com/connection_point.h"
#include "com/type_info.h"
#include "zqctl/statement.h"

namespace zq::zqctl {

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
/// A result for printing: integers in decimal, reals shortest, texts quoted.
std::string valueText(const com::VARIANT& v);

class ControlHost {
 public:
  using Printer = std::function<void(const std::string&)>;

  enum class Outcome {
    kDone,
    kRejected,  // the statement does not fit the control: nothing was called
    kFailed,    // Invoke failed
  };

  /// Throws JTextError with the reason when the library cannot be loaded,
  /// has no class factory, the control cannot be created or refuses the sink.
  /// `print` gets result and event lines.
  ControlHost(const std::string& libraryPath, Printer print);
  /// Unadvises, leaves the apartment (so that an event still on its way to
  /// this thread fails instead of waiting for a pump that will not come),
  /// then releases the control.
  ~ControlHost();
  ControlHost(const ControlHost&) = delete;
  ControlHost& operator=(const ControlHost&) = delete;

  /// Whether `statement` names a member that fits it, without calling
  /// anything; the reason in `error` when not.
  bool check(const Statement& statement, std::string& error) const;
  /// Runs one statement: prints its result, or says in `error` why not.
  Outcome run(const Statement& statement, std::string& error);

  /// Delivers the events queued for this thread now.
  void pump();
  /// Delivers events as they come for `seconds`.
  void wait(double seconds);

  const std::vector<MemberInfo>& members() const { return members_; }
  /// The type's name from its type information ("IZQAudioOutputCtrl").
  const std::string& typeName() const { return typeName_; }

 private:
  const MemberInfo* resolve(const Statement& statement, std::string& error) const;
  void readTypeInfo();

  Printer print_;
  bool joined_ = false;
  com::ComPtr<com::IDispatch> control_;
  com::ComPtr<com::IConnectionPoint> point_;
  com::DWORD cookie_ = 0;
  std::vector<MemberInfo> members_;
  std::string typeName_;
};

}  // namespace zq::zqctl
