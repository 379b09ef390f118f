// The logging facility and its outputs: record format, filtering, outputs built
// from the registry, shutdown, many threads, rotating files and syslog.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <filesystem>
#include <fstream>
#include <latch>
#include <map>
#include <mutex>
#include <regex>
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

 private:
  std::string id_;
  mutable std::mutex mutex_;
  Texts texts_;
};

// True when `text` is the local date and time (or month and day) of a second
// from `from` to now.
bool isLocalTimeSince(const std::string& text, bool dateAndTime, time_t from) {
  char buf[32];
  for (time_t t = from; t <= ::time(nullptr); ++t) {
    struct tm tm;
    std::strftime(buf, sizeof buf, dateAndTime ? "%m/%d/%Y %H:%M:%S" : "%b %e",
                  ::localtime_r(&t, &tm));
    if (buf == text)
      return true;
  }
  return false;
}

// A UDP server on 127.0.0.1; tells the source and the TOS byte of what it receives.
struct SyslogServer {
  struct Datagram {
    std::string text, source;  // "address:port"
    int tos = -1;
  };
  SyslogServer() {
    sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), len);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    int on = 1;
    ::setsockopt(fd, IPPROTO_IP, IP_RECVTOS, &on, sizeof on);
    timeval limit{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  }
  ~SyslogServer() { ::close(fd); }
  /// The next datagram; `wait`: for up to 5 s.
  Datagram receive(bool wait = true) {
    char buf[4096], control[256], address[INET_ADDRSTRLEN];
    sockaddr_in from{};
    iovec iov{buf, sizeof buf};
    msghdr msg{&from, sizeof from, &iov, 1, control, sizeof control, 0};
    const ssize_t n = ::recvmsg(fd, &msg, wait ? 0 : MSG_DONTWAIT);
    if (n < 0)
      return {"<nothing>", ""};
    Datagram d{std::string(buf, static_cast<size_t>(n)),
               ::inet_ntop(AF_INET, &from.sin_addr, address, sizeof address) +
                   (":" + std::to_string(ntohs(from.sin_port)))};
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
      d.tos = c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TOS ? *CMSG_DATA(c) : d.tos;
    }
    return d;
  }

  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  uint16_t port = 0;
};

/// Every case gets its own registry and directory; the facility is shut down after it.
class LogTest : public ::testing::Test {
 protected:
  void TearDown() override { JLog::shutdown(); }

  JSystemRegistryKey key(const std::string& name) {
    return JSystemRegistryKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta\\Log\\" + name);
  }
  JSystemRegistryKey output(const std::string& name, const char* type, uint32_t mask = ~0u,
                            const char* format = "%m") {
    JSystemRegistryKey out = key(name);
    out.setString("Type", type);
    out.setDword("WarnLevel", mask);
    out.setString("Format", format);
    return out;
  }
  JSystemRegistryKey inProcess(const std::string& name, const std::string& id, uint32_t mask = ~0u,
                               const char* format = "%m") {
    JSystemRegistryKey out = output(name, "InProcess", mask, format);
    out.setString("ReceiverID", id);
    return out;
  }
  /// A collector behind an in-process output, both named `id`.
  Collector& collect(const std::string& id, uint32_t mask = ~0u, const char* format = "%m") {
    inProcess(id, id, mask, format);
    return collectors_.emplace_back(id);
  }
  JSystemRegistryKey fileOutput(const fs::path& dir, const std::string& name = "File") {
    JSystemRegistryKey out = output(name, "File", 1u << kLevelInfo);
    out.setDword("AllowMultiple", 1);
    out.setString("LogDirectory", dir.string());
    return out;
  }
  JSystemRegistryKey syslogOutput() {
    JSystemRegistryKey out = output("Syslog", "SysLog");
    out.setString("Server", "127.0.0.1");
    out.setDword("ServerPort", server_.port);
    out.setDword("LocalPort", 0);
    out.setDword("IpInterfaceNumber", 0);
    out.setString("HostName", "camera");
    return out;
  }
  /// What logging `message` sends to the syslog server.
  SyslogServer::Datagram sent(int level, const std::string& message) {
    JLog::log(level, message, nullptr, 0, nullptr, nullptr);
    return server_.receive();
  }

