// zqoutput's options, checked one by one.
#include "zqoutput/options.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdlib>

#include "base/log.h"

namespace zq::zqoutput {
namespace {

bool parseNumber(const std::string& text, long low, long high, long& value) {
  char* end = nullptr;
  errno = 0;
  value = std::strtol(text.c_str(), &end, 10);
  return !text.empty() && *end == '\0' && errno == 0 && value >= low && value <= high;
}

}  // namespace

uint32_t logMaskOf(const std::string& level) {
  // Levels `from` to 12, the last of those the console shows.
  const auto from = [](int first) {
    return ((uint32_t{1} << (kLevelCritical + 1)) - 1) & ~((uint32_t{1} << first) - 1);
  };
  if (level == "error") {
    return from(kLevelException);
  }
  if (level == "warning") {
    return from(kLevelWarning);
  }
  if (level == "info") {
    return from(kLevelInfo);
  }
  if (level == "debug") {
    return from(kLevelDebug);
  }
  return 0;
}

std::variant<Options, std::string> parseOptions(const std::vector<std::string>& args) {
  Options o;
  o.logMask = logMaskOf("info");
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      o.help = true;
      return o;
    }
    if (a != "--port" && a != "--id" && a != "--output" && a != "--buffer-ms" &&
        a != "--log-level" && a != "--listen" && a != "--allow" && a != "--allow-sources" &&
        a != "--media-dir") {
      return "unknown argument '" + a + "'";
    }
    if (i + 1 >= args.size()) {
      return a + " needs a value";
    }
    const std::string& v = args[++i];
    long n = 0;
    if (a == "--port") {
      if (!parseNumber(v, 0, 65535, n)) {
        return "--port must be from 0 to 65535, not '" + v + "'";
      }
      o.port = static_cast<uint16_t>(n);
    } else if (a == "--buffer-ms") {
      if (!parseNumber(v, 0, 5000, n)) {
        return "--buffer-ms must be from 0 to 5000, not '" + v + "'";
      }
      o.bufferMs = static_cast<uint32_t>(n);
    } else if (a == "--log-level") {
      o.logMask = logMaskOf(v);
      if (o.logMask == 0) {
        return "--log-level must be error, warning, info or debug, not '" + v + "'";
      }
    } else if (a == "--listen") {
      in_addr address{};
      if (inet_pton(AF_INET, v.c_str(), &address) != 1) {
        return "--listen must be an IPv4 address of this machine (0.0.0.0: every interface), "
               "not '" + v + "'";
      }
      o.listen = v;
    } else if (a == "--allow" || a == "--allow-sources") {
      auto list = AllowList::parse(v);
      if (const auto* why = std::get_if<std::string>(&list)) {
        return a + ": " + *why;
      }
      (a == "--allow" ? o.allow : o.allowSources) = std::get<AllowList>(std::move(list));
    } else if (a == "--media-dir") {
      o.mediaDir = v;
    } else if (a == "--id") {
      o.id = v;
    } else if (v.empty()) {
      return "--output needs a value";
    } else {
      o.output = v;
    }
  }
  return o;
}

}  // namespace zq::zqoutput
