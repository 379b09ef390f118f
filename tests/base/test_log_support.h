// Shared pieces of the logging tests: a receiver that collects records, a
// fixture that writes log outputs into a registry of the test's own, and a
// redirection of standard error into a file.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "base/log.h"
#include "base/registry_key.h"
#include "helpers/temp_dir.h"

namespace zq::test {

/// Registered under `id` for its life; keeps every record it receives.
class Collector : public JInProcessLogReceiver {
 public:
  struct Record {
    int level;
    std::string text;
    std::string file;
    int line;
  };

  explicit Collector(std::string id) : id_(std::move(id)) { JLog::registerReceiver(id_, this); }
  ~Collector() override { JLog::unregisterReceiver(id_); }

  void write(int level, const std::string& record, const std::string& file, int line) override {
    std::lock_guard lock(mutex_);
    records_.push_back({level, record, file, line});
  }
  std::vector<Record> records() const {
    std::lock_guard lock(mutex_);
    return records_;
  }
  std::vector<std::string> texts() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const Record& r : records_) {
      out.push_back(r.text);
    }
    return out;
  }
  size_t count(std::string_view text) const {
    std::lock_guard lock(mutex_);
    size_t n = 0;
    for (const Record& r : records_) {
      n += r.text.find(text) != std::string::npos ? 1 : 0;
    }
    return n;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    records_.clear();
  }

 private:
  std::string id_;
  mutable std::mutex mutex_;
  std::vector<Record> records_;
};

/// Every case gets its own registry; the facility is shut down after it.
class LogFixture : public ::testing::Test {
 protected:
  void TearDown() override { JLog::shutdown(); }

  /// The subkey of one output, created on first use.
  JSystemRegistryKey output(const std::string& name) {
    return JSystemRegistryKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta\\Log\\" + name);
  }
  /// An in-process output forwarding to `id`.
  JSystemRegistryKey inProcess(const std::string& name, const std::string& id,
                               uint32_t mask = 0xFFFFFFFFu, const std::string& format = "%m") {
    JSystemRegistryKey key = output(name);
    key.setString("Type", "InProcess");
    key.setString("ReceiverID", id);
    key.setDword("WarnLevel", mask);
    key.setString("Format", format);
    return key;
  }

  ScopedRegistryDir registry_;
};

/// Sends standard error to a file while alive.
class StderrToFile {
 public:
  StderrToFile() {
    path_ = (dir_.path() / "stderr").string();
    saved_ = ::dup(STDERR_FILENO);
    int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(fd, STDERR_FILENO);
    ::close(fd);
  }
  ~StderrToFile() { restore(); }
  /// Restores standard error and returns what was written to it.
  std::string text() {
    restore();
    std::ifstream in(path_, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

 private:
  void restore() {
    if (saved_ >= 0) {
      ::dup2(saved_, STDERR_FILENO);
      ::close(saved_);
      saved_ = -1;
    }
  }
  TempDir dir_;
  std::string path_;
  int saved_ = -1;
};

}  // namespace zq::test
