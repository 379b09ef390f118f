// The logging facility: lazy construction of the outputs from the registry,
// the dispatch of each record to them under one global lock, shutdown and
// re-initialisation, the in-process receivers and the per-thread names.
#include "base/log.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <map>
#include <memory>

#include "base/error.h"
#include "base/log_debug_output.h"
#include "base/log_format.h"
#include "base/log_generic.h"
#include "base/log_in_process.h"
#include "base/log_rotating_file.h"
#include "base/log_syslog.h"
#include "base/mutex.h"
#include "base/registry_key.h"

namespace zq {
namespace {

constexpr size_t kFormatBufferSize = 2048;
constexpr uint32_t kDefaultConsoleMask = 0xDF8;  // levels 3 to 8, 10 and 11
constexpr const char* kDefaultConsoleFormat = "%d %w %m\n";

// The facility object: the outputs in registry order.
struct Facility {
  std::vector<std::unique_ptr<JGenericLog>> outputs;
};

enum class Pending { kNone, kShutdown, kReinitialise };

struct LogState {
  // Recursive: an output or a registry read may log while the lock is held.
  JMutex lock;
  std::unique_ptr<Facility> facility;  // null before the first record and after exit
  bool initialised = false;
  bool exited = false;  // the process is exiting: the facility is gone for good
  bool exitHookInstalled = false;
  unsigned defaultFlags = 0;
  uint32_t defaultConsoleMask = kDefaultConsoleMask;
  std::map<std::string, JInProcessLogReceiver*, std::less<>> receivers;

  // Shutdown asked for from inside an output's write runs when the
  // outermost record is done: the outputs are still being iterated.
  int dispatchDepth = 0;
  Pending pending = Pending::kNone;
  unsigned pendingFlags = 0;

