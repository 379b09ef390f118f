// The rotating log file output on a real directory: file names and contents,
// rotation by size, the clean-up of old files, and what happens when writing
// or opening fails.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>
#include <map>
#include <regex>
#include <set>

#include "base/log.h"
#include "test_log_support.h"

namespace zq {
namespace {

namespace fs = std::filesystem;
using test::Collector;

std::string readAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<fs::path> logFiles(const fs::path& dir) {
  std::vector<fs::path> files;
  if (!fs::exists(dir)) {
    return files;
  }
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.path().filename().string().starts_with("ZQ_Log_")) {
      files.push_back(entry.path());
    }
  }
  return files;
}

// Records "rec <n> <padding>" split back out of every file.
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

class LogFile : public test::LogFixture {
 protected:
  // A "File" output writing "%m" records into `dir`.
  JSystemRegistryKey fileOutput(const fs::path& dir) {
    JSystemRegistryKey key = output("File");
    key.setString("Type", "File");
    key.setDword("AllowMultiple", 1);
    key.setString("LogDirectory", dir.string());
    key.setDword("WarnLevel", 1u << kLevelInfo);
    key.setString("Format", "%m");
    return key;
  }
  // A record of exactly `size` bytes once CR LF is added.
  static void logRecord(int n, size_t size) {
    std::string text = "rec " + std::to_string(n) + " ";
    text.resize(size - 2, 'x');
    JLog::log(kLevelInfo, text, nullptr, 0, nullptr, nullptr);
  }

  test::TempDir work_;
  fs::path dir_ = work_.path() / "logs";
};

TEST_F(LogFile, RecordsGoIntoOneFileNamedAfterTheProgramAndTheTime) {
  fileOutput(dir_);
  JLog::reinitialise(0);
  JLog::logf(kLevelInfo, "first");
  JLog::logf(kLevelInfo, "second line\n");
  JLog::logf(kLevelWarning, "not enabled");
  JLog::shutdown();
  auto files = logFiles(dir_);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_TRUE(std::regex_match(
      files[0].filename().string(),
      std::regex(R"(ZQ_Log_base_test_log_file_\d\d_\d\d_\d{4}_\d\d_\d\d_\d\d_\d{1,6}\.log)")))
      << files[0];
  EXPECT_EQ(readAll(files[0]), "first\r\nsecond line\n");
}

TEST_F(LogFile, DirectoryIsCreatedWhenTheOutputIsBuilt) {
  fileOutput(dir_ / "a" / "b");
  JLog::reinitialise(0);
  EXPECT_TRUE(fs::is_directory(dir_ / "a" / "b"));
  EXPECT_TRUE(logFiles(dir_ / "a" / "b").empty());
}

TEST_F(LogFile, NoFileWithoutAllowMultiple) {
  JSystemRegistryKey key = fileOutput(dir_);
  key.deleteValue("AllowMultiple");
  JSystemRegistryKey other = output("Other");
  other.setString("Type", "FILE");
  other.setDword("AllowMultiple", 0);
  other.setString("LogDirectory", (work_.path() / "other").string());
  other.setDword("WarnLevel", 0xFFFFFFFFu);
  JLog::reinitialise(0);
  JLog::logf(kLevelInfo, "nowhere");
  EXPECT_FALSE(fs::exists(dir_));
  EXPECT_FALSE(fs::exists(work_.path() / "other"));
}

TEST_F(LogFile, EmptyLogDirectoryWritesAndCreatesNothing) {
  const fs::path cwd = fs::current_path();
  test::TempDir here;
  fs::current_path(here.path());
  fileOutput("");
  JLog::reinitialise(0);
  JLog::logf(kLevelInfo, "nowhere");
  JLog::shutdown();
  const bool empty = fs::is_empty(here.path());
  fs::current_path(cwd);
  EXPECT_TRUE(empty);
}

TEST_F(LogFile, FullFilesAreFollowedByNewOnesAndNoRecordIsLost) {
  fileOutput(dir_).setDword("MaxLogFileSize", 1);  // 1 024 bytes
  JLog::reinitialise(0);
  constexpr int kRecords = 200;
  for (int i = 0; i < kRecords; ++i) {
    logRecord(i, 100);
  }
  JLog::shutdown();
  auto files = logFiles(dir_);
  // Eleven 100-byte records reach 1 024 bytes: a file holds 11 records.
  EXPECT_EQ(files.size(), static_cast<size_t>((kRecords + 10) / 11));
  for (const fs::path& f : files) {
    EXPECT_LE(fs::file_size(f), 1100u) << f;
  }
  auto seen = recordsIn(files);
  ASSERT_EQ(seen.size(), static_cast<size_t>(kRecords));
  for (const auto& [n, count] : seen) {
    EXPECT_EQ(count, 1) << "record " << n;
  }
}

TEST_F(LogFile, MaxLogFileSizeZeroNeverRotates) {
  fileOutput(dir_).setDword("MaxLogFileSize", 0);
  JLog::reinitialise(0);
  for (int i = 0; i < 800; ++i) {
    logRecord(i, 100);
  }
  JLog::shutdown();
  auto files = logFiles(dir_);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(fs::file_size(files[0]), 80000u);
}

class LogFileCleanUp : public LogFile {
 protected:
  // Three old 600 000-byte log files, oldest first, and a file that is not a
  // log file.
  void SetUp() override {
    fs::create_directories(dir_);
    const auto now = fs::file_time_type::clock::now();
    for (int i = 0; i < 3; ++i) {
      const fs::path p = dir_ / ("ZQ_Log_old" + std::to_string(i) + ".log");
      std::ofstream(p) << "old";
      fs::resize_file(p, 600000);
      fs::last_write_time(p, now - std::chrono::hours(3 - i));
    }
    std::ofstream(dir_ / "notes.txt") << "x";
    fs::resize_file(dir_ / "notes.txt", 3000000);
  }
};