  test::ScopedRegistryDir registry_;
  test::TempDir work_;
  std::deque<Collector> collectors_;
  SyslogServer server_;
};

TEST_F(LogTest, RecordFormatDirectivesEscapesAndPieces) {
  JTraceMask mask{0};
  JTraceableObject named("RPC server", &mask), unnamed;
  char self[32];
  std::snprintf(self, sizeof self, "[[%p]]", static_cast<const void*>(&unnamed));
  // Format (none: the default), message, category, object, record.
  const std::tuple<const char*, const char*, const char*, const JTraceableObject*, std::string>
      cases[] = {
          // Other letters are copied; what a directive inserts is not scanned again.
          {"%x %Q %5 [%m] %", "100%m %w", nullptr, nullptr, "%x %Q %5 [100%m %w] %"},
          {"[%c][%i][%f]", "m", nullptr, nullptr, "[_undef_][System][]"},
          {"[%c]", "m", "Exception CATCH", nullptr, "[Exception CATCH]"},
          {"[%c]", "m", "Network *", nullptr, "[Network]"},
          {"[%c]", "m", "Network*", nullptr, "[Network*]"},
          {"[%i]", "m", nullptr, &named, "[RPC server]"},
          {"[%i]", "m", nullptr, &unnamed, self},
          {"<%m>", "one\r\ntwo\nthree\r", nullptr, nullptr, "<one  two three >"},
          // An escape takes two characters; a lone backslash at the end stays.
          {"a\\nb|%m\\t|\\\\|\\q|\\\\n|\\%m|end\\", "m", nullptr, nullptr,
           "a\r\nb|m\t|\\|q|\\n|m|end\\"},
          {nullptr, "hello", "Cat", nullptr, "(0) : Cat\thello"},
      };
  for (const auto& [format, message, category, object, expected] : cases) {
    SCOPED_TRACE(expected);
    Collector collector("fmt");
    JSystemRegistryKey out = inProcess("Out", "fmt", ~0u, format != nullptr ? format : "");
    if (format == nullptr)
      out.deleteValue("Format");
    JLog::reinitialise(0);
    JLog::log(kLevelInfo, message, nullptr, 0, category, object);
    EXPECT_EQ(collector.texts(), Texts{expected});
  }
}

