// The logging facility and its in-process, console, rotating file and syslog outputs; the error
// hierarchy: messages and text sources chosen by a code's top bits.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <latch>
#include <map>
#include <mutex>
#include <regex>
#include <sstream>
#include <thread>

#include "base/error.h"
#include "base/log.h"
#include "base/log_syslog.h"
#include "base/registry_key.h"
#include "helpers/log_capture.h"
#include "helpers/temp_dir.h"

namespace zq {
namespace {

namespace fs = std::filesystem;
using Texts = std::vector<std::string>;

struct Collector : JInProcessLogReceiver {
  explicit Collector(std::string name) : id(std::move(name)) { JLog::registerReceiver(id, this); }
  ~Collector() override { JLog::unregisterReceiver(id); }
  void write(int, const std::string& record, const std::string&, int) override {
    std::lock_guard lock(mutex);
    records.push_back(record);
  }
  Texts texts() const {
    std::lock_guard lock(mutex);
    return records;
  }

  const std::string id;
  mutable std::mutex mutex;
  Texts records;
};

// The seconds of the clock the log stamps its records with: time() reads a coarser one, once
// seen to say 20:38:31 before a record was stamped 20:38:30.005.
time_t logClockSeconds() {
  timeval tv{};
  ::gettimeofday(&tv, nullptr);
  return tv.tv_sec;
}

bool isLocalTimeSince(const std::string& text, bool dateAndTime, time_t from) {
  char buf[32];
  for (time_t t = from; t <= logClockSeconds(); ++t) {
    struct tm tm;
    std::strftime(buf, sizeof buf, dateAndTime ? "%m/%d/%Y %H:%M:%S" : "%b %e",
                  ::localtime_r(&t, &tm));
    if (buf == text)
      return true;
  }
  return false;
}

// A UDP server on 127.0.0.1; tells the source port and the TOS byte of what it receives.
struct SyslogServer {
  struct Datagram {
    std::string text;
    int port = 0, tos = -1;
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
  Datagram receive(bool wait = true) {
    char buf[4096], control[256];
    sockaddr_in from{};
    iovec iov{buf, sizeof buf};
    msghdr msg{&from, sizeof from, &iov, 1, control, sizeof control, 0};
    const ssize_t n = ::recvmsg(fd, &msg, wait ? 0 : MSG_DONTWAIT);
    if (n < 0)
      return {"<nothing>"};
    Datagram d{std::string(buf, static_cast<size_t>(n)), ntohs(from.sin_port)};
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c))
      d.tos = c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TOS ? *CMSG_DATA(c) : d.tos;
    return d;
  }

  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  uint16_t port = 0;
};

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override { JLog::shutdown(); }  // outputs a test of another suite built
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
  JSystemRegistryKey syslogOutput(const std::string& name = "Syslog") {
    JSystemRegistryKey out = output(name, "SysLog");
    out.setString("Server", "127.0.0.1");
    out.setDword("ServerPort", server_.port);
    out.setDword("LocalPort", 0);
    out.setString("HostName", "camera");
    return out;
  }
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
  JTraceableObject unnamed;
  char self[32];
  std::snprintf(self, sizeof self, "[[%p]]", static_cast<const void*>(&unnamed));
  // Format (none: the default), message, category, object, record.
  const std::tuple<const char*, const char*, const char*, const JTraceableObject*, std::string>
      cases[] = {
          // Other letters are copied; what a directive inserts is not scanned again.
          {"%x %Q %5 [%m] %", "100%m %w", nullptr, nullptr, "%x %Q %5 [100%m %w] %"},
          {"[%c][%i][%f]", "m", nullptr, nullptr, "[_undef_][System][]"},
          {"[%c]", "m", "Network *", nullptr, "[Network]"},
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

TEST_F(LogTest, EveryDirectiveInEitherCaseAndLevelNamesOfFourteenCharacters) {
  Collector& names = collect("names", ~0u, "%w");
  JLog::reinitialise(0);
  JTraceMask mask{~0u};
  JTraceableObject object("Conn#7", &mask);
  Texts expected;
  std::istringstream levels(
      "UNKNOWN DEBUG ACTIVEX DEBUG TRACE TRACE TRACE TRACE INFO WARNING EXCEPTION ERROR "
      "CRITICAL DEBUG EXCEPTION TRACE_INFO TRACE_COMPORT TRACE_FILE TRACE_NETWORK TRACE_STATS "
      "TRACE_REGISTRY TRACE_RPC TRACE_DRIVER UNKNOWN");
  for (std::string name; levels >> name;) {
    JLog::log(static_cast<int>(expected.size()), "m", nullptr, 0, nullptr, &object);
    expected.push_back(name.append(14 - name.size(), ' '));
  }
  EXPECT_EQ(names.texts(), expected);
  Collector& both = collect("lower", ~0u, "%%|%C|%F|%I|%L|%M|%P|%T|%U|%W|");
  JLog::reinitialise(0);
  // From a thread whose id shows a hex letter, so that the case of %t shows.
  std::string tid;
  for (int i = 0; i < 1000 && tid.find_first_of("abcdef") == std::string::npos; ++i) {
    std::thread([&] {
      char buf[16];
      std::snprintf(buf, sizeof buf, "0x%.8x", static_cast<unsigned>(::gettid()));
      if ((tid = buf).find_first_of("abcdef") != std::string::npos)
        JLog::log(kLevelWarning, "msg", "src/x.cpp", 42, "Net", &object);
    }).join();
  }
  const std::string exe = fs::read_symlink("/proc/self/exe").string();
  EXPECT_EQ(both.texts(), Texts(1, "%|Net|src/x.cpp|Conn#7|42|msg|" + std::to_string(::getpid()) +
                                       "|" + tid + "|" + exe + "|WARNING       |"));
}

TEST_F(LogTest, LevelsPassByTheOutputsMaskBelowThirteenAndByTheObjectsAbove) {
  Collector& plain = collect("plain", (1u << 9) | (1u << 12));
  // Enabling keys apply after WarnLevel, whatever their order; without it the mask is empty.
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
  JTraceableObject object("obj", &mask);
  JLog::log(kLevelTraceInfo, "level 15", nullptr, 0, nullptr, nullptr);
  JLog::logTraceable(kLevelTraceRpc, &object, "level 21");
  JLog::logTraceable(kLevelTraceInfo, &object, "object's level 15");
  EXPECT_EQ(plain.texts(), (Texts{"level 9", "level 12", "object's level 15"}));
  EXPECT_EQ(enabled.texts(), (Texts{"level 2", "level 8", "level 11", "object's level 15"}));
  EXPECT_EQ(empty.texts(), (Texts{"level 12", "object's level 15"}));
}

TEST_F(LogTest, CategoryGlobsIncludeThenExclude) {
  Collector& globs = collect("globs", ~0u, "%c");
  key("globs").setString("FilterInclude", "Net*;Rpc?;_undef_");
  key("globs").setString("FilterExclude", "NetDebug;[xy]*");
  JLog::reinitialise(0);
  for (const char* category : {"Network", "NetDebug", "Rpc1", "Rpc12", "Audio", "x", "ynet", ""})
    JLog::log(kLevelInfo, "m", nullptr, 0, *category != 0 ? category : nullptr, nullptr);
  EXPECT_EQ(globs.texts(), (Texts{"Network", "Rpc1", "_undef_"}));
}

TEST_F(LogTest, OutputsThatCannotBeBuiltOrStartedSayWhyAndTheOthersAreBuiltInRegistryOrder) {
  Collector& first = collect("first", ~0u, "%w|%c|%m");
  inProcess("B", "never").setString("WarnLevel", "all");
  inProcess("C", "none").deleteValue("ReceiverID");
  syslogOutput("D").deleteValue("Server");
  // A refusal of 256 characters: one more than fits the first buffer formatting it.
  const std::string why = "SysLog network logging not started: ";
  const std::string resolve = why + "could not resolve syslog server DNS name(";
  const std::string notFound =
      "system call error at function 'gethostbyname' : No such host is known";
  std::string badName = "no such host!";
  badName.resize(256 - (resolve + "): " + notFound).size(), 'x');
  syslogOutput("E").setString("Server", badName);
  inProcess("Z", "later", ~0u, "Z %m");
  inProcess("A", "later", ~0u, "A %m").setString("Type", "INPROCESS");
  JLog::reinitialise(0);
  const std::string failure =
      "system call error at function 'Function=RegQueryValueEx, "
      "key=HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvanta\\Log\\B' : Invalid argument";
  const std::string thrown = "EXCEPTION     |Exception THROW|", error = "ERROR         |_undef_|";
  EXPECT_EQ(first.texts(),
            (Texts{thrown + failure, "EXCEPTION     |Exception CATCH|" + failure,
                   error + "In process output logging not starting: missing "
                           "\"ReceiverID\" entry in registry.",
                   error + why + "missing \"Server\" key in registry", thrown + notFound,
                   error + resolve + badName + "): " + notFound}));
  JLog::logf(kLevelInfo, "dropped");  // until the receiver registers
  Collector later("later");
  JLog::logf(kLevelInfo, "x");
  EXPECT_EQ(later.texts(), (Texts{"Z x", "A x"}));
  EXPECT_EQ(server_.receive(false).text, "<nothing>");
}

TEST_F(LogTest, OutputThatThrowsLogsOrShutsDownWhileWriting) {
  // Its throws are reported; it gets nothing it logs; its shutdown waits for the record.
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
  for (const char* message : {"broke", "threw", "one"})
    EXPECT_NO_THROW(JLog::log(kLevelInfo, message, nullptr, 0, nullptr, nullptr));
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

// The child of DefaultConsoleAndRecordsAfterExitGoToStandardError, run before GoogleTest starts.
[[maybe_unused]] const bool g_logAfterExitChild = [] {
  if (std::getenv("ZQ_TEST_LOG_AFTER_EXIT") == nullptr)
    return false;
  std::atexit([] {
    JLog::logf(kLevelDebug, "late debug");
    JLog::logf(kLevelWarning, "late warning %d", 9);
  });
  // The facility, built here, registers its exit handler after ours.
  JLog::reinitialise(JLog::kDefaultConsole);
  for (int level = 1; level < 13; ++level)
    JLog::logf(level, "level %d", level);
  std::exit(0);
}();

TEST_F(LogTest, DefaultConsoleAndRecordsAfterExitGoToStandardErrorOnly) {
  // No Log key can be made: the failure goes to no output; the console takes levels 3 to 8, 10
  // and 11. Once the facility is gone, records from level 4 up reach standard error bare.
  std::ofstream(work_.path() / "plain") << "x";
  const std::string command =
      "ZQ_TEST_LOG_AFTER_EXIT=1 ZQ_REGISTRY_DIR='" + (work_.path() / "plain" / "sub").string() +
      "' timeout 60 '" + fs::read_symlink("/proc/self/exe").string() +
      "' --gtest_filter=NoSuchSuite.NoSuchTest >'" + (work_.path() / "output").string() + "' 2>&1";
  const time_t start = logClockSeconds();
  EXPECT_EQ(std::system(command.c_str()), 0);
  std::ifstream in(work_.path() / "output");  // standard output holds nothing
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  EXPECT_TRUE(isLocalTimeSince(text.substr(0, 19), true, start)) << text;
  EXPECT_EQ(
      std::regex_replace(text, std::regex(R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\.\d{3} )"), ""),
      "DEBUG          level 3\nTRACE          level 4\nTRACE          level 5\nTRACE          "
      "level 6\nTRACE          level 7\nINFO           level 8\nEXCEPTION      level 10\n"
      "ERROR          level 11\nlate warning 9\n");
}

TEST_F(LogTest, ThreadsProduceWholeRecordsOnlyThroughShutdownsAndRenames) {
  constexpr int kThreads = 3, kRecords = 200;
  Collector& collector = collect("mt", ~0u, "[%i %m]");
  JLog::reinitialise(0);
  JTraceMask mask{(1u << kLevelTraceRpc) | 0x8};
  JTraceableObject object("a", &mask);
  std::latch go(kThreads + 1);
  std::vector<std::jthread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      go.arrive_and_wait();
      for (int i = 0; i < kRecords; ++i) {
        if (t == 0)
          object.setTraceName(i % 2 == 0 ? "bb" : "a");
        // By level, or at level 4 when any of the switches is on.
        i % 2 == 0 ? JLog::logTraceable(kLevelTraceRpc, &object, "t%d n%d payload", t, i)
                   : object.trace(0x2 | 0x8, "t%d n%d payload", t, i);
      }
    });
  }
  // Records logged during a shutdown are dropped, but no record is ever cut, and the facility
  // comes back for the next one.
  go.arrive_and_wait();
  for (int i = 0; i < 5; ++i) {
    JLog::shutdown();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  threads.clear();
  JLog::logTraceable(kLevelTraceRpc, &object, "t0 n%d payload", kRecords);
  const std::regex whole(R"(\[(?:a|bb) t(\d) n(\d+) payload\])");
  std::vector<std::vector<int>> seen(kThreads);
  for (const std::string& text : collector.texts()) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(text, m, whole)) << text;
    seen[static_cast<size_t>(std::stoi(m[1]))].push_back(std::stoi(m[2]));
  }
  for (const auto& numbers : seen)
    EXPECT_TRUE(std::is_sorted(numbers.begin(), numbers.end()));
  EXPECT_EQ(seen[0].empty() ? -1 : seen[0].back(), kRecords);
}

