// The in-process output: records forwarded to a receiver found by its id.
#include "base/log_in_process.h"

#include "base/log.h"
#include "base/registry_key.h"

namespace zq {

JInProcessForwardOutput::JInProcessForwardOutput(const JSystemRegistryKey& key)
    : JGenericLog(key, true) {
  if (!key.getString("ReceiverID", receiverId_)) {
    inert_ = true;
    JLog::log(kLevelError,
              "In process output logging not starting: missing \"ReceiverID\" entry in registry.",
              __FILE__, __LINE__, nullptr, nullptr);
  }
}

void JInProcessForwardOutput::write(int level, const std::string& record, const std::string& file,
                                    int line) {
  if (inert_) {
    return;
  }
  if (JInProcessLogReceiver* receiver = findLogReceiver(receiverId_)) {
    receiver->write(level, record, file, line);
  }
}

}  // namespace zq