TEST_F(LogTest, EveryDirectiveInEitherCase) {
  Collector& lower = collect("lower", ~0u, "%%|%c|%f|%i|%l|%m|%p|%t|%u|%w|");
  Collector& upper = collect("upper", ~0u, "%%|%C|%F|%I|%L|%M|%P|%T|%U|%W|");
  JLog::reinitialise(0);
  JTraceMask mask{0};
  JTraceableObject object("Conn#7", &mask);
  // From a thread whose id shows a hex letter, so that the case of %t shows.
  std::string tid;
  for (int i = 0; i < 1000 && tid.find_first_of("abcdef") == std::string::npos; ++i) {
    std::thread([&] {
      char buf[16];
      std::snprintf(buf, sizeof buf, "0x%.8x", static_cast<unsigned>(::gettid()));
      if ((tid = buf).find_first_of("abcdef") != std::string::npos) {
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
  Collector& names = collect("names", ~0u, "%w");
  JLog::reinitialise(0);
  JTraceMask mask{~0u};
  JTraceableObject object("obj", &mask);
  Texts expected;
  for (std::string name :
       {"UNKNOWN",        "DEBUG",         "ACTIVEX",      "DEBUG",         "TRACE",
        "TRACE",          "TRACE",         "TRACE",        "INFO",          "WARNING",
        "EXCEPTION",      "ERROR",         "CRITICAL",     "DEBUG",         "EXCEPTION",
        "TRACE_INFO",     "TRACE_COMPORT", "TRACE_FILE",   "TRACE_NETWORK", "TRACE_STATS",
        "TRACE_REGISTRY", "TRACE_RPC",     "TRACE_DRIVER", "UNKNOWN"}) {
    JLog::log(static_cast<int>(expected.size()), "m", nullptr, 0, nullptr, &object);
    expected.push_back(name.append(14 - name.size(), ' '));
  }
  EXPECT_EQ(names.texts(), expected);
}

TEST_F(LogTest, LevelsPassByTheOutputsMaskBelowThirteenAndByTheObjectsAbove) {
  Collector& plain = collect("plain", (1u << 9) | (1u << 12));
  // The enabling keys apply after WarnLevel, whatever their order; without
  // WarnLevel the mask starts empty.
  JSystemRegistryKey keys = inProcess("enabled", "enabled");
  keys.deleteValue("WarnLevel");
  keys.setDword("EnableLevelWarning", 0);
  keys.setDword("EnableLevelInfo", 2);
  keys.setDword("EnableLevelActiveXCalls", 1);
  keys.setDword("WarnLevel", (1u << 9) | (1u << 11));
  JSystemRegistryKey none = inProcess("empty", "empty");
  none.deleteValue("WarnLevel");
  none.setDword("EnableLevelCritical", 1);
  Collector enabled("enabled"), empty("empty");
  JLog::reinitialise(0);
  for (int level = 0; level < 13; ++level)
    JLog::logf(level, "level %d", level);
  JTraceMask mask{1u << kLevelTraceInfo};
  JTraceableObject object("obj", &mask), maskless("maskless");
  JLog::log(kLevelTraceInfo, "level 15", nullptr, 0, nullptr, nullptr);
  JLog::logTraceable(kLevelTraceInfo, &maskless, "level 15");
  JLog::logTraceable(kLevelTraceRpc, &object, "level 21");
  JLog::logTraceable(kLevelTraceInfo, &object, "object's level 15");
  EXPECT_EQ(plain.texts(), (Texts{"level 9", "level 12", "object's level 15"}));
  EXPECT_EQ(enabled.texts(), (Texts{"level 2", "level 8", "level 11", "object's level 15"}));
  EXPECT_EQ(empty.texts(), (Texts{"level 12", "object's level 15"}));
}

TEST_F(LogTest, CategoryGlobsIncludeThenExclude) {
  Collector& globs = collect("globs", ~0u, "%c");
  Collector& open = collect("open", ~0u, "%c");
  key("globs").setString("FilterInclude", "Net*;Rpc?;_undef_");
  key("globs").setString("FilterExclude", "NetDebug;[xy]*");
  key("open").setString("FilterInclude", "");
  key("open").setString("FilterExclude", "Audio");
  JLog::reinitialise(0);
  for (const char* category : {"Network", "NetDebug", "Rpc1", "Rpc12", "Audio", "x", "ynet", ""}) {
    JLog::log(kLevelInfo, "m", nullptr, 0, *category != 0 ? category : nullptr, nullptr);
  }
  EXPECT_EQ(globs.texts(), (Texts{"Network", "Rpc1", "_undef_"}));
  EXPECT_EQ(open.texts(), (Texts{"Network", "NetDebug", "Rpc1", "Rpc12", "x", "ynet", "_undef_"}));
}

TEST_F(LogTest, OutputsInRegistryOrderAndThoseThatCannotBeBuiltReported) {
  Collector& first = collect("first", ~0u, "%w|%c|%m");
  inProcess("B", "never").setString("WarnLevel", "all");
  inProcess("C", "none").deleteValue("ReceiverID");
  inProcess("D", "later", ~0u, "D %m").setString("Type", "INPROCESS");
  JSystemRegistryKey logType = inProcess("A", "later", ~0u, "A %m");
  logType.deleteValue("Type");
  logType.setString("LogType", "InProcess");
  inProcess("Mixed", "later").setString("Type", "inprocess");
  inProcess("Both", "later", ~0u, "Both %m").setString("LogType", "Nothing");
  inProcess("Telnet", "later").setString("Type", "Telnet");
  JLog::reinitialise(0);
  const std::string failure =
      "system call error at function 'Function=RegQueryValueEx, "
      "key=HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvanta\\Log\\B' : Invalid argument";
  EXPECT_EQ(first.texts(), (Texts{"EXCEPTION     |Exception THROW|" + failure,
                                  "EXCEPTION     |Exception CATCH|" + failure,
                                  "ERROR         |_undef_|In process output logging not "
                                  "starting: missing \"ReceiverID\" entry in registry."}));
  JLog::logf(kLevelInfo, "dropped");  // until the receiver registers
  Collector later("later");
  JLog::logf(kLevelInfo, "x");
  EXPECT_EQ(later.texts(), (Texts{"D x", "A x", "Both x"}));
}

TEST_F(LogTest, ConfiguredConsoleOrTheDefaultOne) {
  output("Console", "CONSOLE", 1u << kLevelError, "%w%m");
  testing::internal::CaptureStderr();
  JLog::reinitialise(JLog::kDefaultConsole);
  JLog::logf(kLevelInfo, "info");
  JLog::logf(kLevelError, "two\nlines \r\n\t ");
  JLog::shutdown();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "ERROR         two\nlines\n");
  // No Log key can even be made: the failure goes to no output, and the
  // default console comes.
  std::ofstream(work_.path() / "plain") << "x";
  ::setenv("ZQ_REGISTRY_DIR", (work_.path() / "plain" / "sub").c_str(), 1);
  const time_t start = ::time(nullptr);
  testing::internal::CaptureStderr();
  JLog::reinitialise(JLog::kDefaultConsole);
  for (int level = 1; level < 13; ++level)
    JLog::logf(level, "level %d", level);
  JLog::shutdown();
  const std::string text = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(isLocalTimeSince(text.substr(0, 19), true, start)) << text;
  EXPECT_EQ(std::regex_replace(text, std::regex(R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\.\d{3} )"), ""),
            "DEBUG         level 3\nTRACE         level 4\nTRACE         level 5\nTRACE         "
            "level 6\nTRACE         level 7\nINFO          level 8\nEXCEPTION     level 10\nERROR"
            "         level 11\n");
}

TEST_F(LogTest, OutputThatThrowsLogsOrShutsDownWhileWriting) {
  // What it throws is reported to the others; it does not receive what it
  // logs; its shutdown waits for the record to finish, and the next record
  // reads the registry again.
  struct Unruly : JInProcessLogReceiver {
    Texts seen;
    void write(int, const std::string& record, const std::string&, int) override {
      seen.push_back(record);
      if (record == "broke")
        throw JTextError("receiver broke");
      if (record == "threw")
        throw 42;
      JLog::logf(kLevelInfo, "echo of %s", record.c_str());
      JLog::shutdown();
    }
  } unruly;
  JLog::registerReceiver("unruly", &unruly);
  inProcess("A", "unruly", 1u << kLevelInfo);
  Collector& other = collect("other", ~0u, "%c|%m");
  for (const char* message : {"broke", "threw", "one"}) {
    EXPECT_NO_THROW(JLog::log(kLevelInfo, message, nullptr, 0, nullptr, nullptr));
  }
  key("other").setString("Format", "2:%m");
  JLog::logf(kLevelInfo, "two");
  JLog::unregisterReceiver("unruly");
  EXPECT_EQ(unruly.seen, (Texts{"broke", "threw", "one", "two"}));
  EXPECT_EQ(
      other.texts(),
      (Texts{"Exception THROW|receiver broke", "Exception CATCH|receiver broke", "_undef_|broke",
             "Exception CATCH|unknown exception thrown by a log output", "_undef_|threw",
             "_undef_|echo of one", "_undef_|one", "2:echo of two", "2:two"}));
}

TEST_F(LogTest, FormattedMessagesAreCutAt2047Characters) {
  Collector& collector = collect("long");
  const std::string big(3000, 'z');
  JLog::logf(kLevelInfo, "%s", big.c_str());
  JLog::log(kLevelInfo, big, nullptr, 0, nullptr, nullptr);
  EXPECT_EQ(collector.texts(), (Texts{std::string(2047, 'z'), big}));
}

// The child of RecordsAfterExitGoToStandardError runs here, while the
// program's statics are built, before GoogleTest starts.
[[maybe_unused]] const bool g_logAfterExitChild = [] {
  if (std::getenv("ZQ_TEST_LOG_AFTER_EXIT") == nullptr)
    return false;
  std::atexit([] {
    JLog::logf(kLevelDebug, "late debug");
    JLog::logf(kLevelWarning, "late warning %d", 9);
  });
  // The first record builds the facility, whose exit handler, registered
  // after ours, runs first.
  JLog::logf(kLevelInfo, "early");
  std::exit(0);
}();

TEST_F(LogTest, RecordsAfterExitGoToStandardError) {
  // Once the facility is gone, records from level 4 up reach standard error bare.
  const std::string command = "ZQ_TEST_LOG_AFTER_EXIT=1 timeout 60 '" +
                              fs::read_symlink("/proc/self/exe").string() +
                              "' --gtest_filter=NoSuchSuite.NoSuchTest 2>&1";
  FILE* child = ::popen(command.c_str(), "r");
  ASSERT_NE(child, nullptr);
  std::string out;
  char buf[256];
  while (std::fgets(buf, sizeof buf, child) != nullptr)
    out += buf;
  EXPECT_EQ(::pclose(child), 0) << out;
  EXPECT_EQ(out, "late warning 9\n");
}

TEST_F(LogTest, ThreadsProduceWholeRecordsOnlyThroughShutdownsAndRenames) {
  constexpr int kThreads = 4, kRecords = 400;
  Collector& collector = collect("mt", ~0u, "[%i %m]");
  JLog::reinitialise(0);
  JTraceMask mask{(1u << kLevelTraceRpc) | 0x8};
  JTraceableObject object("a", &mask);
  std::latch go(kThreads + 1), restarted(1);
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      go.arrive_and_wait();
      for (int i = 0; i < kRecords; ++i) {
        if (i % 2 == 0) {
          JLog::logTraceable(kLevelTraceRpc, &object, "t%d n%d payload", t, i);
        } else {
          object.trace(0x2 | 0x8, "t%d n%d payload", t, i);  // any switch that is on
        }
      }
      restarted.wait();
      JLog::logTraceable(kLevelTraceRpc, &object, "t%d n%d payload", t, kRecords);
    });
  }
  threads.emplace_back([&] {
    for (int i = 0; !stop.load(); ++i)
      object.setTraceName(i % 2 == 0 ? "bb" : "a");
  });
  // Records logged while a shutdown runs are dropped, but the outputs come
  // back and no record is ever cut.
  go.arrive_and_wait();
  for (int i = 0; i < 5; ++i) {
    JLog::shutdown();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  restarted.count_down();
  for (int t = 0; t < kThreads; ++t)
    threads[static_cast<size_t>(t)].join();
  stop.store(true);
  threads.back().join();
  const std::regex whole(R"(\[(?:a|bb) t(\d) n(\d+) payload\])");
  std::vector<std::vector<int>> seen(kThreads);
  for (const std::string& text : collector.texts()) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(text, m, whole)) << text;
    seen[static_cast<size_t>(std::stoi(m[1]))].push_back(std::stoi(m[2]));
  }
  for (const auto& numbers : seen) {
    EXPECT_TRUE(std::is_sorted(numbers.begin(), numbers.end()));
    EXPECT_EQ(numbers.empty() ? -1 : numbers.back(), kRecords);
  }
}