// Of the files of `dir` named by `pattern`: each record's count and the sizes, smallest first.
std::pair<std::map<int, int>, std::vector<uintmax_t>> logFiles(const fs::path& dir,
                                                               const char* pattern = "ZQ_Log_.*") {
  std::pair<std::map<int, int>, std::vector<uintmax_t>> found;
  const std::regex record(R"(rec (\d+) x*\r\n)"), name(pattern);
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (!std::regex_match(entry.path().filename().string(), name))
      continue;
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    for (std::sregex_iterator it(text.begin(), text.end(), record), end; it != end; ++it)
      ++found.first[std::stoi((*it)[1])];
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

TEST_F(LogTest, FileRotationBySizeAndCleanUpOfTheOldestFiles) {
  // MaxLogFileSize, MaxLogDirSize (-1: defaults); old files and their size; records of 16
  // bytes; the sizes of the new files; old files deleted, oldest first.
  const std::tuple<const char*, int, int, int, uintmax_t, int, std::vector<uintmax_t>, int>
      cases[] = {
          // 20 x 600 000 bytes: the three oldest go to fit 10 MB.
          {"64 KB files and 10 MB by default", -1, -1, 20, 600000, 5000, {14464, 65536}, 3},
          {"2 KB files, filled exactly", 2, 0, 0, 0, 300, {704, 2048, 2048}, 0},
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
    const auto [seen, sizes] =
        logFiles(dir, R"(ZQ_Log_base_test_log_\d\d_\d\d_\d{4}_\d\d_\d\d_\d\d_\d{1,6}\.log)");
    EXPECT_EQ(sizes, newSizes);
    EXPECT_EQ(seen.size(), static_cast<size_t>(records));
    EXPECT_TRUE(std::ranges::all_of(seen, [](const auto& e) { return e.second == 1; }));
    for (int k = 0; k < oldFiles; ++k)
      EXPECT_EQ(fs::exists(dir / ("ZQ_Log_old" + std::to_string(k))), k >= deleted) << k;
  }
}

TEST_F(LogTest, FileThatCannotBeWrittenOrOpenedIsDroppedAndTheNextRecordTriesAgain) {
  Collector& errors = collect("errors", 1u << kLevelException, "%c|%m");
  const fs::path dir = work_.path() / "logs", moved = work_.path() / "moved";
  JSystemRegistryKey out = fileOutput(dir);
  out.setDword("MaxLogFileSize", 0);
  JLog::reinitialise(0);
  // Files may not grow past 4 000 bytes: 0 to 39 fill a file, 40 is lost with it, 41 starts one.
  struct rlimit saved;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  const struct rlimit small { 4000, saved.rlim_max };
  auto previousHandler = ::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  logRecords(0, 42, 100);
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, previousHandler);
  // 1 KB files: 42 to 52 fill a third; then no file can be created: the full one stays full.
  // Two more make no file: one not allowed, one whose directory cannot be made.
  out.setDword("MaxLogFileSize", 1);
  fileOutput(work_.path() / "none", "Single").deleteValue("AllowMultiple");
  std::ofstream(work_.path() / "plain") << "x";
  fileOutput(work_.path() / "plain" / "logs", "Unmade").setString("Type", "FILE");
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
  EXPECT_EQ(std::ranges::count(errors.texts(), failed + "'CreateDirectory' : Not a directory"), 1);
  EXPECT_FALSE(fs::exists(work_.path() / "none"));
}

