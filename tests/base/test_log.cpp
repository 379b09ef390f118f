// The logging facility and its outputs: the record format, level and category
// filtering, the outputs built from the registry, shutdown and records logged
// while logging, many threads at once, the rotating log file on a real
// directory and the syslog output against a UDP socket on loopback.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iomanip>
#include <latch>
#include <map>
#include <mutex>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "base/error.h"
#include "base/error_text.h"
#include "base/log.h"
#include "base/log_syslog.h"
#include "base/registry_key.h"
#include "helpers/temp_dir.h"

namespace zq {
namespace {

namespace fs = std::filesystem;
using Texts = std::vector<std::string>;

/// Registered under `id` for its life; keeps the text of every record.
class Collector : public JInProcessLogReceiver {
 public:
  explicit Collector(std::string id) : id_(std::move(id)) { JLog::registerReceiver(id_, this); }
  ~Collector() override { JLog::unregisterReceiver(id_); }
  void write(int, const std::string& record, const std::string&, int) override {
    std::lock_guard lock(mutex_);
    texts_.push_back(record);
  }
  Texts texts() const {
    std::lock_guard lock(mutex_);
    return texts_;
  }
  size_t count(const std::string& text) const { return std::ranges::count(texts(), text); }

 private:
  std::string id_;
  mutable std::mutex mutex_;
  Texts texts_;
};

std::string readAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// True when `text` is the local time of a second from `from` to now.
bool isLocalTimeSince(const std::string& text, const char* format, time_t from) {
  for (time_t t = from; t <= ::time(nullptr); ++t) {
    struct tm tm;
    std::ostringstream out;
    out << std::put_time(::localtime_r(&t, &tm), format);
    if (out.str() == text) {
      return true;
    }
  }
  return false;
}

/// Every case gets its own registry and directory; the facility is shut down after it.
class LogTest : public ::testing::Test {
 protected:
  void TearDown() override { JLog::shutdown(); }

