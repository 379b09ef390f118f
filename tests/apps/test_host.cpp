// The console host against the sample control, a shared library loaded the
// way the real control is: results and their printing, refusals before
// anything runs, Invoke failures with their codes, set-up failures, the
// member listing, and events fired from other threads printed while the
// host waits for input, and at shutdown. That they run on the host's thread
// is the apartments' test.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <future>
#include <string>
#include <vector>

#include "helpers/temp_dir.h"
#include "helpers/waits.h"
#include "zqctl/cli.h"
#include "zqctl/control_host.h"

namespace zq::zqctl {
namespace {

using test::eventually;

const std::string kLibrary = ZQCTL_SAMPLE_CONTROL;

// What a file written by the host holds so far.
std::string contents(std::FILE* f) {
  std::fflush(f);
  struct stat st {};
  ::fstat(::fileno(f), &st);
  std::string text(static_cast<size_t>(st.st_size), '\0');
  text.resize(
      static_cast<size_t>(std::max<ssize_t>(::pread(::fileno(f), text.data(), text.size(), 0), 0)));
  return text;
}

size_t countOf(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++n;
  }
  return n;
}

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs the host on a thread of its own, feeding `feed` its standard input
// (a pipe) and its output so far; a host that does not end within the
// bound ends the test program, since a hung host cannot be taken back.
Outcome runZqctl(std::vector<std::string> args,
                 const std::function<void(int in, std::FILE* out)>& feed = nullptr) {
  int fds[2];
  EXPECT_EQ(::pipe(fds), 0);
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  CliStreams io{fds[0], out, err, false};
  auto done = std::async(std::launch::async, [&] { return runCli(args, "", io); });
  if (feed) {
    feed(fds[1], out);
  }
  ::close(fds[1]);
  if (done.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
    std::fprintf(stderr, "zqctl did not end within 30 s: %s\n", contents(out).c_str());
    std::_Exit(1);
  }
  Outcome r{done.get(), contents(out), contents(err)};
  ::close(fds[0]);
  std::fclose(out);
  std::fclose(err);
  return r;
}

// Results print as their types; a statement that cannot run stops the
// script before anything ran; a call that fails stops it there; events
// still on their way when the host ends do not keep it from ending.
TEST(ZqctlHost, ResultsRefusalsAndFailures) {
  const struct {
    const char* statements;
    const char* out;  // nullptr: events in flight, printed or not
    int status = kExitOk;
    const char* err = "";
  } kCases[] = {
      {R"(Name = "a\"b"; Name)", "-> \"a\\\"b\"\n"},
      {"add 2 0x10", "-> 18\n"},
      // A one-shot text splits at a ';' outside quotes, escapes honoured.
      {R"(Describe "q\";r\\"; Describe "x;y")", "-> \"sample:q\\\";r\\\\\"\n-> \"sample:x;y\"\n"},
      {"Half 5", "-> 2.5\n"},
      {"Count = \"12\"; Count\n\nwait 0; Reset; Count", "-> 12\n-> 0\n"},
      {R"(FireUp "late" 2; FireUp "x" 4)", nullptr},
      {"Count = 1; Nope; Count", "", kExitRejected, "zqctl: -c:2: unknown member Nope\n"},
      {"Reset = 3", "", kExitRejected, "zqctl: -c:1: Reset is not a property that can be set\n"},
      {"Add 1", "", kExitRejected,
       "zqctl: -c:1: Add takes 2 arguments, 1 given: Add A:I4 B:I4 -> Sum:I4\n"},
      {"Count = 5; Count = ; Nope", "", kExitRejected,
       "zqctl: -c:2:10: expected a value after '='\nzqctl: -c:3: unknown member Nope\n"},
      {"Count = 5; Count; Fail 0x80070057", "-> 5\n", kExitFailed,
       "zqctl: -c:3: Fail failed: 0x80020009 Exception occurred. (0x80070057 The parameter is "
       "incorrect.)\n"},
      // Invoke counts the argument in error from the last.
      {R"(Add "x" 1)", "", kExitFailed,
       "zqctl: -c:1: Add failed: 0x80020005 Type mismatch. (argument A)\n"},
      {R"(Add 1 "y")", "", kExitFailed,
       "zqctl: -c:1: Add failed: 0x80020005 Type mismatch. (argument B)\n"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.statements);
    const Outcome r = runZqctl({"--library", kLibrary, "-c", c.statements});
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, c.err);
    if (c.out != nullptr) {
      EXPECT_EQ(r.out, c.out);
    }
  }
}

