// The pieces of a log record and the record format that turns them into the
// text an output writes: %d date, %w level name, %m message and the rest.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace zq {

/// Local time of a record, taken once and shared by every output.
struct JLogTime {
  struct tm local;
  int microseconds;  // of the current second

  static JLogTime now();
};

/// A record as the outputs see it, after the category and context rules:
/// category "_undef_" when none was given and without a trailing " *",
/// file "" when none, context the traceable object's name or "System".
struct JLogRecord {
  int level = 0;
  std::string_view message;
  std::string_view file;
  int line = 0;
  std::string_view category;
  std::string_view context;

  /// The record's time, taken at the first call.
  const JLogTime& time() const;

 private:
  mutable bool haveTime_ = false;
  mutable JLogTime time_{};
};

/// The level's name padded with blanks to 14 characters ("UNKNOWN" for
/// levels outside 1..22).
std::string_view logLevelName(int level);

/// Expands the record format. Directives are '%' and one letter, either
/// case: %% %c %d %f %i %l %m %p %t %u %w; another letter is copied with its
/// '%'. For a single-line output every CR and LF of the message becomes a
/// blank. The caller adds the line end of multi-line outputs.
std::string formatLogRecord(std::string_view format, const JLogRecord& record, bool singleLine);

/// Full path of the host executable, and its name (after the last '/').
const std::string& hostExecutablePath();
std::string hostExecutableName();

/// The kernel id of the calling thread.
uint32_t currentKernelThreadId();

}  // namespace zq
