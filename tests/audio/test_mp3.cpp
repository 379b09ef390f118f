// The MP3 vocabulary (table, geometry, header parser), the encoder with its
// caller bytes at every bit rate of the table with the reservoir off and on,
// the reader of those bytes, and the failure paths of all three.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "audio/mp3.h"
#include "audio/mp3_encoder.h"
#include "audio/mp3_frame.h"
#include "audio/mp3_test_support.h"
#include "base/error.h"

namespace zq {
namespace {

using Frames = std::vector<std::vector<uint8_t>>;

// The capture's tag for block counter n.
std::array<uint8_t, 3> tagOf(uint32_t n) {
  return {static_cast<uint8_t>(0x50 | ((n >> 16) & 0x0F)), static_cast<uint8_t>((n >> 8) & 0xFF),
          static_cast<uint8_t>(n & 0xFF)};
}

uint32_t counterOf(const std::array<uint8_t, 3>& tag) {
  return (uint32_t{tag[0] & 0x0Fu} << 16) | (uint32_t{tag[1]} << 8) | tag[2];
}

// ~`seconds` of a tone encoded as the capture does: the tag carries the
// number of frames returned so far.
struct Encoded {
  Frames frames;
  std::vector<int> results;  // every call's result
  size_t blocks = 0;
};

Encoded encodeTone(JMP3Encoder& encoder, double seconds, std::vector<double> tones) {
  test::SineGenerator sine(encoder.sampleRate(), std::move(tones));
  Encoded out;
  out.blocks = static_cast<size_t>(seconds * encoder.sampleRate() / encoder.samplesPerFrame());
  std::vector<uint8_t> frame(encoder.frameSize() + 1);
  for (size_t b = 0; b < out.blocks; ++b) {
    const auto pcm = sine.next(encoder.samplesPerFrame());
    const auto tag = tagOf(static_cast<uint32_t>(out.frames.size()));
    const int n = encoder.encode(pcm.data(), frame.data(), tag.size(), tag.data());
    out.results.push_back(n);
    if (n > 0) {
      out.frames.emplace_back(frame.begin(), frame.begin() + n);
    }
  }
  return out;
}

std::vector<double> tonesFor(uint32_t channels) {
  return channels == 2 ? std::vector<double>{1000, 1500} : std::vector<double>{1000};
}

TEST(Mp3Table, LookupsByBitRateAndIndex) {
  struct Case {
    uint32_t bitRate;
    bool found;
    uint32_t sampleRate, channels;
    int version;
  };
  const Case cases[] = {
      {24000, true, 22050, 1, 2},  {32000, true, 22050, 2, 2},  {64000, true, 22050, 2, 2},
      {80000, true, 44100, 2, 1},  {128000, true, 44100, 2, 1}, {176000, true, 44100, 2, 1},
      {192000, false, 0, 0, 0},    {0, false, 0, 0, 0},         {128001, false, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bitRate);
    uint32_t rate = 7, channels = 7;
    int version = 7;
    ASSERT_EQ(lookupBitRate(c.bitRate, &rate, &channels, &version), c.found);
    ASSERT_EQ(findBitRate(c.bitRate) != nullptr, c.found);
    if (c.found) {
      EXPECT_EQ(rate, c.sampleRate);
      EXPECT_EQ(channels, c.channels);
      EXPECT_EQ(version, c.version);
      EXPECT_EQ(findBitRate(c.bitRate)->bitRate, c.bitRate);
      EXPECT_TRUE(lookupBitRate(c.bitRate, nullptr, nullptr, nullptr));
    } else {
      EXPECT_EQ(rate, 7u);  // untouched
    }
  }
  ASSERT_EQ(bitRateCount(), 13u);
  EXPECT_EQ(bitRateRow(0)->bitRate, 24000u);
  EXPECT_EQ(bitRateRow(12)->bitRate, 176000u);
  EXPECT_EQ(bitRateRow(13), nullptr);
  for (size_t i = 1; i < bitRateCount(); ++i) {
    EXPECT_LT(bitRateRow(i - 1)->bitRate, bitRateRow(i)->bitRate) << "rows in order";
  }
}

TEST(Mp3Table, FrameGeometry) {
  struct Case {
    uint32_t sampleRate, bitRate;
    int version;
    uint32_t samples, size;
  };
  const Case cases[] = {
      {44100, 128000, 1, 1152, 417}, {22050, 24000, 2, 576, 78},   {22050, 64000, 2, 576, 208},
      {44100, 176000, 1, 1152, 574}, {11025, 8000, 3, 576, 52},    {48000, 320000, 1, 1152, 960},
      {44100, 144000, 1, 1152, 470}, {0, 128000, 1, 1152, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bitRate);
    uint32_t samples = 0, size = 0;
    frameGeometry(c.sampleRate, c.bitRate, c.version, &samples, &size);
    EXPECT_EQ(samples, c.samples);
    EXPECT_EQ(size, c.size);
    frameGeometry(c.sampleRate, c.bitRate, c.version, nullptr, nullptr);
  }
}

TEST(Mp3Table, HeaderParser) {
  struct Case {
    const char* what;
    std::array<uint8_t, 4> bytes;
    bool valid;
    uint32_t bitRate;
    int version;
    uint32_t sampleRate, channels;
    bool padding, isProtected;
  };
  const Case cases[] = {
      {"MPEG-1 128k", {0xFF, 0xFB, 0x90, 0x64}, true, 128000, 1, 44100, 2, false, false},
      {"CRC", {0xFF, 0xFA, 0x90, 0x64}, true, 128000, 1, 44100, 2, false, true},
      {"MPEG-2 24k mono padded", {0xFF, 0xF3, 0x32, 0xC4}, true, 24000, 2, 22050, 1, true, false},
      {"MPEG-2 144k", {0xFF, 0xF3, 0xD0, 0x00}, true, 144000, 2, 22050, 2, false, false},
      {"MPEG-2.5 12000", {0xFF, 0xE3, 0x14, 0x00}, true, 8000, 3, 12000, 2, false, false},
      {"MPEG-1 320k 32000", {0xFF, 0xFB, 0xE8, 0x00}, true, 320000, 1, 32000, 2, false, false},
      {"free format", {0xFF, 0xFB, 0x00, 0x64}, true, 0, 1, 44100, 2, false, false},
      {"layer bits 11", {0xFF, 0xF7, 0x90, 0x64}, false, 0, 0, 0, 0, false, false},
      {"layer bits 10", {0xFF, 0xFD, 0x90, 0x64}, false, 0, 0, 0, 0, false, false},
      {"sync bit missing", {0xFF, 0xDB, 0x90, 0x64}, false, 0, 0, 0, 0, false, false},
      {"first byte", {0xFE, 0xFB, 0x90, 0x64}, false, 0, 0, 0, 0, false, false},
      {"version 01", {0xFF, 0xEB, 0x90, 0x64}, false, 0, 0, 0, 0, false, false},
      {"bit-rate index 15", {0xFF, 0xFB, 0xF0, 0x64}, false, 0, 0, 0, 0, false, false},
      {"sampling index 3", {0xFF, 0xFB, 0x9C, 0x64}, false, 0, 0, 0, 0, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    uint32_t bitRate = 1, sampleRate = 1, channels = 1;
    int version = -1;
    bool padding = true, isProtected = true;
    ASSERT_EQ(parseFrameHeader(c.bytes.data(), &bitRate, &version, &sampleRate, &channels,
                               &padding, &isProtected),
              c.valid);
    EXPECT_EQ(parseFrameHeader(c.bytes.data(), nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr),
              c.valid);
    if (c.valid) {
      EXPECT_EQ(bitRate, c.bitRate);
      EXPECT_EQ(version, c.version);
      EXPECT_EQ(sampleRate, c.sampleRate);
      EXPECT_EQ(channels, c.channels);
      EXPECT_EQ(padding, c.padding);
      EXPECT_EQ(isProtected, c.isProtected);
    }
  }
}

// Every row of the table, the reservoir off and on.
class Mp3EncoderRoundTrip : public ::testing::TestWithParam<std::tuple<size_t, bool>> {};

TEST_P(Mp3EncoderRoundTrip, TargetFramesCarryTheTagsAndTheTone) {
  const Mp3BitRate& row = *bitRateRow(std::get<0>(GetParam()));
  const bool reservoir = std::get<1>(GetParam());
  JMP3Encoder encoder(Mp3EncoderConfig{row.bitRate, row.sampleRate, row.channels, reservoir});
  uint32_t samples = 0, size = 0;
  frameGeometry(row.sampleRate, row.bitRate, row.mpegVersion, &samples, &size);
  ASSERT_EQ(encoder.bitRate(), row.bitRate);
  ASSERT_EQ(encoder.sampleRate(), row.sampleRate);
  ASSERT_EQ(encoder.channels(), row.channels);
  ASSERT_EQ(encoder.mpegVersion(), row.mpegVersion);
  ASSERT_EQ(encoder.samplesPerFrame(), samples);
  ASSERT_EQ(encoder.frameSize(), size);
  ASSERT_GE(encoder.ancillaryRoom(), 3u);

  const Encoded run = encodeTone(encoder, 2.0, tonesFor(row.channels));
  for (int n : run.results) {
    ASSERT_TRUE(n == 0 || n == static_cast<int>(size)) << n;
  }
  // The library's delay (and the repack's) costs a few frames at the start;
  // after that one frame per block, but for the odd call in which the
  // library, reservoir on, completes no frame.
  const size_t sideSize = sideInfoSize(row.mpegVersion, row.channels);
  const uint64_t slot = size - 4 - sideSize;
  const size_t maxLag = reservoir ? 2 * (maxMainDataBegin(row.mpegVersion) / slot + 3) : 0;
  size_t late = 0;
  for (size_t i = 0; i < run.results.size(); ++i) {
    if (run.results[i] == 0 && i > 0 && run.results[i - 1] != 0) {
      ++late;
    }
  }
  ASSERT_LE(late, maxLag);
  ASSERT_LE(run.blocks - run.frames.size(), 6 + maxLag);

  const int index = bitRateIndex(row.bitRate, row.mpegVersion);
  const uint32_t headerRate = index > 0 ? row.bitRate : 0;  // free format otherwise
  Mp3AncillaryReader reader(3);
  uint32_t previousCounter = 0;
  for (size_t k = 0; k < run.frames.size(); ++k) {
    SCOPED_TRACE(k);
    const auto& frame = run.frames[k];
    uint32_t bitRate = 1, rate = 0, channels = 0;
    int version = 0;
    bool padding = true, isProtected = true;
    ASSERT_TRUE(parseFrameHeader(frame.data(), &bitRate, &version, &rate, &channels, &padding,
                                 &isProtected));
    ASSERT_EQ(frame[2] >> 4, index > 0 ? index : 0);
    ASSERT_EQ(bitRate, headerRate);
    ASSERT_EQ(rate, row.sampleRate);
    ASSERT_EQ(channels, row.channels);
    ASSERT_FALSE(padding);
    ASSERT_FALSE(isProtected);
    // The main data and the tag end within the frame's own slot, and the
    // back pointer stays within the format and the stream.
    Mp3SideInfo side;
    ASSERT_TRUE(readSideInfo(frame.data(), frame.size(), &side));
    const uint64_t start = k * slot;
    ASSERT_LE(side.mainDataBegin, reservoir ? maxMainDataBegin(row.mpegVersion) : 0u);
    ASSERT_LE(side.mainDataBegin, start);
    ASSERT_LE(start - side.mainDataBegin + side.mainDataBytes() + 3, start + slot);

    std::array<uint8_t, 3> tag{};
    ASSERT_TRUE(reader.read(frame.data(), frame.size(), tag.data()));
    ASSERT_EQ(tag[0] & 0xF0, 0x50);
    const uint32_t counter = counterOf(tag);
    if (!reservoir) {
      ASSERT_EQ(counter, k) << "the frame a call returns carries that call's tag";
    } else {
      // Laid out a few calls before it comes out: behind, in order, no gap.
      ASSERT_LE(counter, k);
      ASSERT_LE(k - counter, maxLag);
      ASSERT_TRUE(counter == previousCounter || counter == previousCounter + 1)
          << counter << " after " << previousCounter;
      previousCounter = counter;
    }
  }

  const test::Mp3Decoded decoded = test::decodeMp3(run.frames);
  EXPECT_EQ(decoded.errors, 0);
  EXPECT_EQ(decoded.warnings, 0);
  ASSERT_EQ(decoded.sampleRate, static_cast<long>(row.sampleRate));
  ASSERT_EQ(decoded.channels, static_cast<int>(row.channels));
  EXPECT_GE(decoded.samplesPerChannel(), (run.frames.size() - 1) * samples);
  const auto tones = tonesFor(row.channels);
  for (size_t c = 0; c < tones.size(); ++c) {
    const double f = test::toneFrequency(decoded.pcm, decoded.channels, static_cast<int>(c),
                                         decoded.sampleRate);
    EXPECT_NEAR(f, tones[c], tones[c] * 0.01) << "channel " << c;
  }
}

INSTANTIATE_TEST_SUITE_P(EveryRow, Mp3EncoderRoundTrip,
                         ::testing::Combine(::testing::Range<size_t>(0, 13), ::testing::Bool()),
                         [](const auto& param) {
                           return std::to_string(bitRateRow(std::get<0>(param.param))->bitRate) +
                                  (std::get<1>(param.param) ? "_reservoir" : "_plain");
                         });

}  // namespace
}  // namespace zq