  JSystemRegistryKey output(const std::string& name, const char* type, uint32_t mask,
                            const char* format) {
    JSystemRegistryKey key(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta\\Log\\" + name);
    key.setString("Type", type);
    key.setDword("WarnLevel", mask);
    key.setString("Format", format);
    return key;
  }
  JSystemRegistryKey inProcess(const std::string& name, const std::string& id, uint32_t mask = ~0u,
                               const char* format = "%m") {
    JSystemRegistryKey key = output(name, "InProcess", mask, format);
    key.setString("ReceiverID", id);
    return key;
  }
  /// What `body` writes to standard error.
  std::string stderrOf(const std::function<void()>& body) {
    const fs::path path = work_.path() / "stderr";
    const int saved = ::dup(STDERR_FILENO);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(fd, STDERR_FILENO);
    ::close(fd);
    body();
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    return readAll(path);
  }

  test::ScopedRegistryDir registry_;
  test::TempDir work_;
};

// ---- record format -------------------------------------------------------------

TEST_F(LogTest, RecordFormatDirectivesEscapesAndPieces) {
  JTraceMask mask{0};
  JTraceableObject named("RPC server", &mask), unnamed;
  char self[32];
  std::snprintf(self, sizeof self, "[[%p]]", static_cast<const void*>(&unnamed));
  struct Case {
    const char* format;  // null: none, the default
    const char* message;
    std::string expected;
    const char* category = nullptr;
    const JTraceableObject* object = nullptr;
    const char* file = nullptr;
    int line = 0;
  };
  const Case cases[] = {
      // Other letters are copied; what a directive inserts is not scanned again.
      {"%x %Q %5 [%m] %", "100%m %w", "%x %Q %5 [100%m %w] %"},
      {"[%c][%i][%f]", "m", "[_undef_][System][]"},
      {"[%c]", "m", "[Exception CATCH]", "Exception CATCH"},
      {"[%c]", "m", "[Network]", "Network *"},
      {"[%c]", "m", "[Network*]", "Network*"},
      {"[%i]", "m", "[RPC server]", nullptr, &named},
      {"[%i]", "m", self, nullptr, &unnamed},
      {"<%m>", "one\r\ntwo\nthree\r", "<one  two three >"},
      // An escape takes two characters, \n gives CR LF, a lone backslash at the end stays.
      {"a\\nb|%m\\t|\\\\|\\q|\\\\n|\\%m|end\\", "m", "a\r\nb|m\t|\\|q|\\n|m|end\\"},
      {nullptr, "hello", "src/a.cpp(12) : Cat\thello", "Cat", nullptr, "src/a.cpp", 12},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.format ? c.format : "default format");
    Collector collector("fmt");
    JSystemRegistryKey key = inProcess("Out", "fmt", ~0u, c.format ? c.format : "");
    if (c.format == nullptr) {
      key.deleteValue("Format");
    }
    JLog::reinitialise(0);
    JLog::log(kLevelInfo, c.message, c.file, c.line, c.category, c.object);
    EXPECT_EQ(collector.texts(), Texts{c.expected});
  }
}

TEST_F(LogTest, EveryDirectiveInEitherCase) {
  Collector lower("lower"), upper("upper");
  inProcess("Lower", "lower", ~0u, "%%|%c|%f|%i|%l|%m|%p|%t|%u|%w|");
  inProcess("Upper", "upper", ~0u, "%%|%C|%F|%I|%L|%M|%P|%T|%U|%W|");
  JLog::reinitialise(0);
  JTraceMask mask{0};
  JTraceableObject object("Conn#7", &mask);
  // Logged from a thread whose id has a hex letter, so that the case of %t shows.
  std::string tid;
  for (int i = 0; i < 1000 && tid.find_first_of("abcdef") == std::string::npos; ++i) {
    std::thread([&] {
      char buf[16];
      std::snprintf(buf, sizeof buf, "0x%.8x", static_cast<unsigned>(::gettid()));
      tid = buf;
      if (tid.find_first_of("abcdef") != std::string::npos) {
        JLog::log(kLevelWarning, "msg", "src/x.cpp", 42, "Net", &object);
      }
    }).join();
  }
  const Texts expected{"%|Net|src/x.cpp|Conn#7|42|msg|" + std::to_string(::getpid()) + "|" + tid +
                       "|" + fs::read_symlink("/proc/self/exe").string() + "|WARNING       |"};
  EXPECT_EQ(lower.texts(), expected);
  EXPECT_EQ(upper.texts(), expected);
}

TEST_F(LogTest, LevelNamesArePaddedToFourteenCharacters) {
  Collector collector("names");
  inProcess("Out", "names", ~0u, "%w");
  JLog::reinitialise(0);
  JTraceMask mask{~0u};
  JTraceableObject object("obj", &mask);
  Texts expected;
  for (const char* name :
       {"UNKNOWN",        "DEBUG",         "ACTIVEX",      "DEBUG",         "TRACE",
        "TRACE",          "TRACE",         "TRACE",        "INFO",          "WARNING",
        "EXCEPTION",      "ERROR",         "CRITICAL",     "DEBUG",         "EXCEPTION",
        "TRACE_INFO",     "TRACE_COMPORT", "TRACE_FILE",   "TRACE_NETWORK", "TRACE_STATS",
        "TRACE_REGISTRY", "TRACE_RPC",     "TRACE_DRIVER", "UNKNOWN"}) {
    JLog::log(static_cast<int>(expected.size()), "m", nullptr, 0, nullptr, &object);
    expected.push_back(name);
    expected.back().resize(14, ' ');
  }
  EXPECT_EQ(collector.texts(), expected);
}

// ---- filtering -----------------------------------------------------------------

TEST_F(LogTest, LevelsBelowThirteenPassByTheOutputsMask) {
  Collector plain("plain"), enabled("enabled"), empty("empty");
  inProcess("Plain", "plain", (1u << 9) | (1u << 12));
  // The enabling keys apply after WarnLevel, whatever their order.
  JSystemRegistryKey keys = inProcess("Enabled", "enabled");
  keys.deleteValue("WarnLevel");
  keys.setDword("EnableLevelWarning", 0);
  keys.setDword("EnableLevelInfo", 2);
  keys.setDword("EnableLevelActiveXCalls", 1);
  keys.setDword("WarnLevel", (1u << 9) | (1u << 11));
  // Without WarnLevel the mask starts empty.
  JSystemRegistryKey none = inProcess("Empty", "empty");
  none.deleteValue("WarnLevel");
  none.setDword("EnableLevelCritical", 1);
  JLog::reinitialise(0);
  for (int level = 0; level < 13; ++level) {
    JLog::logf(level, "level %d", level);
  }
  EXPECT_EQ(plain.texts(), (Texts{"level 9", "level 12"}));
  EXPECT_EQ(enabled.texts(), (Texts{"level 2", "level 8", "level 11"}));
  EXPECT_EQ(empty.texts(), Texts{"level 12"});
}

TEST_F(LogTest, ObjectLevelsPassOnlyByTheObjectsOwnMaskAndTracesByBoth) {
  Collector all("all"), none("none"), traces("traces");
  inProcess("All", "all");
  inProcess("None", "none", 0);
  inProcess("Traces", "traces", 1u << kLevelTrace, "%i %m");
  JLog::reinitialise(0);
  JTraceMask mask{0};
  JTraceableObject object("obj", &mask), maskless("maskless");
  JLog::log(kLevelTraceInfo, "no object", nullptr, 0, nullptr, nullptr);
  JLog::logTraceable(kLevelTraceInfo, &maskless, "no mask");
  JLog::logTraceable(kLevelTraceInfo, &object, "bit clear");
  object.trace(0x8, "switch clear");
  mask = (1u << kLevelTraceInfo) | 0x8;
  JLog::logTraceable(kLevelTraceInfo, &object, "bit set");
  JLog::logTraceable(kLevelTraceRpc, &object, "other level");
  object.trace(0x2, "switch %d", 2);
  object.trace(0x8 | 0x2, "either");
  EXPECT_EQ(all.texts(), (Texts{"bit set", "either"}));
  EXPECT_EQ(none.texts(), Texts{"bit set"});
  EXPECT_EQ(traces.texts(), (Texts{"obj bit set", "obj either"}));
}

TEST_F(LogTest, CategoryGlobsIncludeThenExclude) {
  Collector globs("globs"), open("open");
  JSystemRegistryKey a = inProcess("A", "globs", ~0u, "%c");
  a.setString("FilterInclude", "Net*;Rpc?;_undef_");
  a.setString("FilterExclude", "NetDebug;[xy]*");
  JSystemRegistryKey b = inProcess("B", "open", ~0u, "%c");
  b.setString("FilterInclude", "");
  b.setString("FilterExclude", "Audio");
  JLog::reinitialise(0);
  for (const char* category : {"Network", "NetDebug", "Rpc1", "Rpc12", "Audio", "x", "ynet", ""}) {
    JLog::log(kLevelInfo, "m", nullptr, 0, *category != 0 ? category : nullptr, nullptr);
  }
  EXPECT_EQ(globs.texts(), (Texts{"Network", "Rpc1", "_undef_"}));
  EXPECT_EQ(open.texts(), (Texts{"Network", "NetDebug", "Rpc1", "Rpc12", "x", "ynet", "_undef_"}));
}

// ---- building the outputs --------------------------------------------------------

TEST_F(LogTest, TypeOrLogTypeInTheirTwoFormsAndRegistryOrder) {
  Collector c("c");
  inProcess("Zulu", "c", ~0u, "Zulu %m").setString("Type", "INPROCESS");
  JSystemRegistryKey logType = inProcess("Alpha", "c", ~0u, "Alpha %m");
  logType.deleteValue("Type");
  logType.setString("LogType", "InProcess");
  inProcess("Mixed", "c", ~0u, "Mixed %m").setString("Type", "inprocess");
  inProcess("Both", "c", ~0u, "Both %m").setString("LogType", "Nothing");
  JSystemRegistryKey telnet = inProcess("Telnet", "c", ~0u, "Telnet %m");
  telnet.setString("Type", "Telnet");
  telnet.setDword("TelnetPort", 0);
  JLog::reinitialise(0);
  JLog::logf(kLevelInfo, "x");
  EXPECT_EQ(c.texts(), (Texts{"Zulu x", "Alpha x", "Both x"}));
}

TEST_F(LogTest, OutputThatCannotBeBuiltIsReportedAndTheNextOneIsBuilt) {
  Collector first("first");
  inProcess("A", "first", ~0u, "%w|%c|%m");
  inProcess("B", "never").setString("WarnLevel", "all");
  inProcess("C", "none").deleteValue("ReceiverID");
  inProcess("D", "later");
  JLog::reinitialise(0);
  const std::string failure =
      "system call error at function 'Function=RegQueryValueEx, "
      "key=HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvanta\\Log\\B' : Invalid argument";
  EXPECT_EQ(first.texts(), (Texts{"EXCEPTION     |Exception THROW|" + failure,
                                  "EXCEPTION     |Exception CATCH|" + failure,
                                  "ERROR         |_undef_|In process output logging not "
                                  "starting: missing \"ReceiverID\" entry in registry."}));
  JLog::logf(kLevelInfo, "dropped");  // by D, until its receiver registers
  Collector later("later");
  JLog::logf(kLevelInfo, "kept");
  EXPECT_EQ(later.texts(), Texts{"kept"});
}

TEST_F(LogTest, ConfiguredConsoleOrTheDefaultOne) {
  output("Console", "CONSOLE", 1u << kLevelError, "%w%m");
  EXPECT_EQ(stderrOf([] {
              JLog::reinitialise(JLog::kDefaultConsole);
              JLog::logf(kLevelInfo, "info");
              JLog::logf(kLevelError, "two\nlines \r\n\t ");
              JLog::shutdown();
            }),
            "ERROR         two\nlines\n");
  // No Log key can even be made: the failure goes to no output, and the
  // default console comes.
  std::ofstream(work_.path() / "plain") << "x";
  ::setenv("ZQ_REGISTRY_DIR", (work_.path() / "plain" / "sub").c_str(), 1);
  const time_t start = ::time(nullptr);
  const std::string text = stderrOf([] {
    JLog::reinitialise(JLog::kDefaultConsole);
    for (int level = 1; level < 13; ++level) {
      JLog::logf(level, "level %d", level);
    }
    JLog::shutdown();
  });
  std::string lines;
  const std::regex line(R"((\d\d/\d\d/\d{4} \d\d:\d\d:\d\d)\.\d{3} (.{14}) (.*)\n)");
  for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it) {
    EXPECT_TRUE(isLocalTimeSince((*it)[1], "%m/%d/%Y %H:%M:%S", start)) << (*it)[1];
    lines += (*it)[2].str() + (*it)[3].str() + "|";
  }
  EXPECT_EQ(lines,
            "DEBUG         level 3|TRACE         level 4|TRACE         level 5|TRACE         "
            "level 6|TRACE         level 7|INFO          level 8|EXCEPTION     level 10|ERROR"
            "         level 11|")
      << text;
}

// ---- shutdown and records logged while logging -----------------------------------

TEST_F(LogTest, OutputThatLogsOrShutsDownWhileWriting) {
  // It does not receive its own record, and the shutdown waits for the
  // record to finish: the next record reads the registry again.
  struct Meddler : JInProcessLogReceiver {
    Texts seen;
    void write(int, const std::string& record, const std::string&, int) override {
      seen.push_back(record);
      JLog::logf(kLevelInfo, "echo of %s", record.c_str());
      JLog::shutdown();
    }
  } meddler;
  JLog::registerReceiver("meddler", &meddler);
  Collector other("other");
  inProcess("A", "meddler");
  JSystemRegistryKey b = inProcess("B", "other", ~0u, "1:%m");
  JLog::reinitialise(0);
  JLog::logf(kLevelInfo, "one");
  b.setString("Format", "2:%m");
  JLog::logf(kLevelInfo, "two");
  JLog::unregisterReceiver("meddler");
  EXPECT_EQ(meddler.seen, (Texts{"one", "two"}));
  EXPECT_EQ(other.texts(), (Texts{"1:echo of one", "1:one", "2:echo of two", "2:two"}));
}

TEST_F(LogTest, OutputThatThrowsIsReportedToTheOthersAndKeepsItsPlace) {
  struct Thrower : JInProcessLogReceiver {
    int calls = 0;
    void write(int, const std::string&, const std::string&, int) override {
      if (++calls == 1) {
        throw JTextError("receiver broke");
      }
      if (calls == 2) {
        throw 42;
      }
    }
  } thrower;
  JLog::registerReceiver("thrower", &thrower);
  Collector other("other");
  inProcess("A", "thrower", 1u << kLevelInfo);
  JSystemRegistryKey b = inProcess("B", "other", ~0u, "%c|%m");
  JLog::reinitialise(0);
  for (const char* message : {"one", "two", "three"}) {
    EXPECT_NO_THROW(JLog::log(kLevelInfo, message, nullptr, 0, nullptr, nullptr));
  }
  EXPECT_EQ(thrower.calls, 3);
  EXPECT_EQ(other.texts(),
            (Texts{"Exception THROW|receiver broke", "Exception CATCH|receiver broke",
                   "_undef_|one", "Exception CATCH|unknown exception thrown by a log output",
                   "_undef_|two", "_undef_|three"}));
  // A shutdown is not left waiting for a record that never finished.
  b.setString("Format", "2:%m");
  JLog::shutdown();
  JLog::logf(kLevelInfo, "four");
  JLog::unregisterReceiver("thrower");
  EXPECT_EQ(other.texts().back(), "2:four");
}

TEST_F(LogTest, FormattedMessagesAreCutAt2047Characters) {
  Collector collector("long");
  inProcess("Out", "long");
  const std::string big(3000, 'z');
  JLog::logf(kLevelInfo, "%s", big.c_str());
  JLog::log(kLevelInfo, big, nullptr, 0, nullptr, nullptr);
  EXPECT_EQ(collector.texts(), (Texts{std::string(2047, 'z'), big}));
}

// The child of RecordsAfterExitGoToStandardError runs here, while the
// program's statics are built, before GoogleTest starts.
[[maybe_unused]] const bool g_logAfterExitChild = [] {
  if (std::getenv("ZQ_TEST_LOG_AFTER_EXIT") == nullptr) {
    return false;
  }
  std::atexit([] {
    JLog::logf(kLevelDebug, "late debug");
    JLog::logf(kLevelWarning, "late warning %d", 9);
  });
  // The first record builds the facility, which registers its own exit
  // handler after ours: it runs first.
  JLog::logf(kLevelInfo, "early");
  std::exit(0);
}();

TEST_F(LogTest, RecordsAfterExitGoToStandardError) {
  // Once the facility is gone at exit, records from level 4 up reach
  // standard error as the bare message.
  const std::string command = "ZQ_TEST_LOG_AFTER_EXIT=1 timeout 60 '" +
                              fs::read_symlink("/proc/self/exe").string() +
                              "' --gtest_filter=NoSuchSuite.NoSuchTest 2>&1";
  FILE* child = ::popen(command.c_str(), "r");
  ASSERT_NE(child, nullptr);
  std::string out;
  char buf[256];
  while (std::fgets(buf, sizeof buf, child) != nullptr) {
    out += buf;
  }
  EXPECT_EQ(::pclose(child), 0) << out;
  EXPECT_EQ(out, "late warning 9\n");
}

// ---- concurrency -----------------------------------------------------------------

TEST_F(LogTest, ThreadsProduceWholeRecordsOnlyThroughShutdowns) {
  constexpr int kThreads = 4, kRecords = 400;
  Collector collector("mt");
  inProcess("Out", "mt", ~0u, "[%m]");
  JLog::reinitialise(0);
  JTraceMask mask{1u << kLevelTraceRpc};
  JTraceableObject object("mt-object", &mask);
  std::latch go(kThreads + 1), restarted(1);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      go.arrive_and_wait();
      for (int i = 0; i < kRecords; ++i) {
        if (i % 2 == 0) {
          JLog::logf(kLevelInfo, "t%d n%d payload-payload-payload", t, i);
        } else {
          JLog::logTraceable(kLevelTraceRpc, &object, "t%d n%d payload-payload-payload", t, i);
        }
      }
      restarted.wait();
      JLog::logf(kLevelInfo, "t%d n%d payload-payload-payload", t, kRecords);
    });
  }
  // Records logged while a shutdown runs are dropped, but the outputs come
  // back and no record is ever cut.
  go.arrive_and_wait();
  for (int i = 0; i < 5; ++i) {
    JLog::shutdown();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  restarted.count_down();
  for (auto& th : threads) {
    th.join();
  }
  const std::regex whole(R"(\[t(\d) n(\d+) payload-payload-payload\])");
  std::vector<std::vector<int>> seen(kThreads);
  for (const std::string& text : collector.texts()) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(text, m, whole)) << text;
    seen[static_cast<size_t>(std::stoi(m[1]))].push_back(std::stoi(m[2]));
  }
  for (const auto& numbers : seen) {
    EXPECT_TRUE(std::is_sorted(numbers.begin(), numbers.end()));
    ASSERT_FALSE(numbers.empty());
    EXPECT_EQ(numbers.back(), kRecords);
  }
}

