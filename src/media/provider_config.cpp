// The provider's transport settings and their parameter text.
#include "media/provider_config.h"

#include "base/error.h"

namespace zq {

void AtmConfig::setQosClass(int32_t value) {
  if (value < kCbr || value > kVbr) {
    throw JTextError("invalid qos");
  }
  qosClass_ = value;
}

const char* AtmConfig::qosClassText() const {
  static const char* const kTexts[] = {"CBR", "UBR", "VBR"};
  return kTexts[qosClass_];
}

void ProviderConfig::setUdp(const UdpConfig& config) {
  udp_ = config;
  udpEnable_ = true;
}

void ProviderConfig::setIpm(const IpmConfig& config) {
  ipm_ = config;
  ipmEnable_ = true;
}

void ProviderConfig::setAtm(const AtmConfig& config) {
  atm_ = config;
  atmEnable_ = true;
}

void ProviderConfig::resetUdp() {
  udp_ = UdpConfig();
  udpEnable_ = false;
}

void ProviderConfig::resetIpm() {
  ipm_ = IpmConfig();
  ipmEnable_ = false;
}

void ProviderConfig::resetAtm() {
  atm_ = AtmConfig();
  atmEnable_ = false;
}

void ProviderConfig::write(JParams& out) const {
  out.set("UdpEnable", udpEnable_);
  out.set("IpmEnable", ipmEnable_);
  out.set("AtmEnable", atmEnable_);
  out.set("UdpInterface", int64_t{udp_.interface()});
  out.set("UdpPrecedence", int64_t{udp_.precedence()});
  out.set("UdpSourcePort", int64_t{udp_.sourcePort()});
  out.set("UdpMtu", int64_t{udp_.mtu()});
  out.set("IpmGroupAddress", ipm_.groupAddress());
  out.set("IpmPort", int64_t{ipm_.port()});
  out.set("IpmInterface", int64_t{ipm_.interface()});
  out.set("IpmPrecedence", int64_t{ipm_.precedence()});
  out.set("IpmMtu", int64_t{ipm_.mtu()});
  out.set("IpmTtl", int64_t{ipm_.ttl()});
  out.set("AtmInterface", int64_t{atm_.interface()});
  out.set("AtmMulticastEnabled", atm_.multicastEnabled());
  out.set("AtmMtu", int64_t{atm_.mtu()});
  out.set("AtmPcrScrRatio", int64_t{atm_.pcrScrRatio()});
  out.set("AtmBandwidthMargin", int64_t{atm_.bandwidthMargin()});
  out.set("AtmQosClass", atm_.qosClassText());
}

}  // namespace zq