// Set-up failures end before anything runs (a script file's faults named
// by its path and line); --help and the help statement print one listing
// from the type information: each member with its usage and help string,
// then the events; help NAME only that name's lines, or refuses a name
// nothing has before anything runs.
TEST(ZqctlHost, SetUpFailuresAndHelpListings) {
  test::TempDir dir;
  const std::string script = (dir.path() / "script.zq").string();
  std::ofstream(script) << "# set\nCount = 3  # three\n\nSetParams \"open\n";
  const std::string scriptError = "zqctl: " + script + ":4:11: unterminated text\n";
  // A listing's line: the usage in a column of 58, then the help string.
  const auto row = [](std::string usage, const char* help) {
    usage.resize(std::max<size_t>(usage.size(), 58), ' ');
    return "  " + usage + " " + help + "\n";
  };
  const std::string name = row("Name -> Name:BSTR", "property Name");
  const std::string add = row("Add A:I4 B:I4 -> Sum:I4", "method Add");
  const std::string linkDown = row("LinkDown Name:BSTR TextError:BSTR", "event LinkDown");
  const struct {
    std::vector<std::string> args;
    int status;
    const char* err;                      // the start of standard error
    std::vector<std::string> shown = {};  // each once on standard output; none: it stays empty
    size_t lines = 0;                     // on standard output; 0: not counted
  } kCases[] = {
      {{"--library", "/nonexistent/libcontrol.so", "-c", "Count"},
       kExitFailed,
       "zqctl: cannot load the control: /nonexistent/libcontrol.so"},
      {{"--library", "libm.so.6", "-c", "Count"},
       kExitFailed,
       "zqctl: libm.so.6 exports no DllGetClassObject"},
      {{"-c", "Count"}, kExitRejected, "zqctl: no control library known"},
      {{"--library", kLibrary, "--verbose"},
       kExitRejected,
       "zqctl: unexpected argument '--verbose'"},
      {{"--library", kLibrary, "a.zq", "-c", "Count"},
       kExitRejected,
       "zqctl: give a script or -c, not both"},
      {{"--library", kLibrary, "/nonexistent/script.zq"},
       kExitFailed,
       "zqctl: cannot read /nonexistent/script.zq"},
      {{script, "--library", kLibrary}, kExitRejected, scriptError.c_str()},
      {{"--library", kLibrary, "--help"},
       kExitOk,
       "",
       {"usage: zqctl", "\nMembers of ISampleControl:\n", name,
        row("Name = Name:BSTR", "property Name"), add,
        row("Describe Text:BSTR -> Result:BSTR", "method Describe"), row("Reset", "method Reset"),
        row("LinkUp Name:BSTR", "event LinkUp"), linkDown}},
      {{"--library", kLibrary, "-c", "help name; help ADD; help linkdown"},
       kExitOk,
       "",
       {name, row("Name = Name:BSTR", "property Name"), add, linkDown},
       4},
      {{"--library", kLibrary, "-c", "Count = 1; help Nope; Count"},
       kExitRejected,
       "zqctl: -c:2: unknown member Nope\n"},
      {{"--help"}, kExitFailed, "zqctl: no control library known", {"usage: zqctl"}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const Outcome r = runZqctl(c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err.substr(0, std::string(c.err).size()), c.err) << r.err;
    for (const std::string& line : c.shown) {
      EXPECT_EQ(countOf(r.out, line), 1u) << line << "in\n" << r.out;
    }
    if (c.shown.empty()) {
      EXPECT_EQ(r.out, "");
    }
    if (c.lines > 0) {
      EXPECT_EQ(countOf(r.out, "\n"), c.lines) << r.out;
    }
  }
}

// On a pipe, events print while the host waits for the next line, and a
// wrong line is reported without ending the session.
TEST(ZqctlHost, StandardInputPrintsEventsWhileWaitingAndGoesOnAfterErrors) {
  const Outcome r = runZqctl({"--library", kLibrary}, [](int in, std::FILE* out) {
    const std::string first = "FireUp \"p\" 3\n";
    ASSERT_EQ(::write(in, first.data(), first.size()), static_cast<ssize_t>(first.size()));
    EXPECT_TRUE(eventually([&] { return countOf(contents(out), "event LinkUp \"p\"") == 3; }));
    // The last line unterminated.
    const std::string rest = "Count = \nNope\nhelp reset\nCount = 9\nCount";
    ASSERT_EQ(::write(in, rest.data(), rest.size()), static_cast<ssize_t>(rest.size()));
  });
  EXPECT_EQ(r.status, kExitRejected);
  EXPECT_EQ(r.out, "event LinkUp \"p\"\nevent LinkUp \"p\"\nevent LinkUp \"p\"\n  Reset" +
                       std::string(53, ' ') + " method Reset\n-> 9\n");
  EXPECT_EQ(r.err,
            "zqctl: stdin:2:9: expected a value after '='\nzqctl: stdin:3: unknown member Nope\n");
}

// An event's call already queued for the host's thread, which ends without
// pumping: the call must fail, not wait for a pump that will not come.
TEST(ZqctlHost, EndsWithAnEventQueuedForItsThread) {
  auto done = std::async(std::launch::async, [] {
    ControlHost host(kLibrary,
                     [](const std::string& line) { ADD_FAILURE() << "printed " << line; });
    std::string error;
    EXPECT_EQ(host.run({Statement::Kind::kCall, "FireQueued", {"queued"}, 0}, error),
              ControlHost::Outcome::kDone)
        << error;
  });
  if (done.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
    std::fprintf(stderr, "the host did not end within 30 s with an event queued\n");
    std::_Exit(1);
  }
  done.get();
}

}  // namespace
}  // namespace zq::zqctl
