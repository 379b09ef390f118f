// JFlowSpec and JQoS: the quality-of-service block a socket keeps once a
// flowspec is set, and hands to every connect.
//
// This platform has no per-socket reservation service, so the block is stored
// and handed on but reserves nothing; it still tells a caller what was asked.
#pragma once

#include <cstdint>
#include <vector>

namespace zq {

/// One direction of a reservation: eight 32-bit words.
struct JFlowSpec {
  uint32_t tokenRate = 0;
  uint32_t tokenBucketSize = 0;
  uint32_t peakBandwidth = 0;
  uint32_t latency = 0;
  uint32_t delayVariation = 0;
  uint32_t serviceType = 0;
  uint32_t maxSduSize = 0;
  uint32_t minimumPolicedSize = 0;

  bool operator==(const JFlowSpec&) const = default;
};

/// The block: sending and receiving flowspecs and the provider-specific bytes.
struct JQoS {
  JFlowSpec sending;
  JFlowSpec receiving;
  std::vector<uint8_t> providerSpecific;
};

}  // namespace zq
