// LogCapture: an in-process log output configured in a registry directory of
// the test's own, collecting the records it receives.
#include "helpers/log_capture.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "base/registry_key.h"

namespace zq::test {
namespace {

std::atomic<int> g_captures{0};

// The registry stores formats with backslash escapes (\n gives CR LF, \t a
// TAB); the capture's format is meant as given, so escape it back.
std::string escapeFormat(std::string_view format) {
  std::string out;
  for (size_t i = 0; i < format.size(); ++i) {
    char c = format[i];
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r' && i + 1 < format.size() && format[i + 1] == '\n') {
      out += "\\n";
      ++i;
    } else if (c == '\r' || c == '\n') {
      throw std::invalid_argument("LogCapture: a record format cannot hold a lone CR or LF");
    } else {
      out.push_back(c);
    }
  }
  return out;
}

}  // namespace

LogCapture::LogCapture(uint32_t levelMask, std::string_view format)
    : id_("LogCapture-" + std::to_string(::getpid()) + "-" + std::to_string(++g_captures)) {
  JSystemRegistryKey key(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta\\Log\\Capture", KEY_ALL_ACCESS);
  key.setString("Type", "InProcess");
  key.setString("ReceiverID", id_);
  key.setDword("WarnLevel", levelMask);
  key.setString("Format", escapeFormat(format));
  JLog::registerReceiver(id_, this);
  // Built now, while the registry directory is ours, whatever the test
  // points the registry at later.
  JLog::reinitialise(0);
}

LogCapture::~LogCapture() {
  JLog::unregisterReceiver(id_);
  // The next record builds the outputs from the registry the test returns to.
  JLog::shutdown();
}

void LogCapture::write(int level, const std::string& record, const std::string& file, int line) {
  std::lock_guard lock(mutex_);
  records_.push_back({level, record, file, line});
}

std::vector<LogCapture::Record> LogCapture::records() const {
  std::lock_guard lock(mutex_);
  return records_;
}

size_t LogCapture::count(std::string_view text) const {
  std::lock_guard lock(mutex_);
  size_t n = 0;
  for (const Record& r : records_) {
    if (r.text.find(text) != std::string::npos) {
      ++n;
    }
  }
  return n;
}

bool LogCapture::waitFor(std::string_view text, int timeoutMs) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (contains(text)) {
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

void LogCapture::clear() {
  std::lock_guard lock(mutex_);
  records_.clear();
}

}  // namespace zq::test
