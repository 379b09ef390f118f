// What the tests of zqoutput's service need, in process or against a sound
// server: a local AAM whose stream it fetches, the request that fetches it,
// the numbers of its statistics answer, and the WAVE file it writes.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "aam/aam_channel_manager.h"
#include "media/provider_test_support.h"

namespace zq::test {

/// The number after `key=` in an answer ("OK FramesReceived=12, ..."), the
/// key matched whole; -1 when absent.
inline long long valueOf(const std::string& answer, const std::string& key) {
  for (size_t at = answer.find(key + "="); at != std::string::npos;
       at = answer.find(key + "=", at + 1)) {
    if (at == 0 || !std::isalnum(static_cast<unsigned char>(answer[at - 1]))) {
      return std::stoll(answer.substr(at + key.size() + 1));
    }
  }
  return -1;
}

/// A local AAM on wave-input device `device`, MP3 at 128 kbit/s, its
/// multicast transport on `groupPort`.
inline std::unique_ptr<ZQAAMChannelManager> localAam(int32_t device,
                                                     uint16_t groupPort = freeUdpPort()) {
  AAMConfig c;
  c.provider = loopbackTransports(groupPort);
  c.provider.port = 0;
  c.desc = localMike(device, MikeDesc::kWaveInMicIn, 128000);
  return std::make_unique<ZQAAMChannelManager>(c, 0, "ZQAAMChannelManager");
}

/// The request that makes an output fetch the stream of the AAM at `port`.
inline std::string netSource(uint16_t port, const std::string& proto = "udp") {
  return "setNetSource(proto=\"" + proto + "\", host=\"127.0.0.1\", port=" + std::to_string(port) +
         ")";
}

/// A WAVE file as written, its header fields read independently of the
/// writer; no sample when the file is not a 44-byte-header WAVE file.
struct Wave {
  uint32_t rate = 0;
  uint32_t channels = 0;
  uint32_t riffSize = 0;
  uint32_t dataSize = 0;
  std::vector<int16_t> samples;  // as many as the file holds, up to dataSize
};

inline Wave readWave(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  Wave w;
  if (b.size() < 44 || std::memcmp(b.data(), "RIFF", 4) != 0 ||
      std::memcmp(b.data() + 36, "data", 4) != 0) {
    return w;
  }
  auto u32 = [&](size_t at) {
    return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 |
           uint32_t{b[at + 3]} << 24;
  };
  w.riffSize = u32(4);
  w.channels = b[22] | b[23] << 8;
  w.rate = u32(24);
  w.dataSize = u32(40);
  w.samples.resize(std::min<size_t>(w.dataSize, b.size() - 44) / 2);
  std::memcpy(w.samples.data(), b.data() + 44, w.samples.size() * 2);
  return w;
}

}  // namespace zq::test