TEST_F(LogTest, ObjectRenamedWhileLoggingOnItsBehalf) {
  Collector collector("names");
  inProcess("Out", "names", ~0u, "%i");
  JLog::reinitialise(0);
  JTraceMask mask{1u << kLevelTraceNetwork};
  JTraceableObject object("a", &mask);
  std::atomic<bool> stop{false};
  std::thread renamer([&] {
    for (int i = 0; !stop.load(); ++i) {
      object.setTraceName(i % 2 == 0 ? "bb" : "a");
    }
  });
  for (int i = 0; i < 500; ++i) {
    JLog::logTraceable(kLevelTraceNetwork, &object, "x");
  }
  stop.store(true);
  renamer.join();
  for (const std::string& text : collector.texts()) {
    EXPECT_TRUE(text == "a" || text == "bb") << text;
  }
  // The objects are found by name to read or set their masks.
  EXPECT_EQ(JTraceableObject::maskOf(object.traceName()), 1u << kLevelTraceNetwork);
  EXPECT_TRUE(JTraceableObject::setMaskOf(object.traceName(), 0x40));
  EXPECT_EQ(mask.load(), 0x40u);
  JTraceableObject maskless("reg-maskless");
  EXPECT_FALSE(JTraceableObject::setMaskOf("reg-maskless", 1));
  EXPECT_FALSE(JTraceableObject::setMaskOf("reg-absent", 1));
  EXPECT_EQ(JTraceableObject::maskOf("reg-absent"), 0u);
}

