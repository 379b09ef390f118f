// Replays the parameter fuzzer's corpus (ZQ_PARAMS_CORPUS_DIR) and a few
// hand-written inputs through the fuzzer's own property check, and makes sure
// the corpus still reaches every value type and every parse error.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "params_property.h"
#include "rpc/params.h"
#include "rpc/rpc_error.h"

namespace zq {
namespace {

TEST(ParamsCorpus, EveryInputKeepsThePropertyAndAllTypesAndErrorsAreReached) {
  std::vector<std::string> inputs = {
      "", "a=1", "a=-0.", "a=1e999", "x=yes", "a=\"\\0\"", "a=[abc], b=2.5, c=true, d=\"\\x01\""};
  const size_t handWritten = inputs.size();
  for (const auto& entry : std::filesystem::directory_iterator(ZQ_PARAMS_CORPUS_DIR)) {
    std::ifstream in(entry.path(), std::ios::binary);
    inputs.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  ASSERT_GE(inputs.size(), handWritten + 20) << "corpus missing at " << ZQ_PARAMS_CORPUS_DIR;
  std::set<int32_t> types;
  std::set<int32_t> codes;
  for (size_t i = 0; i < inputs.size(); ++i) {
    const std::string& input = inputs[i];
    EXPECT_EQ(
        fuzz::checkParamsProperty(reinterpret_cast<const uint8_t*>(input.data()), input.size()), "")
        << input;
    if (i < handWritten) {
      continue;  // the corpus alone must reach every type and error
    }
    JParams p;
    try {
      p.parse(input);
    } catch (const JRPCProtocolError& e) {
      codes.insert(e.code());
    }
    for (const JVariant& v : p) {
      types.insert(v.type());
    }
  }
  EXPECT_EQ(types, (std::set<int32_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ(codes, (std::set<int32_t>{-10, -9, -8, -7, -6, -5}));
}

}  // namespace
}  // namespace zq
