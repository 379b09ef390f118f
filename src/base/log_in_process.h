// JInProcessForwardOutput, the log output that hands each record to a
// receiver registered in the same process (JLog::registerReceiver).
#pragma once

#include <string>
#include <string_view>

#include "base/log_generic.h"

namespace zq {

class JInProcessLogReceiver;

/// The receiver registered under `id`, or null. Called under the logging
/// lock (defined with the facility, which keeps the receivers).
JInProcessLogReceiver* findLogReceiver(std::string_view id);

class JInProcessForwardOutput : public JGenericLog {
 public:
  /// Reads "ReceiverID"; without it the output logs why and stays inert.
  explicit JInProcessForwardOutput(const JSystemRegistryKey& key);

  const std::string& receiverId() const { return receiverId_; }

  /// Forwards the record to the receiver registered under the id now (so a
  /// receiver registered after the facility started is found); drops it when
  /// there is none.
  void write(int level, const std::string& record, const std::string& file, int line) override;

 private:
  std::string receiverId_;
  bool inert_ = false;
};

}  // namespace zq