// ---- rotating log file -----------------------------------------------------------

// The files of `dir` whose name starts with `prefix`.
std::vector<fs::path> logFiles(const fs::path& dir, const std::string& prefix = "ZQ_Log_") {
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.path().filename().string().starts_with(prefix)) {
      files.push_back(entry.path());
    }
  }
  return files;
}

// How many times each record "rec <n> x..." appears in `files`.
std::map<int, int> recordsIn(const std::vector<fs::path>& files) {
  std::map<int, int> seen;
  const std::regex record(R"(rec (\d+) x*\r\n)");
  for (const fs::path& f : files) {
    const std::string text = readAll(f);
    for (std::sregex_iterator it(text.begin(), text.end(), record), end; it != end; ++it) {
      ++seen[std::stoi((*it)[1])];
    }
  }
  return seen;
}

class LogFile : public LogTest {
 protected:
  void SetUp() override { inProcess("Errors", "errors", 1u << kLevelException, "%c|%m"); }
  JSystemRegistryKey fileOutput(const fs::path& dir, const std::string& name = "File") {
    JSystemRegistryKey key = output(name, "File", 1u << kLevelInfo, "%m");
    key.setDword("AllowMultiple", 1);
    key.setString("LogDirectory", dir.string());
    return key;
  }
  // A record of exactly `size` bytes once CR LF is added.
  static void logRecord(int n, size_t size) {
    std::string text = "rec " + std::to_string(n) + " ";
    text.resize(size - 2, 'x');
    JLog::log(kLevelInfo, text, nullptr, 0, nullptr, nullptr);
  }

