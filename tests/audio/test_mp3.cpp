// The MP3 header parser, the encoder with its caller bytes at every bit rate
// of the table (each row's geometry its own) with the reservoir off and on,
// the reader of those bytes on damaged frames, and the encoder's refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
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

// The 3 bytes whose bits start at bit `bit` of `bytes`.
std::array<uint8_t, 3> bytesAtBit(const std::vector<uint8_t>& bytes, size_t bit) {
  std::array<uint8_t, 3> out{};
  for (size_t i = 0; i < 24; ++i, ++bit) {
    out[i / 8] = static_cast<uint8_t>(out[i / 8] << 1 | ((bytes[bit / 8] >> (7 - bit % 8)) & 1));
  }
  return out;
}

std::vector<double> tonesFor(uint32_t channels) {
  return channels == 2 ? std::vector<double>{1000, 1500} : std::vector<double>{1000};
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
      // Unprotected MPEG-1 frames, free format too, are every row's round trip.
      {"CRC", {0xFF, 0xFA, 0x90, 0x64}, true, 128000, 1, 44100, 2, false, true},
      {"MPEG-2 24k mono padded", {0xFF, 0xF3, 0x32, 0xC4}, true, 24000, 2, 22050, 1, true, false},
      {"MPEG-2.5 12000", {0xFF, 0xE3, 0x14, 0x00}, true, 8000, 3, 12000, 2, false, false},
      {"layer bits 11", {0xFF, 0xF7, 0x90, 0x64}, false, 0, 0, 0, 0, false, false},
      {"sync bit missing", {0xFF, 0xDB, 0x90, 0x64}, false, 0, 0, 0, 0, false, false},
      {"version 01", {0xFF, 0xEB, 0x90, 0x64}, false, 0, 0, 0, 0, false, false},
      {"bit-rate index 15", {0xFF, 0xFB, 0xF0, 0x64}, false, 0, 0, 0, 0, false, false},
      {"sampling index 3", {0xFF, 0xFB, 0x9C, 0x64}, false, 0, 0, 0, 0, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    uint32_t bitRate = 1, sampleRate = 1, channels = 1;
    int version = -1;
    bool padding = true, isProtected = true;
    ASSERT_EQ(parseFrameHeader(c.bytes.data(), &bitRate, &version, &sampleRate, &channels, &padding,
                               &isProtected),
              c.valid);
    EXPECT_EQ(
        parseFrameHeader(c.bytes.data(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
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
  ASSERT_LE(run.blocks - run.frames.size(), 6 + maxLag);

  const int index = bitRateIndex(row.bitRate, row.mpegVersion);
  const uint32_t headerRate = index > 0 ? row.bitRate : 0;  // free format otherwise
  Mp3AncillaryReader reader(3);
  uint32_t previousCounter = 0;
  std::vector<uint8_t> mainStream;  // every frame's bytes after its side information
  size_t unaligned = 0;
  for (size_t k = 0; k < run.frames.size(); ++k) {
    SCOPED_TRACE(k);
    const auto& frame = run.frames[k];
    uint32_t bitRate = 1, rate = 0, channels = 0;
    int version = 0;
    bool padding = true, isProtected = true;
    ASSERT_TRUE(parseFrameHeader(frame.data(), &bitRate, &version, &rate, &channels, &padding,
                                 &isProtected));
    ASSERT_EQ(bitRate, headerRate);
    ASSERT_EQ(rate, row.sampleRate);
    ASSERT_EQ(channels, row.channels);
    ASSERT_FALSE(padding);
    ASSERT_FALSE(isProtected);
    // The tag's bits start right after the last bit of the main data, as a
    // decoder counts them: main_data_begin bytes back from the frame's own
    // part of the main-data stream, plus every part2_3_length. They end
    // within the frame's slot; the back pointer stays within the format.
    Mp3SideInfo side;
    ASSERT_TRUE(readSideInfo(frame.data(), frame.size(), &side));
    ASSERT_EQ(side.sideInfoSize, sideSize);
    const uint64_t start = k * slot;
    ASSERT_EQ(mainStream.size(), start);
    ASSERT_LE(side.mainDataBegin, reservoir ? maxMainDataBegin(row.mpegVersion) : 0u);
    ASSERT_LE(side.mainDataBegin, start);
    mainStream.insert(mainStream.end(), frame.begin() + 4 + sideSize, frame.end());
    const uint64_t bit = (start - side.mainDataBegin) * 8 + side.mainDataBits();
    ASSERT_LE(bit + 24, (start + slot) * 8);
    const auto atBit = bytesAtBit(mainStream, bit);

    std::array<uint8_t, 3> tag{};
    ASSERT_TRUE(reader.read(frame.data(), frame.size(), tag.data()));
    ASSERT_EQ(tag, atBit);
    if (bit % 8 != 0) {
      // What a byte-aligned writer, or reader, would take for the tag.
      ++unaligned;
      ASSERT_NE(bytesAtBit(mainStream, (bit + 7) / 8 * 8), atBit);
    }
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
  EXPECT_GT(unaligned, run.frames.size() / 2) << "main data ends mostly inside a byte";

  const test::Mp3Decoded decoded = test::decodeMp3(run.frames);
  EXPECT_EQ(decoded.errors, 0);
  EXPECT_EQ(decoded.warnings, 0);
  ASSERT_EQ(decoded.sampleRate, static_cast<long>(row.sampleRate));
  ASSERT_EQ(decoded.channels, static_cast<int>(row.channels));
  EXPECT_GE(decoded.samplesPerChannel(), (run.frames.size() - 1) * samples);
  const auto tones = tonesFor(row.channels);
  for (size_t c = 0; c < tones.size(); ++c) {
    const double f =
        test::toneFrequency(decoded.pcm, decoded.channels, static_cast<int>(c), decoded.sampleRate);
    EXPECT_NEAR(f, tones[c], tones[c] * 0.01) << "channel " << c;
  }
}

INSTANTIATE_TEST_SUITE_P(EveryRow, Mp3EncoderRoundTrip,
                         ::testing::Combine(::testing::Range<size_t>(0, 13), ::testing::Bool()),
                         [](const auto& param) {
                           return std::to_string(bitRateRow(std::get<0>(param.param))->bitRate) +
                                  (std::get<1>(param.param) ? "_reservoir" : "_plain");
                         });

// Sets part2_3_length of the first granule and channel of `frame`.
void setFirstPart23Length(std::vector<uint8_t>& frame, uint32_t bits) {
  Mp3SideInfo side;
  ASSERT_TRUE(readSideInfo(frame.data(), frame.size(), &side));
  size_t at = side.headerSize * 8 + (side.mpegVersion == 1
                                         ? 9 + (side.channels == 1 ? 5 : 3) + 4 * side.channels
                                         : 8 + side.channels);
  for (int i = 11; i >= 0; --i, ++at) {
    const uint8_t mask = static_cast<uint8_t>(0x80 >> (at % 8));
    frame[at / 8] =
        static_cast<uint8_t>(((bits >> i) & 1) ? frame[at / 8] | mask : frame[at / 8] & ~mask);
  }
}

// Streams encoded once and shared by the reader tests.
const Frames& toneStream(uint32_t bitRate, bool reservoir) {
  static std::map<std::pair<uint32_t, bool>, Frames> streams;
  auto& frames = streams[{bitRate, reservoir}];
  if (frames.empty()) {
    const Mp3BitRate& row = *findBitRate(bitRate);
    JMP3Encoder encoder(row.bitRate, row.sampleRate, row.channels, reservoir);
    frames = encodeTone(encoder, 1.0, tonesFor(row.channels)).frames;
  }
  return frames;
}

TEST(Mp3AncillaryReader, DamagedOrMissingFramesYieldNothingAndNeverWrongBytes) {
  struct Case {
    const char* what;
    size_t first;                         // frames fed from this one
    std::function<size_t(Frames&)> hurt;  // damages one frame, gives its index
  };
  const Case cases[] = {
      {"joined late", 7, [](Frames&) { return size_t{7}; }},
      {"not a header", 0,
       [](Frames& f) {
         f[10][1] = 0x00;
         return size_t{10};
       }},
      {"cut inside the side information", 0,
       [](Frames& f) {
         f[10].resize(12);
         return size_t{10};
       }},
      {"shorter than its header says", 0,
       [](Frames& f) {
         f[10].pop_back();
         return size_t{10};
       }},
      {"main data running past the frame", 0,
       [](Frames& f) {
         setFirstPart23Length(f[10], 4095);
         return size_t{10};
       }},
  };
  for (uint32_t bitRate : {24000u, 128000u}) {
    for (bool reservoir : {false, true}) {
      const Frames& clean = toneStream(bitRate, reservoir);
      std::vector<std::array<uint8_t, 3>> reference(clean.size());
      Mp3AncillaryReader whole(3);
      for (size_t k = 0; k < clean.size(); ++k) {
        ASSERT_TRUE(whole.read(clean[k].data(), clean[k].size(), reference[k].data()));
      }
      for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.what) + " at " + std::to_string(bitRate) +
                     (reservoir ? " with the reservoir" : ""));
        Frames frames = clean;
        const size_t hurt = c.hurt(frames);
        Mp3AncillaryReader reader(3);
        for (size_t k = c.first; k < frames.size(); ++k) {
          std::array<uint8_t, 3> tag{};
          const bool found = reader.read(frames[k].data(), frames[k].size(), tag.data());
          if (k == hurt && (c.first == 0 || reservoir)) {
            EXPECT_FALSE(found) << "frame " << k;
          }
          if (found) {
            EXPECT_EQ(tag, reference[k]) << "frame " << k;
          } else {
            EXPECT_LT(k, hurt + 6) << "not found again at frame " << k;
          }
        }
      }
    }
  }
}

TEST(Mp3AncillaryReader, ReadsStayWithinTheFrameGiven) {
  // Each frame sits alone in a buffer of exactly its size, so that a read
  // past it is caught by the address checker.
  Mp3AncillaryReader reader(3);
  std::array<uint8_t, 3> tag{};
  EXPECT_FALSE(reader.read(nullptr, 0, tag.data()));
  const std::array<uint8_t, 4> headers[] = {{0xFF, 0xFB, 0x90, 0x64},
                                            {0xFF, 0xFA, 0x90, 0x64},
                                            {0xFF, 0xF3, 0x30, 0xC4},
                                            {0xFF, 0xFB, 0x00, 0x64},
                                            {0xFF, 0xF3, 0x00, 0x00}};
  uint32_t seed = 12345;
  for (const auto& header : headers) {
    for (size_t size = 0; size < 600; ++size) {
      std::vector<uint8_t> frame(size);
      for (uint8_t& b : frame) {
        seed = seed * 1103515245 + 12345;
        b = static_cast<uint8_t>(seed >> 16);
      }
      std::copy_n(header.begin(), std::min<size_t>(size, 4), frame.begin());
      Mp3SideInfo side;
      const bool parsed = readSideInfo(frame.data(), frame.size(), &side);
      const bool found = reader.read(frame.data(), frame.size(), tag.data());
      if (!parsed) {
        EXPECT_FALSE(found) << size;
      }
    }
  }
}

// A free-format frame as the library writes it for a 128000 bit/s target
// (126 kbit/s, 411 bytes), with no main data.
std::vector<uint8_t> sourceFrame() {
  std::vector<uint8_t> frame{0xFF, 0xFB, 0x00, 0x64};
  frame.resize(411, 0);
  return frame;
}

TEST(Mp3FrameRepacker, AFrameCarriesTheTagAndZerosToTheTargetSize) {
  Mp3FrameRepacker repacker(128000, 44100, 2, 1, false);
  std::vector<uint8_t> out(repacker.frameSize());
  // Room for 5 bytes: 417 target bytes against 412 of the longest source frame.
  ASSERT_EQ(repacker.ancillaryRoom(), 5u);
  const uint8_t tag[7] = {0x51, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07};
  // Output that would start the buffer with a zero byte is dropped.
  const uint8_t zeros[8] = {};
  std::memcpy(repacker.space(), zeros, sizeof zeros);
  repacker.commit(sizeof zeros);
  EXPECT_EQ(repacker.staged(), 0u);
  std::vector<uint8_t> frame = sourceFrame();
  frame[2] = 0x02;  // the library's padding, gone in the output
  frame.push_back(0xEE);
  // 13 bits of main data: the library's stuffing in the last 3 bits of its
  // second byte goes, and the caller's bytes start in their place.
  setFirstPart23Length(frame, 13);
  frame[36] = 0xAB;
  frame[37] = 0xCD;
  std::memcpy(repacker.space(), frame.data(), 200);
  repacker.commit(200);
  EXPECT_EQ(repacker.next(out.data(), 7, tag), 0) << "half a frame";
  std::memcpy(repacker.space(), frame.data() + 200, frame.size() - 200);
  repacker.commit(frame.size() - 200);
  ASSERT_EQ(repacker.next(out.data(), 7, tag), 417);
  EXPECT_EQ(repacker.staged(), 0u);
  const std::vector<uint8_t> head(out.begin(), out.begin() + 4);
  EXPECT_EQ(head, (std::vector<uint8_t>{0xFF, 0xFB, 0x90, 0x64}));
  // Side information as it came, then the main data and the bytes that fit.
  EXPECT_EQ(std::memcmp(out.data() + 4, frame.data() + 4, 32), 0);
  const std::vector<uint8_t> data(out.begin() + 36, out.begin() + 43);
  EXPECT_EQ(data, (std::vector<uint8_t>{0xAB, 0xCA, 0x88, 0x10, 0x18, 0x20, 0x28}));
  EXPECT_EQ(std::count(out.begin() + 43, out.end(), 0), 417 - 43);
}

// The repack's own refusals (repack: the MPEG version) are of figures the
// encoder refuses first; without them its geometry would divide by a slot of
// no bytes, or lay frames out for a library rate of nothing.
TEST(Mp3Encoder, RefusedParameters) {
  struct Case {
    uint32_t bitRate, sampleRate, channels;
    int repack = 0;  // 0: through the encoder
  };
  const Case cases[] = {
      {128000, 12345, 2},  {128000, 44100, 3},
      {2000, 22050, 1},    {8000, 8000, 1},  // the library would stop on an assertion
      {7500, 48000, 1, 1},  // 22 bytes: a library rate of 6 kbit/s, no room for the tag
      {999, 3000, 1, 1},    // 47 bytes, but no whole kbit/s below the target
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.bitRate) + " " + std::to_string(c.sampleRate) + " " +
                 std::to_string(c.channels));
    try {
      if (c.repack != 0) {
        Mp3FrameRepacker repacker(c.bitRate, c.sampleRate, c.channels, c.repack, false);
      } else {
        JMP3Encoder encoder(c.bitRate, c.sampleRate, c.channels, false);
      }
      ADD_FAILURE() << "accepted";
    } catch (const JTextError& e) {
      EXPECT_STREQ(e.text(), "lame init params failed");
    }
  }
  // MPEG 2.5 is told apart from MPEG-2 by its rate.
  JMP3Encoder encoder(16000, 12000, 1, false);
  EXPECT_EQ(encoder.frameSize(), 96u);
}

TEST(Mp3Encoder, EncodersInParallelThreadsMatchOneAlone) {
  const Mp3EncoderConfig configs[] = {
      {128000, 44100, 2, true}, {24000, 22050, 1, false}, {64000, 22050, 2, true}};
  std::vector<Frames> alone;
  for (const auto& config : configs) {
    JMP3Encoder encoder(config);
    alone.push_back(encodeTone(encoder, 0.5, tonesFor(config.channels)).frames);
  }
  std::vector<Frames> together(std::size(configs));
  std::vector<std::thread> threads;
  for (size_t i = 0; i < std::size(configs); ++i) {
    threads.emplace_back([&, i] {
      JMP3Encoder encoder(configs[i]);
      together[i] = encodeTone(encoder, 0.5, tonesFor(configs[i].channels)).frames;
    });
  }
  for (auto& t : threads) {
    t.join();
  }
  for (size_t i = 0; i < std::size(configs); ++i) {
    SCOPED_TRACE(configs[i].bitRate);
    EXPECT_FALSE(alone[i].empty());
    EXPECT_EQ(together[i], alone[i]);
  }
}

}  // namespace
}  // namespace zq
