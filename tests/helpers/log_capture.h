// Captures the process's log records for a test, through an in-process output
// configured in a registry directory of the test's own.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
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
  };

  /// `levelMask`: bit n passes level n (levels 13..22 also need the object's
  /// own mask). `format`: the record format as the registry holds it, "%m"
  /// for the bare message.
  explicit LogCapture(uint32_t levelMask = 0xFFFFFFFEu, std::string_view format = "%m");
  ~LogCapture() override;
  void write(int level, const std::string& record, const std::string&, int) override {
    std::unique_lock lock(mutex_);
    records_.push_back({level, record});
    arrived_.notify_all();
    lock.unlock();
    if (onRecord) {
      onRecord(record);
    }
  }
  /// Runs on the logging thread after each record is kept, at the moment the
  /// line is written. Set it while nothing else logs.
  std::function<void(const std::string&)> onRecord;
  std::vector<Record> records() const {
    std::lock_guard lock(mutex_);
    return records_;
  }
  /// Records whose text contains `text`; waitFor waits (bounded) for one.
  size_t count(std::string_view text) const {
    std::lock_guard lock(mutex_);
    return countLocked(text);
  }
  bool contains(std::string_view text) const { return count(text) > 0; }
  bool waitFor(std::string_view text, int timeoutMs = 20000) const {
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return countLocked(text) > 0; });
  }
  void clear() {
    std::lock_guard lock(mutex_);
    records_.clear();
  }

 private:
  size_t countLocked(std::string_view text) const {
    return std::ranges::count_if(
        records_, [&](const Record& r) { return r.text.find(text) != std::string::npos; });
  }
  ScopedRegistryDir registryDir_;
  std::string id_;
  mutable std::mutex mutex_;
  mutable std::condition_variable arrived_;
  std::vector<Record> records_;
};

}  // namespace zq::test