TEST_F(LogTest, SyslogDatagramsPriorityDateHostPortAndPrecedence) {
  JSystemRegistryKey out = syslogOutput();
  out.setString("HostName", "cam host#1.example");
  out.setString("Format", "%w|%m");
  JLog::reinitialise(0);
  const time_t start = logClockSeconds();
  SyslogServer::Datagram d = sent(kLevelInfo, std::string(3000, 'a'));
  EXPECT_NE(d.port, 514);
  EXPECT_EQ(d.tos, 0);  // no precedence: left alone
  const std::regex datagram(
      R"(<134>([A-Z][a-z]{2} [ 1-3]\d) \d\d:\d\d:\d\d cam_host_1\.example INFO {10}\|a+)");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(d.text, m, datagram)) << d.text.substr(0, 60);
  EXPECT_EQ(d.text.size(), 1024u);  // one line, cut
  EXPECT_TRUE(isLocalTimeSince(m[1], false, start)) << m[1];
  // Severity plus 8 times the facility; LocalPort 514 by default; the precedence.
  out = syslogOutput();
  out.setDword("Facility", 3);
  JLog::reinitialise(0);
  const int severities[13] = {5, 7, 5, 7, 7, 5, 5, 5, 6, 4, 5, 3, 2};
  for (int level = 0; level < 13; ++level) {
    const std::string text = sent(level, std::to_string(level)).text;
    EXPECT_TRUE(text.starts_with("<" + std::to_string(severities[level] + 24) + ">")) << text;
    EXPECT_TRUE(text.ends_with(" camera " + std::to_string(level))) << text;
  }
  out.deleteValue("LocalPort");
  out.setDword("IpInterfaceNumber", 1);
  out.setDword("Precedence", 5);
  JLog::reinitialise(0);
  d = sent(kLevelInfo, "x");
  EXPECT_EQ(d.port, 514);
  EXPECT_EQ(d.tos, 5 << 5);
}

