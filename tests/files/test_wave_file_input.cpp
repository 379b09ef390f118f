// WAVE files read in 25 ms blocks: block sizes, counts, padding and time
// stamps, descriptions of PCM and of other codings, looping, a file still
// being written, and the files refused.
#include <gtest/gtest.h>

#include <fstream>

#include "file_test_support.h"
#include "files/wave_file_input.h"

namespace zq {
namespace {

using namespace test;

using WaveInputTest = FileInputTest;

// `format` followed by a cbSize field and `extra`.
Bytes fmtWithExtra(Bytes format, uint16_t cbSize, const Bytes& extra = {}) {
  put16(format, cbSize);
  format.insert(format.end(), extra.begin(), extra.end());
  return format;
}

TEST_F(WaveInputTest, ReadsBlocksPaddedWithSilence) {
  struct Case {
    const char* name;
    Bytes file;
    int64_t blocks;
    uint32_t blockSize;
    size_t dataBytes;  // before the padding
    uint8_t silence;
    int64_t blockMicroseconds;
    uint16_t tag = StreamInfo::kFormatPcm;  // of the description
    Bytes extra = {};                       // the description's bytes from offset 38
  };
  const Case cases[] = {
      {"8 kHz 16-bit mono",
       riff({chunk("fmt ", fmt(1, 1, 8000, 16)), chunk("data", samples(1000))}), 3, 400, 1000, 0,
       25000},
      {"8-bit silence is 0x80",
       riff({chunk("fmt ", fmt(1, 1, 8000, 8)), chunk("data", samples(450))}), 3, 200, 450, 0x80,
       25000},
      {"44.1 kHz stereo, chunks around",
       riff({chunk("LIST", samples(7)), chunk("fmt ", fmt(1, 2, 44100, 16)),
             chunk("data", samples(4 * 1102 * 2)), chunk("junk", samples(5))}),
       2, 4 * 1102, 4 * 1102 * 2, 0, 24988},
      {"no samples", riff({chunk("fmt ", fmt(1, 1, 8000, 16)), chunk("data", {}, 400)}), 0, 400, 0,
       0, 25000},
      {"float by its own format",
       riff({chunk("fmt ", fmt(3, 1, 8000, 32)), chunk("data", samples(1000))}), 2, 800, 1000, 0,
       25000, 3},
      {"A-law with its extra bytes",
       riff({chunk("fmt ", fmtWithExtra(fmt(6, 1, 8000, 8), 2, {0xAB, 0xCD})),
             chunk("data", samples(300))}),
       2,
       200,
       300,
       0x80,
       25000,
       6,
       {0xAB, 0xCD}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = write(std::string(c.name) + ".wav", c.file);
    const FileInfoHold info(getFileInfo(path));
    ASSERT_NE(info, nullptr);
    const FileDescription& d = *info->description();
    EXPECT_EQ(d.frameCount(), c.blocks);
    const StreamInfo& s = d.streamInfo();
    EXPECT_EQ(s.formatTag(), c.tag);
    EXPECT_EQ(s.content(), c.tag == StreamInfo::kFormatPcm ? StreamInfo::kPcm : 0u);
    EXPECT_EQ(s.extraSize(), c.extra.size());
    ASSERT_EQ(s.infoSize(), StreamInfo::kPcmInfoSize + c.extra.size());
    EXPECT_TRUE(std::equal(c.extra.begin(), c.extra.end(), s.bytes().begin() + 38));
    EXPECT_EQ(s.blockAlign() * s.chunk(), c.blockSize);
    EXPECT_EQ(s.streamBufferSize(), c.blockSize + 32);
    EXPECT_EQ(d.attributes().toString(", "), "allowRecording=1, original=1, crc=0, scrambling=-1");
    const auto input = info->openInput();
    const ReadThrough r = readThrough(*input);
    EXPECT_EQ(r.last, FileInput::kEnd);
    ASSERT_EQ(r.frames.size(), static_cast<size_t>(c.blocks));
    const Bytes all = join(r.frames);
    ASSERT_EQ(all.size(), static_cast<size_t>(c.blocks) * c.blockSize);
    // Every file holds samples(n) as its data.
    const Bytes data = samples(c.dataBytes);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), all.begin()));
    EXPECT_TRUE(std::all_of(all.begin() + static_cast<long>(c.dataBytes), all.end(),
                            [&](uint8_t b) { return b == c.silence; }));
    for (size_t k = 0; k < r.times.size(); ++k) {
      EXPECT_EQ(r.times[k], static_cast<int64_t>(k) * c.blockMicroseconds) << k;
    }
    // Looping, the end is followed by the first block again.
    input->setLooping(true);
    int64_t time = -1;
    EXPECT_EQ(input->nextFrame(nullptr, nullptr, &time, nullptr),
              c.blocks > 0 ? FileInput::kLooped : FileInput::kNothingAfterLoop);
    EXPECT_EQ(input->frameNumber(), c.blocks > 0 ? 0 : -1);
    EXPECT_EQ(time, c.blocks > 0 ? 0 : -1);
  }
}