// Of the files of `dir` whose name starts with `prefix`: how many times each
// record "rec <n> x..." is found, and their sizes, smallest first.
std::pair<std::map<int, int>, std::vector<uintmax_t>> logFiles(const fs::path& dir,
                                                               const char* prefix = "ZQ_Log_") {
  std::pair<std::map<int, int>, std::vector<uintmax_t>> found;
  const std::regex record(R"(rec (\d+) x*\r\n)");
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (!entry.path().filename().string().starts_with(prefix))
      continue;
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    for (std::sregex_iterator it(text.begin(), text.end(), record), end; it != end; ++it) {
      ++found.first[std::stoi((*it)[1])];
    }
    found.second.push_back(text.size());
  }
  std::ranges::sort(found.second);
  return found;
}

// Logs records `from` to `to` - 1, each of `size` bytes once CR LF is added.
void logRecords(int from, int to, size_t size) {
  for (int n = from; n < to; ++n) {
    std::string text = "rec " + std::to_string(n) + " ";
    text.resize(size - 2, 'x');
    JLog::log(kLevelInfo, text, nullptr, 0, nullptr, nullptr);
  }
}

TEST_F(LogTest, FileNamedAfterTheProgramAndTheTimeOnlyWithAllowMultipleAndADirectory) {
  Collector& errors = collect("errors", 1u << kLevelException, "%c|%m");
  const fs::path dir = work_.path() / "a" / "b", none = work_.path() / "none";
  fileOutput(dir);
  fileOutput(none, "Unset").deleteValue("AllowMultiple");
  fileOutput(none, "Off").setDword("AllowMultiple", 0);
  std::ofstream(work_.path() / "plain") << "x";
  fileOutput(work_.path() / "plain" / "logs", "Unmade").setString("Type", "FILE");
  JLog::reinitialise(0);
  const std::string failure = "system call error at function 'CreateDirectory' : Not a directory";
  EXPECT_EQ(errors.texts(), (Texts{"Exception THROW|" + failure, "Exception CATCH|" + failure}));
  // The directory comes with the output, the file with the first record.
  EXPECT_TRUE(fs::is_directory(dir) && fs::is_empty(dir));
  JLog::logf(kLevelInfo, "first");
  JLog::logf(kLevelInfo, "second line\n");
  JLog::logf(kLevelWarning, "not enabled");
  JLog::shutdown();
  EXPECT_FALSE(fs::exists(none));
  ASSERT_EQ(logFiles(dir).second.size(), 1u);
  const fs::path file = fs::directory_iterator(dir)->path();
  EXPECT_TRUE(std::regex_match(
      file.filename().string(),
      std::regex(R"(ZQ_Log_base_test_log_\d\d_\d\d_\d{4}_\d\d_\d\d_\d\d_\d{1,6}\.log)")))
      << file;
  std::ifstream in(file, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "first\r\nsecond line\n");
}

