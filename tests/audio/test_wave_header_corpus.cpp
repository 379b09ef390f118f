// Replays the WAVE header fuzzer's corpus (ZQ_WAVE_HEADER_CORPUS_DIR) through
// the fuzzer's own property check, whole and cut, and makes sure the corpus still reaches
// every answer the reader can give.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "wave_header_property.h"

namespace zq {
namespace {

TEST(WaveHeaderCorpus, EveryInputKeepsThePropertyAndEveryAnswerIsReached) {
  std::set<WaveFileProblem> reached;
  int inputs = 0;
  for (const auto& entry : std::filesystem::directory_iterator(ZQ_WAVE_HEADER_CORPUS_DIR)) {
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string input(std::istreambuf_iterator<char>(in), {});
    // Every prefix too: a file cut anywhere is refused or read within its bytes.
    for (size_t size = input.size() + 1; size-- > 0;) {
      WaveFileProblem problem;
      EXPECT_EQ(fuzz::checkWaveHeaderProperty(reinterpret_cast<const uint8_t*>(input.data()), size,
                                              problem),
                "")
          << entry.path().filename() << " cut to " << size;
      reached.insert(problem);
    }
    ++inputs;
  }
  ASSERT_GE(inputs, 12) << "corpus missing at " << ZQ_WAVE_HEADER_CORPUS_DIR;
  for (int p = 0; p <= static_cast<int>(WaveFileProblem::kNoWholeFrame); ++p) {
    EXPECT_EQ(reached.count(static_cast<WaveFileProblem>(p)), 1u)
        << waveFileProblemText(static_cast<WaveFileProblem>(p));
  }
}

}  // namespace
}  // namespace zq
