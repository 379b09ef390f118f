// JSocketLayer: the count of socket layer users, and the descriptor limit
// raised once per process.
#include "net/socket_layer.h"

#include <sys/resource.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "base/log.h"

namespace zq {
namespace {

std::mutex g_layerMutex;
int g_users = 0;  // guarded by g_layerMutex

}  // namespace

void JSocketLayer::raiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    JLog::logf(kLevelWarning, "Descriptor limit unknown: %s.", std::strerror(errno));
    return;
  }
  const auto soft = static_cast<unsigned long long>(limit.rlim_cur);
  const auto hard = static_cast<unsigned long long>(limit.rlim_max);
  if (limit.rlim_cur == limit.rlim_max) {
    JLog::logf(kLevelDebug, "Descriptor limit: %llu.", soft);
    return;
  }
  limit.rlim_cur = limit.rlim_max;
  if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
    JLog::logf(kLevelWarning, "Descriptor limit stays at %llu, not raised to %llu: %s.", soft, hard,
               std::strerror(errno));
    return;
  }
  JLog::logf(kLevelDebug, "Descriptor limit raised from %llu to %llu.", soft, hard);
}

void JSocketLayer::start() {
  static std::once_flag raised;
  std::call_once(raised, raiseDescriptorLimit);
  std::lock_guard lock(g_layerMutex);
  if (g_users++ == 0) {
    JLog::logf(kLevelDebug, "Socket layer started");
  }
}

bool JSocketLayer::stop() {
  std::lock_guard lock(g_layerMutex);
  if (g_users == 0) {
    return false;
  }
  if (--g_users == 0) {
    JLog::logf(kLevelDebug, "Socket layer stopped");
  }
  return true;
}

int JSocketLayer::users() {
  std::lock_guard lock(g_layerMutex);
  return g_users;
}

}  // namespace zq
