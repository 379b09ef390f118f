// JGenericLog, the base of every log output: its level mask, record format,
// category filters and re-entrancy flag, read from the output's registry key.
//
// The facility (log.cpp) decides whether a record passes, formats it with
// the output's format and calls write(). Outputs need no lock of their own:
// every call into an output is made under the logging facility's global lock.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zq {

class JSystemRegistryKey;
class JTraceableObject;

class JGenericLog {
 public:
  virtual ~JGenericLog() = default;
  JGenericLog(const JGenericLog&) = delete;
  JGenericLog& operator=(const JGenericLog&) = delete;

  /// Hands over one finished record. Called under the logging lock; may log
  /// (the record is then dropped for this output) and may throw a JError
  /// (caught and logged by the facility).
  virtual void write(int level, const std::string& record, const std::string& file, int line) = 0;

  /// Syslog and in-process outputs take one line per record: line breaks in
  /// the message become blanks, and no line end is added.
  bool singleLine() const { return singleLine_; }
  uint32_t levelMask() const { return levelMask_; }
  const std::string& format() const { return format_; }
  const std::vector<std::string>& includeFilters() const { return include_; }
  const std::vector<std::string>& excludeFilters() const { return exclude_; }

  /// Levels below 13 pass by the output's mask; 13 and above only by the
  /// traceable object's own mask.
  bool acceptsLevel(int level, const JTraceableObject* object) const;
  /// The category passes when an include pattern matches it (or there is
  /// none) and no exclude pattern does. Patterns are globs: * ? [set].
  bool acceptsCategory(std::string_view category) const;

  /// The re-entrancy flag: set while the facility is inside this output.
  bool busy() const { return busy_; }
  void setBusy(bool busy) { busy_ = busy; }

  /// The format as stored in the registry made usable: "\n" gives CR LF,
  /// "\t" a TAB, any other backslash is dropped and the next character kept,
  /// a backslash at the very end stays.
  static std::string unescapeFormat(std::string_view format);
  /// A filter value split at ';' (empty items dropped).
  static std::vector<std::string> splitFilter(std::string_view filter);

 protected:
  /// The defaults: mask 0, format "%f(%l) : %c<TAB>%m", include "*", no
  /// exclude. Then the common settings of `key`: "WarnLevel" (the whole
  /// mask), the "EnableLevel..." booleans, "Format", "FilterInclude",
  /// "FilterExclude". Registry failures throw.
  JGenericLog(const JSystemRegistryKey& key, bool singleLine);
  /// An output configured by the program: the mask and format as given (not
  /// unescaped), include "*", no exclude.
  JGenericLog(uint32_t levelMask, std::string format, bool singleLine);

 private:
  bool singleLine_;
  uint32_t levelMask_ = 0;
  std::string format_;
  std::vector<std::string> include_;
  std::vector<std::string> exclude_;
  bool busy_ = false;
};

}  // namespace zq
