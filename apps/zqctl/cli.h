// The console host's command line and its three modes: a script file, a
// one-shot text (-c) and standard input, interactive with line editing and
// history when it is a terminal. main() is this with the process's streams.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace zq::zqctl {

/// Exit statuses: every statement ran; a call or the set-up failed; a
/// statement (or the command line) is wrong.
enum ExitStatus : int { kExitOk = 0, kExitFailed = 1, kExitRejected = 2 };

struct CliStreams {
  int in = 0;  // read with poll, so that events print while it waits
  std::FILE* out = stdout;
  std::FILE* err = stderr;
  bool interactive = false;  // a terminal: line editing, history, prompt
};

/// Runs zqctl with `args` (without the program name). `defaultLibrary` is
/// the control's library when --library is not given ("" when unknown).
int runCli(const std::vector<std::string>& args, const std::string& defaultLibrary,
           const CliStreams& streams);

}  // namespace zq::zqctl
