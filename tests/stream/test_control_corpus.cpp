// Replays the command fuzzer's corpus (ZQ_CONTROL_CORPUS_DIR) through the
// fuzzer's own property check, and makes sure the corpus still reaches every
// result of the control interface.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "control_property.h"
#include "stream/stream.h"

namespace zq {
namespace {

TEST(ControlCorpus, EveryCommandKeepsThePropertyAndEveryResultIsReached) {
  std::vector<std::string> inputs;
  for (const auto& entry : std::filesystem::directory_iterator(ZQ_CONTROL_CORPUS_DIR)) {
    std::ifstream in(entry.path(), std::ios::binary);
    inputs.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  ASSERT_GE(inputs.size(), 20u) << "corpus missing at " << ZQ_CONTROL_CORPUS_DIR;
  std::set<int> results;
  for (const std::string& input : inputs) {
    EXPECT_EQ(
        fuzz::checkControlProperty(reinterpret_cast<const uint8_t*>(input.data()), input.size()),
        "")
        << input;
    JStream stream(64, 5, false, 1, true);
    char answer[16];
    results.insert(stream.control(input.c_str(), answer, sizeof answer));
  }
  EXPECT_EQ(results, (std::set<int>{-5, -3, -1, 0}));
}

}  // namespace
}  // namespace zq