  // Read without the lock to drop records no output can take, before any
  // formatting. `ready` is set once the outputs are built.
  std::atomic<bool> shuttingDown{false};
  std::atomic<bool> ready{false};
  std::atomic<uint32_t> acceptMask{0};
};

// Never destroyed: records are logged from static destructors and from
// threads still running while the process exits.
LogState& state() {
  static LogState* s = new LogState;
  return *s;
}

thread_local std::string t_threadName;

void destroyOutputs(LogState& s) {
  s.shuttingDown.store(true);
  s.ready.store(false);
  s.acceptMask.store(0);
  if (s.facility) {
    // Destroyed one by one, newest first, while the list stays valid.
    while (!s.facility->outputs.empty()) {
      s.facility->outputs.pop_back();
    }
  }
  s.shuttingDown.store(false);
}

void onExit() {
  LogState& s = state();
  JAutoLock lock(s.lock);
  destroyOutputs(s);
  s.facility.reset();
  s.exited = true;
}

// Builds one output from its subkey, or nothing for kinds that make none.
std::unique_ptr<JGenericLog> makeOutput(const JSystemRegistryKey& key, bool& console) {
  std::string type;
  if (!key.getString("Type", type)) {
    key.getString("LogType", type);
  }
  if (type == "SysLog" || type == "SYSLOG") {
    return std::make_unique<JSysLog>(key);
  }
  if (type == "File" || type == "FILE") {
    bool allowMultiple = false;
    if (key.getBool("AllowMultiple", allowMultiple) && allowMultiple) {
      return std::make_unique<JRotatingLogFile>(key);
    }
    return nullptr;
  }
  if (type == "Console" || type == "CONSOLE") {
    console = true;
    return std::make_unique<JDebugOutput>(key);
  }
  if (type == "InProcess" || type == "INPROCESS") {
    return std::make_unique<JInProcessForwardOutput>(key);
  }
  // "Telnet" / "TELNET" makes no output in this system, nor does any other type.
  return nullptr;
}

void logStdException(const std::exception& e) {
  JLog::log(kLevelException, e.what(), __FILE__, __LINE__, "Exception CATCH", nullptr);
}

void updateAcceptMask(LogState& s) {
  uint32_t mask = 0;
  for (const auto& out : s.facility->outputs) {
    mask |= out->levelMask();
  }
  s.acceptMask.store(mask);
}

void initialise(LogState& s, unsigned flags) {
  s.initialised = true;
  s.facility = std::make_unique<Facility>();
  if (!s.exitHookInstalled) {
    s.exitHookInstalled = true;
    std::atexit(onExit);
  }
  bool console = false;
  // Records logged while building go to the outputs built so far.
  try {
    // Every output's subkey and values are read from one snapshot: a read of
    // the file per value would make the first record cost the number of
    // outputs times the size of the file, with all logging held meanwhile.
    const JSystemRegistryKey logKey =
        JSystemRegistryKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta\\Log", KEY_READ).snapshot();
    for (const std::string& name : logKey.enumSubKeys()) {
      try {
        JSystemRegistryKey sub;
        sub.openSubKey(logKey, name, KEY_READ);
        if (auto out = makeOutput(sub, console)) {
          s.facility->outputs.push_back(std::move(out));
        }
      } catch (const JError& e) {
        logCaught(e);
      } catch (const std::exception& e) {
        logStdException(e);
      }
    }
  } catch (const JError& e) {
    logCaught(e);
  } catch (const std::exception& e) {
    logStdException(e);
  }
  if ((flags & JLog::kDefaultConsole) != 0 && !console) {
    try {
      s.facility->outputs.push_back(
          std::make_unique<JDebugOutput>(s.defaultConsoleMask, kDefaultConsoleFormat));
    } catch (const std::exception& e) {
      logStdException(e);
    }
  }
  updateAcceptMask(s);
  s.ready.store(true);
}

void runPending(LogState& s) {
  Pending p = s.pending;
  s.pending = Pending::kNone;
  if (p == Pending::kNone || s.exited) {
    return;
  }
  destroyOutputs(s);
  s.initialised = false;
  if (p == Pending::kReinitialise) {
    initialise(s, s.pendingFlags);
  }
}

void dispatch(LogState& s, int level, std::string_view message, const char* file, int line,
              const char* category, const JTraceableObject* object) {
  // The record's pieces are prepared at most once, when an output takes it.
  bool prepared = false;
  std::string categoryText;
  std::string contextText;
  std::string fileText;
  JLogRecord record;

  ++s.dispatchDepth;
  // By index: outputs are never added or removed while records run.
  for (size_t i = 0; i < s.facility->outputs.size(); ++i) {
    JGenericLog& out = *s.facility->outputs[i];
    if (out.busy() || !out.acceptsLevel(level, object)) {
      continue;
    }
    out.setBusy(true);
    // Nothing may escape past the two lines that undo this: a flag left set
    // would silence the output for good, and a depth left raised would hold
    // back every later shutdown and re-initialisation.
    try {
      if (!prepared) {
        categoryText = category != nullptr ? category : "_undef_";
        if (categoryText.size() >= 2 && categoryText.ends_with(" *")) {
          categoryText.resize(categoryText.size() - 2);
        }
        contextText = object != nullptr ? object->traceName() : std::string("System");
        fileText = file != nullptr ? file : "";
        record.level = level;
        record.message = message;
        record.file = fileText;
        record.line = line;
        record.category = categoryText;
        record.context = contextText;
        prepared = true;
      }
      if (out.acceptsCategory(categoryText)) {
        std::string text = formatLogRecord(out.format(), record, out.singleLine());
        if (!out.singleLine() && (text.empty() || text.back() != '\n')) {
          text += "\r\n";
        }
        out.write(level, text, fileText, line);
      }
    } catch (const JError& e) {
      logCaught(e);
    } catch (const std::exception& e) {
      logStdException(e);
    } catch (...) {
      // An in-process receiver may throw anything.
      JLog::log(kLevelException, "unknown exception thrown by a log output", __FILE__, __LINE__,
                "Exception CATCH", nullptr);
    }
    out.setBusy(false);
  }
  if (--s.dispatchDepth == 0 && s.pending != Pending::kNone) {
    runPending(s);
  }
}

void writeBare(std::string_view message) {
  std::string line(message);
  line.push_back('\n');
  ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
  (void)ignored;
}

ZQ_PRINTF(1, 0) std::string formatBounded(const char* format, va_list args) {
  char buffer[kFormatBufferSize];
  int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  if (n < 0) {
    return {};
  }
  return std::string(buffer, std::min(static_cast<size_t>(n), sizeof buffer - 1));
}

// True when the outputs are built and none of them can take a record of
// `level` for `object`: decided without the lock and before any formatting.
bool noOutputTakes(const LogState& s, int level, const JTraceableObject* object) {
  if (!s.ready.load(std::memory_order_acquire)) {
    return false;
  }
  if (level < 0 || level >= 32) {
    return true;
  }
  const uint32_t bit = 1u << level;
  if (level < kLevelObjectDebug) {
    return (s.acceptMask.load(std::memory_order_relaxed) & bit) == 0;
  }
  const JTraceMask* mask = object != nullptr ? object->traceMask() : nullptr;
  return mask == nullptr || (mask->load(std::memory_order_relaxed) & bit) == 0;
}

}  // namespace

JInProcessLogReceiver* findLogReceiver(std::string_view id) {
  LogState& s = state();
  JAutoLock lock(s.lock);
  auto it = s.receivers.find(id);
  return it == s.receivers.end() ? nullptr : it->second;
}

void JLog::log(int level, std::string_view message, const char* file, int line,
               const char* category, const JTraceableObject* object) {
  LogState& s = state();
  if (s.shuttingDown.load(std::memory_order_relaxed)) {
    return;
  }
  if (noOutputTakes(s, level, object)) {
    return;
  }
  try {
    JAutoLock lock(s.lock);
    if (s.shuttingDown.load(std::memory_order_relaxed)) {
      return;
    }
    if (!s.initialised) {
      initialise(s, s.defaultFlags);
    }
    if (!s.facility) {
      if (level > kLevelDebug) {
        writeBare(message);
      }
      return;
    }
    dispatch(s, level, message, file, line, category, object);
  } catch (...) {
    // Logging never throws to its caller; there is nowhere left to report.
  }
}

void JLog::logf(int level, const char* format, ...) {
  if (noOutputTakes(state(), level, nullptr)) {
    return;
  }
  va_list args;
  va_start(args, format);
  std::string text = formatBounded(format, args);
  va_end(args);
  log(level, text, nullptr, 0, nullptr, nullptr);
}

void JLog::logTraceable(int level, const JTraceableObject* object, const char* format, ...) {
  if (noOutputTakes(state(), level, object)) {
    return;
  }
  va_list args;
  va_start(args, format);
  std::string text = formatBounded(format, args);
  va_end(args);
  log(level, text, nullptr, 0, nullptr, object);
}

void JLog::debugf(const char* format, ...) {
  if (noOutputTakes(state(), kLevelDebug, nullptr)) {
    return;
  }
  va_list args;
  va_start(args, format);
  std::string text = formatBounded(format, args);
  va_end(args);
  log(kLevelDebug, text, nullptr, 0, nullptr, nullptr);
}

void JLog::shutdown() {
  LogState& s = state();
  JAutoLock lock(s.lock);
  if (s.exited) {
    return;
  }
  if (s.dispatchDepth > 0) {
    s.pending = Pending::kShutdown;
    return;
  }
  destroyOutputs(s);
  s.initialised = false;
}

void JLog::reinitialise(unsigned flags) {
  LogState& s = state();
  JAutoLock lock(s.lock);
  if (s.exited) {
    return;
  }
  if (s.dispatchDepth > 0) {
    s.pending = Pending::kReinitialise;
    s.pendingFlags = flags;
    return;
  }
  destroyOutputs(s);
  try {
    initialise(s, flags);
  } catch (...) {
    // Only allocation can fail here; the next record tries again.
    s.initialised = false;
  }
}

void JLog::setDefaultFlags(unsigned flags) {
  LogState& s = state();
  JAutoLock lock(s.lock);
  s.defaultFlags = flags;
}

void JLog::setDefaultConsoleMask(uint32_t mask) {
  LogState& s = state();
  JAutoLock lock(s.lock);
  s.defaultConsoleMask = mask;
}

void JLog::registerReceiver(std::string_view id, JInProcessLogReceiver* receiver) {
  LogState& s = state();
  JAutoLock lock(s.lock);
  s.receivers[std::string(id)] = receiver;
}

void JLog::unregisterReceiver(std::string_view id) {
  LogState& s = state();
  JAutoLock lock(s.lock);
  auto it = s.receivers.find(id);
  if (it != s.receivers.end()) {
    s.receivers.erase(it);
  }
}

std::string JLog::currentThreadName() {
  return t_threadName;
}

void JLog::setCurrentThreadName(std::string_view name) {
  t_threadName = std::string(name);
}

}  // namespace zq
