// The modes of the console host: reading statements, checking and running
// them through ControlHost, printing results, events and errors, and the
// exit status.
#include "zqctl/cli.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>

// libedit's readline interface: line editing and history for the terminal.
#include <editline/readline.h>

#include "base/error.h"
#include "base/thread.h"
#include "base/wait.h"
#include "com/apartment.h"
#include "zqctl/control_host.h"
#include "zqctl/statement.h"

namespace zq::zqctl {
namespace {

constexpr const char* kUsage =
    "usage: zqctl [--library PATH] [SCRIPT | -c 'STATEMENT; STATEMENT' | -]\n"
    "       zqctl --help\n"
    "\n"
    "Drives the audio output control through its dispatch interface. Without a\n"
    "script it reads statements from standard input (with line editing and\n"
    "history on a terminal). One statement a line:\n"
    "  Server = \"127.0.0.1\"            set a property\n"
    "  Server                          print a property\n"
    "  AddToGroupAndConnect            call a method\n"
    "  SetNetSource \"udp\" \"h\" 5000     arguments separated by blanks: texts in\n"
    "                                  double quotes (\\\\ \\\" \\n \\t \\xHH), integers\n"
    "                                  in decimal or 0x hexadecimal\n"
    "  wait 2.5                        print events for that many seconds\n"
    "  help, help SetNetSource         list the members, or the one named\n"
    "  # comment\n"
    "Results print as '-> value', events as 'event LinkUp \"name\"'. At the\n"
    "prompt, Tab completes member names.\n"
    "Exit status: 0 when every statement ran, 1 when a call or the set-up failed,\n"
    "2 when a statement or the command line is wrong.\n"
    "\n"
    "  --library PATH   the control's shared library";

// Converts the apartment's queued-calls signal, which has no descriptor,
// into a readable pipe for poll(); it waits for the host to pump before it
// looks again, so a call that stays queued does not spin it.
class ApartmentWakeup : public JThread {
 public:
  explicit ApartmentWakeup(JWaitableObject& signal) : JThread("zqctl wakeup"), signal_(signal) {
    if (::pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0) {
      throw JSysError(static_cast<uint32_t>(errno), "pipe2");
    }
    start();
  }
  ~ApartmentWakeup() override {
    stop_.set();
    join();
    ::close(fds_[0]);
    ::close(fds_[1]);
  }
  int fd() const { return fds_[0]; }
  /// The host pumped: empty the pipe and let the thread look again.
  void pumped() {
    char buffer[64];
    while (::read(fds_[0], buffer, sizeof buffer) > 0) {
    }
    acked_.set();
  }

 protected:
  void run() override {
    JWaitForMultipleObjects queued(&stop_, &signal_);
    JWaitForMultipleObjects acked(&stop_, &acked_);
    for (;;) {
      if (queued.wait() == 0) {
        return;
      }
      const char byte = 1;
      [[maybe_unused]] const ssize_t n = ::write(fds_[1], &byte, 1);
      if (acked.wait() == 0) {
        return;
      }
    }
  }

 private:
  JWaitableObject& signal_;
  JFlag stop_{true, false, "zqctl wakeup stop"};
  JFlag acked_{false, false, "zqctl wakeup pumped"};
  int fds_[2] = {-1, -1};
};

bool sameNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

bool isNameChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
}

std::string listingLine(const std::string& usage, const std::string& help) {
  char line[512];
  std::snprintf(line, sizeof line, "  %-58s %s", usage.c_str(), help.c_str());
  return line;
}

class Session {
 public:
  Session(const CliStreams& io, std::string where) : io_(io), where_(std::move(where)) {}

  void print(const std::string& line) {
    if (overPrompt_) {
      // Over the line being edited, then draw it again below.
      std::fputs("\r\033[K", io_.out);
    }
    std::fputs(line.c_str(), io_.out);
    std::fputc('\n', io_.out);
    std::fflush(io_.out);
    if (overPrompt_) {
      rl_forced_update_display();
    }
  }
  void error(size_t line, size_t column, const std::string& message) {
    std::string at = where_ + ":" + std::to_string(line);
    if (column > 0) {
      at += ":" + std::to_string(column);
    }
    std::fprintf(io_.err, "zqctl: %s: %s\n", at.c_str(), message.c_str());
    std::fflush(io_.err);
  }
  void note(int status) { status_ = std::max(status_, status); }
  int status() const { return status_; }

