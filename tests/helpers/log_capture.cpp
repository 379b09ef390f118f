#include "helpers/log_capture.h"

#include <unistd.h>

#include <atomic>

#include "base/registry_key.h"

namespace zq::test {

LogCapture::LogCapture(uint32_t levelMask, std::string_view format) {
  static std::atomic<int> captures{0};
  id_ = "LogCapture-" + std::to_string(::getpid()) + "-" + std::to_string(++captures);
  JSystemRegistryKey key(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta\\Log\\Capture", KEY_ALL_ACCESS);
  key.setString("Type", "InProcess");
  key.setString("ReceiverID", id_);
  key.setDword("WarnLevel", levelMask);
  key.setString("Format", std::string(format));
  JLog::registerReceiver(id_, this);
  // Built now, from this registry, wherever the test points the registry later.
  JLog::reinitialise(0);
}

LogCapture::~LogCapture() {
  JLog::unregisterReceiver(id_);
  // The next record builds the outputs from the registry the test returns to.
  JLog::shutdown();
}

}  // namespace zq::test
