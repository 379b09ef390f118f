// JInetAddr: dotted text, resolution, interface numbers and the two text forms.
#include "net/inet_addr.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "base/error.h"
#include "base/format.h"
#include "base/interface_numbers.h"
#include "net/socket_error.h"

namespace zq {
namespace {

// getaddrinfo results that mean "looked up, nothing found" come from the
// step that walks the results; the others mean the lookup never started.
bool isLookupResult(int eaiCode) {
  return eaiCode == EAI_NONAME || eaiCode == EAI_AGAIN || eaiCode == EAI_FAIL ||
         eaiCode == EAI_NODATA || eaiCode == EAI_ADDRFAMILY;
}

[[noreturn]] void throwResolverError(int eaiCode, int err) {
  const char* call = isLookupResult(eaiCode) ? "WSALookupServiceNextW" : "WSALookupServiceBeginW";
  const uint32_t number = socketErrorFromResolver(eaiCode, err);
  if (number == 0) {
    // EAI_SYSTEM with an errno that has no socket number.
    throw JSysError(static_cast<uint32_t>(err), call);
  }
  throw JSysError(JSysError::kSocketTag | number, call);
}

in_addr resolve(const std::string& host) {
  in_addr dotted{};
  if (::inet_aton(host.c_str(), &dotted) != 0) {
    return dotted;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (rc != 0) {
    throwResolverError(rc, errno);
  }
  std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> results(found, &::freeaddrinfo);
  for (const addrinfo* entry = results.get(); entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family == AF_INET && entry->ai_addr != nullptr) {
      return reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr;
    }
  }
  throw JSysError(JSysError::kSocketTag | 11001, "WSALookupServiceNextW");
}

}  // namespace

JInetAddr::JInetAddr() {
  assign(in_addr{htonl(INADDR_ANY)}, 0);
}

JInetAddr::JInetAddr(std::string_view host, uint16_t port) {
  assign(resolve(std::string(host)), port);
}

JInetAddr::JInetAddr(in_addr address, uint16_t port) {
  assign(address, port);
}

JInetAddr::JInetAddr(const sockaddr_in& address) {
  assign(address.sin_addr, ntohs(address.sin_port));
}

void JInetAddr::assign(in_addr address, uint16_t port) {
  sockaddr_in inet{};
  inet.sin_family = AF_INET;
  inet.sin_port = htons(port);
  inet.sin_addr = address;
  std::memcpy(mutableData(), &inet, sizeof inet);
  setLength(sizeof inet);
}

JInetAddr JInetAddr::fromInterface(int number) {
  if (number < 1) {
    return JInetAddr();
  }
  const std::vector<in_addr> addresses = interfaceAddresses();
  const int count = static_cast<int>(addresses.size());
  if (number > count) {
    throw JTextError(jformat("invalid interface number : %d/%d", number, count));
  }
  return JInetAddr(addresses[static_cast<size_t>(number - 1)], 0);
}

std::vector<in_addr> JInetAddr::interfaceAddresses() {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) {
    throwSocketError(errno, "WSAIoctl(SIO_ADDRESS_LIST_QUERY)");
  }
  std::unique_ptr<ifaddrs, decltype(&::freeifaddrs)> owner(list, &::freeifaddrs);
  return numberedInterfaceAddresses(list);
}

std::unique_ptr<JSockAddr> JInetAddr::copy() const {
  return std::make_unique<JInetAddr>(*this);
}

std::string JInetAddr::text() const {
  const auto* bytes = reinterpret_cast<const unsigned char*>(&inet().sin_addr);
  return jformat("%d.%d.%d.%d:%d", bytes[0], bytes[1], bytes[2], bytes[3], port());
}

std::string JInetAddr::nameText() const {
  char host[NI_MAXHOST];
  if (::getnameinfo(data(), length(), host, sizeof host, nullptr, 0, NI_NAMEREQD) == 0) {
    return jformat("%s:%d", host, port());
  }
  return text();
}

std::string JInetAddr::hostText() const {
  const auto* bytes = reinterpret_cast<const unsigned char*>(&inet().sin_addr);
  return jformat("%d.%d.%d.%d", bytes[0], bytes[1], bytes[2], bytes[3]);
}

uint16_t JInetAddr::port() const {
  return ntohs(inet().sin_port);
}

void JInetAddr::setPort(uint16_t port) {
  sockaddr_in inet = this->inet();
  inet.sin_port = htons(port);
  std::memcpy(mutableData(), &inet, sizeof inet);
}

in_addr JInetAddr::address() const {
  return inet().sin_addr;
}

}  // namespace zq