  /// Parses, checks and runs one line; false when it was rejected or failed.
  bool runLine(ControlHost& host, size_t number, std::string_view text) {
    ParseResult parsed = parseStatement(text);
    if (const auto* e = std::get_if<ParseError>(&parsed)) {
      error(number, e->column, e->message), note(kExitRejected);
      return false;
    }
    std::string why;
    const Statement& st = std::get<Statement>(parsed);
    if (st.kind == Statement::Kind::kHelp) {
      return help(host, number, st);
    }
    switch (host.run(st, why)) {
      case ControlHost::Outcome::kDone:
        host.pump();
        return true;
      case ControlHost::Outcome::kRejected:
        error(number, 0, why), note(kExitRejected);
        break;
      case ControlHost::Outcome::kFailed:
        error(number, 0, why), note(kExitFailed);
        break;
    }
    host.pump();
    return false;
  }

  /// Prints the listing `help` asks for; false when nothing has its name.
  bool help(const ControlHost& host, size_t number, const Statement& st) {
    const std::vector<std::string> lines = memberListing(host, st.name);
    if (lines.empty()) {
      error(number, 0, "unknown member " + st.name), note(kExitRejected);
      return false;
    }
    for (const std::string& line : lines) {
      print(line);
    }
    return true;
  }

  /// While set, printed lines go over the prompt and the line being edited,
  /// which are drawn again after them.
  void setOverPrompt(bool on) { overPrompt_ = on; }

