// The network and soft audio sources and the sucker's reader: NetMike2 on
// real UDP sockets on 127.0.0.1 (placement, parking, strays, flags, the end
// of reception and its report through a real RPC client), SoftMike's two
// constructions, SoundSucker's listen forms and commands, the trigger's
// clamps and the level conversions.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "helpers/waits.h"
#include "media_test_support.h"
#include "net/udp_socket.h"
#include "rpc/rpc_client_test_support.h"
#include "stream/net_mike2.h"
#include "stream/soft_mike.h"
#include "stream/sound_sucker.h"

namespace zq {
namespace {

using test::AudioFrame;
using test::eventually;
using test::rawPacket;

// A NetMike2 on a loopback socket connected to a sender, and a reader.
class Channel {
 public:
  explicit Channel(JRPCClient* rpc = nullptr, bool connected = true, std::string_view name = "m") {
    sender_.bind(JInetAddr("127.0.0.1", 0));
    auto socket = std::make_unique<JUDPSocket>();
    socket->bind(JInetAddr("127.0.0.1", 0));
    if (connected) {
      socket->connect(sender_.localAddress());
    }
    address_ = socket->localAddress();
    mike = std::make_unique<NetMike2>(std::move(socket),
                                      StreamInfo::makePcmStreamInfo(8000, 16, 1, 160), rpc, name);
    reader.listen(mike.get());
    reader.setTimeout(20000);
  }
  ~Channel() { destroy(); }
  void destroy() {
    reader.unlock();
    reader.listen(nullptr);
    mike.reset();
  }
  void send(const std::vector<uint8_t>& d) { sender_.sendto(d.data(), d.size(), address_); }
  void sendFrame(const AudioFrame& f, uint32_t sequence, size_t mtu = 1400) {
    for (const auto& p : f.packets(sequence, mtu)) {
      send(p);
    }
  }
  const StreamFrameHeader* read() { return frameHeaderOf(reader.readNext(&stop_)); }
  uint16_t senderPort() const { return sender_.localAddress().port(); }

  std::unique_ptr<NetMike2> mike;
  StreamClient reader;

 private:
  JUDPSocket sender_;
  JInetAddr address_;
  std::atomic<bool> stop_{false};
};

void expectFrame(const StreamFrameHeader* h, const AudioFrame& f) {
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->size, f.data.size());
  EXPECT_EQ(h->keyWord, f.tail.keyWord);
  EXPECT_EQ(h->timeStamp() & ~StreamFrameHeader::kTimeStampFlag, f.tail.timeStamp);
  EXPECT_EQ(std::memcmp(h->payload(), f.data.data(), f.data.size()), 0);
}

// A real RPC client on a line server, and what its listener hears.
struct Link {
  Link() : client(test::makeClient(server.port(), options())) {}
  test::ClientOptions options() {
    test::ClientOptions o;
    o.retry = false;
    o.listener = &recorder;
    return o;
  }
  test::ScriptedLineServer server;
  test::LinkRecorder recorder;
  std::unique_ptr<JRPCClientNotify> client;
};

TEST(NetMike2, FramesAreRebuiltWhateverTheOrderOfTheirPackets) {
  Channel c;
  struct Send {
    int frame;  // relative to the case's first frame
    int packet;
  };
  struct Case {
    const char* name;
    size_t size, mtu;  // an MTU of 112 carries 100 frame bytes a packet
    std::vector<Send> sends;
    std::vector<int> published;
    uint64_t strays, parked, dropped, abandoned;
  } const cases[] = {
      {"one packet", 100, 1400, {{0, 0}}, {0}, 0, 0, 0, 0},
      {"in order", 3000, 1400, {{0, 0}, {0, 1}, {0, 2}}, {0}, 0, 0, 0, 0},
      {"1, 2, 0", 3000, 1400, {{0, 1}, {0, 2}, {0, 0}}, {0}, 0, 2, 0, 0},
      {"0, 2, 1", 3000, 1400, {{0, 0}, {0, 2}, {0, 1}}, {0}, 0, 1, 0, 0},
      {"twelve in reverse", 1184, 112,
       {{0, 11}, {0, 10}, {0, 9}, {0, 8}, {0, 7}, {0, 6}, {0, 5}, {0, 4}, {0, 3}, {0, 2}, {0, 1},
        {0, 0}},
       {0}, 0, 11, 0, 0},
      {"fourteen in order", 1384, 112,
       {{0, 0}, {0, 1}, {0, 2}, {0, 3}, {0, 4}, {0, 5}, {0, 6}, {0, 7}, {0, 8}, {0, 9}, {0, 10},
        {0, 11}, {0, 12}, {0, 13}},
       {0}, 0, 0, 0, 0},
      {"duplicates", 3000, 1400, {{0, 0}, {0, 0}, {0, 2}, {0, 2}, {0, 1}}, {0}, 2, 1, 0, 0},
      {"an older frame's packet", 100, 1400, {{-1, 0}, {0, 0}}, {0}, 1, 0, 0, 0},
      {"a lost packet", 3000, 1400, {{0, 0}, {0, 2}, {1, 0}, {1, 1}, {1, 2}}, {1}, 1, 1, 0, 1},
      {"index 13 before 12", 1384, 112,
       {{0, 0}, {0, 1}, {0, 2}, {0, 3}, {0, 4}, {0, 5}, {0, 6}, {0, 7}, {0, 8}, {0, 9}, {0, 10},
        {0, 11}, {0, 13}, {0, 12}},
       {}, 0, 0, 1, 0},
  };
  uint32_t base = 0;
  uint64_t published = 0, strays = 0, parked = 0, dropped = 0, abandoned = 0;
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    int last = 0;
    for (const Send& s : k.sends) {
      const uint32_t sequence = base + static_cast<uint32_t>(s.frame);
      c.send(AudioFrame::make(sequence, k.size).packets(sequence, k.mtu).at(s.packet));
      last = std::max(last, s.frame);
    }
    for (int f : k.published) {
      expectFrame(c.read(), AudioFrame::make(base + static_cast<uint32_t>(f), k.size));
    }
    published += k.published.size();
    strays += k.strays, parked += k.parked, dropped += k.dropped, abandoned += k.abandoned;
    const NetMike2& m = *c.mike;
    eventually([&] {
      return m.framesPublished() == published && m.strayPackets() == strays &&
             m.parkedPackets() == parked && m.droppedFrames() == dropped &&
             m.abandonedFrames() == abandoned;
    });
    EXPECT_EQ(m.framesPublished(), published);
    EXPECT_EQ(m.strayPackets(), strays);
    EXPECT_EQ(m.parkedPackets(), parked);
    EXPECT_EQ(m.droppedFrames(), dropped);
    EXPECT_EQ(m.abandonedFrames(), abandoned);
    base += static_cast<uint32_t>(last) + 1;
  }
  EXPECT_FALSE(c.mike->ended());
}

