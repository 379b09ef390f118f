// Replays the parameter fuzzer's corpus through the fuzzer's own property
// check, and makes sure the corpus still reaches every value type and every
// parse error.
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

#ifndef ZQ_PARAMS_CORPUS_DIR
#error "ZQ_PARAMS_CORPUS_DIR must name fuzz/corpus/params"
#endif

namespace zq {
namespace {

struct CorpusFile {
  std::string name;
  std::string bytes;
};

std::vector<CorpusFile> corpus() {
  std::vector<CorpusFile> files;
  for (const auto& entry : std::filesystem::directory_iterator(ZQ_PARAMS_CORPUS_DIR)) {
    if (!entry.is_regular_file()) {
      continue;
    }
    std::ifstream in(entry.path(), std::ios::binary);
    files.push_back(
        {entry.path().filename().string(), std::string(std::istreambuf_iterator<char>(in), {})});
  }
  return files;
}

TEST(ParamsCorpus, EveryFileKeepsTheProperty) {
  const std::vector<CorpusFile> files = corpus();
  ASSERT_GE(files.size(), 20u) << "corpus missing at " << ZQ_PARAMS_CORPUS_DIR;
  for (const CorpusFile& file : files) {
    EXPECT_EQ(zq::fuzz::checkParamsProperty(reinterpret_cast<const uint8_t*>(file.bytes.data()),
                                            file.bytes.size()),
              "")
        << file.name;
  }
}

TEST(ParamsCorpus, CoversEveryTypeAndEveryParseError) {
  std::set<int32_t> types;
  std::set<int32_t> codes;
  for (const CorpusFile& file : corpus()) {
    JParams p;
    try {
      p.parse(file.bytes);
    } catch (const JRPCProtocolError& e) {
      codes.insert(e.code());
      continue;
    }
    for (const JVariant& v : p) {
      types.insert(v.type());
    }
  }
  EXPECT_EQ(types, (std::set<int32_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ(codes, (std::set<int32_t>{-10, -9, -8, -7, -6, -5}));
}

TEST(ParamsProperty, HoldsForHandWrittenInputs) {
  for (std::string_view text : {"", "a=1", "a=-0.", "a=1e999", "x=yes", "a=\"\\0\"",
                                "a=[abc], b=2.5, c=true, d=\"\\x01\""}) {
    EXPECT_EQ(
        zq::fuzz::checkParamsProperty(reinterpret_cast<const uint8_t*>(text.data()), text.size()),
        "")
        << text;
  }
}

}  // namespace
}  // namespace zq
