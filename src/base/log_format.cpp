// Record formatting: the level names, the directives of the record format and
// the process facts some of them print.
#include "base/log_format.h"

#include <sys/time.h>
#include <unistd.h>

#include <array>
#include <cstdio>

namespace zq {
namespace {

constexpr size_t kLevelNameWidth = 14;

std::string padded(std::string_view name) {
  std::string s(name);
  s.resize(kLevelNameWidth, ' ');
  return s;
}

struct LevelNames {
  std::array<std::string, 23> byLevel;
  std::string unknown;

  LevelNames() : unknown(padded("UNKNOWN")) {
    static constexpr const char* kNames[23] = {
        "UNKNOWN",        "DEBUG",         "ACTIVEX",     "DEBUG",         "TRACE",
        "TRACE",          "TRACE",         "TRACE",       "INFO",          "WARNING",
        "EXCEPTION",      "ERROR",         "CRITICAL",    "DEBUG",         "EXCEPTION",
        "TRACE_INFO",     "TRACE_COMPORT", "TRACE_FILE",  "TRACE_NETWORK", "TRACE_STATS",
        "TRACE_REGISTRY", "TRACE_RPC",     "TRACE_DRIVER"};
    for (size_t i = 0; i < byLevel.size(); ++i) {
      byLevel[i] = padded(kNames[i]);
    }
  }
};

void appendDate(std::string& out, const JLogTime& t) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%02d/%02d/%04d %02d:%02d:%02d.%03d", t.local.tm_mon + 1,
                t.local.tm_mday, t.local.tm_year + 1900, t.local.tm_hour, t.local.tm_min,
                t.local.tm_sec, t.microseconds / 1000);
  out += buf;
}

void appendMessage(std::string& out, std::string_view message, bool singleLine) {
  if (!singleLine) {
    out += message;
    return;
  }
  for (char c : message) {
    out.push_back(c == '\r' || c == '\n' ? ' ' : c);
  }
}

}  // namespace

JLogTime JLogTime::now() {
  struct timeval tv;
  ::gettimeofday(&tv, nullptr);
  JLogTime t{};
  time_t seconds = tv.tv_sec;
  ::localtime_r(&seconds, &t.local);
  t.microseconds = static_cast<int>(tv.tv_usec);
  return t;
}

const JLogTime& JLogRecord::time() const {
  if (!haveTime_) {
    time_ = JLogTime::now();
    haveTime_ = true;
  }
  return time_;
}

std::string_view logLevelName(int level) {
  static const LevelNames* names = new LevelNames;
  if (level < 1 || level > 22) {
    return names->unknown;
  }
  return names->byLevel[static_cast<size_t>(level)];
}

std::string formatLogRecord(std::string_view format, const JLogRecord& record, bool singleLine) {
  std::string out;
  out.reserve(format.size() + record.message.size() + 64);
  for (size_t i = 0; i < format.size(); ++i) {
    char c = format[i];
    if (c != '%' || i + 1 >= format.size()) {
      out.push_back(c);
      continue;
    }
    char d = format[++i];
    char buf[32];
    switch (d) {
      case '%':
        out.push_back('%');
        break;
      case 'c':
      case 'C':
        out += record.category;
        break;
      case 'd':
      case 'D':
        appendDate(out, record.time());
        break;
      case 'f':
      case 'F':
        out += record.file;
        break;
      case 'i':
      case 'I':
        out += record.context;
        break;
      case 'l':
      case 'L':
        std::snprintf(buf, sizeof buf, "%d", record.line);
        out += buf;
        break;
      case 'm':
      case 'M':
        appendMessage(out, record.message, singleLine);
        break;
      case 'p':
      case 'P':
        std::snprintf(buf, sizeof buf, "%d", static_cast<int>(::getpid()));
        out += buf;
        break;
      case 't':
      case 'T':
        std::snprintf(buf, sizeof buf, "0x%.8x", currentKernelThreadId());
        out += buf;
        break;
      case 'u':
      case 'U':
        out += hostExecutablePath();
        break;
      case 'w':
      case 'W':
        out += logLevelName(record.level);
        break;
      default:
        out.push_back('%');
        out.push_back(d);
        break;
    }
  }
  return out;
}

const std::string& hostExecutablePath() {
  static const std::string* path = [] {
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    return new std::string(n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string());
  }();
  return *path;
}

std::string hostExecutableName() {
  const std::string& path = hostExecutablePath();
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

uint32_t currentKernelThreadId() {
  // Not cached per thread: a forked child's thread keeps the parent's copy.
  return static_cast<uint32_t>(::gettid());
}

}  // namespace zq