TEST_F(LogTest, FileRotationBySizeAndCleanUpOfTheOldestFiles) {
  // Name; MaxLogFileSize and MaxLogDirSize (-1: both left to their defaults);
  // old files "ZQ_Log_old<n>", oldest first, and their size; records of 16
  // bytes; the sizes of the new files; how many of the old ones go.
  const std::tuple<const char*, int, int, int, uintmax_t, int, std::vector<uintmax_t>, int>
      cases[] = {
          // 20 x 600 000 bytes: the three oldest go to fit 10 MB.
          {"64 KB files and 10 MB by default", -1, -1, 20, 600000, 5000, {14464, 65536}, 3},
          {"1 KB files, filled exactly", 1, 0, 0, 0, 200, {128, 1024, 1024, 1024}, 0},
          {"no rotation", 0, 0, 0, 0, 5000, {80000}, 0},
          {"oldest go until the directory fits", 64, 1, 3, 600000, 1, {16}, 2},
          {"no clean-up", 64, 0, 3, 600000, 1, {16}, 0},
          // 1 047 000 old bytes and one full file fit in 1 MB, two do not.
          {"rotation cleans up too", 1, 1, 3, 349000, 129, {16, 1024, 1024}, 1},
      };
  for (const auto& [name, fileKb, dirMb, oldFiles, oldSize, records, newSizes, deleted] : cases) {
    SCOPED_TRACE(name);
    const fs::path dir = work_.path() / name;
    fs::create_directories(dir);
    for (int k = 0; k < oldFiles; ++k) {
      const fs::path p = dir / ("ZQ_Log_old" + std::to_string(k));
      std::ofstream(p) << "old";
      fs::resize_file(p, oldSize);
      fs::last_write_time(p, fs::file_time_type::clock::now() - std::chrono::hours(oldFiles - k));
    }
    std::ofstream(dir / "notes.txt") << "not a log file: never counted";
    fs::resize_file(dir / "notes.txt", 3000000);
    JSystemRegistryKey out = fileOutput(dir);
    if (fileKb >= 0) {
      out.setDword("MaxLogFileSize", static_cast<uint32_t>(fileKb));
      out.setDword("MaxLogDirSize", static_cast<uint32_t>(dirMb));
    }
    JLog::reinitialise(0);
    logRecords(0, records, 16);
    JLog::shutdown();
    const auto [seen, sizes] = logFiles(dir, "ZQ_Log_base_test_log_");
    EXPECT_EQ(sizes, newSizes);
    EXPECT_EQ(seen.size(), static_cast<size_t>(records));
    EXPECT_TRUE(std::ranges::all_of(seen, [](const auto& e) { return e.second == 1; }));
    for (int k = 0; k < oldFiles; ++k) {
      EXPECT_EQ(fs::exists(dir / ("ZQ_Log_old" + std::to_string(k))), k >= deleted) << k;
    }
  }
}