TEST(NetMike2, MalformedDatagramsAreStraysOrDroppedAndReceptionGoesOn) {
  Channel c;
  struct Case {
    const char* name;
    std::vector<std::vector<uint8_t>> datagrams;  // for frame 0 of the case
    uint32_t skip;  // frames the good frame comes after
    uint64_t strays, dropped, abandoned;
  } const cases[] = {
      {"shorter than a packet header", {{1, 2, 3}}, 0, 1, 0, 0},
      {"fragment count 0", {rawPacket(0, 0, 0, 40)}, 0, 1, 0, 0},
      {"fragment count 513", {rawPacket(0, 0, 513, 40)}, 0, 1, 0, 0},
      {"index beyond the count", {rawPacket(0, 3, 3, 40)}, 0, 1, 0, 0},
      // The next frame abandons the one begun, at the cost of a stray.
      {"count changes within the frame", {rawPacket(0, 1, 3, 40), rawPacket(0, 2, 4, 40)}, 1, 2,
       0, 1},
      {"frame shorter than its header", {rawPacket(0, 0, 1, 12 + 15)}, 1, 0, 1, 0},
  };
  uint32_t base = 0;
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    const uint64_t strays = c.mike->strayPackets(), dropped = c.mike->droppedFrames(),
                   abandoned = c.mike->abandonedFrames();
    for (auto d : k.datagrams) {
      if (d.size() >= 4) {
        storeLittle32(d.data(), base);
      }
      c.send(d);
    }
    // A good frame still arrives whole.
    const uint32_t good = base + k.skip;
    const AudioFrame f = AudioFrame::make(good, 3000);
    c.sendFrame(f, good);
    expectFrame(c.read(), f);
    EXPECT_EQ(c.mike->strayPackets() - strays, k.strays);
    EXPECT_EQ(c.mike->droppedFrames() - dropped, k.dropped);
    EXPECT_EQ(c.mike->abandonedFrames() - abandoned, k.abandoned);
    base = good + 1;
  }
}

