// The RIFF/WAVE header reader: the layouts real files have, and each way a
// file can be broken, with the problem it must be reported as; and the
// bounds of the formats the system plays, each fault with its text.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "audio/pcm_format.h"
#include "audio/wave_file.h"
#include "wave_test_support.h"

namespace zq {
namespace {

using namespace test;

const Bytes kMono16 = fmt(1, 1, 8000, 16);

struct Case {
  const char* name;
  Bytes file;
  WaveFileProblem problem;
  size_t dataOffset = 0;
  size_t dataLength = 0;
  bool truncated = false;
  uint16_t channels = 1;
};

TEST(WaveFile, ReadsEveryLayoutAndNamesEveryProblem) {
  const Case cases[] = {
      {"plain", riff({chunk("fmt ", kMono16), chunk("data", samples(40))}), WaveFileProblem::kNone,
       44, 40},
      {"data before fmt", riff({chunk("data", samples(40)), chunk("fmt ", kMono16)}),
       WaveFileProblem::kNone, 20, 40},
      {"odd chunk padded",
       riff({chunk("LIST", samples(5)), chunk("fmt ", kMono16), chunk("data", samples(8))}),
       WaveFileProblem::kNone, 58, 8},
      {"odd fmt padded",
       riff({chunk("fmt ",
                   [] {
                     Bytes b = kMono16;
                     b.resize(17);
                     return b;
                   }()),
             chunk("data", samples(8))}),
       WaveFileProblem::kNone, 46, 8},
      {"data cut to whole frames", riff({chunk("fmt ", kMono16), chunk("data", samples(9))}),
       WaveFileProblem::kNone, 44, 8},
      {"data longer than file",
       riff({chunk("fmt ", kMono16), chunk("data", samples(11), 400, false)}),
       WaveFileProblem::kNone, 44, 10, true},
      {"extensible PCM", riff({chunk("fmt ", extensible(1)), chunk("data", samples(8))}),
       WaveFileProblem::kNone, 68, 8, false, 2},
      {"last odd chunk unpadded",
       riff({chunk("fmt ", kMono16), chunk("data", samples(8)),
             chunk("junk", samples(3), -1, false)}),
       WaveFileProblem::kNone, 44, 8},
      {"empty", {}, WaveFileProblem::kEmpty},
      {"RIFX",
       [] {
         Bytes b = riff({chunk("fmt ", kMono16)});
         b[3] = 'X';
         return b;
       }(),
       WaveFileProblem::kNotRiffWave},
      {"cut in a chunk header", cut(riff({chunk("fmt ", kMono16), chunk("data", {})}), 1),
       WaveFileProblem::kTruncatedChunkHeader},
      {"cut in the fmt body", cut(riff({chunk("fmt ", kMono16)}), 2),
       WaveFileProblem::kTruncatedFormat},
      {"extensible cut", riff({chunk("fmt ", cut(extensible(1), 2)), chunk("data", samples(8))}),
       WaveFileProblem::kTruncatedFormat},
      {"no fmt", riff({chunk("data", samples(8))}), WaveFileProblem::kNoFormat},
      {"huge chunk hides fmt",
       riff({chunk("junk", samples(4), 0xFFFFFFFF), chunk("fmt ", kMono16)}),
       WaveFileProblem::kNoFormat},
      {"no data", riff({chunk("fmt ", kMono16)}), WaveFileProblem::kNoData},
      {"two fmt", riff({chunk("fmt ", kMono16), chunk("fmt ", kMono16), chunk("data", samples(8))}),
       WaveFileProblem::kDuplicateChunk},
      {"float", riff({chunk("fmt ", fmt(3, 1, 8000, 32)), chunk("data", samples(8))}),
       WaveFileProblem::kNotPcm},
      {"extensible float", riff({chunk("fmt ", extensible(3)), chunk("data", samples(8))}),
       WaveFileProblem::kNotPcm},
      {"no channel", riff({chunk("fmt ", fmt(1, 0, 8000, 16, 2)), chunk("data", samples(8))}),
       WaveFileProblem::kBadFormatFields},
      {"no whole frame", riff({chunk("fmt ", fmt(1, 2, 8000, 16)), chunk("data", samples(3))}),
       WaveFileProblem::kNoWholeFrame},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WaveFileHeader header;
    const WaveFileProblem problem = readWaveHeader(c.file, header);
    ASSERT_EQ(problem, c.problem) << waveFileProblemText(problem);
    if (problem != WaveFileProblem::kNone) {
      continue;
    }
    EXPECT_EQ(header.dataOffset, c.dataOffset);
    EXPECT_EQ(header.dataLength, c.dataLength);
    EXPECT_EQ(header.dataTruncated, c.truncated);
    EXPECT_EQ(header.format.formatTag, kWaveFormatPcm);
    EXPECT_EQ(header.format.channels, c.channels);
    EXPECT_EQ(header.format.blockAlign, c.channels * 2);
    EXPECT_EQ(0, std::memcmp(c.file.data() + header.dataOffset, samples(c.dataLength).data(),
                             c.dataLength));
  }
}

TEST(PcmFormat, EachFaultIsNamedWithItsFigures) {
  struct FormatCase {
    const char* name;
    bool pcm;
    uint32_t rate, bits, channels, align, bytesPerSecond, blockSamples;
    const char* problem;
  };
  const FormatCase cases[] = {
      {"PCM at the bounds", true, 4000, 8, 2, 2, 0, 4000, ""},
      {"block not known", true, 192000, 16, 1, 2, 0, 0, ""},
      {"24 bits", true, 8000, 24, 1, 3, 0, 0, "24 bits per sample: 8 and 16 are played"},
      {"3 channels", true, 8000, 16, 3, 6, 0, 0, "3 channels: 1 to 2 are played"},
      {"unpacked samples", true, 8000, 16, 2, 6, 0, 0,
       "block align 6 is not 4 (2 channels of 16 bits)"},
      {"a block over a second", true, 8000, 16, 1, 2, 0, 8001,
       "a block of 8001 samples (16002 bytes) is longer than one second or 1048576 bytes"},
      {"coded, 3 channels", false, 8000, 8, 3, 3, 24000, 200, "3 channels: 1 to 2 are played"},
      {"coded, block align 0", false, 8000, 8, 1, 0, 8000, 200, "block align 0"},
      {"coded, no byte rate", false, 8000, 8, 1, 1, 0, 200, "a byte rate of 0"},
  };
  // A rate past the highest and a coded block over 1 MiB are refused with
  // their texts where a WAVE file is read (WaveInputTest).
  for (const FormatCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(
        c.pcm ? pcmFormatProblem(c.rate, c.bits, c.channels, c.align, c.blockSamples)
              : codedFormatProblem(c.rate, c.channels, c.align, c.bytesPerSecond, c.blockSamples),
        c.problem);
  }
}

}  // namespace
}  // namespace zq