  Collector errors_{"errors"};
  fs::path dir_ = work_.path() / "logs";
};

TEST_F(LogFile, RecordsGoIntoOneFileNamedAfterTheProgramAndTheTime) {
  fileOutput(dir_ / "a" / "b");
  JLog::reinitialise(0);
  // The directory comes with the output, the file with the first record.
  ASSERT_TRUE(fs::is_directory(dir_ / "a" / "b"));
  EXPECT_TRUE(logFiles(dir_ / "a" / "b").empty());
  JLog::logf(kLevelInfo, "first");
  JLog::logf(kLevelInfo, "second line\n");
  JLog::logf(kLevelWarning, "not enabled");
  JLog::shutdown();
  auto files = logFiles(dir_ / "a" / "b");
  ASSERT_EQ(files.size(), 1u);
  EXPECT_TRUE(std::regex_match(
      files[0].filename().string(),
      std::regex(R"(ZQ_Log_base_test_log_\d\d_\d\d_\d{4}_\d\d_\d\d_\d\d_\d{1,6}\.log)")))
      << files[0];
  EXPECT_EQ(readAll(files[0]), "first\r\nsecond line\n");
}

TEST_F(LogFile, NoFileWithoutAllowMultipleOrLogDirectory) {
  fileOutput(dir_, "Unset").deleteValue("AllowMultiple");
  JSystemRegistryKey off = fileOutput(dir_, "Off");
  off.setString("Type", "FILE");
  off.setDword("AllowMultiple", 0);
  fileOutput("", "Empty");
  std::ofstream(work_.path() / "plain") << "x";
  fileOutput(work_.path() / "plain" / "logs", "Unmade");
  const fs::path cwd = fs::current_path();
  fs::create_directory(work_.path() / "cwd");
  fs::current_path(work_.path() / "cwd");
  JLog::reinitialise(0);
  JLog::logf(kLevelInfo, "nowhere");
  JLog::shutdown();
  fs::current_path(cwd);
  EXPECT_FALSE(fs::exists(dir_));
  EXPECT_TRUE(fs::is_empty(work_.path() / "cwd"));
  const std::string failure = "system call error at function 'CreateDirectory' : Not a directory";
  EXPECT_EQ(errors_.texts(), (Texts{"Exception THROW|" + failure, "Exception CATCH|" + failure}));
}

