// The logging facility: the record format and its directives, level and
// category filtering, building the outputs from the registry, shutdown and
// re-initialisation, records logged while logging, and many threads at once.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <regex>
#include <thread>

#include "base/error.h"
#include "base/log.h"
#include "base/log_format.h"
#include "base/log_generic.h"
#include "test_log_support.h"

namespace zq {
namespace {

using test::Collector;
using test::LogFixture;

// ---- record format -----------------------------------------------------------

class LogRecordFormat : public LogFixture {
 protected:
  // One in-process output with `format`; returns the record of one message.
  std::string recordOf(const std::string& format, int level, std::string_view message,
                       const char* file = nullptr, int line = 0, const char* category = nullptr,
                       const JTraceableObject* object = nullptr) {
    Collector collector("fmt");
    inProcess("Out", "fmt", 0xFFFFFFFFu, format);
    JLog::reinitialise(0);
    JLog::log(level, message, file, line, category, object);
    auto texts = collector.texts();
    return texts.size() == 1 ? texts[0] : "<" + std::to_string(texts.size()) + " records>";
  }
};

std::string localStamp(time_t t) {
  struct tm tm;
  ::localtime_r(&t, &tm);
  char buf[64];
  std::strftime(buf, sizeof buf, "%m/%d/%Y %H:%M:%S", &tm);
  return buf;
}

TEST_F(LogRecordFormat, DateLevelMessageRecord) {
  const time_t before = ::time(nullptr);
  const std::string record = recordOf("%d %w %m", kLevelInfo, "started");
  const time_t after = ::time(nullptr);
  ASSERT_TRUE(std::regex_match(
      record, std::regex(R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\.\d{3} INFO {10} started)")))
      << record;
  const std::string stamp = record.substr(0, 19);
  EXPECT_TRUE(stamp == localStamp(before) || stamp == localStamp(after)) << stamp;
}

TEST_F(LogRecordFormat, EachDirectiveInEitherCase) {
  JTraceMask mask{0};
  JTraceableObject object("Conn#7", &mask);
  const std::string lower = recordOf("%%|%c|%f|%i|%l|%m|%p|%t|%u|%w|", kLevelWarning, "msg",
                                     "src/x.cpp", 42, "Net", &object);
  char tid[16];
  std::snprintf(tid, sizeof tid, "0x%.8x", static_cast<unsigned>(::gettid()));
  char exe[4096];
  ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe);
  ASSERT_GT(n, 0);
  const std::string expected = "%|Net|src/x.cpp|Conn#7|42|msg|" + std::to_string(::getpid()) + "|" +
                               tid + "|" + std::string(exe, static_cast<size_t>(n)) +
                               "|WARNING       |";
  EXPECT_EQ(lower, expected);
  const std::string upper = recordOf("%%|%C|%F|%I|%L|%M|%P|%T|%U|%W|", kLevelWarning, "msg",
                                     "src/x.cpp", 42, "Net", &object);
  EXPECT_EQ(upper, expected);
}

TEST_F(LogRecordFormat, OtherLettersAreCopiedAndInsertedTextIsNotRescanned) {
  EXPECT_EQ(recordOf("%x %Q %5 [%m] %", kLevelInfo, "100%m %w"), "%x %Q %5 [100%m %w] %");
}

TEST_F(LogRecordFormat, DefaultFormatIsFileLineCategoryTabMessage) {
  Collector collector("dflt");
  JSystemRegistryKey key = output("Out");
  key.setString("Type", "InProcess");
  key.setString("ReceiverID", "dflt");
  key.setDword("WarnLevel", 1u << kLevelInfo);
  JLog::reinitialise(0);
  JLog::log(kLevelInfo, "hello", "src/a.cpp", 12, "Cat", nullptr);
  EXPECT_EQ(collector.texts(), std::vector<std::string>{"src/a.cpp(12) : Cat\thello"});
}

TEST_F(LogRecordFormat, CategoryAndContextRules) {
  JTraceMask mask{0};
  JTraceableObject named("RPC server", &mask);
  JTraceableObject unnamed;
  EXPECT_EQ(recordOf("[%c][%i][%f]", kLevelInfo, "m"), "[_undef_][System][]");
  EXPECT_EQ(recordOf("[%c]", kLevelInfo, "m", nullptr, 0, "Exception CATCH"), "[Exception CATCH]");
  EXPECT_EQ(recordOf("[%c]", kLevelInfo, "m", nullptr, 0, "Network *"), "[Network]");
  EXPECT_EQ(recordOf("[%c]", kLevelInfo, "m", nullptr, 0, "Network*"), "[Network*]");
  EXPECT_EQ(recordOf("[%i]", kLevelInfo, "m", nullptr, 0, nullptr, &named), "[RPC server]");
  char expected[64];
  std::snprintf(expected, sizeof expected, "[[%p]]",
                static_cast<void*>(const_cast<JTraceableObject*>(&unnamed)));
  EXPECT_EQ(recordOf("[%i]", kLevelInfo, "m", nullptr, 0, nullptr, &unnamed), expected);
}

TEST_F(LogRecordFormat, LevelNamesArePaddedToFourteenCharacters) {
  const char* names[] = {
      "UNKNOWN",       "DEBUG",       "ACTIVEX",        "DEBUG",      "TRACE",         "TRACE",
      "TRACE",         "TRACE",       "INFO",           "WARNING",    "EXCEPTION",     "ERROR",
      "CRITICAL",      "DEBUG",       "EXCEPTION",      "TRACE_INFO", "TRACE_COMPORT", "TRACE_FILE",
      "TRACE_NETWORK", "TRACE_STATS", "TRACE_REGISTRY", "TRACE_RPC",  "TRACE_DRIVER",  "UNKNOWN"};
  JTraceMask mask{0xFFFFFFFFu};
  JTraceableObject object("obj", &mask);
  Collector collector("names");
  inProcess("Out", "names", 0xFFFFFFFFu, "%w");
  JLog::reinitialise(0);
  for (int level = 0; level <= 23; ++level) {
    JLog::log(level, "m", nullptr, 0, nullptr, &object);
  }
  auto texts = collector.texts();
  ASSERT_EQ(texts.size(), 24u);
  for (int level = 0; level <= 23; ++level) {
    std::string expected = names[level];
    expected.resize(14, ' ');
    EXPECT_EQ(texts[static_cast<size_t>(level)], expected) << "level " << level;
  }
}

TEST_F(LogRecordFormat, SingleLineOutputsTurnLineBreaksOfTheMessageIntoBlanks) {
  EXPECT_EQ(recordOf("<%m>", kLevelInfo, "one\r\ntwo\nthree\r"), "<one  two three >");
}

TEST_F(LogRecordFormat, FormatEscapesAreUnescapedFromTheRegistry) {
  // a, backslash, n, b: the backslash-n gives CR LF.
  EXPECT_EQ(recordOf("a\\nb", kLevelInfo, "m"), "a\r\nb");
  EXPECT_EQ(recordOf("%m\\t|\\\\|\\q|\\", kLevelInfo, "m"), "m\t|\\|q|\\");
}

TEST(LogFormatUnescape, EachEscapeConsumesExactlyTwoCharacters) {
  EXPECT_EQ(JGenericLog::unescapeFormat("a\\nb"), "a\r\nb");
  EXPECT_EQ(JGenericLog::unescapeFormat("\\\\n"), "\\n");
  EXPECT_EQ(JGenericLog::unescapeFormat("\\%m"), "%m");
  EXPECT_EQ(JGenericLog::unescapeFormat("end\\"), "end\\");
  EXPECT_EQ(JGenericLog::unescapeFormat(""), "");
}

// ---- filtering ---------------------------------------------------------------

using LogFiltering = LogFixture;

TEST_F(LogFiltering, OutputMaskDecidesLevelsBelowThirteen) {
  Collector collector("mask");
  inProcess("Out", "mask", (1u << kLevelWarning) | (1u << kLevelCritical));
  JLog::reinitialise(0);
  for (int level = 0; level < 13; ++level) {
    JLog::logf(level, "level %d", level);
  }
  EXPECT_EQ(collector.texts(), (std::vector<std::string>{"level 9", "level 12"}));
}

TEST_F(LogFiltering, EnablingKeysApplyAfterWarnLevel) {
  Collector collector("keys");
  JSystemRegistryKey key = inProcess("Out", "keys", (1u << kLevelWarning) | (1u << kLevelError));
  key.setDword("EnableLevelWarning", 0);
  key.setDword("EnableLevelInfo", 2);
  key.setDword("EnableLevelActiveXCalls", 1);
  JLog::reinitialise(0);
  for (int level = 1; level < 13; ++level) {
    JLog::logf(level, "level %d", level);
  }
  EXPECT_EQ(collector.texts(), (std::vector<std::string>{"level 2", "level 8", "level 11"}));
}

TEST_F(LogFiltering, WithoutWarnLevelTheMaskStartsEmpty) {
  Collector collector("empty");
  JSystemRegistryKey key = output("Out");
  key.setString("Type", "InProcess");
  key.setString("ReceiverID", "empty");
  key.setString("Format", "%m");
  key.setDword("EnableLevelCritical", 1);
  JLog::reinitialise(0);
  for (int level = 0; level < 13; ++level) {
    JLog::logf(level, "level %d", level);
  }
  EXPECT_EQ(collector.texts(), std::vector<std::string>{"level 12"});
}

TEST_F(LogFiltering, ObjectLevelsPassOnlyByTheObjectsOwnMask) {
  Collector all("all");
  Collector none("none");
  inProcess("All", "all", 0xFFFFFFFFu);
  inProcess("None", "none", 0);
  JLog::reinitialise(0);
  JTraceMask mask{0};
  JTraceableObject object("obj", &mask);
  JTraceableObject maskless("maskless");

  JLog::log(kLevelTraceInfo, "no object", nullptr, 0, nullptr, nullptr);
  JLog::logTraceable(kLevelTraceInfo, &maskless, "no mask");
  JLog::logTraceable(kLevelTraceInfo, &object, "bit clear");
  mask = 1u << kLevelTraceInfo;
  JLog::logTraceable(kLevelTraceInfo, &object, "bit set");
  JLog::logTraceable(kLevelTraceRpc, &object, "other level");
  EXPECT_EQ(all.texts(), std::vector<std::string>{"bit set"});
  EXPECT_EQ(none.texts(), std::vector<std::string>{"bit set"});
}

TEST_F(LogFiltering, ObjectSwitchesTraceAtLevelFourThroughTheOutputMask) {
  Collector traces("traces");
  inProcess("Out", "traces", 1u << kLevelTrace, "%i %m");
  JLog::reinitialise(0);
  JTraceMask mask{0x8};
  JTraceableObject object("sock", &mask);
  object.trace(0x2, "switch %d", 2);
  object.trace(0x8, "switch %d", 8);
  object.trace(0x8 | 0x2, "either");
  EXPECT_EQ(traces.texts(), (std::vector<std::string>{"sock switch 8", "sock either"}));
  EXPECT_TRUE(JTraceableObject::setMaskOf("sock", 0));
  object.trace(0x8, "off");
  EXPECT_EQ(traces.texts().size(), 2u);
}

TEST_F(LogFiltering, CategoryGlobsIncludeThenExclude) {
  Collector collector("globs");
  JSystemRegistryKey key = inProcess("Out", "globs", 0xFFFFFFFFu, "%c");
  key.setString("FilterInclude", "Net*;Rpc?;_undef_");
  key.setString("FilterExclude", "NetDebug;[xy]*");
  JLog::reinitialise(0);
  for (const char* category : {"Network", "NetDebug", "Rpc1", "Rpc12", "Audio", "x", "ynet"}) {
    JLog::log(kLevelInfo, "m", nullptr, 0, category, nullptr);
  }
  JLog::log(kLevelInfo, "m", nullptr, 0, nullptr, nullptr);
  EXPECT_EQ(collector.texts(), (std::vector<std::string>{"Network", "Rpc1", "_undef_"}));
}

TEST_F(LogFiltering, EmptyIncludeListLetsEverythingIn) {
  Collector collector("noinclude");
  JSystemRegistryKey key = inProcess("Out", "noinclude", 0xFFFFFFFFu, "%c");
  key.setString("FilterInclude", "");
  key.setString("FilterExclude", "Audio");
  JLog::reinitialise(0);
  JLog::log(kLevelInfo, "m", nullptr, 0, "Audio", nullptr);
  JLog::log(kLevelInfo, "m", nullptr, 0, "Video", nullptr);
  EXPECT_EQ(collector.texts(), std::vector<std::string>{"Video"});
}

// ---- building the outputs ------------------------------------------------------

using LogConfiguration = LogFixture;

TEST_F(LogConfiguration, TypeOrLogTypeInTheirTwoAcceptedForms) {
  Collector a("a"), b("b"), c("c"), d("d"), e("e");
  inProcess("A", "a").setString("Type", "INPROCESS");
  JSystemRegistryKey kb = inProcess("B", "b");
  kb.deleteValue("Type");
  kb.setString("LogType", "InProcess");
  inProcess("C", "c").setString("Type", "inprocess");
  JSystemRegistryKey kd = inProcess("D", "d");
  kd.setString("LogType", "Nothing");  // "Type" wins
  JSystemRegistryKey ke = inProcess("E", "e");
  ke.setString("Type", "Telnet");
  ke.setDword("TelnetPort", 0);
  JLog::reinitialise(0);
  JLog::logf(kLevelInfo, "x");
  EXPECT_EQ(a.texts().size(), 1u);
  EXPECT_EQ(b.texts().size(), 1u);
  EXPECT_EQ(c.texts().size(), 0u);
  EXPECT_EQ(d.texts().size(), 1u);
  EXPECT_EQ(e.texts().size(), 0u);
}

TEST_F(LogConfiguration, FailingSubkeyIsReportedAndTheNextOneIsBuilt) {
  Collector first("first");
  Collector last("last");
  inProcess("A", "first", 0xFFFFFFFFu, "%w|%c|%m");
  JSystemRegistryKey bad = inProcess("B", "never");
  bad.setString("WarnLevel", "all");
  inProcess("C", "last");
  JLog::reinitialise(0);
  const std::string failure =
      "system call error at function 'Function=RegQueryValueEx, "
      "key=HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvanta\\Log\\B' : Invalid argument";
  EXPECT_EQ(first.texts(), (std::vector<std::string>{"EXCEPTION     |Exception THROW|" + failure,
                                                     "EXCEPTION     |Exception CATCH|" + failure}));
  JLog::logf(kLevelInfo, "after");
  EXPECT_EQ(last.texts(), std::vector<std::string>{"after"});
}

TEST_F(LogConfiguration, InProcessOutputWithoutReceiverIdSaysSo) {
  Collector first("first");
  inProcess("A", "first", 0xFFFFFFFFu, "%w|%m");
  JSystemRegistryKey noId = output("B");
  noId.setString("Type", "InProcess");
  noId.setDword("WarnLevel", 0xFFFFFFFFu);
  JLog::reinitialise(0);
  EXPECT_EQ(first.texts(),
            std::vector<std::string>{"ERROR         |In process output logging not starting: "
                                     "missing \"ReceiverID\" entry in registry."});
}

TEST_F(LogConfiguration, UnregisteredReceiverDropsRecordsUntilItRegisters) {
  inProcess("Out", "later");
  JLog::reinitialise(0);
  JLog::logf(kLevelInfo, "dropped");
  Collector later("later");
  JLog::logf(kLevelInfo, "kept");
  EXPECT_EQ(later.texts(), std::vector<std::string>{"kept"});
}

TEST_F(LogConfiguration, OutputsReceiveRecordsInRegistryOrder) {
  std::vector<std::string> order;
  struct Recorder : JInProcessLogReceiver {
    std::vector<std::string>* order;
    std::string name;
    void write(int, const std::string&, const std::string&, int) override {
      order->push_back(name);
    }
  };
  Recorder z, a;
  z.order = a.order = &order;
  z.name = "Z";
  a.name = "A";
  JLog::registerReceiver("z", &z);
  JLog::registerReceiver("a", &a);
  inProcess("Zulu", "z");
  inProcess("Alpha", "a");
  JLog::reinitialise(0);
  JLog::logf(kLevelInfo, "x");
  JLog::unregisterReceiver("z");
  JLog::unregisterReceiver("a");
  EXPECT_EQ(order, (std::vector<std::string>{"Z", "A"}));
}

TEST_F(LogConfiguration, DefaultConsoleWhenAskedAndNoConsoleConfigured) {
  // No Log key can even be made: the failure is reported to no output, and
  // the default console still comes.
  test::TempDir other;
  { std::ofstream(other.path() / "plain") << "x"; }
  ::setenv("ZQ_REGISTRY_DIR", (other.path() / "plain" / "sub").c_str(), 1);
  test::StderrToFile err;
  JLog::reinitialise(JLog::kDefaultConsole);
  for (int level = 1; level < 13; ++level) {
    JLog::logf(level, "level %d", level);
  }
  JLog::shutdown();
  const std::string text = err.text();
  std::vector<std::string> lines;
  std::regex line(R"((\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\.\d{3}) (.{14}) (.*)\n)");
  for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it) {
    lines.push_back((*it)[2].str() + (*it)[3].str());
  }
  EXPECT_EQ(lines, (std::vector<std::string>{"DEBUG         level 3", "TRACE         level 4",
                                             "TRACE         level 5", "TRACE         level 6",
                                             "TRACE         level 7", "INFO          level 8",
                                             "EXCEPTION     level 10", "ERROR         level 11"}))
      << text;
}

TEST_F(LogConfiguration, ConfiguredConsoleReplacesTheDefaultOne) {
  JSystemRegistryKey console = output("Console");
  console.setString("Type", "CONSOLE");
  console.setDword("WarnLevel", 1u << kLevelError);
  console.setString("Format", "%w%m");
  test::StderrToFile err;
  JLog::reinitialise(JLog::kDefaultConsole);
  JLog::logf(kLevelInfo, "info");
  JLog::logf(kLevelError, "two\nlines \r\n\t ");
  JLog::shutdown();
  EXPECT_EQ(err.text(), "ERROR         two\nlines\n");
}

// ---- lifecycle -----------------------------------------------------------------

using LogLifecycle = LogFixture;

TEST_F(LogLifecycle, FirstRecordInitialisesLazily) {
  Collector collector("lazy");
  inProcess("Out", "lazy");
  JLog::shutdown();
  JLog::logf(kLevelInfo, "first");
  EXPECT_EQ(collector.texts(), std::vector<std::string>{"first"});
}

TEST_F(LogLifecycle, ShutdownThenTheNextRecordRereadsTheRegistry) {
  Collector collector("again");
  JSystemRegistryKey key = inProcess("Out", "again", 0xFFFFFFFFu, "1:%m");
  JLog::reinitialise(0);
  JLog::logf(kLevelInfo, "a");
  key.setString("Format", "2:%m");
  JLog::logf(kLevelInfo, "b");
  JLog::shutdown();
  JLog::logf(kLevelInfo, "c");
  EXPECT_EQ(collector.texts(), (std::vector<std::string>{"1:a", "1:b", "2:c"}));
}

TEST_F(LogLifecycle, OutputThatLogsWhileWritingDoesNotReceiveItsOwnRecord) {
  struct Echo : JInProcessLogReceiver {
    std::vector<std::string> seen;
    void write(int, const std::string& record, const std::string&, int) override {
      seen.push_back(record);
      JLog::logf(kLevelInfo, "echo of %s", record.c_str());
    }
  } echo;
  JLog::registerReceiver("echo", &echo);
  Collector other("other");
  inProcess("A", "echo");
  inProcess("B", "other");
  JLog::reinitialise(0);
  JLog::logf(kLevelInfo, "hi");
  JLog::unregisterReceiver("echo");
  EXPECT_EQ(echo.seen, std::vector<std::string>{"hi"});
  EXPECT_EQ(other.texts(), (std::vector<std::string>{"echo of hi", "hi"}));
}

TEST_F(LogLifecycle, ShutdownFromInsideAnOutputWaitsForTheRecordToFinish) {
  struct Stopper : JInProcessLogReceiver {
    int calls = 0;
    void write(int, const std::string&, const std::string&, int) override {
      ++calls;
      JLog::shutdown();
    }
  } stopper;
  JLog::registerReceiver("stopper", &stopper);
  Collector after("after");
  inProcess("A", "stopper");
  inProcess("B", "after");
  JLog::reinitialise(0);
  JLog::logf(kLevelInfo, "one");
  JLog::logf(kLevelInfo, "two");
  JLog::unregisterReceiver("stopper");
  EXPECT_EQ(stopper.calls, 2);
  EXPECT_EQ(after.texts(), (std::vector<std::string>{"one", "two"}));
}

TEST_F(LogLifecycle, ErrorThrownByAnOutputIsCaughtAndLoggedToTheOthers) {
  struct Thrower : JInProcessLogReceiver {
    void write(int, const std::string&, const std::string&, int) override {
      throw JTextError("receiver broke");
    }
  } thrower;
  JLog::registerReceiver("thrower", &thrower);
  Collector other("other");
  inProcess("A", "thrower", 1u << kLevelInfo);
  inProcess("B", "other", 0xFFFFFFFFu, "%c|%m");
  JLog::reinitialise(0);
  EXPECT_NO_THROW(JLog::logf(kLevelInfo, "x"));
  JLog::unregisterReceiver("thrower");
  EXPECT_EQ(other.texts(),
            (std::vector<std::string>{"Exception THROW|receiver broke",
                                      "Exception CATCH|receiver broke", "_undef_|x"}));
}

TEST_F(LogLifecycle, OutputThatThrowsANonErrorKeepsItsPlaceAndShutdownStillWorks) {
  struct Odd : JInProcessLogReceiver {
    int calls = 0;
    void write(int, const std::string&, const std::string&, int) override {
      if (++calls == 1) {
        throw 42;
      }
    }
  } odd;
  JLog::registerReceiver("odd", &odd);
  Collector other("other");
  inProcess("A", "odd", 1u << kLevelInfo);
  JSystemRegistryKey b = inProcess("B", "other", 0xFFFFFFFFu, "%c|%m");
  JLog::reinitialise(0);
  EXPECT_NO_THROW(JLog::logf(kLevelInfo, "one"));
  JLog::logf(kLevelInfo, "two");
  // The throwing output still takes records, the outputs after it got the
  // record it broke on, and the failure was said.
  EXPECT_EQ(odd.calls, 2);
  EXPECT_EQ(other.texts(),
            (std::vector<std::string>{"Exception CATCH|unknown exception thrown by a log output",
                                      "_undef_|one", "_undef_|two"}));
  // A shutdown is not left waiting for a record that will never finish.
  b.setString("Format", "2:%m");
  JLog::shutdown();
  JLog::logf(kLevelInfo, "three");
  JLog::unregisterReceiver("odd");
  EXPECT_EQ(other.texts().back(), "2:three");
}

TEST_F(LogLifecycle, LongFormattedMessagesAreCutAt2047Characters) {
  Collector collector("long");
  inProcess("Out", "long");
  JLog::reinitialise(0);
  const std::string big(3000, 'z');
  JLog::logf(kLevelInfo, "%s", big.c_str());
  JLog::log(kLevelInfo, big, nullptr, 0, nullptr, nullptr);
  auto texts = collector.texts();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0], std::string(2047, 'z'));
  EXPECT_EQ(texts[1], big);
}

