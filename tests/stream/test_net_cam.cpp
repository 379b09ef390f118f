// Frames received as datagrams: the reassembly fed datagram by datagram (one
// channel through its life: orders, duplicates, jumps, the MTU learned and
// forgotten; every validation rule with its log line; the sender's cut
// joined again), then NetCam on real UDP sockets on 127.0.0.1 (frames read
// back byte for byte, losses, the disconnect flag reported through a real
// RPC client, the time-out command and pauses, and the disconnection packets
// that end a unicast channel or a multicast leaf).
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/error.h"
#include "helpers/log_capture.h"
#include "helpers/thrown.h"
#include "helpers/waits.h"
#include "media_test_support.h"
#include "net/udp_socket.h"
#include "rpc/rpc_client_test_support.h"
#include "stream/net_cam.h"
#include "stream/predictive_net_buffer.h"
#include "stream/stream_client.h"
#include "stream/stream_frame_header.h"
#include "stream/stream_info.h"

namespace zq {
namespace {

using test::eventually;
using test::MediaFrame;
using test::rawPacket;

constexpr size_t kMtu = 1400;

using Outcome = PredictiveNetBuffer::Outcome;

// A buffer with a stream-sized data buffer and a 40-byte header buffer.
struct Harness {
  explicit Harness(size_t capacity = 131040) : data(capacity) {
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

size_t linesAt(const test::LogCapture& log, int level, std::string_view text) {
  return test::countAt(log, level, test::asLogged(text));
}

// One channel from its first datagram: a first packet that is its frame's
// last (MTU unknown: the frame is dropped), packets landing in place, frames
// in any order with copies, a jump in the frame numbers, then misfits that
// wear the learned MTU down until it is forgotten and learned again.
TEST(PredictiveNetBuffer, AChannelThroughItsLife) {
  test::LogCapture log;
  Harness h;
  const auto dropped = MediaFrame::make(5, 3000).packets(5, kMtu);
  EXPECT_EQ(h.feed(dropped[2]), Outcome::kIgnored);
  EXPECT_EQ(linesAt(log, kLevelDebug,
                    "Ignoring Frame #5: first packet ever received is last in frame MTU "
                    "unknown.\n"),
            1u);
  EXPECT_EQ(h.feed(dropped, {0, 1}), Outcome::kIgnored) << "the rest of frame 5 is older";
  EXPECT_EQ(h.buffer.mtu(), 0u);

  // In-order packets land at their final place in the scatter receive; out
  // of order (3 before 2) the prediction moves past 3 and wraps to 2.
  const MediaFrame six = MediaFrame::make(6, 5000);
  const auto packets = six.packets(6, kMtu);
  ASSERT_EQ(h.feed(packets[0]), Outcome::kAccepted);
  EXPECT_EQ(h.buffer.predictedFragment(), 1u);
  EXPECT_EQ(h.buffer.mtu(), kMtu);
  const size_t place = kMtu - 12 - VideoFrameHeader::kSize;
  h.buffer.deliver(packets[1].data(), packets[1].size());
  EXPECT_EQ(std::memcmp(h.data.data() + place, six.data.data() + place, kMtu - 12), 0);
  EXPECT_EQ(h.buffer.process(packets[1].size()), Outcome::kAccepted);
  EXPECT_EQ(h.feed(packets[3]), Outcome::kAccepted);
  EXPECT_EQ(h.buffer.predictedFragment(), 2u);
  EXPECT_EQ(h.feed(packets[2]), Outcome::kCompleted);
  EXPECT_TRUE(h.holds(six));
  EXPECT_EQ(h.buffer.predictedFragment(), 0u);

  // Frames 7 to 10; a copy after its frame completed is older, and silent.
  struct Case {
    std::vector<int> order;
    const char* duplicate;
  } const cases[] = {
      {{2, 0, 1}, nullptr},
      {{1, 2, 0}, nullptr},
      {{2, 1, 1, 0}, "Ignoring packet: Duplicated fragment (1). \n"},
      {{0, 0, 2, 1}, "Ignoring packet: Duplicated fragment (0). \n"},
  };
  uint32_t number = 7;
  uint32_t ignored = 3;
  for (const Case& c : cases) {
    SCOPED_TRACE(number);
    const MediaFrame f = MediaFrame::make(number, 3000);
    const auto p = f.packets(number, kMtu);
    EXPECT_EQ(h.feed(p, c.order), Outcome::kCompleted);
    EXPECT_TRUE(h.holds(f));
    EXPECT_EQ(h.feed(p[1]), Outcome::kIgnored);
    ignored += c.duplicate != nullptr ? 2 : 1;
    EXPECT_EQ(h.buffer.ignoredPackets(), ignored);
    EXPECT_EQ(h.buffer.expectedFrame(), ++number);
    if (c.duplicate != nullptr) {
      EXPECT_EQ(linesAt(log, kLevelWarning, c.duplicate), 1u);
    }
  }
  EXPECT_FALSE(log.contains("older frame"));
  EXPECT_EQ(h.buffer.completedFrames(), 5u);
  EXPECT_EQ(h.buffer.abortedFrames(), 1u);

  // Frame 11 begun, then a packet of 13: 11 is dropped, 13 goes on.
  ASSERT_EQ(h.feed(MediaFrame::make(11, 3000).packets(11, kMtu)[0]), Outcome::kAccepted);
  const MediaFrame thirteen = MediaFrame::make(13, 3000);
  EXPECT_EQ(h.feed(thirteen.packets(13, kMtu), {1, 0, 2}), Outcome::kCompleted);
  EXPECT_TRUE(h.holds(thirteen));
  EXPECT_EQ(linesAt(log, kLevelWarning,
                    "Ignoring frame #11: Frame Sequence Number jump. expected: 11 received 13.\n"),
            1u);
  EXPECT_EQ(h.buffer.abortedFrames(), 2u);

  // The MTU's confidence grows by 2 a packet up to 10; each misfit costs a
  // point, and at 0 the next one resets the MTU and drops the frame.
  EXPECT_EQ(h.buffer.mtuStability(), 10);
  const auto fourteen = MediaFrame::make(14, 3000).packets(14, kMtu);
  ASSERT_EQ(h.feed(fourteen[0]), Outcome::kAccepted);
  for (int i = 0; i < 11; ++i) {
    ASSERT_EQ(h.feed(rawPacket(14, 1, 3, 1000)), Outcome::kIgnored);
  }
  EXPECT_EQ(log.count("Ignoring Packet: MTU inconsistency."), 10u);
  EXPECT_EQ(
      linesAt(log, kLevelError, "Ignoring Frame: Too many MTU inconsistency. Resetting MTU \n"),
      1u);
  EXPECT_EQ(h.buffer.mtu(), 0u);
  EXPECT_EQ(h.buffer.abortedFrames(), 3u);
  EXPECT_EQ(h.feed(fourteen[2]), Outcome::kIgnored);
  const MediaFrame fifteen = MediaFrame::make(15, 3000);
  EXPECT_EQ(h.feed(fifteen.packets(15, 1000), {0, 1, 2, 3}), Outcome::kCompleted);
  EXPECT_TRUE(h.holds(fifteen));
  EXPECT_EQ(h.buffer.mtu(), 1000u);

  // At the start of a channel (expected frame 0 or 1) a jump is silent.
  Harness fresh;
  log.clear();
  EXPECT_EQ(fresh.feed(MediaFrame::make(1, 100).packets(40, kMtu)[0]), Outcome::kCompleted);
  EXPECT_FALSE(log.contains("jump"));
  EXPECT_EQ(fresh.buffer.abortedFrames(), 0u);
}

// Each rule on a running channel (MTU 1400 known, frame 3 in progress with
// packet 0 of 3): the bad datagram, its line and level, whether it is
// dumped; the frame in progress survives each.
TEST(PredictiveNetBuffer, EveryRuleIgnoresItsPacketWithItsLine) {
  const MediaFrame frame = MediaFrame::make(3, 3000);
  struct Case {
    std::vector<uint8_t> bad;
    const char* message;
    int level;
    bool dumped;
  } const cases[] = {
      {std::vector<uint8_t>(11, 0xEE),
       "Ignoring packet: smaller than packet header: 11 (sender is pre-R2.2_SP4 ?).\n",
       kLevelWarning, true},
      {rawPacket(3, 0, 3, 51),
       "Ignoring packet: Received frame smaller than frame header. Packet size: 51 .\n",
       kLevelError, true},
      {rawPacket(3, 1, 3, 65536), "Ignoring packet: bigger than MAX_PACKET_SIZE(65536).\n",
       kLevelError, true},
      {rawPacket(0xFFFFFFFF, 7, 0, 12), "ignoring disconnection packet.\n", kLevelDebug, false},
      {rawPacket(2, 1, 3, 1400), "received packet from older frame: seqNum: 2 !?!. \n", kLevelDebug,
       false},
      {rawPacket(3, 1, 0, 1400), "Ignoring packet: frameFragCount out of range (1-512): 0.\n",
       kLevelError, true},
      {rawPacket(3, 1, 513, 1400), "Ignoring packet: frameFragCount out of range (1-512): 513.\n",
       kLevelError, true},
      {rawPacket(3, 3, 3, 1400), "Ignoring packet: FragSeqNum larger than FragsPerFrame: 3 >= 3.\n",
       kLevelError, true},
      {rawPacket(3, 1, 3, 1300),
       "Ignoring Packet: MTU inconsistency. expected (1300 <= 1400) MTU Stability: 4 \n",
       kLevelError, true},
      {rawPacket(3, 2, 3, 1401),
       "Ignoring Packet: MTU inconsistency. expected (1401 <= 1400) MTU Stability: 4 \n",
       kLevelError, true},
      {rawPacket(3, 1, 200, 1400), "Ignoring packet: received frame bigger than buffer.\n",
       kLevelError, true},
      {rawPacket(3, 1, 4, 1400),
       "Ignoring packet: frameFragCount inconsistency. expected 3 got 4 \n", kLevelError, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    Harness h;
    ASSERT_EQ(h.feed(MediaFrame::make(2, 2000).packets(2, kMtu), {0, 1}), Outcome::kCompleted);
    const auto packets = frame.packets(3, kMtu);
    ASSERT_EQ(h.feed(packets[0]), Outcome::kAccepted);
    test::LogCapture log;
    EXPECT_EQ(h.feed(c.bad), Outcome::kIgnored);
    EXPECT_EQ(linesAt(log, c.level, c.message), 1u);
    EXPECT_EQ(log.count("Dumping ignored packet (little_endian): size: "), c.dumped ? 1u : 0u);
    EXPECT_EQ(h.feed(packets, {1, 2}), Outcome::kCompleted);
    EXPECT_TRUE(h.holds(frame));
    EXPECT_EQ(h.buffer.abortedFrames(), 0u);
  }
}

// A buffer too small for a frame, and no buffer at all.
TEST(PredictiveNetBuffer, AFrameBeyondTheBufferIsRefusedAndNoBufferIsAnError) {
  Harness h(100);
  EXPECT_EQ(h.feed(MediaFrame::make(1, 5000).packets(1, kMtu), {0, 1, 2, 3}), Outcome::kIgnored);
  const MediaFrame small = MediaFrame::make(2, 60);
  const auto p = small.packets(3, kMtu)[0];
  EXPECT_EQ(h.feed(p), Outcome::kCompleted);
  EXPECT_TRUE(h.holds(small));
  PredictiveNetBuffer none;
  EXPECT_EQ(test::thrownText([&] { none.deliver(p.data(), p.size()); }),
            "PredictiveNetBuffer: No buffer available.\n");
}

// The sender's cut: packets of the MTU, numbered, the last one shorter, put
// together again by the buffer (one packet needs no MTU, more teach it).
TEST(MediaFrameCutter, PacketsCarryMtuMinusTwelveBytesAndTheBufferJoinsThem) {
  struct Case {
    size_t frame, mtu;
    uint32_t count;
    size_t lastSize;
  } const cases[] = {
      {1388, 1400, 1, 1400},     {1389, 1400, 2, 13},        {40, 53, 1, 52},
      {100040, 65535, 2, 34529}, {512 * 100, 112, 512, 112},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.frame);
    const MediaFrame f = MediaFrame::make(1, c.frame - 40);
    const MediaFrameCutter cutter(77, f.header.bytes, f.data, c.mtu);
    ASSERT_EQ(cutter.fragmentCount(), c.count);
    Harness h;
    for (uint32_t i = 0; i < c.count; ++i) {
      const auto p = cutter.packetBytes(i);
      EXPECT_EQ(h.feed(p), i + 1 == c.count ? Outcome::kCompleted : Outcome::kAccepted);
      const MediaPacketHeader words = MediaPacketHeader::read(p.data());
      EXPECT_EQ(words.frameSequence, 77u);
      EXPECT_EQ(words.fragmentSequence, i);
      EXPECT_EQ(words.fragmentCount, c.count);
      EXPECT_EQ(p.size(), i + 1 == c.count ? c.lastSize : c.mtu);
    }
    EXPECT_TRUE(h.holds(f));
    EXPECT_EQ(h.buffer.mtu(), c.count == 1 ? 0u : c.mtu);
  }
  const MediaFrame f = MediaFrame::make(1, 512 * 100);
  for (size_t mtu : {size_t{12}, size_t{65536}, size_t{112}}) {
    SCOPED_TRACE(mtu);
    EXPECT_THROW(MediaFrameCutter(1, f.header.bytes, f.data, mtu), JTextError);
  }
}

// A NetCam on a loopback socket, a sender, and a reader of its stream.
class Channel {
 public:
  explicit Channel(JRPCClient* rpc = nullptr, bool atmMulticast = false,
                   const StreamInfo* info = nullptr) {
    auto socket = std::make_unique<JUDPSocket>();
    socket->bind(JInetAddr("127.0.0.1", 0));
    address_ = socket->localAddress();
    socket_ = socket.get();
    sender_.bind(JInetAddr("127.0.0.1", 0));
    cam = std::make_unique<NetCam>(std::move(socket), info ? info->bytes().data() : nullptr,
                                   info ? info->infoSize() : 0, rpc, atmMulticast, &mask);
    reader.listen(cam.get());
    reader.setTimeout(20000);
  }
  ~Channel() { destroyCam(); }

  // The reader lets go of the stream first: a stream waits for its frames.
  void destroyCam() {
    reader.unlock();
    reader.listen(nullptr);
    cam.reset();
  }
  void send(const std::vector<uint8_t>& datagram) {
    sender_.sendto(datagram.data(), datagram.size(), address_);
  }
  // Frame `f` as channel frame `sequence`, its packets in `order` (all, in
  // order, when empty).
  void sendFrame(const MediaFrame& f, uint32_t sequence, std::vector<int> order = {}) {
    const auto packets = f.packets(sequence, kMtu);
    for (size_t i = 0; order.empty() && i < packets.size(); ++i) {
      send(packets[i]);
    }
    for (int i : order) {
      send(packets.at(static_cast<size_t>(i)));
    }
  }
  // Frame `f` is the next one published, as it was sent.
  void expectPublished(const MediaFrame& f) {
    const StreamFrameHeader* h = frameHeaderOf(reader.readNext(&stop_));
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->size, f.data.size());
    EXPECT_EQ(h->keyWord, f.header.tail().keyWord);
    EXPECT_EQ(h->timeStamp() & ~StreamFrameHeader::kTimeStampFlag, f.header.tail().timeStamp);
    EXPECT_EQ(std::memcmp(h->payload(), f.data.data(), f.data.size()), 0);
  }
  bool ended() {
    return eventually([&] { return cam->ended(); });
  }

  JTraceMask mask{0xFFFFFFFFu};
  std::unique_ptr<NetCam> cam;
  StreamClient reader;
  JSocket* socket_ = nullptr;  // the data socket, for a leaf's tear-down

 private:
  JInetAddr address_;
  JUDPSocket sender_;
  std::atomic<bool> stop_{false};
};

// Frames of any size up to the stream's largest, their packets in any
// order, are published whole; losses are counted from the frame numbers of
// their headers, and a late frame is published all the same. A frame with
// the disconnect flag is not published: it ends reception, reported once
// through the RPC client when there is one, and the stream stays readable.
TEST(NetCam, AChannelPublishesFramesCountsLossesAndEndsOnTheDisconnectFlag) {
  for (bool withClient : {true, false}) {
    SCOPED_TRACE(withClient ? "with an RPC client" : "without");
    test::LogCapture log;
    test::ScriptedLineServer server;
    test::LinkRecorder recorder;
    test::ClientOptions options;
    options.retry = false;
    options.listener = &recorder;
    auto client = test::makeClient(server.port(), options);
    ASSERT_TRUE(client->isConnected());
    Channel c(withClient ? client.get() : nullptr);
    struct Step {
      uint32_t number;
      uint64_t lost;
      size_t size;
      std::vector<int> order;
    } const steps[] = {{5, 0, 3000, {}}, {9, 3, 3000, {2, 0, 1}}, {10, 3, 131040 - 40, {}},
                       {7, 3, 500, {}},  {12, 7, 500, {}},        {14, 8, 500, {}}};
    uint32_t sequence = 1;
    for (const Step& s : steps) {
      SCOPED_TRACE(s.number);
      const MediaFrame f = MediaFrame::make(s.number, s.size);
      c.sendFrame(f, sequence++, s.order);
      c.expectPublished(f);
      EXPECT_EQ(c.cam->lostFrames(), s.lost);
    }
    EXPECT_EQ(linesAt(log, kLevelTraceNetwork, "Frame loss, got 9 after 5, total loss=3."), 1u);
    EXPECT_EQ(linesAt(log, kLevelTraceNetwork, "Frame loss, got 14 after 12, total loss=8."), 1u);
    EXPECT_EQ(linesAt(log, kLevelTraceNetwork, "Frame loss"), 3u);

    c.sendFrame(MediaFrame::make(15, 3000, SVIDEOFRAMEHEADER_FLAGS_DISCONNECT), sequence);
    ASSERT_TRUE(c.ended());
    const std::string line = jformat(
        "run() - received SVIDEOFRAMEHEADER_FLAGS_DISCONNECT reporting Connection loss to %p\n",
        static_cast<void*>(client.get()));
    EXPECT_EQ(linesAt(log, kLevelWarning, line), withClient ? 1u : 0u);
    if (withClient) {
      EXPECT_TRUE(recorder.waitFor("down:"));
    }
    EXPECT_EQ(c.reader.tryReadNext(nullptr, 0, 0), nullptr);
    EXPECT_EQ(c.cam->table()->lastSequence.load(), 5);
    c.destroyCam();
    EXPECT_EQ(recorder.countOf("down:"), withClient ? 1u : 0u);
  }
}

// The time-out command (other commands go to the stream), then a pause
// frame that keeps reception alive through receive time-outs until an
// ordinary frame ends the pause and silence ends reception.
TEST(NetCam, APauseFrameKeepsReceptionAliveThroughTheCommandedTimeOuts) {
  test::LogCapture log;
  Channel c;
  char answer[16] = {};
  struct Case {
    const char* command;
    int result;
    const char* answer;
  } const cases[] = {
      {"NetCam.timeout_ms?", 0, "10000"}, {"NetCam.timeout_ms=200", 0, ""},
      {"NetCam.timeout_ms?", 0, "200"},   {"NetCam.timeout_ms=soon", -5, ""},
      {"NetCam.timeout_ms=-2", -5, ""},   {"NetCam.depth?", -3, ""},
      {"JStream.queue?", 0, "5"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.command);
    answer[0] = '\0';
    EXPECT_EQ(c.cam->control(k.command, answer, sizeof answer), k.result);
    EXPECT_STREQ(answer, k.answer);
  }
  EXPECT_EQ(linesAt(log, kLevelTraceNetwork, "Chaning time out to 200 ms."), 1u);
  c.sendFrame(MediaFrame::make(1, 100, SVIDEOFRAMEHEADER_FLAGS_PAUSE), 1);
  ASSERT_TRUE(eventually([&] { return c.cam->paused(); }));
  ASSERT_TRUE(eventually([&] { return linesAt(log, kLevelException, "Time out!") >= 5; }));
  EXPECT_FALSE(c.cam->ended());
  EXPECT_EQ(c.cam->table()->lastSequence.load(), -1) << "a pause frame is not published";
  const MediaFrame f = MediaFrame::make(2, 3000);
  c.sendFrame(f, 2);
  c.expectPublished(f);
  EXPECT_FALSE(c.cam->paused());
  ASSERT_TRUE(c.ended());
  EXPECT_EQ(
      linesAt(log, kLevelError,
              jformat("NetCam::run (%p) - read time out.\n", static_cast<void*>(c.cam.get()))),
      1u);
}

// The ATM disconnection packets: each case sends ids in turn; all but the
// last are ignored (an ordinary frame still gets through after them), and
// the last ends reception, on a leaf once it knows its id (`lateId`). A
// leaf's other errors end it with its socket closed, for the tear-down.
TEST(NetCam, DisconnectionPacketsEndOnlyTheChannelTheyName) {
  struct Case {
    const char* name;
    bool multicast;
    int32_t ownId, lateId;
    std::vector<uint32_t> ignoredIds;
    std::vector<const char*> ignoredLines;
    uint32_t endingId;
    const char* endingLine;
  } const cases[] = {
      {"unicast, any id", false, 7, 7, {}, {}, 9, "Received ATM unicast disconnection packet."},
      {"multicast leaf 7",
       true,
       7,
       7,
       {8, 0xFFFFFFFFu},
       {"Ignoring foreign ATM multicast disconnection packet with id = 8, my own = 7.",
        "Received ATM multicast disconnection packet with id = -1 !"},
       7,
       "Received ATM multicast disconnection packet with matching ID 7."},
      {"multicast leaf without an id, then 3",
       true,
       -1,
       3,
       {7},
       {"Ignoring foreign ATM multicast disconnection packet with id = 7, my own = -1."},
       3,
       "Received ATM multicast disconnection packet with matching ID 3."},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    test::LogCapture log;
    Channel c(nullptr, k.multicast);
    char answer[8];
    c.cam->control("NetCam.timeout_ms=20000", answer, sizeof answer);
    c.cam->setTeardownId(k.ownId);
    uint32_t sequence = 1;
    for (size_t i = 0; i < k.ignoredIds.size(); ++i) {
      c.send(rawPacket(0xFFFFFFFFu, k.ignoredIds[i], 0, 12));
      const MediaFrame f = MediaFrame::make(sequence, 2000);
      c.sendFrame(f, sequence++);
      c.expectPublished(f);
      EXPECT_EQ(linesAt(log, kLevelTraceNetwork, k.ignoredLines[i]), 1u);
    }
    EXPECT_FALSE(c.cam->ended());
    c.cam->setTeardownId(k.lateId);
    c.send(rawPacket(0xFFFFFFFFu, k.endingId, 0, 12));
    ASSERT_TRUE(c.ended());
    EXPECT_EQ(linesAt(log, kLevelTraceNetwork, k.endingLine), 1u);
    EXPECT_EQ(log.count("Calling close on multicast data socket"), 0u);
  }
  const auto info = StreamInfo::makePcmStreamInfo(8000, 16, 1, 160);
  test::LogCapture log;
  Channel leaf(nullptr, true, info.get());
  EXPECT_EQ(leaf.cam->getStreamInfoSize(), info->infoSize());
  leaf.socket_->close();
  ASSERT_TRUE(leaf.ended());
  EXPECT_EQ(linesAt(log, kLevelTraceNetwork,
                    "Calling close on multicast data socket to signal SvcClient::tearDown()."),
            1u);
}

}  // namespace
}  // namespace zq
