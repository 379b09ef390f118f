// How interface numbers in the configuration (an "IpInterfaceNumber", a
// socket's interface) name the host's IPv4 addresses: one rule for all.
#pragma once

#include <ifaddrs.h>
#include <netinet/in.h>

#include <vector>

namespace zq {

/// Of the interfaces in `list` (as getifaddrs gives it; may be null) that are
/// up, their IPv4 addresses in the order interface numbers count them from 1:
/// the network cards first, in the system's order, then the loopback ones, so
/// that interface 1 is the first network card wherever there is one.
std::vector<in_addr> numberedInterfaceAddresses(const ifaddrs* list);

}  // namespace zq
