// JRotatingLogFile, the log output that writes records into files
// "ZQ_Log_<program>_<date>_<time>_<us>.log" of one directory, opening a new
// file when the current one is full and deleting the oldest files when the
// directory holds too much.
#pragma once

#include <cstdint>
#include <string>

#include "base/log_generic.h"

namespace zq {

class JRotatingLogFile : public JGenericLog {
 public:
  static constexpr uint64_t kDefaultMaxDirSize = 10485760;
  static constexpr uint64_t kDefaultMaxFileSize = 65536;

  /// Reads "LogDirectory" (created here when not empty), "MaxLogDirSize"
  /// (MB, 0: no clean-up) and "MaxLogFileSize" (KB, 0: no rotation). Throws
  /// JSysError "CreateDirectory" when the directory cannot be made.
  explicit JRotatingLogFile(const JSystemRegistryKey& key);
  ~JRotatingLogFile() override;

  /// Writes the record into the current file, opening one first when there
  /// is none or the current one has reached the maximum file size. A failed
  /// write drops the file (the next record opens a new one) and throws.
  void write(int level, const std::string& record, const std::string& file, int line) override;

  const std::string& directory() const { return directory_; }
  uint64_t maxDirSize() const { return maxDirSize_; }
  uint64_t maxFileSize() const { return maxFileSize_; }
  /// The file records go to now; empty when none is open.
  const std::string& currentPath() const { return currentPath_; }

 private:
  void openFile();
  void closeFile();
  void cleanUp();

  std::string directory_;
  uint64_t maxDirSize_ = kDefaultMaxDirSize;
  uint64_t maxFileSize_ = kDefaultMaxFileSize;
  uint64_t written_ = 0;
  int fd_ = -1;
  std::string currentPath_;
  std::string programName_;
};

}  // namespace zq