 private:
  bool overPrompt_ = false;
  const CliStreams& io_;
  std::string where_;
  int status_ = kExitOk;
};

// A script or a one-shot text: every statement is parsed and checked
// against the control before the first runs, then they run in order until
// one fails.
int runStatements(ControlHost& host, Session& session, const std::vector<std::string>& lines) {
  std::vector<Statement> statements;
  for (size_t i = 0; i < lines.size(); ++i) {
    ParseResult parsed = parseStatement(lines[i]);
    if (const auto* e = std::get_if<ParseError>(&parsed)) {
      session.error(i + 1, e->column, e->message), session.note(kExitRejected);
      statements.emplace_back();
      continue;
    }
    std::string why;
    const Statement& st = std::get<Statement>(parsed);
    if (st.kind == Statement::Kind::kHelp && memberListing(host, st.name).empty()) {
      session.error(i + 1, 0, "unknown member " + st.name), session.note(kExitRejected);
    } else if (!host.check(st, why)) {
      session.error(i + 1, 0, why), session.note(kExitRejected);
    }
    statements.push_back(std::move(std::get<Statement>(parsed)));
  }
  if (session.status() != kExitOk) {
    return session.status();
  }
  for (size_t i = 0; i < statements.size(); ++i) {
    if (statements[i].kind == Statement::Kind::kHelp) {
      session.help(host, i + 1, statements[i]);
      continue;
    }
    std::string why;
    const ControlHost::Outcome outcome = host.run(statements[i], why);
    host.pump();
    if (outcome != ControlHost::Outcome::kDone) {
      session.error(i + 1, 0, why);
      return outcome == ControlHost::Outcome::kRejected ? kExitRejected : kExitFailed;
    }
  }
  return kExitOk;
}

// Standard input that is not a terminal: lines as they come, events while
// waiting for them; a wrong line is reported and the next one runs.
int runPipe(ControlHost& host, Session& session, int in) {
  ApartmentWakeup wakeup(*com::apartmentMessageSignal());
  std::string pending;
  size_t number = 0;
  bool open = true;
  while (open) {
    pollfd fds[2] = {{in, POLLIN, 0}, {wakeup.fd(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      throw JSysError(static_cast<uint32_t>(errno), "poll");
    }
    if (fds[1].revents != 0) {
      wakeup.pumped();
      host.pump();
    }
    if (fds[0].revents == 0) {
      continue;
    }
    char buffer[4096];
    const ssize_t n = ::read(in, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
      continue;
    }
    if (n <= 0) {
      open = false;
      if (!pending.empty()) {
        pending += '\n';
      }
    } else {
      pending.append(buffer, static_cast<size_t>(n));
    }
    for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
      session.runLine(host, ++number, std::string_view(pending).substr(0, end));
      pending.erase(0, end + 1);
    }
  }
  return session.status();
}

// The terminal: libedit edits the line; while it waits for a key, our
// getc function waits for the apartment's calls too, so that events print
// over the line being edited, which is then drawn again below them.
struct Terminal {
  static inline std::vector<std::string> members;
  static inline std::vector<std::string> events;
  static inline ControlHost* host = nullptr;
  static inline Session* session = nullptr;
  static inline ApartmentWakeup* wakeup = nullptr;
  static inline int in = 0;

  static int getChar(std::FILE*) {
    for (;;) {
      pollfd fds[2] = {{in, POLLIN, 0}, {wakeup->fd(), POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) {
          continue;
        }
        return EOF;
      }
      if (fds[1].revents != 0) {
        wakeup->pumped();
        session->setOverPrompt(true);
        host->pump();
        session->setOverPrompt(false);
      }
      if (fds[0].revents != 0) {
        unsigned char c = 0;
        const ssize_t n = ::read(in, &c, 1);
        if (n == 1) {
          return c;
        }
        if (n < 0 && errno == EINTR) {
          continue;
        }
        return EOF;
      }
    }
  }

  // libedit's completion hook: the matches in a malloc'ed array it frees.
  static char** complete(const char* text, int /*start*/, int end) {
    // Never the file names libedit would offer instead.
    rl_attempted_completion_over = 1;
    // The line as libedit keeps it, ended at the line's end. (Not
    // rl_copy_text, which leaves out the last character asked for.)
    const std::string_view whole = rl_line_buffer != nullptr ? rl_line_buffer : "";
    const std::string_view line = whole.substr(0, static_cast<size_t>(std::max(end, 0)));
    const std::vector<std::string> matches = completionMatches(line, members, events);
    // The word libedit replaces must be the name the matches complete.
    if (matches.empty() || !std::all_of(text, text + std::strlen(text), isNameChar)) {
      return nullptr;
    }
    auto** out = static_cast<char**>(std::calloc(matches.size() + 1, sizeof(char*)));
    for (size_t i = 0; out != nullptr && i < matches.size(); ++i) {
      out[i] = ::strdup(matches[i].c_str());
    }
    return out;
  }
};

std::string historyPath() {
  const char* home = std::getenv("HOME");
  return home != nullptr ? std::string(home) + "/.zqctl_history" : std::string();
}

int runTerminal(ControlHost& host, Session& session, int in) {
  ApartmentWakeup wakeup(*com::apartmentMessageSignal());
  Terminal::host = &host, Terminal::session = &session, Terminal::wakeup = &wakeup;
  Terminal::in = in;
  rl_getc_function = &Terminal::getChar;
  rl_attempted_completion_function = &Terminal::complete;
  for (const MemberInfo& m : host.members()) {
    Terminal::members.push_back(m.name);
  }
  for (const com::JMemberDesc& e : kEventSinkType.members) {
    Terminal::events.emplace_back(e.name);
  }
  const std::string history = historyPath();
  if (!history.empty()) {
    read_history(history.c_str());
  }
  size_t number = 0;
  while (char* text = readline("zqctl> ")) {
    std::unique_ptr<char, decltype(&std::free)> line(text, &std::free);
    if (*text != '\0') {
      add_history(text);
    }
    session.runLine(host, ++number, text);
  }
  std::fputc('\n', stdout);
  if (!history.empty()) {
    write_history(history.c_str());
  }
  return session.status();
}

int listMembers(const std::string& library, const CliStreams& io) {
  std::fprintf(io.out, "%s\n", kUsage);
  if (library.empty()) {
    std::fprintf(io.err,
                 "zqctl: no control library known: give --library PATH to list its members\n");
    return kExitFailed;
  }
  try {
    ControlHost host(library, [](const std::string&) {});
    std::fputc('\n', io.out);
    for (const std::string& line : memberListing(host)) {
      std::fprintf(io.out, "%s\n", line.c_str());
    }
    return kExitOk;
  } catch (const JError& e) {
    std::fprintf(io.err, "zqctl: %s\n", e.message().c_str());
    return kExitFailed;
  }
}

std::optional<std::vector<std::string>> readLines(const std::string& path) {
  std::ifstream file(path);
  if (!file) {
    return std::nullopt;
  }
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) {
    lines.push_back(std::move(line));
  }
  return lines;
}

}  // namespace

std::vector<std::string> memberListing(const ControlHost& host, std::string_view topic) {
  std::vector<std::string> lines;
  if (topic.empty()) {
    lines.push_back("Members of " + host.typeName() + ":");
  }
  for (const MemberInfo& m : host.members()) {
    if (topic.empty() || sameNoCase(m.name, topic)) {
      lines.push_back(listingLine(m.usage(), m.help));
    }
  }
  if (topic.empty()) {
    lines.emplace_back();
    lines.push_back(std::string("Events (") + kEventSinkType.name + "), printed as they arrive:");
  }
  for (const com::JMemberDesc& e : kEventSinkType.members) {
    if (!topic.empty() && !sameNoCase(e.name, topic)) {
      continue;
    }
    std::string usage = e.name;
    for (const com::JParamDesc& p : e.parameters()) {
      usage += std::string(" ") + p.name + ":" + vartypeName(p.vt);
    }
    lines.push_back(listingLine(usage, e.helpString));
  }
  return lines;
}