TEST_F(LogFile, RotationByFileSizeAndCleanUpOfTheOldestFiles) {
  struct Case {
    const char* name;
    int64_t maxFileKb, maxDirMb;  // -1: not set
    int oldFiles;                 // "ZQ_Log_old<n>", oldest first
    uintmax_t oldSize;
    int records;  // of 16 bytes
    std::multiset<uintmax_t> newSizes;
    int deleted;  // how many of the old files go
  };
  const Case cases[] = {
      {"1 KB files, filled exactly", 1, -1, 0, 0, 200, {1024, 1024, 1024, 128}, 0},
      {"no rotation", 0, -1, 0, 0, 5000, {80000}, 0},
      {"64 KB files by default", -1, -1, 0, 0, 5000, {65536, 14464}, 0},
      {"oldest go until the directory fits", -1, 1, 3, 600000, 1, {16}, 2},
      {"no clean-up", -1, 0, 3, 600000, 1, {16}, 0},
      {"10 MB by default", -1, -1, 20, 600000, 1, {16}, 3},
      // 1 047 000 old bytes and one full file fit in 1 MB, two do not.
      {"rotation cleans up too", 1, 1, 3, 349000, 129, {1024, 1024, 16}, 1},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    const fs::path dir = dir_ / std::to_string(i);
    fs::create_directories(dir);
    for (int k = 0; k < c.oldFiles; ++k) {
      const fs::path p = dir / ("ZQ_Log_old" + std::to_string(k));
      std::ofstream(p) << "old";
      fs::resize_file(p, c.oldSize);
      fs::last_write_time(p, fs::file_time_type::clock::now() - std::chrono::hours(c.oldFiles - k));
    }
    std::ofstream(dir / "notes.txt") << "not a log file: never counted";
    fs::resize_file(dir / "notes.txt", 3000000);
    JSystemRegistryKey key = fileOutput(dir);
    for (const auto& [name, value] :
         {std::pair<const char*, int64_t>{"MaxLogFileSize", c.maxFileKb},
          {"MaxLogDirSize", c.maxDirMb}}) {
      if (value < 0) {
        key.deleteValue(name);
      } else {
        key.setDword(name, static_cast<uint32_t>(value));
      }
    }
    JLog::reinitialise(0);
    for (int n = 0; n < c.records; ++n) {
      logRecord(n, 16);
    }
    JLog::shutdown();
    const auto files = logFiles(dir, "ZQ_Log_base_test_log_");
    std::multiset<uintmax_t> sizes;
    for (const fs::path& f : files) {
      sizes.insert(fs::file_size(f));
    }
    EXPECT_EQ(sizes, c.newSizes);
    const auto seen = recordsIn(files);
    EXPECT_EQ(seen.size(), static_cast<size_t>(c.records));
    EXPECT_TRUE(std::ranges::all_of(seen, [](const auto& e) { return e.second == 1; }));
    for (int k = 0; k < c.oldFiles; ++k) {
      EXPECT_EQ(fs::exists(dir / ("ZQ_Log_old" + std::to_string(k))), k >= c.deleted) << k;
    }
  }
}

TEST_F(LogFile, FailedWriteDropsTheFileAndTheNextRecordOpensAnother) {
  fileOutput(dir_).setDword("MaxLogFileSize", 0);
  JLog::reinitialise(0);
  // Files of this process may not grow past 4 000 bytes for a moment.
  struct rlimit saved, small;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  small = saved;
  small.rlim_cur = 4000;
  auto previousHandler = ::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  for (int i = 0; i < 60; ++i) {
    logRecord(i, 100);
  }
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, previousHandler);
  JLog::shutdown();
  // Records 0 to 39 fill the first file to the limit; record 40 fails and is
  // lost with the file; record 41 starts a second file.
  auto files = logFiles(dir_);
  EXPECT_EQ(files.size(), 2u);
  EXPECT_EQ(errors_.count("Exception CATCH|system call error at function 'WriteFile' : File too "
                          "large"),
            1u);
  auto seen = recordsIn(files);
  EXPECT_EQ(seen.size(), 59u);
  EXPECT_FALSE(seen.contains(40));
}