TEST_F(LogTest, FileThatCannotBeWrittenOrOpenedIsDroppedAndTheNextRecordTriesAgain) {
  Collector& errors = collect("errors", 1u << kLevelException, "%c|%m");
  const fs::path dir = work_.path() / "logs", moved = work_.path() / "moved";
  JSystemRegistryKey out = fileOutput(dir);
  out.setDword("MaxLogFileSize", 0);
  JLog::reinitialise(0);
  // Files of this process may not grow past 4 000 bytes for a moment: records
  // 0 to 39 fill the first file, 40 fails and is lost with it, 41 starts another.
  struct rlimit saved, small;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  small = saved;
  small.rlim_cur = 4000;
  auto previousHandler = ::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  logRecords(0, 42, 100);
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, previousHandler);
  // 1 KB files: 42 to 52 fill a third one. The directory then moves away and
  // a plain file takes its place: no file can be created, and the full one
  // is not written past its size.
  out.setDword("MaxLogFileSize", 1);
  JLog::reinitialise(0);
  logRecords(42, 53, 100);
  fs::rename(dir, moved);
  std::ofstream(dir) << "blocker";
  logRecords(53, 60, 100);
  const auto [seen, sizes] = logFiles(moved);
  EXPECT_EQ(sizes, (std::vector<uintmax_t>{100, 1100, 4000}));
  EXPECT_EQ(seen.size(), 52u);
  EXPECT_FALSE(seen.contains(40));
  const std::string failed = "Exception CATCH|system call error at function ";
  EXPECT_EQ(std::ranges::count(errors.texts(), failed + "'WriteFile' : File too large"), 1);
  EXPECT_EQ(std::ranges::count(errors.texts(), failed + "'CreateFile' : Not a directory"), 7);
  // Once the directory is back, the next record opens a new file there.
  fs::remove(dir);
  fs::create_directory(dir);
  logRecords(60, 61, 100);
  JLog::shutdown();
  EXPECT_EQ(logFiles(dir).first, (std::map<int, int>{{60, 1}}));
}

