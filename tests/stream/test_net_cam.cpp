// NetCam on real UDP sockets on 127.0.0.1: frames reassembled into its
// stream and read back byte for byte, loss accounting, the frame flags, the
// receive time-out and its command, disconnection packets, the report of a
// lost peer through a real RPC client, and the end of the thread.
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

using test::asLogged;
using test::eventually;
using test::MediaFrame;
using test::rawPacket;

constexpr size_t kMtu = 1400;

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
    if (order.empty()) {
      for (size_t i = 0; i < packets.size(); ++i) {
        order.push_back(static_cast<int>(i));
      }
    }
    for (int i : order) {
      send(packets.at(static_cast<size_t>(i)));
    }
  }
  const StreamFrameHeader* read() { return frameHeaderOf(reader.readNext(&stop_)); }
  bool ended() {
    return eventually([&] { return cam->ended(); });
  }
  // The data socket, for a test that plays the leaf's tear-down protocol.
  JSocket& dataSocket() { return *socket_; }

  JTraceMask mask{0xFFFFFFFFu};
  std::unique_ptr<NetCam> cam;
  StreamClient reader;

 private:
  JInetAddr address_;
  JSocket* socket_ = nullptr;
  JUDPSocket sender_;
  std::atomic<bool> stop_{false};
};

// The frame as published matches the frame as sent.
void expectPublished(const StreamFrameHeader* h, const MediaFrame& f) {
  ASSERT_NE(h, nullptr);
  const MediaFrameTail tail = f.header.tail();
  EXPECT_EQ(h->size, f.data.size());
  EXPECT_EQ(h->keyWord, tail.keyWord);
  EXPECT_EQ(h->timeStamp() & ~StreamFrameHeader::kTimeStampFlag, tail.timeStamp);
  EXPECT_EQ(std::memcmp(h->payload(), f.data.data(), f.data.size()), 0);
}

size_t linesAt(const test::LogCapture& log, int level, std::string_view text) {
  return test::countAt(log, level, asLogged(text));
}

// Frames of any size up to the stream's largest, their packets in any order,
// are published whole; losses are counted from the frame numbers of their
// headers, and a frame that comes late is published all the same. (The
// first packet ever must not be its frame's last: the MTU is not known yet.)
TEST(NetCam, FramesArePublishedWholeAndLossesCountedFromTheirNumbers) {
  test::LogCapture log;
  Channel c;
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
    expectPublished(c.read(), f);
    EXPECT_EQ(c.cam->lostFrames(), s.lost);
  }
  EXPECT_EQ(linesAt(log, kLevelTraceNetwork, "Frame loss, got 9 after 5, total loss=3."), 1u);
  EXPECT_EQ(linesAt(log, kLevelTraceNetwork, "Frame loss, got 12 after 7, total loss=7."), 1u);
  EXPECT_EQ(linesAt(log, kLevelTraceNetwork, "Frame loss, got 14 after 12, total loss=8."), 1u);
  EXPECT_EQ(linesAt(log, kLevelTraceNetwork, "Frame loss"), 3u);
}

TEST(NetCam, TheDisconnectFlagEndsReceptionAndReportsTheLossOnce) {
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
    const MediaFrame first = MediaFrame::make(1, 3000);
    c.sendFrame(first, 1);
    expectPublished(c.read(), first);
    c.sendFrame(MediaFrame::make(2, 3000, SVIDEOFRAMEHEADER_FLAGS_DISCONNECT), 2);
    ASSERT_TRUE(c.ended());
    const std::string line = jformat(
        "run() - received SVIDEOFRAMEHEADER_FLAGS_DISCONNECT reporting Connection loss to %p\n",
        static_cast<void*>(client.get()));
    EXPECT_EQ(linesAt(log, kLevelWarning, line), withClient ? 1u : 0u);
    if (withClient) {
      EXPECT_TRUE(recorder.waitFor("down:"));
      EXPECT_TRUE(eventually([&] { return !client->isConnected(); }));
    }
    // The frame with the flag is not published; the stream stays readable.
    EXPECT_EQ(c.reader.tryReadNext(nullptr, 0, 0), nullptr);
    EXPECT_EQ(c.cam->table()->lastSequence.load(), 0);
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
      {"NetCam.timeout_ms", -5, ""},      {"JStream.queue?", 0, "5"},
      {"Camera.queue?", -3, ""},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.command);
    answer[0] = '\0';
    EXPECT_EQ(c.cam->control(k.command, answer, sizeof answer), k.result);
    EXPECT_STREQ(answer, k.answer);
  }
  EXPECT_EQ(c.cam->timeoutMs(), 200);
  EXPECT_EQ(linesAt(log, kLevelTraceNetwork, "Chaning time out to 200 ms."), 1u);
  // The pause frame ends the receive under way (of the old time-out); the
  // next ones wait 200 ms.
  c.sendFrame(MediaFrame::make(1, 100, SVIDEOFRAMEHEADER_FLAGS_PAUSE), 1);
  ASSERT_TRUE(eventually([&] { return c.cam->paused(); }));
  ASSERT_TRUE(eventually([&] { return linesAt(log, kLevelException, "Time out!") >= 5; }));
  EXPECT_FALSE(c.cam->ended());
  EXPECT_EQ(c.cam->table()->lastSequence.load(), -1) << "a pause frame is not published";
  EXPECT_EQ(log.count("read time out"), 0u);
  // An ordinary frame ends the pause; silence then ends reception.
  const MediaFrame f = MediaFrame::make(2, 3000);
  c.sendFrame(f, 2);
  expectPublished(c.read(), f);
  EXPECT_FALSE(c.cam->paused());
  ASSERT_TRUE(c.ended());
  EXPECT_EQ(
      linesAt(log, kLevelError,
              jformat("NetCam::run (%p) - read time out.\n", static_cast<void*>(c.cam.get()))),
      1u);
}

// The ATM disconnection packets: each case sends ids in turn; all but the
// last are ignored (an ordinary frame still gets through after them), and
// the last ends reception, on a leaf once it knows its id (`lateId`).
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
      {"unicast", false, -1, -1, {}, {}, 0, "Received ATM unicast disconnection packet."},
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
      expectPublished(c.read(), f);
      EXPECT_EQ(linesAt(log, kLevelTraceNetwork, k.ignoredLines[i]), 1u);
    }
    EXPECT_FALSE(c.cam->ended());
    c.cam->setTeardownId(k.lateId);
    c.send(rawPacket(0xFFFFFFFFu, k.endingId, 0, 12));
    ASSERT_TRUE(c.ended());
    EXPECT_EQ(linesAt(log, kLevelTraceNetwork, k.endingLine), 1u);
    EXPECT_EQ(log.count("Calling close on multicast data socket"), 0u);
  }
}

// On a multicast leaf an error ends the thread with the socket closed, so
// that the tear-down protocol sees the end: here a close from outside.
TEST(NetCam, TheLeafClosesItsSocketOnAnErrorAndKeepsItsDescription) {
  const auto info = StreamInfo::makePcmStreamInfo(8000, 16, 1, 160);
  test::LogCapture log;
  Channel c(nullptr, true, info.get());
  ASSERT_NE(c.cam->copyStreamInfo(), nullptr);
  EXPECT_EQ(c.cam->getStreamInfoSize(), info->infoSize());
  c.dataSocket().close();
  ASSERT_TRUE(c.ended());
  EXPECT_EQ(linesAt(log, kLevelTraceNetwork,
                    "Calling close on multicast data socket to signal SvcClient::tearDown()."),
            1u);
}

}  // namespace
}  // namespace zq
