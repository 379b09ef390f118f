// Captures the records of the process's logging facility for a test: points
// the registry at a directory of the test's own, configures one in-process
// output there with the given level mask and record format, and collects what
// that output receives.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "base/log.h"
#include "helpers/temp_dir.h"

namespace zq::test {

class LogCapture : public JInProcessLogReceiver {
 public:
  struct Record {
    int level;
    std::string text;  // the formatted record
    std::string file;
    int line;
  };

  /// `levelMask`: bit n passes level n (levels 13..22 also need the object's
  /// own mask). `format`: the record format, "%m" for the bare message.
  explicit LogCapture(uint32_t levelMask = 0xFFFFFFFEu, std::string_view format = "%m");
  ~LogCapture() override;

  void write(int level, const std::string& record, const std::string& file, int line) override;

  std::vector<Record> records() const;
  /// Number of records whose text contains `text`.
  size_t count(std::string_view text) const;
  bool contains(std::string_view text) const { return count(text) > 0; }
  /// Waits (bounded) until a record containing `text` has arrived.
  bool waitFor(std::string_view text, int timeoutMs = 5000) const;
  void clear();

 private:
  ScopedRegistryDir registryDir_;
  std::string id_;
  mutable std::mutex mutex_;
  std::vector<Record> records_;
};

}  // namespace zq::test
