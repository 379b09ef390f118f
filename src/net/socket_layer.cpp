// JSocketLayer: the count of socket layer users.
#include "net/socket_layer.h"

#include <mutex>

#include "base/log.h"

namespace zq {
namespace {

std::mutex g_layerMutex;
int g_users = 0;  // guarded by g_layerMutex

}  // namespace

void JSocketLayer::start() {
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
