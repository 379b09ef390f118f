// Replays the stream fuzzers' corpora through the fuzzers' own property
// checks: the commands (ZQ_CONTROL_CORPUS_DIR), which must still reach every
// result of the control interface, and the packets of the reassembly
// (ZQ_NET_BUFFER_CORPUS_DIR), which must still reach every validation rule.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "control_property.h"
#include "helpers/log_capture.h"
#include "net_buffer_property.h"
#include "stream/stream.h"

namespace zq {
namespace {

// Each input of a corpus: its file name and its bytes.
std::vector<std::pair<std::string, std::string>> corpus(const char* dir) {
  std::vector<std::pair<std::string, std::string>> inputs;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    std::ifstream in(entry.path(), std::ios::binary);
    inputs.emplace_back(entry.path().filename().string(),
                        std::string(std::istreambuf_iterator<char>(in), {}));
  }
  return inputs;
}

const uint8_t* bytesOf(const std::string& s) {
  return reinterpret_cast<const uint8_t*>(s.data());
}

TEST(ControlCorpus, EveryCommandKeepsThePropertyAndEveryResultIsReached) {
  const auto inputs = corpus(ZQ_CONTROL_CORPUS_DIR);
  ASSERT_GE(inputs.size(), 20u) << "corpus missing at " << ZQ_CONTROL_CORPUS_DIR;
  std::set<int> results;
  for (const auto& [name, input] : inputs) {
    EXPECT_EQ(fuzz::checkControlProperty(bytesOf(input), input.size()), "") << input;
    JStream stream(64, 5, false, 1, true);
    char answer[16];
    results.insert(stream.control(input.c_str(), answer, sizeof answer));
  }
  EXPECT_EQ(results, (std::set<int>{-5, -3, -1, 0}));
}

TEST(NetBufferCorpus, EveryInputKeepsThePropertyAndEveryRuleIsReached) {
  const auto inputs = corpus(ZQ_NET_BUFFER_CORPUS_DIR);
  ASSERT_GE(inputs.size(), 12u) << "corpus missing at " << ZQ_NET_BUFFER_CORPUS_DIR;
  test::LogCapture log;
  for (const auto& [name, input] : inputs) {
    EXPECT_EQ(fuzz::checkNetBufferProperty(bytesOf(input), input.size()), "") << name;
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