TEST_F(LogTest, SyslogDatagramCarriesPriorityDateHostAndOneLineCutAt1024Bytes) {
  JSystemRegistryKey out = syslogOutput();
  out.setString("HostName", "cam host#1.example");
  out.setString("Format", "%w|%m");
  JLog::reinitialise(0);
  const time_t start = ::time(nullptr);
  const SyslogServer::Datagram d = sent(kLevelInfo, std::string(3000, 'a'));
  const std::string& text = d.text;
  EXPECT_EQ(d.tos, 0);  // no precedence: left alone
  EXPECT_FALSE(d.source.ends_with(":514"));
  std::smatch m;
  ASSERT_TRUE(std::regex_match(
      text, m,
      std::regex(
          R"(<134>([A-Z][a-z]{2} [ 1-3]\d) \d\d:\d\d:\d\d cam_host_1\.example INFO {10}\|a+)")))
      << text.substr(0, 60);
  EXPECT_EQ(text.size(), 1024u);
  EXPECT_TRUE(isLocalTimeSince(m[1], false, start)) << m[1];
  EXPECT_TRUE(sent(kLevelWarning, "two\r\nlines\n")
                  .text.ends_with(" cam_host_1.example WARNING       |two  lines "));
}

TEST_F(LogTest, SyslogPriorityIsSeverityPlusEightTimesFacilityAndTheHostNameTheComputers) {
  EXPECT_EQ(JSysLog::sanitiseHostName("Cam-01.site_b host/é"), "Cam-01.site_b_host___");
  JSystemRegistryKey out = syslogOutput();
  out.setDword("Facility", 3);
  out.deleteValue("HostName");
  JLog::reinitialise(0);
  char host[256] = {};
  ::gethostname(host, sizeof host - 1);
  const int severities[13] = {5, 7, 5, 7, 7, 5, 5, 5, 6, 4, 5, 3, 2};
  for (int level = 0; level < 13; ++level) {
    const std::string end = " " + JSysLog::sanitiseHostName(host) + " " + std::to_string(level);
    const std::string text = sent(level, std::to_string(level)).text;
    EXPECT_TRUE(text.starts_with("<" + std::to_string(severities[level] + 24) + ">")) << text;
    EXPECT_TRUE(text.ends_with(end)) << text;
  }
}