TEST_F(LogFile, SizeCapHoldsWhenANewFileCannotBeOpened) {
  fileOutput(dir_).setDword("MaxLogFileSize", 1);
  JLog::reinitialise(0);
  logRecord(0, 100);
  // The open file moves away with its directory; a plain file takes the
  // directory's place, so no new file can be created there.
  const fs::path moved = work_.path() / "moved";
  fs::rename(dir_, moved);
  std::ofstream(dir_) << "blocker";
  for (int i = 1; i < 40; ++i) {
    logRecord(i, 100);
  }
  auto oldFiles = logFiles(moved);
  ASSERT_EQ(oldFiles.size(), 1u);
  EXPECT_LE(fs::file_size(oldFiles[0]), 1100u);
  EXPECT_GE(errors_.count("Exception CATCH|system call error at function 'CreateFile' : Not a "
                          "directory"),
            1u);
  // Once the directory is back, the next record opens a new file there.
  fs::remove(dir_);
  fs::create_directory(dir_);
  logRecord(40, 100);
  JLog::shutdown();
  EXPECT_EQ(recordsIn(logFiles(dir_)), (std::map<int, int>{{40, 1}}));
}

// ---- syslog ----------------------------------------------------------------------

// Binds `fd` to 127.0.0.1 on a port of the system's choosing; that port, or 0.
uint16_t bindLoopback(int fd) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    return 0;
  }
  return ntohs(a.sin_port);
}

// A UDP server on loopback; tells the source and the TOS byte of what it receives.
struct SyslogServer {
  struct Datagram {
    std::string text, source;  // "address:port"
    int tos = -1;
  };
  SyslogServer() {
    int on = 1;
    ::setsockopt(fd, IPPROTO_IP, IP_RECVTOS, &on, sizeof on);
  }
  ~SyslogServer() { ::close(fd); }
  /// The next datagram, or nothing within `timeoutMs`.
  std::optional<Datagram> receive(int timeoutMs = 5000) {
    pollfd p{fd, POLLIN, 0};
    char buf[4096], control[256], address[INET_ADDRSTRLEN];
    sockaddr_in from{};
    iovec iov{buf, sizeof buf};
    msghdr msg{&from, sizeof from, &iov, 1, control, sizeof control, 0};
    ssize_t n = ::poll(&p, 1, timeoutMs) == 1 ? ::recvmsg(fd, &msg, 0) : -1;
    if (n < 0) {
      return std::nullopt;
    }
    Datagram d{std::string(buf, static_cast<size_t>(n)),
               ::inet_ntop(AF_INET, &from.sin_addr, address, sizeof address) +
                   (":" + std::to_string(ntohs(from.sin_port)))};
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
      if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TOS) {
        d.tos = *CMSG_DATA(c);
      }
    }
    return d;
  }

  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  uint16_t port = bindLoopback(fd);
};

class LogSyslog : public LogTest {
 protected:
  JSystemRegistryKey syslogOutput() {
    JSystemRegistryKey key = output("Syslog", "SysLog", ~0u, "%m");
    key.setString("Server", "127.0.0.1");
    key.setDword("ServerPort", server_.port);
    key.setDword("LocalPort", 0);
    key.setDword("IpInterfaceNumber", 0);
    key.setString("HostName", "camera");
    return key;
  }
  // What logging `message` sends.
  SyslogServer::Datagram sent(int level, const std::string& message) {
    JLog::log(level, message, nullptr, 0, nullptr, nullptr);
    return server_.receive().value_or(SyslogServer::Datagram{"<nothing>", ""});
  }

  SyslogServer server_;
};

TEST_F(LogSyslog, DatagramCarriesPriorityDateHostAndOneLineCutAt1024Bytes) {
  JSystemRegistryKey key = syslogOutput();
  key.setString("HostName", "cam host#1.example");
  key.setString("Format", "%w|%m");
  JLog::reinitialise(0);
  const time_t start = ::time(nullptr);
  const std::string text = sent(kLevelInfo, std::string(3000, 'a')).text;
  std::smatch m;
  ASSERT_TRUE(std::regex_match(
      text, m,
      std::regex(
          R"(<134>([A-Z][a-z]{2} [ 1-3]\d) \d\d:\d\d:\d\d cam_host_1\.example INFO {10}\|a+)")))
      << text.substr(0, 60);
  EXPECT_EQ(text.size(), 1024u);
  EXPECT_TRUE(isLocalTimeSince(m[1], "%b %e", start)) << m[1];
  EXPECT_TRUE(sent(kLevelWarning, "two\r\nlines\n")
                  .text.ends_with(" cam_host_1.example WARNING       |two  lines "));
}

TEST_F(LogSyslog, PriorityIsSeverityPlusEightTimesFacilityAndTheHostNameTheComputers) {
  EXPECT_EQ(JSysLog::sanitiseHostName("Cam-01.site_b host/é"), "Cam-01.site_b_host___");
  JSystemRegistryKey key = syslogOutput();
  key.setDword("Facility", 3);
  key.deleteValue("HostName");
  JLog::reinitialise(0);
  char host[256] = {};
  ::gethostname(host, sizeof host - 1);
  const int severities[13] = {5, 7, 5, 7, 7, 5, 5, 5, 6, 4, 5, 3, 2};
  for (int level = 0; level < 13; ++level) {
    const std::string text = sent(level, "level " + std::to_string(level)).text;
    EXPECT_TRUE(text.starts_with("<" + std::to_string(severities[level] + 24) + ">")) << text;
    EXPECT_TRUE(
        text.ends_with(" " + JSysLog::sanitiseHostName(host) + " level " + std::to_string(level)))
        << text;
  }
}