TEST_F(LogFileCleanUp, OldestFilesGoUntilTheDirectoryFits) {
  fileOutput(dir_).setDword("MaxLogDirSize", 1);  // 1 048 576 bytes
  JLog::reinitialise(0);
  logRecord(0, 100);
  JLog::shutdown();
  EXPECT_FALSE(fs::exists(dir_ / "ZQ_Log_old0.log"));
  EXPECT_FALSE(fs::exists(dir_ / "ZQ_Log_old1.log"));
  EXPECT_TRUE(fs::exists(dir_ / "ZQ_Log_old2.log"));
  EXPECT_TRUE(fs::exists(dir_ / "notes.txt"));
  EXPECT_EQ(logFiles(dir_).size(), 2u);
}

TEST_F(LogFileCleanUp, RotationCleansUpToo) {
  JSystemRegistryKey key = fileOutput(dir_);
  key.setDword("MaxLogDirSize", 2);
  key.setDword("MaxLogFileSize", 400);  // 409 600 bytes
  JLog::reinitialise(0);
  // 1 800 000 old bytes fit in 2 MB when the first new file opens; once it is
  // full, opening the next one finds 2 209 600 bytes: the oldest file goes.
  for (int i = 0; i < 4096; ++i) {
    logRecord(i, 100);
  }
  EXPECT_TRUE(fs::exists(dir_ / "ZQ_Log_old0.log"));
  logRecord(4096, 100);
  JLog::shutdown();
  EXPECT_FALSE(fs::exists(dir_ / "ZQ_Log_old0.log"));
  EXPECT_TRUE(fs::exists(dir_ / "ZQ_Log_old1.log"));
  EXPECT_EQ(recordsIn(logFiles(dir_)).size(), 4097u);
}

TEST_F(LogFileCleanUp, MaxLogDirSizeZeroKeepsEverything) {
  fileOutput(dir_).setDword("MaxLogDirSize", 0);
  JLog::reinitialise(0);
  logRecord(0, 100);
  JLog::shutdown();
  EXPECT_EQ(logFiles(dir_).size(), 4u);
}

TEST_F(LogFileCleanUp, DefaultLimitIsTenMegabytes) {
  for (int i = 3; i < 20; ++i) {
    const fs::path p = dir_ / ("ZQ_Log_more" + std::to_string(i) + ".log");
    std::ofstream(p) << "old";
    fs::resize_file(p, 600000);
  }
  fileOutput(dir_);
  JLog::reinitialise(0);
  logRecord(0, 100);
  JLog::shutdown();
  // 20 x 600 000 = 12 000 000 bytes: the three oldest go to fit 10 485 760.
  EXPECT_FALSE(fs::exists(dir_ / "ZQ_Log_old0.log"));
  EXPECT_FALSE(fs::exists(dir_ / "ZQ_Log_old2.log"));
  EXPECT_EQ(logFiles(dir_).size(), 18u);
}

TEST_F(LogFile, FailedWriteDropsTheFileAndTheNextRecordOpensAnother) {
  Collector errors("errors");
  inProcess("Errors", "errors", 1u << kLevelException, "%c|%m");
  fileOutput(dir_).setDword("MaxLogFileSize", 0);
  JLog::reinitialise(0);
  logRecord(0, 100);

  // Files of this process may not grow past 4 000 bytes for a moment.
  struct rlimit saved;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  auto previousHandler = ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = saved;
  small.rlim_cur = 4000;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  for (int i = 1; i < 60; ++i) {
    logRecord(i, 100);
  }
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, previousHandler);
  JLog::shutdown();

  // Records 0 to 39 fill the first file to the limit; record 40 fails and is
  // lost with the file; record 41 starts a second file.
  auto files = logFiles(dir_);
  EXPECT_EQ(files.size(), 2u);
  EXPECT_EQ(errors.count("Exception CATCH|system call error at function 'WriteFile' : File too "
                         "large"),
            1u);
  auto seen = recordsIn(files);
  EXPECT_EQ(seen.size(), 59u);
  EXPECT_EQ(seen.count(39), 1u);
  EXPECT_EQ(seen.count(40), 0u);
  EXPECT_EQ(seen.count(41), 1u);
}

TEST_F(LogFile, SizeCapHoldsWhenANewFileCannotBeOpened) {
  Collector errors("errors");
  inProcess("Errors", "errors", 1u << kLevelException, "%c|%m");
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
  EXPECT_GE(errors.count("Exception CATCH|system call error at function 'CreateFile' : Not a "
                         "directory"),
            1u);
  // Once the directory is back, the next record opens a new file there.
  fs::remove(dir_);
  fs::create_directory(dir_);
  logRecord(40, 100);
  JLog::shutdown();
  auto seen = recordsIn(logFiles(dir_));
  EXPECT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen.count(40), 1u);
}

TEST_F(LogFile, DirectoryThatCannotBeMadeIsReportedAndMakesNoOutput) {
  Collector errors("errors");
  inProcess("Errors", "errors", 1u << kLevelException, "%c|%m");
  std::ofstream(work_.path() / "plain") << "x";
  fileOutput(work_.path() / "plain" / "logs");
  JLog::reinitialise(0);
  EXPECT_EQ(errors.count("Exception CATCH|system call error at function 'CreateDirectory' : "
                         "Not a directory"),
            1u);
}

}  // namespace
}  // namespace zq