TEST(SyslogInterfaceNumbers, CountUpInterfacesWithTheLoopbackOnesLast) {
  // Loopback first, as the system lists it, a card down, an IPv6 address, two cards up.
  const char* names[] = {"lo", "eth0", "eth1", "eth0", "eth2", "lo"};
  const char* addresses[] = {"127.0.0.1", "127.1.0.1", "127.2.0.1", "", "127.3.0.1", "127.0.0.2"};
  const unsigned flags[] = {IFF_UP | IFF_LOOPBACK, IFF_UP, 0, IFF_UP, IFF_UP,
                            IFF_UP | IFF_LOOPBACK};
  sockaddr_in in[6]{};
  ifaddrs list[6]{};
  for (size_t i = 0; i < 6; ++i) {
    in[i].sin_family = i == 3 ? AF_INET6 : AF_INET;
    ::inet_pton(AF_INET, addresses[i], &in[i].sin_addr);
    list[i].ifa_next = i < 5 ? &list[i + 1] : nullptr;
    list[i].ifa_name = const_cast<char*>(names[i]);
    list[i].ifa_flags = flags[i];
    list[i].ifa_addr = reinterpret_cast<sockaddr*>(&in[i]);
  }
  EXPECT_EQ(JSysLog::interfaceAddresses(list),
            (std::vector<uint32_t>{::inet_addr("127.1.0.1"), ::inet_addr("127.3.0.1"),
                                   ::inet_addr("127.0.0.1"), ::inet_addr("127.0.0.2")}));
}

