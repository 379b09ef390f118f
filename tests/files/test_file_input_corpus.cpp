// Replays the file input fuzzers' corpora (ZQ_MP3_FILE_CORPUS_DIR,
// ZQ_WAVE_FILE_CORPUS_DIR) through their own property checks, whole and cut
// at every length, and makes sure each corpus still reaches the outcomes
// that matter: refused and described files, trailers taken and built,
// frames read, seeks refused.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "file_input_property.h"
#include "helpers/temp_dir.h"

namespace zq {
namespace {

using Check = std::string (*)(const uint8_t*, size_t, fuzz::FileInputOutcome&);

struct Corpus {
  const char* name;
  const char* dir;
  Check check;
  size_t least;  // inputs
};

TEST(FileInputCorpus, EveryInputKeepsThePropertyAndTheOutcomesAreReached) {
  const test::ScopedRegistryDir registry;
  const Corpus corpora[] = {
      {"mp3", ZQ_MP3_FILE_CORPUS_DIR, fuzz::checkMp3FileProperty, 10},
      {"wave", ZQ_WAVE_FILE_CORPUS_DIR, fuzz::checkWaveFileProperty, 10},
  };
  for (const Corpus& c : corpora) {
    SCOPED_TRACE(c.name);
    size_t inputs = 0;
    bool refused = false;
    bool described = false;
    bool indexed = false;
    bool notIndexed = false;
    bool framesRead = false;
    bool seekRefused = false;
    for (const auto& entry : std::filesystem::directory_iterator(c.dir)) {
      std::ifstream in(entry.path(), std::ios::binary);
      const std::string input(std::istreambuf_iterator<char>(in), {});
      // Every prefix too: a file cut anywhere is refused or read within its bytes.
      for (size_t size = input.size() + 1; size-- > 0;) {
        fuzz::FileInputOutcome outcome;
        const std::string failure =
            c.check(reinterpret_cast<const uint8_t*>(input.data()), size, outcome);
        ASSERT_EQ(failure, "") << entry.path().filename() << " cut to " << size;
        refused |= !outcome.described;
        described |= outcome.described;
        indexed |= outcome.indexed;
        notIndexed |= outcome.described && !outcome.indexed;
        framesRead |= outcome.frames > 1;
        seekRefused |= outcome.seekRefused;
      }
      ++inputs;
    }
    EXPECT_GE(inputs, c.least) << "corpus missing at " << c.dir;
    EXPECT_TRUE(refused);
    EXPECT_TRUE(described);
    EXPECT_TRUE(framesRead);
    if (std::string(c.name) == "mp3") {
      EXPECT_TRUE(indexed);
      EXPECT_TRUE(notIndexed);
      EXPECT_TRUE(seekRefused);
    }
  }
}

}  // namespace
}  // namespace zq
