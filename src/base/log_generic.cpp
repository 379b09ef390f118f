// The settings every log output shares, and the pass decisions made on them.
#include "base/log_generic.h"

#include <fnmatch.h>

#include "base/log.h"
#include "base/registry_key.h"

namespace zq {
namespace {

struct EnablingKey {
  const char* name;
  int level;
};

// Read in this order; ActiveX calls come last.
constexpr EnablingKey kEnablingKeys[] = {
    {"EnableLevelFullDebug", 1},    {"EnableLevelDebug", 3},
    {"EnableLevelTrace", 4},        {"EnableLevelTraceAction", 5},
    {"EnableLevelTraceRunning", 6}, {"EnableLevelTraceStepByStep", 7},
    {"EnableLevelInfo", 8},         {"EnableLevelWarning", 9},
    {"EnableLevelException", 10},   {"EnableLevelError", 11},
    {"EnableLevelCritical", 12},    {"EnableLevelActiveXCalls", 2},
};

bool levelBit(uint32_t mask, int level) {
  return level >= 0 && level < 32 && (mask & (1u << level)) != 0;
}

}  // namespace

JGenericLog::JGenericLog(const JSystemRegistryKey& key, bool singleLine)
    : singleLine_(singleLine), format_("%f(%l) : %c\t%m"), include_{"*"} {
  uint32_t mask = 0;
  if (key.getDword("WarnLevel", mask)) {
    levelMask_ = mask;
  }
  for (const EnablingKey& k : kEnablingKeys) {
    bool on = false;
    if (key.getBool(k.name, on)) {
      const uint32_t bit = 1u << k.level;
      levelMask_ = on ? (levelMask_ | bit) : (levelMask_ & ~bit);
    }
  }
  std::string format;
  if (key.getString("Format", format)) {
    format_ = format;
  }
  std::string include;
  if (key.getString("FilterInclude", include)) {
    include_ = splitFilter(include);
  }
  std::string exclude;
  if (key.getString("FilterExclude", exclude)) {
    exclude_ = splitFilter(exclude);
  }
  format_ = unescapeFormat(format_);
}

JGenericLog::JGenericLog(uint32_t levelMask, std::string format, bool singleLine)
    : singleLine_(singleLine), levelMask_(levelMask), format_(std::move(format)), include_{"*"} {}

bool JGenericLog::acceptsLevel(int level, const JTraceableObject* object) const {
  if (level < kLevelObjectDebug) {
    return levelBit(levelMask_, level);
  }
  if (object == nullptr) {
    return false;
  }
  const JTraceMask* mask = object->traceMask();
  return mask != nullptr && levelBit(mask->load(std::memory_order_relaxed), level);
}

bool JGenericLog::acceptsCategory(std::string_view category) const {
  const std::string c(category);
  auto matches = [&c](const std::string& pattern) {
    return ::fnmatch(pattern.c_str(), c.c_str(), 0) == 0;
  };
  bool included = include_.empty();
  for (const std::string& p : include_) {
    if (matches(p)) {
      included = true;
      break;
    }
  }
  if (!included) {
    return false;
  }
  for (const std::string& p : exclude_) {
    if (matches(p)) {
      return false;
    }
  }
  return true;
}

std::string JGenericLog::unescapeFormat(std::string_view format) {
  std::string out;
  out.reserve(format.size());
  for (size_t i = 0; i < format.size(); ++i) {
    char c = format[i];
    if (c != '\\' || i + 1 == format.size()) {
      out.push_back(c);
      continue;
    }
    char next = format[++i];
    if (next == 'n') {
      out += "\r\n";
    } else if (next == 't') {
      out.push_back('\t');
    } else {
      out.push_back(next);
    }
  }
  return out;
}

std::vector<std::string> JGenericLog::splitFilter(std::string_view filter) {
  std::vector<std::string> items;
  size_t start = 0;
  while (start <= filter.size()) {
    size_t end = filter.find(';', start);
    if (end == std::string_view::npos) {
      end = filter.size();
    }
    if (end > start) {
      items.emplace_back(filter.substr(start, end - start));
    }
    start = end + 1;
  }
  return items;
}

}  // namespace zq