// The child process of RecordsAfterExitGoToStandardError: the facility
// object goes at exit, and what is logged after that from level 4 up reaches
// standard error as the bare message. It runs while the program's statics
// are built, before GoogleTest starts, when the parent's variable is set: it
// is no test case of its own, so it is neither listed nor reported skipped.
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

TEST_F(LogLifecycle, RecordsAfterExitGoToStandardError) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::dup2(fds[1], STDERR_FILENO);
    ::dup2(fds[1], STDOUT_FILENO);
    ::close(fds[0]);
    ::setenv("ZQ_TEST_LOG_AFTER_EXIT", "1", 1);
    // The filter matches no test: a child that did not take the path above
    // runs nothing and prints no late record.
    ::execl("/proc/self/exe", "child", "--gtest_filter=NoSuchSuite.NoSuchTest",
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(fds[1]);
  std::string out;
  char buf[4096];
  for (int waited = 0; waited < 30000;) {
    struct pollfd p {
      fds[0], POLLIN, 0
    };
    int r = ::poll(&p, 1, 100);
    waited += 100;
    if (r <= 0) {
      continue;
    }
    ssize_t n = ::read(fds[0], buf, sizeof buf);
    if (n <= 0) {
      break;
    }
    out.append(buf, static_cast<size_t>(n));
  }
  ::close(fds[0]);
  int status = 0;
  if (::waitpid(child, &status, WNOHANG) == 0) {
    ::kill(child, SIGKILL);
    ::waitpid(child, &status, 0);
  }
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << out;
  // A whole line of its own, the only output of the child.
  EXPECT_NE(("\n" + out).find("\nlate warning 9\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("late debug"), std::string::npos) << out;
}

// ---- concurrency ---------------------------------------------------------------

using LogConcurrency = LogFixture;

TEST_F(LogConcurrency, ThreadsProduceWholeRecordsOnly) {
  constexpr int kThreads = 4;
  constexpr int kRecords = 400;
  Collector collector("mt");
  inProcess("Out", "mt", 0xFFFFFFFFu, "[%m]");
  JLog::reinitialise(0);
  JTraceMask mask{1u << kLevelTraceRpc};
  JTraceableObject object("mt-object", &mask);
  std::atomic<bool> go{false};
  std::atomic<bool> restarted{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &go, &restarted, &object] {
      while (!go.load()) {
      }
      for (int i = 0; i < kRecords; ++i) {
        if (i % 2 == 0) {
          JLog::logf(kLevelInfo, "t%d n%d %s", t, i, "payload-payload-payload");
        } else {
          JLog::logTraceable(kLevelTraceRpc, &object, "t%d n%d %s", t, i,
                             "payload-payload-payload");
        }
      }
      while (!restarted.load()) {
        std::this_thread::yield();
      }
      JLog::logf(kLevelInfo, "t%d n%d %s", t, kRecords, "payload-payload-payload");
    });
  }
  // Shutdowns in the middle: records logged by other threads while one runs
  // are dropped, but the outputs come back and no record is ever cut.
  std::thread restarter([&go, &restarted] {
    while (!go.load()) {
    }
    for (int i = 0; i < 5; ++i) {
      JLog::shutdown();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    restarted.store(true);
  });
  go.store(true);
  for (auto& th : threads) {
    th.join();
  }
  restarter.join();
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

TEST_F(LogConcurrency, NameChangesWhileLoggingOnTheObjectsBehalf) {
  Collector collector("names");
  inProcess("Out", "names", 0xFFFFFFFFu, "%i");
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
  EXPECT_EQ(JTraceableObject::maskOf(object.traceName()), 1u << kLevelTraceNetwork);
}

TEST(TraceableRegistry, ListsObjectsWithTheirMasksAndCreationOrder) {
  JTraceMask m1{0x10}, m2{0x20};
  JTraceableObject first("reg-first", &m1);
  JTraceableObject second("reg-second", &m2);
  uint64_t s1 = 0, s2 = 0;
  for (const auto& e : JTraceableObject::list()) {
    if (e.name == "reg-first") {
      EXPECT_EQ(e.mask, 0x10u);
      s1 = e.sequence;
    }
    if (e.name == "reg-second") {
      EXPECT_EQ(e.mask, 0x20u);
      s2 = e.sequence;
    }
  }
  EXPECT_LT(s1, s2);
  EXPECT_TRUE(JTraceableObject::setMaskOf("reg-second", 0x40));
  EXPECT_EQ(m2.load(), 0x40u);
  EXPECT_FALSE(JTraceableObject::setMaskOf("reg-absent", 1));
  EXPECT_EQ(JTraceableObject::maskOf("reg-absent"), 0u);
  {
    JTraceableObject maskless("reg-maskless");
    EXPECT_FALSE(JTraceableObject::setMaskOf("reg-maskless", 1));
  }
  for (const auto& e : JTraceableObject::list()) {
    EXPECT_NE(e.name, "reg-maskless");
  }
}

}  // namespace
}  // namespace zq
