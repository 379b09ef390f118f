// The local host's name, as the syslog output and the system information
// report it.
#pragma once

#include <string>

namespace zq {

/// The host name; a failure throws JSysError "GetComputerNameExW" with the
/// system's error code. Any thread.
std::string localHostName();

}  // namespace zq
