// JSysLog, the log output that sends each record as a syslog datagram over
// UDP to a configured server.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/log_generic.h"

struct ifaddrs;

namespace zq {

class JSysLog : public JGenericLog {
 public:
  /// Reads "Server" (required), "HostName", "ServerPort", "LocalPort",
  /// "IpInterfaceNumber", "Precedence" and "Facility", then binds a UDP
  /// socket to the local port on the numbered interface and connects it to
  /// the server. An output that cannot start logs why at level 11 and stays
  /// inert.
  explicit JSysLog(const JSystemRegistryKey& key);
  ~JSysLog() override;

  /// Sends "<priority>Mmm dd hh:mm:ss host record", cut to 1 024 bytes.
  void write(int level, const std::string& record, const std::string& file, int line) override;

  /// The syslog severity of a level: 1, 3, 4 debug (7); 8 informational
  /// (6); 9 warning (4); 11 error (3); 12 critical (2); others notice (5).
  static int severity(int level);
  /// `name` with every character that a syslog host name cannot hold
  /// (anything but letters, digits, '-' and '.') replaced by '_'.
  static std::string sanitiseHostName(std::string_view name);

  /// The IPv4 addresses (network byte order) that "IpInterfaceNumber" counts
  /// from 1, numbered as the socket layer numbers interfaces: of the
  /// interfaces that are up, the network cards first in the system's order,
  /// then the loopback ones.
  static std::vector<uint32_t> interfaceAddresses(const struct ifaddrs* list);

  bool active() const { return socket_ >= 0; }
  const std::string& hostName() const { return hostName_; }
  int facility() const { return facility_; }

 private:
  void start();

  int socket_ = -1;
  int serverPort_ = 514;
  int localPort_ = 514;
  int ipInterfaceNumber_ = 0;
  int precedence_ = -1;
  int facility_ = 16;
  std::string serverName_;
  std::string hostName_;
};

}  // namespace zq