constexpr uint32_t kSocket = JSysError::kSocketTag;

TEST(ErrorMessages, TheTagSelectsTheTextSourceAndEachClassComposesItsMessage) {
  const std::tuple<uint32_t, const char*, const char*> cases[] = {
      {ENOENT, "CreateFile", "No such file or directory"},
      {10100, "send", "unknown error"},
      {kSocket | 10061, "WSAConnect",
       "No connection could be made because the target machine actively refused it"},
      {kSocket | 10100, "send", "Unknown socket error"},
      {JSysError::kWaveInTag | 33, "waveInStop", "The device is still recording."},
      {JSysError::kWaveOutTag | 33, "waveOutClose", "The device is still playing."},
      {JSysError::kWaveInTag | 999, "waveInOpen", "unknown error"},
  };
  for (const auto& [code, function, text] : cases)
    EXPECT_EQ(JSysError(code, function).message(),
              std::string("system call error at function '") + function + "' : " + text);
  const JSysError sys(kSocket | 10040, "WSAJoinLeaf", 17);
  EXPECT_EQ(std::tuple(sys.code(), std::string(sys.function()), sys.tag(), JSysError(1, "x").tag()),
            std::tuple(kSocket | 10040, "WSAJoinLeaf", 17, 100));
  EXPECT_EQ(JTextError(std::string(400, 'a')).message(), std::string(255, 'a'));
  const std::string denied = JNtDllError(static_cast<int32_t>(0xC0000022u), "NtOpen").message();
  EXPECT_TRUE(denied.starts_with("system call error at function 'NtOpen' : {Access Denied}"))
      << denied;
  // Line and class survive a clone.
  const unsigned line = __LINE__ + 1;
  const JNoSpaceLeftError original(ENOSPC, "WriteFile");
  std::unique_ptr<JError> copy = original.clone();
  ASSERT_NE(dynamic_cast<JNoSpaceLeftError*>(copy.get()), nullptr);
  EXPECT_EQ(std::tuple(original.line(), copy->line(), copy->message()),
            std::tuple(line, line, original.message()));
  // A caller's buffer cuts and terminates a system message, and leaves a generic one out whole.
  JSysError error(kSocket | 10054, "recv");
  char buffer[16], one[1] = {'x'}, small[8] = "xxxxxxx", exact[11];
  std::memset(buffer, 'x', sizeof buffer);
  error.getMessage(buffer, sizeof buffer);
  error.getMessage(one, 1);
  JGenericError generic("0123456789");
  generic.getMessage(small, sizeof small);
  generic.getMessage(exact, sizeof exact);
  EXPECT_EQ(std::tuple(std::string(buffer), one[0], std::string(small), std::string(exact)),
            std::tuple("system call err", '\0', "", "0123456789"));
}

}  // namespace
}  // namespace zq
