// ProviderConfig: how a provider's data channels reach their receivers: the
// UDP, IP multicast and ATM settings, each group with its enable flag. A
// plain value; the local access manager fills it and hands a copy to its
// provider.
#pragma once

#include <cstdint>
#include <string>

#include "rpc/params.h"

namespace zq {

/// Unicast UDP channels: one socket per receiver.
class UdpConfig {
 public:
  int32_t interface() const { return interface_; }
  void setInterface(int32_t value) { interface_ = value; }
  int32_t precedence() const { return precedence_; }
  void setPrecedence(int32_t value) { precedence_ = value; }
  int32_t sourcePort() const { return sourcePort_; }
  void setSourcePort(int32_t value) { sourcePort_ = value; }
  int32_t mtu() const { return mtu_; }
  void setMtu(int32_t value) { mtu_ = value; }

 private:
  int32_t interface_ = 0;
  int32_t precedence_ = 0;
  int32_t sourcePort_ = 0;
  int32_t mtu_ = 1468;
};

/// IP multicast: one sending socket for every receiver of the group.
class IpmConfig {
 public:
  /// Dotted IPv4 text, turned into an address when the socket is made.
  const std::string& groupAddress() const { return groupAddress_; }
  void setGroupAddress(const std::string& value) { groupAddress_ = value; }
  int32_t interface() const { return interface_; }
  void setInterface(int32_t value) { interface_ = value; }
  int32_t precedence() const { return precedence_; }
  void setPrecedence(int32_t value) { precedence_ = value; }
  int32_t port() const { return port_; }
  void setPort(int32_t value) { port_ = value; }
  int32_t ttl() const { return ttl_; }
  void setTtl(int32_t value) { ttl_ = value; }
  int32_t mtu() const { return mtu_; }
  void setMtu(int32_t value) { mtu_ = value; }

 private:
  std::string groupAddress_ = "234.1.2.3";
  int32_t interface_ = 0;
  int32_t precedence_ = 0;
  int32_t port_ = 6666;
  int32_t ttl_ = 1;
  int32_t mtu_ = 1468;
};

/// ATM switched channels. This platform has no ATM transport: the settings
/// are kept and reported, the channels are refused.
class AtmConfig {
 public:
  enum QosClass : int32_t { kCbr = 0, kUbr = 1, kVbr = 2 };

  bool multicastEnabled() const { return multicastEnabled_; }
  void setMulticastEnabled(bool value) { multicastEnabled_ = value; }
  int32_t interface() const { return interface_; }
  void setInterface(int32_t value) { interface_ = value; }
  int32_t mtu() const { return mtu_; }
  void setMtu(int32_t value) { mtu_ = value; }
  int32_t pcrScrRatio() const { return pcrScrRatio_; }
  void setPcrScrRatio(int32_t value) { pcrScrRatio_ = value; }
  int32_t bandwidthMargin() const { return bandwidthMargin_; }
  void setBandwidthMargin(int32_t value) { bandwidthMargin_ = value; }
  int32_t qosClass() const { return qosClass_; }
  /// Throws JTextError "invalid qos" outside 0 ... 2.
  void setQosClass(int32_t value);
  /// "CBR", "UBR" or "VBR".
  const char* qosClassText() const;

 private:
  bool multicastEnabled_ = false;
  int32_t interface_ = 0;
  int32_t mtu_ = 8192;
  int32_t pcrScrRatio_ = 400;
  int32_t bandwidthMargin_ = 100;
  int32_t qosClass_ = kUbr;
};

class ProviderConfig {
 public:
  /// The RPC port of the local access manager's service (not used by the
  /// provider itself).
  int32_t port = -1;

  const UdpConfig& udp() const { return udp_; }
  const IpmConfig& ipm() const { return ipm_; }
  const AtmConfig& atm() const { return atm_; }
  bool udpEnable() const { return udpEnable_; }
  bool ipmEnable() const { return ipmEnable_; }
  bool atmEnable() const { return atmEnable_; }

  /// Setting a group enables its transport; resetting it restores the
  /// defaults and disables it.
  void setUdp(const UdpConfig& config);
  void setIpm(const IpmConfig& config);
  void setAtm(const AtmConfig& config);
  void resetUdp();
  void resetIpm();
  void resetAtm();

  /// Adds the settings to `out` in the order the access manager's replies
  /// show them: the enable flags, then UDP, IP multicast and ATM.
  void write(JParams& out) const;

 private:
  UdpConfig udp_;
  IpmConfig ipm_;
  AtmConfig atm_;
  bool udpEnable_ = false;
  bool ipmEnable_ = false;
  bool atmEnable_ = false;
};

}  // namespace zq
