// Frames received as datagrams: the reassembly fed datagram by datagram
// (packets in any order with copies, the size limits), then NetCam on real
// UDP sockets on 127.0.0.1 (frames read back byte for byte, losses, the
// disconnect flag reported through a real RPC client).
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <vector>

#include "helpers/log_capture.h"
#include "helpers/waits.h"
#include "media_test_support.h"
#include "net/udp_socket.h"
#include "rpc/rpc_client_test_support.h"
#include "stream/net_cam.h"
#include "stream/predictive_net_buffer.h"
#include "stream/stream_client.h"
#include "stream/stream_frame_header.h"

namespace zq {
namespace {

using test::eventually;
using test::MediaFrame;
using test::rawPacket;

constexpr size_t kMtu = 1400;

using Outcome = PredictiveNetBuffer::Outcome;

// A buffer with a stream-sized data buffer and a 40-byte header buffer.
struct Harness {
  Harness() : data(131040) {
    buffer.setDataBuffer(data.data(), data.size());
    buffer.setHeaderBuffer(header, sizeof header);
  }
  Outcome feed(const std::vector<uint8_t>& datagram) {
    return buffer.process(buffer.deliver(datagram.data(), datagram.size()));
  }
  // The frame now in the buffers, as the sender had it.
  bool holds(const MediaFrame& f) const {
    return buffer.frameSize() == f.data.size() &&
           std::memcmp(data.data(), f.data.data(), f.data.size()) == 0 &&
           std::memcmp(header, f.header.bytes, sizeof header) == 0;
  }
  std::vector<uint8_t> data;
  uint8_t header[VideoFrameHeader::kSize] = {};
  PredictiveNetBuffer buffer;
};

// Frames of three packets in any order, some with copies: each completes
// whole, once; a copy is ignored (said once) and never stands in for a
// missing packet.
TEST(PredictiveNetBuffer, PacketsInAnyOrderWithCopiesCompleteEachFrameOnce) {
  test::LogCapture log;
  Harness h;
  struct Case {
    std::vector<int> order;
    const char* duplicate;
  } const cases[] = {
      {{0, 1, 2}, nullptr},  // a channel starts at a frame's first packet
      {{2, 0, 1}, nullptr},
      {{2, 1, 1, 0}, "Ignoring packet: Duplicated fragment (1). \n"},
  };
  uint32_t number = 1;
  uint32_t ignored = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(number);
    const MediaFrame f = MediaFrame::make(number, 3000);
    const auto p = f.packets(number, kMtu);
    for (size_t i = 0; i + 1 < c.order.size(); ++i) {
      EXPECT_NE(h.feed(p.at(static_cast<size_t>(c.order[i]))), Outcome::kCompleted);
    }
    EXPECT_EQ(h.feed(p.at(static_cast<size_t>(c.order.back()))), Outcome::kCompleted);
    EXPECT_TRUE(h.holds(f));
    EXPECT_EQ(h.feed(p[1]), Outcome::kIgnored) << "its frame is complete";
    ignored += c.duplicate != nullptr ? 2 : 1;
    EXPECT_EQ(h.buffer.ignoredPackets(), ignored);
    EXPECT_EQ(h.buffer.expectedFrame(), ++number);
    if (c.duplicate != nullptr) {
      EXPECT_EQ(test::countAt(log, kLevelWarning, test::asLogged(c.duplicate)), 1u);
    }
  }
  EXPECT_EQ(h.buffer.completedFrames(), 3u);
}

// The size limits with a frame in progress (frame 3, packet 0 of 3: the MTU
// known): the datagram is ignored with its line and the frame
// in progress survives. (That every other rule is reached, and keeps the
// buffer sound, is the corpus replay's check.)
TEST(PredictiveNetBuffer, DatagramsBeyondTheLimitsAreIgnoredWithTheirLine) {
  const MediaFrame frame = MediaFrame::make(3, 3000);
  struct Case {
    std::vector<uint8_t> bad;
    const char* message;
  } const cases[] = {
      {rawPacket(3, 1, 3, 65536), "Ignoring packet: bigger than MAX_PACKET_SIZE(65536).\n"},
      {rawPacket(3, 1, 200, 1400), "Ignoring packet: received frame bigger than buffer.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    Harness h;
    const auto packets = frame.packets(3, kMtu);
    ASSERT_EQ(h.feed(packets[0]), Outcome::kAccepted);
    test::LogCapture log;
    EXPECT_EQ(h.feed(c.bad), Outcome::kIgnored);
    EXPECT_EQ(test::countAt(log, kLevelError, test::asLogged(c.message)), 1u);
    EXPECT_EQ(h.feed(packets[1]), Outcome::kAccepted);
    EXPECT_EQ(h.feed(packets[2]), Outcome::kCompleted);
    EXPECT_TRUE(h.holds(frame));
    EXPECT_EQ(h.buffer.abortedFrames(), 0u);
  }
}

// A NetCam on a loopback socket, a sender, and a reader of its stream.
class Channel {
 public:
  explicit Channel(JRPCClient* rpc) {
    auto socket = std::make_unique<JUDPSocket>();
    socket->bind(JInetAddr("127.0.0.1", 0));
    address_ = socket->localAddress();
    sender_.bind(JInetAddr("127.0.0.1", 0));
    cam = std::make_unique<NetCam>(std::move(socket), nullptr, 0, rpc, false, &mask);
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
  // Frame `f` as channel frame `sequence`, its packets in `order` (all, in
  // order, when empty).
  void sendFrame(const MediaFrame& f, uint32_t sequence, std::vector<int> order = {}) {
    const auto packets = f.packets(sequence, kMtu);
    for (size_t i = 0; i < (order.empty() ? packets.size() : order.size()); ++i) {
      const auto& datagram = packets.at(order.empty() ? i : static_cast<size_t>(order[i]));
      sender_.sendto(datagram.data(), datagram.size(), address_);
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

  JTraceMask mask{0xFFFFFFFFu};
  std::unique_ptr<NetCam> cam;
  StreamClient reader;

 private:
  JInetAddr address_;
  JUDPSocket sender_;
  std::atomic<bool> stop_{false};
};

// Frames of any size up to the stream's largest, their packets in any
// order, are published whole; losses are counted from the frame numbers of
// their headers (a gap of one too), and a late frame is published all the
// same. A frame with the disconnect flag is not published: it ends
// reception, reported once through the RPC client.
TEST(NetCam, AChannelPublishesFramesCountsLossesAndEndsOnTheDisconnectFlag) {
  test::LogCapture log;
  test::ScriptedLineServer server;
  test::LinkRecorder recorder;
  auto client = test::makeClient(server.port(), {.retry = false, .listener = &recorder});
  ASSERT_TRUE(client->isConnected());
  Channel c(client.get());
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
  EXPECT_EQ(test::countAt(log, kLevelTraceNetwork,
                          test::asLogged("Frame loss, got 14 after 12, total loss=8.")),
            1u);

  c.sendFrame(MediaFrame::make(15, 3000, SVIDEOFRAMEHEADER_FLAGS_DISCONNECT), sequence);
  ASSERT_TRUE(eventually([&] { return c.cam->ended(); }));
  EXPECT_TRUE(recorder.waitFor("down:"));
  EXPECT_EQ(c.reader.tryReadNext(nullptr, 0, 0), nullptr);
  c.destroyCam();
  EXPECT_EQ(recorder.countOf("down:"), 1u);
}

}  // namespace
}  // namespace zq
