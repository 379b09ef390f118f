// JSockAddr: the owned copy of a system socket address.
#include "net/sock_addr.h"

#include <cstring>

#include "base/format.h"

namespace zq {

JSockAddr::JSockAddr() : length_(0) {
  std::memset(&storage_, 0, sizeof storage_);
  storage_.ss_family = AF_UNSPEC;
}

JSockAddr::JSockAddr(const sockaddr* address, socklen_t length) : JSockAddr() {
  if (address == nullptr) {
    return;
  }
  length_ = length < sizeof storage_ ? length : static_cast<socklen_t>(sizeof storage_);
  std::memcpy(&storage_, address, length_);
}

std::unique_ptr<JSockAddr> JSockAddr::copy() const {
  return std::make_unique<JSockAddr>(*this);
}

std::string JSockAddr::text() const {
  return jformat("family %d, %u bytes", static_cast<int>(family()), static_cast<unsigned>(length_));
}

std::string JSockAddr::nameText() const {
  return text();
}

}  // namespace zq
