// Stream descriptions: the PCM description's bytes, buffer sizes, the
// compatibility test with its errors and log lines, and the two dumps.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/error.h"
#include "helpers/log_capture.h"
#include "helpers/thrown.h"
#include "stream/stream_info.h"

namespace zq {
namespace {

// A description built field by field: {offset, size, value}.
struct Field {
  size_t offset;
  size_t size;
  uint32_t value;
};

std::unique_ptr<StreamInfo> describe(std::vector<Field> fields, size_t infoSize = 84) {
  std::vector<uint8_t> bytes(infoSize, 0);
  fields.push_back({12, 4, static_cast<uint32_t>(infoSize)});
  for (const Field& f : fields) {
    for (size_t i = 0; i < f.size; ++i) {
      bytes[f.offset + i] = static_cast<uint8_t>(f.value >> (8 * i));
    }
  }
  return StreamInfo::fromBytes(bytes);
}

// MP3 audio at a rate and bit rate.
std::unique_ptr<StreamInfo> mp3(uint32_t rate, uint32_t bytesPerSecond) {
  return StreamInfo::makeMp3StreamInfo(bytesPerSecond * 8, rate, 1, 417);
}

// Video of a content, an image size, a bit count and a compression; `extra`
// bytes of bitmap information after the 40 standard ones.
std::unique_ptr<StreamInfo> video(uint32_t content, uint32_t width, uint16_t bits,
                                  uint32_t compression, uint8_t extra = 0) {
  return describe({{0, 4, 1},
                   {4, 4, 3},
                   {8, 4, content},
                   {16, 4, width},
                   {20, 4, 288},
                   {44, 4, 40u + (extra != 0 ? 4u : 0u)},
                   {48, 4, width},
                   {52, 4, 288},
                   {56, 2, 1},
                   {58, 2, bits},
                   {60, 4, compression},
                   {84, 4, extra}},
                  88);
}

TEST(StreamInfo, ThePcmDescriptionAndTheBufferSizeOfEachKind) {
  const auto pcm = StreamInfo::makePcmStreamInfo(8000, 16, 2, 160);
  const uint8_t expected[84] = {2, 0, 0, 0,    1, 0, 0, 0, 0xE9, 3, 0, 0,    84,
                                0, 0, 0, 160,  0, 0, 0, 1, 0,    2, 0, 0x40, 0x1F,
                                0, 0, 0, 0x7D, 0, 0, 4, 0, 16,   0, 0, 0};
  ASSERT_EQ(pcm->infoSize(), 84u);
  EXPECT_EQ(std::memcmp(pcm->bytes().data(), expected, sizeof expected), 0);
  EXPECT_EQ(pcm->streamBufferSize(), 4u * 160 + 32);
  EXPECT_EQ(StreamInfo::makePcmStreamInfo(8000, 16, 1, 0)->streamBufferSize(), 96032u);
  EXPECT_EQ(mp3(44100, 16000)->streamBufferSize(), 1984u);
  EXPECT_EQ(video(1, 352, 16, 0)->streamBufferSize(), 131072u);
  EXPECT_EQ(describe({{0, 4, 4}})->streamBufferSize(), 32u);
  // Bytes beyond InfoSize are dropped; fewer bytes than it states are refused.
  std::vector<uint8_t> bytes(pcm->bytes().begin(), pcm->bytes().end());
  bytes.resize(100, 0xEE);
  EXPECT_EQ(StreamInfo::fromBytes(bytes)->infoSize(), 84u);
  bytes.resize(83);
  EXPECT_THROW(StreamInfo::fromBytes(bytes), JTextError);
  EXPECT_THROW(StreamInfo::fromBytes(std::vector<uint8_t>(15, 0)), JTextError);
}

TEST(StreamInfo, CompatibilityFailsOnTheFirstDifferenceWithItsText) {
  const auto pcm = [](uint32_t rate, uint16_t bits = 16) {
    return StreamInfo::makePcmStreamInfo(rate, bits, 1, 160);
  };
  struct Case {
    const char* name;
    std::unique_ptr<StreamInfo> a, b;
    const char* error;  // null: compatible
  } cases[] = {
      {"MP3 at other rates", mp3(44100, 16000), mp3(22050, 4000), nullptr},
      {"PCM at another rate", pcm(8000), pcm(16000), "Incompatible stream: differing audio info"},
      {"PCM with extra bytes", pcm(8000),
       describe({{0, 4, 2}, {4, 4, 1}, {8, 4, 1001}, {16, 4, 160}, {36, 2, 2}}),
       "Incompatible stream: differing audio info"},
      {"PCM and MP3", pcm(8000), mp3(8000, 1000), "Incompatible stream: differing subtype"},
      {"audio and video", pcm(8000), video(1001, 352, 16, 0),
       "Incompatible stream: differing type"},
      {"other content", video(1, 352, 16, 0), video(2, 352, 16, 0),
       "Incompatible stream: differing content"},
      {"image size", video(1, 352, 16, 0), video(1, 704, 16, 0),
       "Incompatible stream: differing image size"},
      {"compression", video(1, 352, 16, 0), video(1, 352, 16, 7),
       "Incompatible stream: differing compression algorithm"},
      {"bit count", video(1, 352, 16, 0), video(1, 352, 24, 0),
       "Incompatible stream: differing video info"},
      {"bit count of an ADV601 stream", video(6, 352, 16, 0), video(6, 352, 24, 0), nullptr},
      {"extra bitmap bytes", video(1, 352, 16, 0, 1), video(1, 352, 16, 0, 2),
       "Incompatible stream: differing video info"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(test::thrownText([&] { c.a->checkCompatible(*c.b); }), c.error ? c.error : "");
  }
  // Caught and logged inside, both descriptions dumped, thrown again.
  test::LogCapture log(0xFFFFFFFEu, "%c|%m");
  EXPECT_THROW(cases[1].a->checkCompatible(*cases[1].b), JTextError);
  EXPECT_EQ(log.count(std::string("Exception CATCH|") + cases[1].error), 1u);
  std::string current;
  std::string other;
  cases[1].a->dumpShort(current, ", ");
  cases[1].b->dumpShort(other, ", ");
  // Line ends reach the log outputs as blanks.
  EXPECT_EQ(log.count("Current stream:  " + current + "  Other stream:  " + other), 1u);
}

TEST(StreamInfo, ShortAndLongDumps) {
  const auto pcm = StreamInfo::makePcmStreamInfo(8000, 16, 1, 160);
  std::string text;
  pcm->dumpShort(text, ", ");
  EXPECT_EQ(text,
            "type=Audio, subtype=Raw, content=PCM, infoSize=84, chunk=160, si={wFormatTag=PCM, "
            "nChannels=1, nSamplesPerSec=8000, nAvgBytesPerSec=16000, nBlockAlign=2, "
            "wBitsPerSample=16, cbSize=0, Extra bytes={}, }");
  text.clear();
  pcm->dump(text, "\n");
  EXPECT_EQ(text,
            "Type=\"Audio\"\nSubType=\"Raw\"\nContent=\"PCM\"\nInfoSize=84\nChunk=160\n"
            "Compression=\"PCM\"\nChannels=1\nBitsPerSamples=16\nSamplesPerSec=8000\n");
}

}  // namespace
}  // namespace zq