TEST_F(LogSyslog, LocalPortInterfaceAndPrecedence) {
  JSystemRegistryKey key = syslogOutput();
  JLog::reinitialise(0);
  SyslogServer::Datagram d = sent(kLevelInfo, "x");
  EXPECT_TRUE(d.source.starts_with("127.0.0.1:") && !d.source.ends_with(":514")) << d.source;
  EXPECT_EQ(d.tos, 0);  // no precedence: left alone
  // LocalPort 514 by default, the first interface numbered, precedence 5.
  ifaddrs* list = nullptr;
  ASSERT_EQ(::getifaddrs(&list), 0);
  const std::vector<uint32_t> numbered = JSysLog::interfaceAddresses(list);
  ::freeifaddrs(list);
  ASSERT_FALSE(numbered.empty());
  char first[INET_ADDRSTRLEN];
  key.deleteValue("LocalPort");
  key.setDword("IpInterfaceNumber", 1);
  key.setDword("Precedence", 5);
  JLog::reinitialise(0);
  d = sent(kLevelInfo, "x");
  EXPECT_EQ(d.source,
            ::inet_ntop(AF_INET, &numbered[0], first, sizeof first) + std::string(":514"));
  EXPECT_EQ(d.tos, 5 << 5);
}

TEST(SyslogInterfaceNumbers, CountUpInterfacesWithTheLoopbackOnesLast) {
  // Made up, as the system lists them: loopback first, a card that is down,
  // an IPv6 address and two cards that are up.
  const std::tuple<const char*, unsigned, int, const char*> entries[] = {
      {"lo", IFF_UP | IFF_LOOPBACK, AF_INET, "127.0.0.1"},
      {"eth0", IFF_UP, AF_INET, "127.1.0.1"},
      {"eth1", 0, AF_INET, "127.2.0.1"},
      {"eth0", IFF_UP, AF_INET6, "0.0.0.0"},
      {"eth2", IFF_UP, AF_INET, "127.3.0.1"},
      {"lo", IFF_UP | IFF_LOOPBACK, AF_INET, "127.0.0.2"}};
  std::vector<sockaddr_in> addresses(std::size(entries));
  std::vector<ifaddrs> list(std::size(entries));
  for (size_t i = 0; i < list.size(); ++i) {
    const auto& [name, flags, family, address] = entries[i];
    addresses[i].sin_family = static_cast<sa_family_t>(family);
    ::inet_pton(AF_INET, address, &addresses[i].sin_addr);
    list[i].ifa_next = i + 1 < list.size() ? &list[i + 1] : nullptr;
    list[i].ifa_name = const_cast<char*>(name);
    list[i].ifa_flags = flags;
    list[i].ifa_addr = reinterpret_cast<sockaddr*>(&addresses[i]);
  }
  Texts numbered;
  for (uint32_t a : JSysLog::interfaceAddresses(list.data())) {
    char text[INET_ADDRSTRLEN];
    numbered.emplace_back(::inet_ntop(AF_INET, &a, text, sizeof text));
  }
  EXPECT_EQ(numbered, (Texts{"127.1.0.1", "127.3.0.1", "127.0.0.1", "127.0.0.2"}));
  EXPECT_TRUE(JSysLog::interfaceAddresses(nullptr).empty());
}

TEST_F(LogSyslog, OutputThatCannotStartSaysWhyAndSendsNothing) {
  const int taken = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const uint16_t port = bindLoopback(taken);
  ASSERT_NE(port, 0);
  const std::string started = "SysLog network logging not started: ",
                    why = "ERROR         |" + started;
  const std::string resolve = "could not resolve syslog server DNS name(";
  const std::string notFound =
      "): system call error at function 'gethostbyname' : No such host is known";
  // A message of 256 characters exactly, one more than fits the first buffer
  // it is formatted in.
  std::string badName = "no such host!";
  badName.resize(256 - started.size() - resolve.size() - notFound.size(), 'x');
  struct Case {
    const char* name;
    std::function<void(JSystemRegistryKey&)> setUp;
    std::string expected;
    bool whole;  // else the start of the record: the rest is the system's text
  };
  const Case cases[] = {
      {"no server", [](auto& k) { k.deleteValue("Server"); },
       why + "missing \"Server\" key in registry", true},
      {"unknown interface", [](auto& k) { k.setDword("IpInterfaceNumber", 1000); },
       why + "could not find IP interface #1000: invalid interface number : 1000/", false},
      {"unresolvable server", [&](auto& k) { k.setString("Server", badName); },
       why + resolve + badName + notFound, true},
      {"local port taken without address reuse", [&](auto& k) { k.setDword("LocalPort", port); },
       why + "could not bind on local port (" + std::to_string(port) +
           "): system call error at function 'bind' : " +
           std::string(socketErrorText(JSysError::kSocketTag | 10048)),
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Collector first("first");
    inProcess("A", "first", 1u << kLevelError, "%w|%m");
    JSystemRegistryKey key = syslogOutput();
    c.setUp(key);
    JLog::reinitialise(0);
    const Texts texts = first.texts();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(c.whole ? texts[0] : texts[0].substr(0, c.expected.size()), c.expected);
    JLog::logf(kLevelInfo, "dropped");
    EXPECT_FALSE(server_.receive(200).has_value());
  }
  ::close(taken);
}

}  // namespace
}  // namespace zq
