// The numbering of the host's IPv4 interface addresses.
#include "base/interface_numbers.h"

#include <net/if.h>

namespace zq {

std::vector<in_addr> numberedInterfaceAddresses(const ifaddrs* list) {
  std::vector<in_addr> cards;
  std::vector<in_addr> loopback;
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET ||
        (entry->ifa_flags & IFF_UP) == 0) {
      continue;
    }
    const in_addr address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr;
    ((entry->ifa_flags & IFF_LOOPBACK) != 0 ? loopback : cards).push_back(address);
  }
  cards.insert(cards.end(), loopback.begin(), loopback.end());
  return cards;
}

}  // namespace zq
