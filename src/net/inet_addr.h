// JInetAddr: an IPv4 address with a port, built from host text (dotted or
// resolved), from a local interface number, or from a system address.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "net/sock_addr.h"

namespace zq {

/// Concurrency: a value, as JSockAddr. The resolving constructor and the
/// interface functions may run on any thread at once.
class JInetAddr : public JSockAddr {
 public:
  /// The any-address 0.0.0.0 with port 0.
  JInetAddr();
  /// `host` is first read as a dotted address; otherwise it is resolved and
  /// the first IPv4 address found is taken. A resolver failure throws
  /// JSysError with the socket tag: "WSALookupServiceBeginW" when the lookup
  /// could not be made at all, "WSALookupServiceNextW" when it yields nothing
  /// (11001 for an unknown host).
  JInetAddr(std::string_view host, uint16_t port);
  JInetAddr(in_addr address, uint16_t port);
  explicit JInetAddr(const sockaddr_in& address);

  /// The address of local interface `number`: below 1 the any-address with
  /// port 0; otherwise the number-th entry of interfaceAddresses(), counting
  /// from 1, with port 0. A number beyond the list throws JTextError
  /// "invalid interface number : <number>/<count>".
  static JInetAddr fromInterface(int number);

  /// The IPv4 addresses of the interfaces that are up, in the order that
  /// interface numbers count them: the host's real interfaces first, in the
  /// system's order, then the loopback addresses, so that interface 1 is the
  /// first network card wherever there is one. A failure to list them throws
  /// JSysError "WSAIoctl(SIO_ADDRESS_LIST_QUERY)".
  static std::vector<in_addr> interfaceAddresses();

  std::unique_ptr<JSockAddr> copy() const override;
  /// "a.b.c.d:port".
  std::string text() const override;
  /// "name:port" when a reverse look-up of the address finds a name,
  /// otherwise text(). Never throws.
  std::string nameText() const override;

  /// "a.b.c.d" without the port.
  std::string hostText() const;
  uint16_t port() const;
  void setPort(uint16_t port);
  /// The address in network byte order.
  in_addr address() const;
  bool isAny() const { return address().s_addr == htonl(INADDR_ANY); }
  const sockaddr_in& inet() const { return *reinterpret_cast<const sockaddr_in*>(data()); }

 private:
  void assign(in_addr address, uint16_t port);
};

}  // namespace zq
