// Packet reassembly fed datagram by datagram: orders, duplicates and losses,
// every validation rule with its log line and counter, MTU learning, the
// receive list that puts in-order packets in place, and the sender's cut.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/error.h"
#include "helpers/log_capture.h"
#include "helpers/thrown.h"
#include "media_test_support.h"
#include "stream/predictive_net_buffer.h"

namespace zq {
namespace {

using test::MediaFrame;
using test::rawPacket;

constexpr size_t kMtu = 1400;
constexpr size_t kCapacity = 131040;
using Outcome = PredictiveNetBuffer::Outcome;

// A buffer with a stream-sized data buffer and a 40-byte header buffer.
struct Harness {
  explicit Harness(size_t capacity = kCapacity) : data(capacity) {
    buffer.setDataBuffer(data.data(), data.size());
    buffer.setHeaderBuffer(header, sizeof header);
  }
  Outcome feed(const std::vector<uint8_t>& datagram) {
    return buffer.process(buffer.deliver(datagram.data(), datagram.size()));
  }
  // Feeds the packets in the order given; the outcome of the last.
  Outcome feed(const std::vector<std::vector<uint8_t>>& packets, std::vector<int> order) {
    Outcome last = Outcome::kIgnored;
    for (int i : order) {
      last = feed(packets.at(static_cast<size_t>(i)));
    }
    return last;
  }
  // The frame now in the buffers, as the sender had it.
  bool holds(const MediaFrame& f) const {
    return buffer.frameSize() == f.data.size() &&
           (f.data.empty() || std::memcmp(data.data(), f.data.data(), f.data.size()) == 0) &&
           std::memcmp(header, f.header.bytes, sizeof header) == 0;
  }
  std::vector<uint8_t> data;
  uint8_t header[VideoFrameHeader::kSize] = {};
  PredictiveNetBuffer buffer;
};

// The level of the first record holding `text`, -1 when none does.
int levelOf(const test::LogCapture& log, std::string_view text) {
  const std::string logged = test::asLogged(text);
  for (const auto& r : log.records()) {
    if (r.text.find(logged) != std::string::npos) {
      return r.level;
    }
  }
  return -1;
}

TEST(PredictiveNetBuffer, FramesArriveWholeInAnyOrderAndDuplicatesAreDropped) {
  const MediaFrame frame = MediaFrame::make(1, 3000);  // 3 packets of MTU 1400
  const auto packets = frame.packets(0, kMtu);
  ASSERT_EQ(packets.size(), 3u);
  struct Case {
    const char* name;
    std::vector<int> order;
    uint32_t ignored;
    const char* message;
  } const cases[] = {
      {"in order", {0, 1, 2}, 0, nullptr},
      {"reordered", {2, 0, 1}, 0, nullptr},
      {"last first", {1, 2, 0}, 0, nullptr},
      {"duplicate inside", {2, 1, 1, 0}, 1, "Ignoring packet: Duplicated fragment (1). \n"},
      {"duplicate of packet 0", {0, 0, 2, 1}, 1, "Ignoring packet: Duplicated fragment (0). \n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::LogCapture log;
    Harness h;
    // A first frame teaches the MTU, as on a running channel.
    ASSERT_EQ(h.feed(MediaFrame::make(0, 2000).packets(0, kMtu), {0, 1}), Outcome::kCompleted);
    const auto later = frame.packets(1, kMtu);
    EXPECT_EQ(h.feed(later, c.order), Outcome::kCompleted);
    EXPECT_TRUE(h.holds(frame));
    EXPECT_EQ(h.buffer.completedFrames(), 2u);
    EXPECT_EQ(h.buffer.ignoredPackets(), c.ignored);
    EXPECT_EQ(h.buffer.abortedFrames(), 0u);
    EXPECT_EQ(h.buffer.expectedFrame(), 2u);
    if (c.message != nullptr) {
      EXPECT_EQ(levelOf(log, c.message), kLevelWarning);
    }
    // A copy arriving after the frame is complete is older, and silent.
    EXPECT_EQ(h.feed(later[1]), Outcome::kIgnored);
    EXPECT_FALSE(log.contains("older frame"));
  }
}

TEST(PredictiveNetBuffer, InOrderPacketsLandInPlaceBeforeTheyAreLookedAt) {
  Harness h;
  const MediaFrame frame = MediaFrame::make(3, 5000);
  const auto packets = frame.packets(0, kMtu);
  ASSERT_EQ(h.feed(packets[0]), Outcome::kAccepted);
  EXPECT_EQ(h.buffer.predictedFragment(), 1u);
  EXPECT_EQ(h.buffer.mtu(), kMtu);
  // The scatter receive alone puts packet 1's bytes at their final place.
  const size_t place = (kMtu - 12) * 1 - VideoFrameHeader::kSize;
  h.buffer.deliver(packets[1].data(), packets[1].size());
  EXPECT_EQ(std::memcmp(h.data.data() + place, frame.data.data() + place, kMtu - 12), 0);
  EXPECT_EQ(h.buffer.process(packets[1].size()), Outcome::kAccepted);
  // Out of order: 3 before 2; the prediction moves past 3 and wraps to 2.
  EXPECT_EQ(h.feed(packets[3]), Outcome::kAccepted);
  EXPECT_EQ(h.buffer.predictedFragment(), 2u);
  EXPECT_EQ(h.feed(packets[2]), Outcome::kCompleted);
  EXPECT_TRUE(h.holds(frame));
  EXPECT_EQ(h.buffer.predictedFragment(), 0u);
}

// Each rule: the packets before (a running channel: MTU 1400 known, frame 3
// in progress with packet 0 of 3), the bad datagram, its log line and level,
// and whether it is dumped; the frame in progress survives each.
TEST(PredictiveNetBuffer, EveryRuleIgnoresItsPacketWithItsLineAndCounter) {
  const MediaFrame frame = MediaFrame::make(3, 3000);
  struct Case {
    const char* name;
    std::vector<uint8_t> bad;
    const char* message;
    int level;
    bool dumped;
  } const cases[] = {
      {"shorter than a packet header", std::vector<uint8_t>(11, 0xEE),
       "Ignoring packet: smaller than packet header: 11 (sender is pre-R2.2_SP4 ?).\n",
       kLevelWarning, true},
      {"packet 0 shorter than the frame header", rawPacket(3, 0, 3, 51),
       "Ignoring packet: Received frame smaller than frame header. Packet size: 51 .\n",
       kLevelError, true},
      {"65536 bytes", rawPacket(3, 1, 3, 65536),
       "Ignoring packet: bigger than MAX_PACKET_SIZE(65536).\n", kLevelError, true},
      {"a disconnection packet", rawPacket(0xFFFFFFFF, 7, 0, 12),
       "ignoring disconnection packet.\n", kLevelDebug, false},
      {"an older frame", rawPacket(2, 1, 3, 1400),
       "received packet from older frame: seqNum: 2 !?!. \n", kLevelDebug, false},
      {"no fragment count", rawPacket(3, 1, 0, 1400),
       "Ignoring packet: frameFragCount out of range (1-512): 0.\n", kLevelError, true},
      {"513 fragments", rawPacket(3, 1, 513, 1400),
       "Ignoring packet: frameFragCount out of range (1-512): 513.\n", kLevelError, true},
      {"fragment beyond the count", rawPacket(3, 3, 3, 1400),
       "Ignoring packet: FragSeqNum larger than FragsPerFrame: 3 >= 3.\n", kLevelError, true},
      {"a packet not the last of its frame with another size", rawPacket(3, 1, 3, 1300),
       "Ignoring Packet: MTU inconsistency. expected (1300 <= 1400) MTU Stability: 4 \n",
       kLevelError, true},
      {"a last packet above the MTU", rawPacket(3, 2, 3, 1401),
       "Ignoring Packet: MTU inconsistency. expected (1401 <= 1400) MTU Stability: 4 \n",
       kLevelError, true},
      {"a frame beyond the buffer", rawPacket(3, 1, 200, 1400),
       "Ignoring packet: received frame bigger than buffer.\n", kLevelError, true},
      {"another fragment count", rawPacket(3, 1, 4, 1400),
       "Ignoring packet: frameFragCount inconsistency. expected 3 got 4 \n", kLevelError, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h;
    ASSERT_EQ(h.feed(MediaFrame::make(2, 2000).packets(2, kMtu), {0, 1}), Outcome::kCompleted);
    const auto packets = frame.packets(3, kMtu);
    ASSERT_EQ(h.feed(packets[0]), Outcome::kAccepted);
    ASSERT_EQ(h.buffer.mtuStability(), 4);  // two packets of MTU size so far
    test::LogCapture log;
    EXPECT_EQ(h.feed(c.bad), Outcome::kIgnored);
    EXPECT_EQ(levelOf(log, c.message), c.level);
    EXPECT_EQ(log.count("Dumping ignored packet (little_endian): size: "), c.dumped ? 1u : 0u);
    EXPECT_EQ(h.buffer.ignoredPackets(), 1u);
    EXPECT_EQ(h.buffer.abortedFrames(), 0u);
    // The frame in progress completes with its remaining packets.
    EXPECT_EQ(h.feed(packets, {1, 2}), Outcome::kCompleted);
    EXPECT_TRUE(h.holds(frame));
  }
}

TEST(PredictiveNetBuffer, TheDumpShowsTheFirstNineWordsOfTheDatagram) {
  test::LogCapture log;
  Harness h;
  std::vector<uint8_t> bad = rawPacket(1, 1, 0, 40);
  bad[12] = 0x78, bad[13] = 0x56, bad[14] = 0x34, bad[15] = 0x12, bad[39] = 0x99;
  h.feed(bad);
  EXPECT_EQ(levelOf(log,
                    "Dumping ignored packet (little_endian): size: 40 data: 0x00000001 0x00000001 "
                    "0x00000000 0x12345678 0x00000000 0x00000000 0x00000000 0x00000000 "
                    "0x00000000.\n"),
            kLevelWarning);
}

TEST(PredictiveNetBuffer, MtuIsLearnedGainsConfidenceAndIsForgottenAfterTooManyMisfits) {
  test::LogCapture log;
  Harness h;
  for (uint32_t n = 0; n < 7; ++n) {
    ASSERT_EQ(h.feed(MediaFrame::make(n, 2000).packets(n, kMtu), {0, 1}), Outcome::kCompleted);
  }
  EXPECT_EQ(h.buffer.mtu(), kMtu);
  EXPECT_EQ(h.buffer.mtuStability(), 10) << "grows by 2 per packet, up to 10";
  // Each misfit costs one point; at 0 the next one resets the MTU and drops
  // the frame in progress.
  ASSERT_EQ(h.feed(MediaFrame::make(7, 3000).packets(7, kMtu)[0]), Outcome::kAccepted);
  for (int i = 0; i < 10; ++i) {
    ASSERT_EQ(h.feed(rawPacket(7, 1, 3, 1000)), Outcome::kIgnored);
  }
  EXPECT_EQ(h.buffer.mtuStability(), 0);
  EXPECT_EQ(log.count("Ignoring Packet: MTU inconsistency."), 10u);
  EXPECT_EQ(h.feed(rawPacket(7, 1, 3, 1000)), Outcome::kIgnored);
  EXPECT_EQ(levelOf(log, "Ignoring Frame: Too many MTU inconsistency. Resetting MTU \n"),
            kLevelError);
  EXPECT_EQ(h.buffer.mtu(), 0u);
  EXPECT_EQ(h.buffer.abortedFrames(), 1u);
  EXPECT_EQ(h.buffer.expectedFrame(), 8u) << "the rest of frame 7 is older now";
  EXPECT_EQ(h.feed(MediaFrame::make(7, 3000).packets(7, kMtu)[2]), Outcome::kIgnored);
  // A new MTU is learned from the next frame.
  const MediaFrame next = MediaFrame::make(8, 3000);
  EXPECT_EQ(h.feed(next.packets(8, 1000), {0, 1, 2, 3}), Outcome::kCompleted);
  EXPECT_TRUE(h.holds(next));
  EXPECT_EQ(h.buffer.mtu(), 1000u);
}

TEST(PredictiveNetBuffer, FirstPacketEverBeingTheLastOfItsFrameDropsThatFrame) {
  test::LogCapture log;
  Harness h;
  const auto packets = MediaFrame::make(5, 3000).packets(5, kMtu);
  EXPECT_EQ(h.feed(packets[2]), Outcome::kIgnored);
  EXPECT_EQ(levelOf(log,
                    "Ignoring Frame #5: first packet ever received is last in frame MTU "
                    "unknown.\n"),
            kLevelDebug);
  EXPECT_EQ(h.buffer.abortedFrames(), 1u);
  EXPECT_EQ(h.feed(packets, {0, 1}), Outcome::kIgnored);
  EXPECT_EQ(h.buffer.ignoredPackets(), 3u) << "the rest of frame 5 is older";
  EXPECT_EQ(h.buffer.mtu(), 0u);
  const MediaFrame next = MediaFrame::make(6, 3000);
  EXPECT_EQ(h.feed(next.packets(6, kMtu), {0, 1, 2}), Outcome::kCompleted);
  EXPECT_TRUE(h.holds(next));
}

TEST(PredictiveNetBuffer, ASequenceJumpDropsThePartialFrameAndStartsTheNewOne) {
  test::LogCapture log;
  Harness h;
  ASSERT_EQ(h.feed(MediaFrame::make(5, 2000).packets(5, kMtu), {0, 1}), Outcome::kCompleted);
  ASSERT_EQ(h.feed(MediaFrame::make(6, 3000).packets(6, kMtu)[0]), Outcome::kAccepted);
  const MediaFrame eight = MediaFrame::make(8, 3000);
  const auto packets = eight.packets(8, kMtu);
  EXPECT_EQ(h.feed(packets[1]), Outcome::kAccepted);
  EXPECT_EQ(
      levelOf(log, "Ignoring frame #6: Frame Sequence Number jump. expected: 6 received 8.\n"),
      kLevelWarning);
  EXPECT_EQ(h.buffer.abortedFrames(), 1u);
  EXPECT_EQ(h.feed(packets, {0, 2}), Outcome::kCompleted);
  EXPECT_TRUE(h.holds(eight));
  // At the start of a channel (expected frame 0 or 1) a jump is silent.
  Harness fresh;
  log.clear();
  EXPECT_EQ(fresh.feed(MediaFrame::make(1, 100).packets(40, kMtu)[0]), Outcome::kCompleted);
  EXPECT_FALSE(log.contains("jump"));
  EXPECT_EQ(fresh.buffer.abortedFrames(), 0u);
}

// A buffer too small for a frame, and no buffer at all (what lands where is
// the reassembly property's, checked on the fuzzer's corpus).
TEST(PredictiveNetBuffer, AFrameBeyondTheBufferIsRefusedAndNoBufferIsAnError) {
  Harness h(100);
  const auto big = MediaFrame::make(1, 5000).packets(1, kMtu);
  EXPECT_EQ(h.feed(big, {0, 1, 2, 3}), Outcome::kIgnored);
  const MediaFrame small = MediaFrame::make(2, 60);
  const auto p = small.packets(3, kMtu)[0];
  EXPECT_EQ(h.feed(p), Outcome::kCompleted);
  EXPECT_TRUE(h.holds(small));
  PredictiveNetBuffer none;
  EXPECT_EQ(test::thrownText([&] { none.deliver(p.data(), p.size()); }),
            "PredictiveNetBuffer: No buffer available.\n");
}

// The sender's cut, and the buffer putting the frame together again: one
// packet needs no MTU, more teach it.
TEST(MediaFrameCutter, PacketsCarryMtuMinusTwelveBytesAndTheBufferJoinsThem) {
  struct Case {
    size_t frame;
    size_t mtu;
    uint32_t count;
    size_t lastSize;
  } const cases[] = {
      {1040, 1400, 1, 1052},     {1388, 1400, 1, 1400},      {1389, 1400, 2, 13},
      {40, 53, 1, 52},           {40, 1400, 1, 52},          {2 * 1388, 1400, 2, 1400},
      {100040, 65535, 2, 34529}, {512 * 100, 112, 512, 112},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.frame);
    const MediaFrame f = MediaFrame::make(1, c.frame - 40);
    const MediaFrameCutter cutter(77, f.header.bytes, f.data, c.mtu);
    ASSERT_EQ(cutter.fragmentCount(), c.count);
    std::vector<uint8_t> joined;
    Harness h;
    for (uint32_t i = 0; i < c.count; ++i) {
      const auto p = cutter.packetBytes(i);
      EXPECT_EQ(h.feed(p), i + 1 == c.count ? Outcome::kCompleted : Outcome::kAccepted);
      const MediaPacketHeader words = MediaPacketHeader::read(p.data());
      EXPECT_EQ(words.frameSequence, 77u);
      EXPECT_EQ(words.fragmentSequence, i);
      EXPECT_EQ(words.fragmentCount, c.count);
      EXPECT_EQ(p.size(), i + 1 == c.count ? c.lastSize : c.mtu);
      joined.insert(joined.end(), p.begin() + 12, p.end());
    }
    std::vector<uint8_t> whole(f.header.bytes, f.header.bytes + 40);
    whole.insert(whole.end(), f.data.begin(), f.data.end());
    EXPECT_EQ(joined, whole);
    EXPECT_TRUE(h.holds(f));
    EXPECT_EQ(h.buffer.mtu(), c.count == 1 ? 0u : c.mtu);
  }
  const MediaFrame f = MediaFrame::make(1, 512 * 100);
  for (size_t mtu : {size_t{12}, size_t{65536}, size_t{112}}) {
    SCOPED_TRACE(mtu);
    EXPECT_THROW(MediaFrameCutter(1, f.header.bytes, f.data, mtu), JTextError);
  }
}

}  // namespace
}  // namespace zq