std::vector<std::string> completionMatches(std::string_view line,
                                           const std::vector<std::string>& members,
                                           const std::vector<std::string>& events) {
  size_t wordStart = line.size();
  while (wordStart > 0 && isNameChar(line[wordStart - 1])) {
    --wordStart;
  }
  const std::string_view word = line.substr(wordStart);
  // Before the word: nothing (it names a statement) or help (a topic).
  std::string_view before = line.substr(0, wordStart);
  while (!before.empty() && (before.front() == ' ' || before.front() == '\t')) {
    before.remove_prefix(1);
  }
  while (!before.empty() && (before.back() == ' ' || before.back() == '\t')) {
    before.remove_suffix(1);
  }
  static const std::vector<std::string> kStatementWords = {"help", "wait"};
  std::vector<const std::vector<std::string>*> lists;
  if (before.empty()) {
    lists = {&members, &kStatementWords};
  } else if (before == "help") {
    lists = {&members, &events};
  }
  std::vector<std::string> found;
  for (const std::vector<std::string>* list : lists) {
    for (const std::string& name : *list) {
      const bool fits = name.size() >= word.size() &&
                        sameNoCase(std::string_view(name).substr(0, word.size()), word);
      if (fits && std::none_of(found.begin(), found.end(),
                               [&](const std::string& f) { return sameNoCase(f, name); })) {
        found.push_back(name);
      }
    }
  }
  if (found.empty()) {
    return {};
  }
  // What every candidate shares, spelt as the first one is.
  size_t shared = found[0].size();
  for (const std::string& f : found) {
    size_t n = 0;
    while (n < shared && n < f.size() &&
           std::tolower(static_cast<unsigned char>(f[n])) ==
               std::tolower(static_cast<unsigned char>(found[0][n]))) {
      ++n;
    }
    shared = n;
  }
  std::vector<std::string> matches{found[0].substr(0, shared)};
  matches.insert(matches.end(), found.begin(), found.end());
  return matches;
}

int runCli(const std::vector<std::string>& args, const std::string& defaultLibrary,
           const CliStreams& io) {
  std::string library = defaultLibrary;
  std::optional<std::string> oneShot;
  std::optional<std::string> script;
  bool help = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      help = true;
    } else if (a == "--library" && i + 1 < args.size()) {
      library = args[++i];
    } else if (a == "-c" && i + 1 < args.size()) {
      oneShot = args[++i];
    } else if (a.starts_with("--library=")) {
      library = a.substr(10);
    } else if ((a == "-" || !a.starts_with("-")) && !script) {
      script = a;
    } else {
      std::fprintf(io.err, "zqctl: unexpected argument '%s'\n%s\n", a.c_str(), kUsage);
      return kExitRejected;
    }
  }
  if (help) {
    return listMembers(library, io);
  }
  if (oneShot && script) {
    std::fprintf(io.err, "zqctl: give a script or -c, not both\n");
    return kExitRejected;
  }
  if (library.empty()) {
    std::fprintf(io.err, "zqctl: no control library known: give --library PATH\n");
    return kExitRejected;
  }
  std::vector<std::string> lines;
  std::string where = "stdin";
  if (oneShot) {
    lines = splitStatements(*oneShot);
    where = "-c";
  } else if (script && *script != "-") {
    std::optional<std::vector<std::string>> read = readLines(*script);
    if (!read) {
      std::fprintf(io.err, "zqctl: cannot read %s\n", script->c_str());
      return kExitFailed;
    }
    lines = std::move(*read);
    where = *script;
  }
  Session session(io, where);
  try {
    ControlHost host(library, [&session](const std::string& line) { session.print(line); });
    if (oneShot || (script && *script != "-")) {
      return runStatements(host, session, lines);
    }
    return io.interactive ? runTerminal(host, session, io.in) : runPipe(host, session, io.in);
  } catch (const JError& e) {
    std::fprintf(io.err, "zqctl: %s\n", e.message().c_str());
    return kExitFailed;
  }
}

}  // namespace zq::zqctl