TEST_F(WaveInputTest, RefusesWhatItCannotRead) {
  struct Case {
    const char* name;
    Bytes file;
    const char* error;
  };
  const Bytes pcm = fmt(1, 1, 8000, 16);
  const Case cases[] = {
      // The header walk's own refusals are the audio layer's test.
      {"no data", riff({chunk("fmt ", pcm)}), "invalid wave format"},
      {"18-byte PCM format with extra bytes",
       riff({chunk("fmt ", fmtWithExtra(fmt(1, 1, 8000, 16), 2)), chunk("data", samples(8))}),
       "invalid wave format"},
      {"coded format short of its extra bytes",
       riff(
           {chunk("fmt ", fmtWithExtra(fmt(6, 1, 8000, 8), 3, {1, 2})), chunk("data", samples(8))}),
       "invalid wave format"},
      // Nothing is sized from a format the system cannot play.
      {"2 GHz", riff({chunk("fmt ", fmt(1, 1, 2000000000, 16)), chunk("data", samples(8))}),
       "unsupported wave format: sampling rate 2000000000 Hz is outside 4000 to 192000 Hz"},
      {"coded blocks over 1 MiB",
       riff({chunk("fmt ", fmt(2, 1, 8000, 4, 8192)), chunk("data", samples(8))}),
       "unsupported wave format: a block of 200 samples (1638400 bytes) is longer than one "
       "second or 1048576 bytes"},
      {"too many extra bytes",
       riff({chunk("fmt ", fmtWithExtra(fmt(6, 1, 8000, 8), 65, Bytes(65))),
             chunk("data", samples(8))}),
       "unsupported wave format: 65 extra format bytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = write(std::string(c.name) + ".wav", c.file);
    FileInfo* info = nullptr;
    EXPECT_EQ(thrownText([&] { info = getFileInfo(path); }), c.error);
    EXPECT_EQ(info, nullptr);
  }
}

TEST_F(WaveInputTest, AGrowingFileIsReadAsFarAsItHasGrown) {
  const Bytes head = riff({chunk("fmt ", fmt(1, 1, 8000, 16)), chunk("data", {}, 0)});
  const std::string path = write("growing.wav", head);
  const FileInfoHold info(getFileInfo(path));
  ASSERT_NE(info, nullptr);
  EXPECT_TRUE(info->description()->growing());
  EXPECT_EQ(info->description()->frameCount(), 0);
  const auto input = info->openInput();
  input->setLooping(false);
  EXPECT_EQ(input->nextFrame(nullptr, nullptr, nullptr, nullptr), FileInput::kEnd);
  std::ofstream more(path, std::ios::binary | std::ios::app);
  const Bytes block = samples(400);
  more.write(reinterpret_cast<const char*>(block.data()), 400).write("\x01\x02", 2).flush();
  // One whole block is there, the half-written second one is not yet.
  EXPECT_EQ(input->nextFrame(nullptr, nullptr, nullptr, nullptr), FileInput::kFrame);
  Bytes got(400);
  EXPECT_EQ(input->read(got.data(), 400), 400u);
  EXPECT_EQ(got, block);
  EXPECT_EQ(input->nextFrame(nullptr, nullptr, nullptr, nullptr), FileInput::kEnd);
  EXPECT_EQ(info->description()->frameCount(), 1);
  more.write(reinterpret_cast<const char*>(block.data()), 398).flush();
  EXPECT_EQ(input->nextFrame(nullptr, nullptr, nullptr, nullptr), FileInput::kFrame);
  EXPECT_EQ(input->frameNumber(), 1);
  EXPECT_EQ(info->description()->frameCount(), 2);
  EXPECT_EQ(info->description()->dataSize(), 800u);
}

}  // namespace
}  // namespace zq
