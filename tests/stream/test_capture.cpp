// The capture sources: WinmmMike (PCM and MP3, on the test-tone device) and
// HardMike's commands. Frames numbered without a gap, MP3 frames tagged and
// stamped with their place in the capture, a tone that decodes at its
// frequency; failures that leave nothing running.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include "audio/mp3_encoder.h"
#include "audio/mp3_frame.h"
#include "audio/mp3_test_support.h"
#include "audio/simulated_board.h"
#include "audio/wave_in.h"
#include "base/error.h"
#include "base/jtime.h"
#include "helpers/threads.h"
#include "helpers/tone_device.h"
#include "helpers/waits.h"
#include "stream/hard_mike.h"
#include "stream/stream_client.h"
#include "stream/stream_frame_header.h"
#include "stream/winmm_mike.h"

namespace zq {
namespace {

struct Frame {
  uint32_t key = 0;
  uint64_t timeStamp = 0;
  std::vector<uint8_t> data;
};

// `count` frames in a row as a reader takes them from `stream`. A reader
// that a loaded machine kept away until the stream overwrote frames it had
// not read (the client counts them) starts again: a gap in what it got then
// says nothing of the source.
std::vector<Frame> readFrames(JStream& stream, size_t count) {
  std::vector<Frame> frames;
  for (int attempt = 0; attempt < 5; ++attempt) {
    StreamClient client;
    client.setTimeout(10000);
    client.listen(&stream);
    frames.clear();
    while (frames.size() < count && client.lostFrames() == 0) {
      const auto* header = reinterpret_cast<const StreamFrameHeader*>(client.readNext(nullptr));
      if (header == nullptr) {
        break;
      }
      frames.push_back({header->keyWord,
                        header->timeStamp(),
                        {header->payload(), header->payload() + header->size}});
    }
    client.unlock();  // the client leaves the stream as it goes
    if (client.lostFrames() == 0) {
      break;
    }
  }
  return frames;
}

struct Mp3Case {
  const char* name;
  uint32_t bitRate;  // the rate and channels from the table
  bool reservoir;
  uint32_t capturedRate;  // stereo
  uint32_t chunk;         // samples per frame
  uint32_t period;        // samples per capture buffer
  uint32_t frameSize;
};

TEST(Capture, Mp3MicrophonesPublishTaggedNumberedFramesOfTheTone) {
  test::ToneRegistry registry;
  const Mp3Case cases[] = {
      {"32k from the table: 22050 Hz stereo", 32000, false, 22050, 576, 144, 104},
      {"128k from the table, reservoir on", 128000, true, 44100, 1152, 288, 417},
  };
  test::setToneDevice(1, 750);
  for (const Mp3Case& c : cases) {
    SCOPED_TRACE(c.name);
    WinmmMike mike(1, c.bitRate, 0, 0, c.reservoir);
    EXPECT_EQ(mike.captureFormat().samplesPerSec, c.capturedRate);
    EXPECT_EQ(mike.captureFormat().channels, 2u);
    EXPECT_EQ(mike.chunk(), c.chunk);
    EXPECT_EQ(mike.period(), c.period);
    EXPECT_EQ(mike.copyStreamInfo()->mp3BlockSize(), c.frameSize);

    const std::vector<Frame> frames = readFrames(mike, 40);
    ASSERT_EQ(frames.size(), 40u) << "the reader fell behind every time";
    Mp3AncillaryReader tags(3);
    std::vector<std::vector<uint8_t>> mp3;
    int64_t previousTag = -1;
    for (size_t i = 0; i < frames.size(); ++i) {
      const Frame& f = frames[i];
      SCOPED_TRACE("frame key " + std::to_string(f.key));
      ASSERT_EQ(f.data.size(), c.frameSize);
      if (i > 0) {
        ASSERT_EQ(f.key, frames[i - 1].key + 1) << "a gap in the key words";
        // Each frame is stamped with the start of capture plus the length
        // of the frames before it, in microseconds.
        const uint64_t expected =
            frames[0].timeStamp + uint64_t{c.chunk} * (f.key - 1) * 1000000 / c.capturedRate -
            uint64_t{c.chunk} * (frames[0].key - 1) * 1000000 / c.capturedRate;
        EXPECT_NEAR(static_cast<double>(f.timeStamp), static_cast<double>(expected), 1.0);
      }
      mp3.push_back(f.data);
      uint8_t tag[3];
      if (!tags.read(f.data.data(), f.data.size(), tag)) {
        // Only a frame reaching back into frames sent before we joined.
        EXPECT_TRUE(c.reservoir && i < 2) << "tag not found";
        continue;
      }
      ASSERT_EQ(tag[0] & 0xF0, 0x50);
      const int64_t n = (tag[0] & 0x0F) << 16 | tag[1] << 8 | tag[2];
      if (!c.reservoir) {
        EXPECT_EQ(n, f.key - 1) << "the counter before this frame";
      } else {
        // The frame's data was placed a fixed number of blocks before it
        // came out: the tags run behind the keys, one step a frame.
        EXPECT_LE(n, f.key - 1);
        if (previousTag > 0) {
          EXPECT_EQ(n, previousTag + 1);
        }
      }
      previousTag = n;
    }
    const test::Mp3Decoded decoded = test::decodeMp3(mp3);
    EXPECT_EQ(decoded.errors, 0);
    EXPECT_EQ(decoded.sampleRate, static_cast<long>(c.capturedRate));
    EXPECT_NEAR(test::toneFrequency(decoded.pcm, decoded.channels, 0, decoded.sampleRate), 750.0,
                7.5);
  }
}

// The encoder fed in parts, as the capture periods come, gives the frames
// (tags included) that whole blocks give, each frame tagged with the count
// of frames out before it; without the reservoir a frame leaves with the
// part that completes its look-ahead, before its block is over, and parts
// that start with the look-ahead's remainder each end just as a frame can
// leave. A part across a block's end goes in two, as the capture gives it.
TEST(Capture, Mp3PartsOfBlocksGiveTheFramesOfWholeBlocks) {
  struct Case {
    const char* name;
    uint32_t bitRate, sampleRate, channels;
    bool reservoir;
    std::vector<uint32_t> cut;  // part sizes, again and again
  };
  // Without the reservoir, the first part is the look-ahead's remainder.
  const Case cases[] = {
      {"128k stereo, periods from the look-ahead", 128000, 44100, 2, false, {288}},
      {"24k mono, reservoir on, uneven parts", 24000, 22050, 1, true, {500, 76}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    JMP3Encoder whole(c.bitRate, c.sampleRate, c.channels, c.reservoir);
    JMP3Encoder parts(c.bitRate, c.sampleRate, c.channels, c.reservoir);
    const uint32_t block = whole.samplesPerFrame();
    constexpr uint32_t kBlocks = 60;
    // Bursts of a tone, three blocks on and three off, so that the frames
    // (and with the reservoir their back pointers) differ.
    std::vector<int16_t> pcm(size_t{block} * kBlocks * c.channels);
    for (size_t i = 0; i < pcm.size(); ++i) {
      const size_t t = i / c.channels;
      pcm[i] = (t / (3 * block)) % 2 != 0
                   ? 0
                   : static_cast<int16_t>(std::lround(
                         12000 * std::sin(2 * std::numbers::pi * 440.0 * t / c.sampleRate)));
    }
    auto tag = [](size_t n) {
      return std::array<uint8_t, 3>{static_cast<uint8_t>(0x50 | ((n >> 16) & 0x0F)),
                                    static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
    };
    std::vector<std::vector<uint8_t>> expected, got;
    std::vector<uint8_t> out(whole.frameSize());
    for (uint32_t b = 0; b < kBlocks; ++b) {
      const int n = whole.encode(pcm.data() + size_t{b} * block * c.channels, out.data(), 3,
                                 tag(expected.size()).data());
      if (n > 0) {
        expected.emplace_back(out.begin(), out.begin() + n);
      }
    }
    const uint32_t lookAhead = parts.firstFrameAfter();
    EXPECT_EQ(lookAhead != 0, !c.reservoir);
    const size_t total = pcm.size() / c.channels;
    size_t sooner = 0;  // frames out before their block ended
    size_t onTime = 0;  // frames out at a part's end, as soon as they could be
    size_t fed = 0;
    for (size_t k = 0; fed < total; ++k) {
      uint32_t part = c.cut[k % c.cut.size()];
      if (!c.reservoir && k == 0 && lookAhead % part != 0) {
        part = lookAhead % part;
      }
      for (auto left = static_cast<uint32_t>(std::min<size_t>(part, total - fed)); left > 0;) {
        const uint32_t piece = std::min(left, parts.blockLeft());
        const int n = parts.encodePart(pcm.data() + fed * c.channels, piece, out.data(), 3,
                                       tag(got.size()).data());
        fed += piece;
        left -= piece;
        if (n > 0) {
          got.emplace_back(out.begin(), out.begin() + n);
          sooner += fed % block != 0;
          onTime += left == 0 && fed >= lookAhead && (fed - lookAhead) % block == 0;
        }
      }
    }
    ASSERT_GT(expected.size(), kBlocks - 8);
    EXPECT_TRUE(got == expected) << got.size() << " frames against " << expected.size();
    if (!c.reservoir) {
      EXPECT_EQ(sooner, got.size());
      EXPECT_EQ(onTime, got.size()) << "look-ahead " << lookAhead;
    }
    EXPECT_LT(parts.encodePart(pcm.data(), block + 1, out.data(), 3, tag(0).data()), 0)
        << "a part beyond the block";
  }
}

// A refusal reaches the capture's owner and leaves nothing running (how each
// device refuses a format is the wave-input devices' test); an accepted PCM
// capture lends the stream's buffers to the device.
TEST(Capture, PcmMicrophoneRefusedOrLendingStreamBuffersToTheDevice) {
  test::ToneRegistry registry;
  const AudioFormat format{8000, 16, 1, 400};
  const size_t threads = test::threadCount();
  try {
    WinmmMike(format, 0);  // numbers count from 1
    ADD_FAILURE() << "no error";
  } catch (const JSysError& e) {
    EXPECT_EQ(e.code(), kMmBadDeviceId | JSysError::kWaveInTag);
    EXPECT_STREQ(e.function(), "waveInOpen");
  }
  EXPECT_TRUE(test::eventually([&] { return test::threadCount() == threads; }));

  test::setToneDevice(1, 400);
  const int64_t before = wallClockNow();
  WinmmMike mike(format, 1);
  const std::vector<Frame> frames = readFrames(mike, 12);
  std::vector<int16_t> pcm;
  for (size_t i = 0; i < frames.size(); ++i) {
    ASSERT_EQ(frames[i].data.size(), 800u);
    if (i > 0) {
      ASSERT_EQ(frames[i].key, frames[i - 1].key + 1);
      EXPECT_GE(frames[i].timeStamp, frames[i - 1].timeStamp);
    }
    EXPECT_GE(frames[i].timeStamp, static_cast<uint64_t>(before));
    EXPECT_LE(frames[i].timeStamp, static_cast<uint64_t>(wallClockNow()));
    const auto* samples = reinterpret_cast<const int16_t*>(frames[i].data.data());
    pcm.insert(pcm.end(), samples, samples + 400);
  }
  // The device wrote into the very buffers the reader got: the tone is
  // continuous across them.
  EXPECT_NEAR(test::toneFrequency(pcm, 1, 0, 8000, 0), 400.0, 4.0);
}

TEST(Capture, CommandsUnderTheSourcesPrefixesAreNobodys) {
  test::ToneRegistry registry;  // device 1: a test tone
  auto board = std::make_shared<SimulatedCaptureBoard>(3);
  WinmmMike winmm(1, 24000, 0, 0, false);
  HardMike hard(board, 24000);
  struct Case {
    VideoCtl* object;
    const char* command;
    int result;
    const char* answer;
  };
  const Case cases[] = {
      {&winmm, "WinmmMike.volume?", -3, nullptr},
      {&hard, "HardMike.gain=3", -3, nullptr},
      {&hard, "JStream.queue?", 0, "5"},
      // Past the stream, the board takes the command.
      {&hard, "Quorvanta2.MAS3587.Volume=-20", 0, ""},
      {&hard, "Quorvanta2.MAS3587.Volume?", 0, "-20"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    char answer[64] = "untouched";
    EXPECT_EQ(c.object->control(c.command, answer, sizeof answer), c.result);
    if (c.answer != nullptr) {
      EXPECT_STREQ(answer, c.answer);
    }
  }
}

}  // namespace
}  // namespace zq
