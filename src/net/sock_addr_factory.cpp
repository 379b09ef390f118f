// The address factory: URL forms to JInetAddr and JRTSPAddr.
#include "net/sock_addr_factory.h"

#include <cstdint>
#include <string>

#include "base/error.h"
#include "net/inet_addr.h"
#include "net/rtsp_addr.h"

namespace zq {
namespace {

constexpr size_t kHostCapacity = 256;  // the host part keeps at most 255 characters

std::string_view cutHost(std::string_view host) {
  return host.substr(0, kHostCapacity - 1);
}

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// Any run of decimal digits whose value fits a port; leading zeros are
// digits like any other.
uint16_t parsePort(std::string_view text) {
  if (text.empty()) {
    throw JTextError("bad ip url format");
  }
  uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') {
      throw JTextError("bad ip url format");
    }
    value = value * 10 + static_cast<uint32_t>(c - '0');
    if (value > 65535) {
      throw JTextError("bad ip url format");
    }
  }
  return static_cast<uint16_t>(value);
}

std::unique_ptr<JSockAddr> hostAndPort(std::string_view rest) {
  const size_t colon = rest.find(':');
  if (colon == std::string_view::npos) {
    throw JTextError("bad ip url format");
  }
  const uint16_t port = parsePort(rest.substr(colon + 1));
  return std::make_unique<JInetAddr>(cutHost(rest.substr(0, colon)), port);
}

std::unique_ptr<JSockAddr> rtsp(std::string_view rest) {
  const size_t slash = rest.find('/');
  if (slash == std::string_view::npos) {
    throw JTextError("bad rtsp url format, missing mediafile");
  }
  std::string_view host = rest.substr(0, slash);
  uint16_t port = 554;
  const size_t colon = host.find(':');
  if (colon != std::string_view::npos) {
    port = parsePort(host.substr(colon + 1));
    host = host.substr(0, colon);
  }
  return std::make_unique<JRTSPAddr>(cutHost(host), port, rest.substr(slash + 1));
}

}  // namespace

std::unique_ptr<JSockAddr> createSockAddr(std::string_view url) {
  if (startsWith(url, "udp://")) {
    return hostAndPort(url.substr(6));
  }
  if (startsWith(url, "tcp://")) {
    return hostAndPort(url.substr(6));
  }
  if (startsWith(url, "ipmq://")) {
    return std::make_unique<JInetAddr>(cutHost(url.substr(7)), 0);
  }
  if (startsWith(url, "rtsp://")) {
    return rtsp(url.substr(7));
  }
  if (startsWith(url, "svc://")) {
    return nullptr;
  }
  throw JTextError("unknown url type");
}

}  // namespace zq
