// Replays the packet reassembly fuzzer's corpus (ZQ_NET_BUFFER_CORPUS_DIR)
// through the fuzzer's own property check, and makes sure the corpus still
// reaches every validation rule and completes frames.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "helpers/log_capture.h"
#include "net_buffer_property.h"

namespace zq {
namespace {

TEST(NetBufferCorpus, EveryInputKeepsThePropertyAndEveryRuleIsReached) {
  std::vector<std::pair<std::string, std::string>> inputs;
  for (const auto& entry : std::filesystem::directory_iterator(ZQ_NET_BUFFER_CORPUS_DIR)) {
    std::ifstream in(entry.path(), std::ios::binary);
    inputs.emplace_back(entry.path().filename().string(),
                        std::string(std::istreambuf_iterator<char>(in), {}));
  }
  ASSERT_GE(inputs.size(), 12u) << "corpus missing at " << ZQ_NET_BUFFER_CORPUS_DIR;
  test::LogCapture log;
  for (const auto& [name, input] : inputs) {
    EXPECT_EQ(
        fuzz::checkNetBufferProperty(reinterpret_cast<const uint8_t*>(input.data()), input.size()),
        "")
        << name;
  }
  const char* const rules[] = {
      "smaller than packet header",           "Received frame smaller than frame header",
      "bigger than MAX_PACKET_SIZE",          "ignoring disconnection packet",
      "received packet from older frame",     "frameFragCount out of range",
      "FragSeqNum larger than FragsPerFrame", "first packet ever received is last in frame",
      "Ignoring Packet: MTU inconsistency",   "Too many MTU inconsistency",
      "received frame bigger than buffer",    "Frame Sequence Number jump",
      "frameFragCount inconsistency",         "Duplicated fragment",
  };
  for (const char* rule : rules) {
    EXPECT_TRUE(log.contains(rule)) << rule;
  }
}

}  // namespace
}  // namespace zq