TEST_F(LogTest, SyslogLocalPortInterfaceAndPrecedenceByDefaultOrAsSet) {
  // LocalPort 514 by default, the first interface numbered, precedence 5.
  ifaddrs* list = nullptr;
  ASSERT_EQ(::getifaddrs(&list), 0);
  const std::vector<uint32_t> numbered = JSysLog::interfaceAddresses(list);
  ::freeifaddrs(list);
  ASSERT_FALSE(numbered.empty());
  char first[INET_ADDRSTRLEN];
  JSystemRegistryKey out = syslogOutput();
  out.deleteValue("LocalPort");
  out.setDword("IpInterfaceNumber", 1);
  out.setDword("Precedence", 5);
  JLog::reinitialise(0);
  const SyslogServer::Datagram d = sent(kLevelInfo, "x");
  EXPECT_EQ(d.source,
            ::inet_ntop(AF_INET, &numbered[0], first, sizeof first) + std::string(":514"));
  EXPECT_EQ(d.tos, 5 << 5);
}

TEST(SyslogInterfaceNumbers, CountUpInterfacesWithTheLoopbackOnesLast) {
  // As the system lists them: loopback first, a card that is down, an IPv6
  // address and two cards that are up.
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

TEST_F(LogTest, SyslogOutputThatCannotStartSaysWhyAndSendsNothing) {
  Collector& first = collect("first", 1u << kLevelError);
  // Builds the outputs: the syslog one says why it cannot start, in one record.
  const auto refusal = [&] {
    const size_t before = first.texts().size();
    JLog::reinitialise(0);
    JLog::logf(kLevelInfo, "dropped");
    EXPECT_EQ(server_.receive(false).text, "<nothing>");
    const Texts texts = first.texts();
    return texts.size() == before + 1 ? texts.back() : "<" + std::to_string(texts.size()) + ">";
  };
  const std::string why = "SysLog network logging not started: ";
  syslogOutput().deleteValue("Server");
  EXPECT_EQ(refusal(), why + "missing \"Server\" key in registry");
  syslogOutput().setDword("IpInterfaceNumber", 1000);
  EXPECT_TRUE(refusal().starts_with(
      why + "could not find IP interface #1000: invalid interface number : 1000/"));
  // The server's own port, bound without address reuse.
  syslogOutput().setDword("LocalPort", server_.port);
  EXPECT_EQ(refusal(), why + "could not bind on local port (" + std::to_string(server_.port) +
                           "): system call error at function 'bind' : " +
                           std::string(socketErrorText(JSysError::kSocketTag | 10048)));
  // A record of 256 characters: one more than fits the first buffer it is
  // formatted in.
  const std::string resolve = why + "could not resolve syslog server DNS name(";
  const std::string notFound =
      "): system call error at function 'gethostbyname' : No such host is known";
  std::string badName = "no such host!";
  badName.resize(256 - resolve.size() - notFound.size(), 'x');
  syslogOutput().setString("Server", badName);
  EXPECT_EQ(refusal(), resolve + badName + notFound);
}

}  // namespace
}  // namespace zq
