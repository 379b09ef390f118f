// The local host name.
#include "net/host_name.h"

#include <unistd.h>

#include <cerrno>
#include <climits>

#include "base/error.h"

namespace zq {

std::string localHostName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof name - 1) != 0) {
    throw JSysError(static_cast<uint32_t>(errno), "GetComputerNameExW");
  }
  return name;
}

}  // namespace zq
