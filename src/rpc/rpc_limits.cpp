// The RPC limits of this installation, read from the registry.
#include "rpc/rpc_limits.h"

#include <algorithm>

#include "base/error.h"
#include "base/registry_key.h"

namespace zq {

JRPCLimits JRPCLimits::fromRegistry() {
  JRPCLimits limits;
  uint32_t lineSize = static_cast<uint32_t>(kDefaultMaxLineSize);
  uint32_t connections = static_cast<uint32_t>(kDefaultMaxConnections);
  uint32_t idle = kDefaultIdleTimeoutS;
  try {
    const JSystemRegistryKey key(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta\\RPC", KEY_READ);
    key.getDword("MaxRequestLineSize", lineSize);
    key.getDword("MaxConnections", connections);
    key.getDword("IdleTimeoutS", idle);
  } catch (const JError& e) {
    logCaught(e);
  }
  limits.maxLineSize = lineSize;
  limits.maxConnections = connections;
  limits.idleTimeoutS = idle;
  return limits;
}

int32_t JRPCLimits::idleTimeoutMs() const {
  if (idleTimeoutS == 0) {
    return -1;
  }
  // A socket's time-outs are 32-bit milliseconds: larger values wait as long as they can.
  return static_cast<int32_t>(std::min<uint64_t>(uint64_t{idleTimeoutS} * 1000, INT32_MAX));
}

}  // namespace zq
