// The console host's use of the shared host code (host/control_host.h):
// statements become calls, and results and events become the lines zqctl
// prints.
//
// Concurrency: one thread, the one that built the host, calls everything;
// events reach it only while it pumps (pump, wait) or between statements.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "host/control_host.h"
#include "host/event_sink.h"
#include "zqctl/statement.h"

namespace zq::zqctl {

using host::hresultText;
using host::kEventSinkType;
using host::MemberInfo;
using host::vartypeName;

/// A result for printing: integers in decimal, reals shortest, texts quoted.
std::string valueText(const com::VARIANT& v);
/// An event as a line: event LinkDown "a:1" "Connection Lost".
std::string eventLine(const host::Event& event);

class ControlHost {
 public:
  using Printer = std::function<void(const std::string&)>;
  using Outcome = host::ControlHost::Outcome;

  /// As host::ControlHost; `print` gets result and event lines.
  ControlHost(const std::string& libraryPath, Printer print);

  /// Whether `statement` names a member that fits it, without calling
  /// anything; the reason in `error` when not.
  bool check(const Statement& statement, std::string& error) const;
  /// Runs one statement: prints its result, or says in `error` why not.
  Outcome run(const Statement& statement, std::string& error);

  void pump() { host_.pump(); }
  void wait(double seconds) { host_.wait(seconds); }
  const std::vector<MemberInfo>& members() const { return host_.members(); }
  const std::string& typeName() const { return host_.typeName(); }

 private:
  Printer print_;
  host::ControlHost host_;
};

}  // namespace zq::zqctl
