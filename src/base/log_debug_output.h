// JDebugOutput, the console log output: each record on standard error, one
// line per record.
#pragma once

#include "base/log_generic.h"

namespace zq {

class JDebugOutput : public JGenericLog {
 public:
  /// A "Console" output configured by its registry subkey.
  explicit JDebugOutput(const JSystemRegistryKey& key);
  /// The default console the facility adds when asked to and none is
  /// configured.
  JDebugOutput(uint32_t levelMask, std::string format);

  /// Writes the record without its trailing line feeds, carriage returns,
  /// blanks and tabs, and with one line feed.
  void write(int level, const std::string& record, const std::string& file, int line) override;
};

}  // namespace zq