TEST(NetMike2, ReadersOnOtherThreadsSeeWholeFramesInOrderWhileFramesArrive) {
  Channel c;
  constexpr uint32_t kFrames = 40;
  std::atomic<bool> stop{false};
  std::atomic<int> faults{0}, sawLast{0};
  auto readAll = [&](StreamClient& reader) {
    for (uint32_t previous = 0;;) {
      const auto* h = frameHeaderOf(reader.readNext(&stop));
      if (h == nullptr) {
        break;
      }
      const uint32_t n = h->keyWord - 0xA0000;  // AudioFrame::make's key
      const AudioFrame f = AudioFrame::make(n, 1000 + n * 97);
      faults += h->size != f.data.size() || std::memcmp(h->payload(), f.data.data(), h->size) != 0 ||
                (previous != 0 && n <= previous);
      previous = n;
      if (n == kFrames) {
        ++sawLast;
        break;
      }
    }
    reader.unlock();
  };
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&, r] {
      SoundSucker sucker(0);
      StreamClient plain;
      StreamClient& reader = r == 0 ? static_cast<StreamClient&>(sucker) : plain;
      r == 0 ? sucker.listenNew(c.mike.get()) : plain.listen(c.mike.get());
      readAll(reader);
    });
  }
  for (uint32_t n = 1; n <= kFrames; ++n) {
    auto packets = AudioFrame::make(n, 1000 + n * 97).packets(n, 600);
    std::rotate(packets.begin(), packets.begin() + n % packets.size(), packets.end());
    for (const auto& p : packets) {
      c.send(p);
    }
    // One frame at a time: a loaded machine must not overflow the socket.
    ASSERT_TRUE(eventually([&] { return c.mike->framesPublished() == n; }));
  }
  const bool all = eventually([&] { return sawLast.load() == 3; });
  stop = true;
  for (auto& t : readers) {
    t.join();
  }
  EXPECT_TRUE(all);
  EXPECT_EQ(faults.load(), 0);
}

// Each ending is reported once through the RPC client (when there is one);
// frames published before it stay readable.
TEST(NetMike2, StraysAndTheDisconnectFlagEndReceptionWithOneReport) {
  struct Case {
    const char* name;
    bool withClient;
    bool byFlag;
  } const cases[] = {{"eleventh stray", true, false},
                     {"eleventh stray, no client", false, false},
                     {"disconnect flag", true, true}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Link link;
    ASSERT_TRUE(link.client->isConnected());
    Channel c(k.withClient ? link.client.get() : nullptr);
    for (uint32_t n = 0; n < 2; ++n) {
      c.sendFrame(AudioFrame::make(n, 500), n);
      expectFrame(c.read(), AudioFrame::make(n, 500));
    }
    if (k.byFlag) {
      c.sendFrame(AudioFrame::make(2, 500, SVIDEOFRAMEHEADER_FLAGS_DISCONNECT), 2);
    } else {
      // Ten strays in a frame are borne, and a frame clears them.
      for (uint32_t older : {0u, 1u}) {
        for (int i = 0; i < 10; ++i) {
          c.send(AudioFrame::make(older, 500).packets(older, 1400)[0]);
        }
        ASSERT_TRUE(eventually([&] { return c.mike->strayPackets() == 10 * (older + 1); }));
        EXPECT_FALSE(c.mike->ended());
        c.sendFrame(AudioFrame::make(older + 2, 500), older + 2);
        expectFrame(c.read(), AudioFrame::make(older + 2, 500));
      }
      for (int i = 0; i < 11; ++i) {
        c.send(AudioFrame::make(1, 500).packets(1, 1400)[0]);
      }
    }
    ASSERT_TRUE(eventually([&] { return c.mike->ended(); }));
    EXPECT_EQ(c.mike->framesPublished(), k.byFlag ? 2u : 4u);
    StreamClient late;  // reads the newest frame of the ended stream
    late.listen(c.mike.get());
    expectFrame(frameHeaderOf(late.tryReadNext(nullptr, 0, 0)),
                AudioFrame::make(k.byFlag ? 1 : 3, 500));
    late.listen(nullptr);
    if (k.withClient) {
      EXPECT_TRUE(link.recorder.waitFor("down:"));
      EXPECT_TRUE(eventually([&] { return !link.client->isConnected(); }));
    }
    c.destroy();
    EXPECT_EQ(link.recorder.countOf("down:"), k.withClient ? 1u : 0u);
  }
}

