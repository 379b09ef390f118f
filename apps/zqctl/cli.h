// The console host's command line and its three modes: a script file, a
// one-shot text (-c) and standard input, interactive with line editing and
// history when it is a terminal. main() is this with the process's streams.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace zq::zqctl {

class ControlHost;

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

/// What --help and the statement help print: each member with its usage
/// and help string, then the events. With a `topic`, only the lines of the
/// members and events of that name (matched without regard to case): none
/// when nothing has it.
std::vector<std::string> memberListing(const ControlHost& host, std::string_view topic = {});

/// What Tab offers at the prompt, `line` being the text before the cursor
/// and the word completed the name at its end: at a statement's start the
/// `members` and the words help and wait, after help the `members` and
/// `events`, inside arguments nothing. Names match without regard to case
/// and come back as declared, each once. In readline's form: first the
/// text that replaces the word (what the candidates share), then the
/// candidates (one candidate: it twice); empty when nothing fits.
std::vector<std::string> completionMatches(std::string_view line,
                                           const std::vector<std::string>& members,
                                           const std::vector<std::string>& events);

}  // namespace zq::zqctl
