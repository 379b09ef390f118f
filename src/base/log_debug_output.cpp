// The console output: records on standard error, where a debugger's output
// window would show them on the original platform.
#include "base/log_debug_output.h"

#include <unistd.h>

#include <cerrno>

namespace zq {

JDebugOutput::JDebugOutput(const JSystemRegistryKey& key) : JGenericLog(key, false) {}

JDebugOutput::JDebugOutput(uint32_t levelMask, std::string format)
    : JGenericLog(levelMask, std::move(format), false) {}

void JDebugOutput::write(int, const std::string& record, const std::string&, int) {
  size_t end = record.find_last_not_of("\r\n \t");
  std::string text = end == std::string::npos ? std::string() : record.substr(0, end + 1);
  text.push_back('\n');
  // One write per record keeps records from several processes sharing the
  // terminal whole. A console that cannot be written to has no one to tell.
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(STDERR_FILENO, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return;
    }
    done += static_cast<size_t>(n);
  }
}

}  // namespace zq