// The two slow cases of the 2000 ms receive time-out, together.
TEST(NetMike2, APauseFrameOutlastsTheTimeOutAndSilenceAfterItEndsReception) {
  Link link;
  Channel c(link.client.get());
  c.sendFrame(AudioFrame::make(0, 300, SVIDEOFRAMEHEADER_FLAGS_PAUSE), 0);
  ASSERT_TRUE(eventually([&] { return c.mike->paused(); }));
  ASSERT_TRUE(eventually([&] { return c.mike->failedReceives() >= 1; }));
  EXPECT_FALSE(c.mike->ended());
  EXPECT_EQ(c.mike->framesPublished(), 0u) << "a pause frame is not published";
  const AudioFrame f = AudioFrame::make(1, 300);
  c.sendFrame(f, 1);
  expectFrame(c.read(), f);
  EXPECT_FALSE(c.mike->paused());
  ASSERT_TRUE(eventually([&] { return c.mike->ended(); }));
  EXPECT_TRUE(link.recorder.waitFor("down:"));
  c.destroy();
  EXPECT_EQ(link.recorder.countOf("down:"), 1u);
}

TEST(NetMike2, DestructionStopsTheThreadInAnyStateAndReportsNothing) {
  for (const char* state : {"silent", "paused", "busy"}) {
    SCOPED_TRACE(state);
    Link link;
    auto c = std::make_unique<Channel>(link.client.get());
    std::atomic<bool> sending{true};
    std::thread sender;
    if (std::string_view(state) == "paused") {
      c->sendFrame(AudioFrame::make(0, 100, SVIDEOFRAMEHEADER_FLAGS_PAUSE), 0);
      ASSERT_TRUE(eventually([&] { return c->mike->paused(); }));
    } else if (std::string_view(state) == "busy") {
      sender = std::thread([&] {
        for (uint32_t n = 0; sending; ++n) {
          c->sendFrame(AudioFrame::make(n, 2000), n);
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
      });
      ASSERT_TRUE(eventually([&] { return c->mike->framesPublished() >= 5; }));
    }
    c->reader.unlock();
    c->reader.listen(nullptr);
    c->mike.reset();  // the sender goes on meanwhile
    sending = false;
    if (sender.joinable()) {
      sender.join();
    }
    c.reset();
    EXPECT_EQ(link.recorder.countOf("down:"), 0u);
    EXPECT_TRUE(link.client->isConnected());
  }
}

TEST(NetMike2, NamesItsThreadAfterTheObjectAndThePeer) {
  EXPECT_EQ(test::thrown<JTextError>([] { NetMike2(nullptr, nullptr, nullptr, "m"); }),
            "null pointer");
  const std::string longName(300, 'x');
  struct Case {
    const char* name;
    bool connected;
    std::string objectName;
  } const cases[] = {{"connected", true, "mike"}, {"no peer", false, "mike"},
                     {"long name", true, longName}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Channel c(nullptr, k.connected, k.objectName);
    const std::string peer =
        k.connected ? "127.0.0.1:" + std::to_string(c.senderPort()) : "0.0.0.0:0";
    EXPECT_EQ(c.mike->name(),
              (k.objectName + "::NetMike - receiving from " + peer).substr(0, 256));
    EXPECT_EQ(c.mike->traceName(), k.objectName);
    EXPECT_EQ(c.mike->bufferSize(), 16444u);
    EXPECT_EQ(c.mike->getAudioFormat().samplesPerSec, 8000u);
  }
}

TEST(SoftMike, BothConstructionsDescribeTheStreamAndRefuseANullPointer) {
  const AudioFormat format{22050, 16, 2, 441};
  SoftMike pcm(&format, 1764);
  EXPECT_EQ(pcm.bufferSize(), 1764u + 32);
  EXPECT_EQ(pcm.getAudioFormat().samplesPerSec, 22050u);
  EXPECT_EQ(pcm.getAudioFormat().samplesPerBlock, 441u);
  SoftMike mp3(StreamInfo::makeMp3StreamInfo(32000, 24000, 1, 96), 96);
  EXPECT_EQ(mp3.maxPayload(), 96u);
  EXPECT_EQ(mp3.copyStreamInfo()->content(), StreamInfo::kMp3);
  char answer[8];
  EXPECT_EQ(mp3.control("JStream.queue?", answer, sizeof answer), 0);
  EXPECT_STREQ(answer, "5");
  EXPECT_EQ(test::thrown<JTextError>([] { SoftMike(static_cast<AudioFormat*>(nullptr), 10); }),
            "null pointer");
  EXPECT_EQ(test::thrown<JTextError>([] { SoftMike(std::unique_ptr<StreamInfo>(), 10); }),
            "null pointer");
}

TEST(SoundSucker, ListenFormsStartWhereTheyAreToldAndDetach) {
  const AudioFormat format{8000, 8, 1, 16};
  SoftMike mike(&format, 16);
  for (int n = 0; n < 10; ++n) {
    uint8_t* buffer = mike.getWriteBuffer();
    frameHeaderOf(buffer)->size = 1;
    frameHeaderOf(buffer)->payload()[0] = static_cast<uint8_t>(n);
    mike.publish(0);
  }
  struct Case {
    const char* name;
    int32_t last;  // -2: listenNew
    int32_t first;
  } const cases[] = {{"listenNew", -2, 9}, {"after 5", 5, 6}, {"after -1", -1, 9}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    SoundSucker sucker(0);
    int32_t last = k.last;
    k.last == -2 ? sucker.listenNew(&mike) : sucker.listenFrom(&mike, &last);
    int32_t sequence = -1;
    const auto* h = frameHeaderOf(sucker.tryReadNext(&sequence, 0, 0));
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(sequence, k.first);
    EXPECT_EQ(h->payload()[0], k.first);
    sucker.listenNew(nullptr);
    EXPECT_EQ(sucker.stream(), nullptr);
    EXPECT_EQ(mike.clientCount(), 0u);
  }
}

TEST(SoundSucker, AnswersNoCommandAndKeepsItsClockStill) {
  SoundSucker sucker(15);
  struct Case {
    const char* command;
    int result;
  } const cases[] = {{"SoundSucker.level?", -3}, {"SoundSucker.level=3", -3},
                     {"SoundSucker.level", -5},  {"SoundSucker.", -5},
                     {"JStream.queue?", -3},     {"NetCam.timeout_ms=5", -3}};
  char answer[8];
  for (const Case& k : cases) {
    SCOPED_TRACE(k.command);
    EXPECT_EQ(sucker.control(k.command, answer, sizeof answer), k.result);
  }
  uint64_t time = 7, count = 7;
  sucker.getTimeAndCount(time, count);
  EXPECT_EQ(time + count + sucker.getTime() + sucker.getCount(), 0u);
}

TEST(AudioSuckerTrigger, SetsOnlyWhatItsMaskAllowsClampedToTheSlotsRange) {
  struct Case {
    uint32_t mask;
    int slot, value, result, stored;
  } const cases[] = {
      {1, 0, 150, 0, 100},     {1, 0, -5, 0, 0},        {1, 1, 90, -1, 0},
      {2, 1, -200, 0, -180},   {2, 1, 181, 0, 180},     {2, 1, -45, 0, -45},
      {4, 2, 101, 0, 100},     {4, 2, -101, 0, -100},   {4, 3, 5, -1, 0},
      {8, 3, -300, 0, -100},   {8, 3, 99, 0, 99},       {8, 2, 5, -1, 0},
      {0xF0, 0, 50, -1, 0},    {0xF, 3, 100, 0, 100},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(testing::Message() << "mask " << k.mask << " slot " << k.slot << " " << k.value);
    SoundSucker t(k.mask);
    int (AudioSuckerTrigger::*const setters[])(int) = {
        &AudioSuckerTrigger::setSetting0, &AudioSuckerTrigger::setSetting1,
        &AudioSuckerTrigger::setSetting2, &AudioSuckerTrigger::setSetting3};
    EXPECT_EQ((t.*setters[k.slot])(k.value), k.result);
    for (int s = 0; s < AudioSuckerTrigger::kSlots; ++s) {
      EXPECT_EQ(t.setting(s), s == k.slot ? k.stored : 0);
    }
  }
}

TEST(LevelConversions, ClampAtBothEndsAndInvertEachOther) {
  const double floor = std::exp(-9.0);
  struct Case {
    double amplitude, level;
  } const toLevel[] = {{0, 0},   {1e-10, 0}, {1e-9, 0},      {floor / 2, 0}, {floor, 0},
                       {1, 1},   {2, 1},     {std::exp(-4.5), 0.5}, {NAN, 0}},
    toAmplitude[] = {{floor, -1}, {floor, 0}, {std::exp(-4.5), 0.5}, {1, 1}, {1, 5}};
  for (const Case& k : toLevel) {
    SCOPED_TRACE(k.amplitude);
    EXPECT_NEAR(amplitudeToLevel(k.amplitude), k.level, 1e-12);
  }
  for (const Case& k : toAmplitude) {
    SCOPED_TRACE(k.level);
    EXPECT_NEAR(levelToAmplitude(k.level), k.amplitude, 1e-12);
  }
  for (double l = 0; l <= 1; l += 0.05) {
    EXPECT_NEAR(amplitudeToLevel(levelToAmplitude(l)), l, 1e-9);
  }
}

}  // namespace
}  // namespace zq
