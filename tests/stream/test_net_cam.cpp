// NetCam on real UDP sockets on 127.0.0.1: a channel through its life (frames
// read back byte for byte, losses, the disconnect flag reported through a
// real RPC client), the time-out command and pauses, and the disconnection
// packets that end a unicast channel or a multicast leaf.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "helpers/log_capture.h"
#include "helpers/waits.h"
#include "media_test_support.h"
#include "net/udp_socket.h"
#include "rpc/rpc_client_test_support.h"
#include "stream/net_cam.h"
#include "stream/stream_client.h"
#include "stream/stream_frame_header.h"
#include "stream/stream_info.h"

namespace zq {
namespace {

using test::eventually;
using test::MediaFrame;

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
    const auto packets = f.packets(sequence, 1400);
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

size_t linesAt(const test::LogCapture& log, int level, std::string_view text) {
  return test::countAt(log, level, test::asLogged(text));
}

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
      c.send(test::rawPacket(0xFFFFFFFFu, k.ignoredIds[i], 0, 12));
      const MediaFrame f = MediaFrame::make(sequence, 2000);
      c.sendFrame(f, sequence++);
      c.expectPublished(f);
      EXPECT_EQ(linesAt(log, kLevelTraceNetwork, k.ignoredLines[i]), 1u);
    }
    EXPECT_FALSE(c.cam->ended());
    c.cam->setTeardownId(k.lateId);
    c.send(test::rawPacket(0xFFFFFFFFu, k.endingId, 0, 12));
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
