// The network audio source and the sucker's reader: NetMike2 on real UDP
// sockets on 127.0.0.0/8 (placement, parking, duplicates, strays,
// resynchronisations, the one sender it takes datagrams from, flags, the end
// of reception and its report through a real RPC client), the trigger's
// clamps and the level conversions.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "helpers/waits.h"
#include "media_test_support.h"
#include "net/udp_socket.h"
#include "rpc/rpc_client_test_support.h"
#include "stream/net_mike2.h"
#include "stream/sound_sucker.h"

namespace zq {
namespace {

using test::AudioFrame;
using test::eventually;
using test::rawPacket;

// A NetMike2 on a loopback socket (connected to the sender, or open to
// anyone), and a reader.
class Channel {
 public:
  explicit Channel(JRPCClient* rpc = nullptr, bool connected = true,
                   const JInetAddr& provider = JInetAddr()) {
    sender_.bind(JInetAddr("127.0.0.1", 0));
    auto socket = std::make_unique<JUDPSocket>();
    socket->bind(JInetAddr("127.0.0.1", 0));
    if (connected) {
      socket->connect(sender_.localAddress());
    }
    address_ = socket->localAddress();
    mike = std::make_unique<NetMike2>(
        std::move(socket), StreamInfo::makePcmStreamInfo(8000, 16, 1, 160), rpc, "m", provider);
    reader.listen(mike.get());
    reader.setTimeout(20000);
  }
  ~Channel() { destroy(); }
  void destroy() {
    reader.unlock();
    reader.listen(nullptr);
    mike.reset();
  }
  void send(const std::vector<uint8_t>& d) { sendFrom(sender_, d); }
  void sendFrom(JSocket& from, const std::vector<uint8_t>& d) {
    from.sendto(d.data(), d.size(), address_);
  }
  void sendFrame(const AudioFrame& f, uint32_t sequence, size_t mtu = 1400) {
    for (const auto& p : f.packets(sequence, mtu)) {
      send(p);
    }
  }
  const StreamFrameHeader* read() { return frameHeaderOf(reader.readNext(&stop_)); }

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

// One receiver of the provider at 127.0.0.1, the cases one after the other,
// each starting at the frame the receiver expects (the first joins
// mid-stream: a jump, one stray, no loss). A send is a whole frame, one
// packet of it, or a raw packet; another port of the provider's host and
// another host (127.0.0.2) may send before it. The frames published are read
// back byte for byte, and every counter is checked: a case names what it
// adds. A frame passed over that never comes is lost, one that comes after a
// later frame is late (not played, no longer lost); a copy of a placed
// packet is a duplicate, without a stray (the packets of a late frame were
// never placed: strays); a number more than 64 frames away resynchronises
// without counting a loss. Only the provider's datagrams are taken, from the
// port of its first valid packet: the others are foreign, never strays.
TEST(NetMike2, RebuildsFramesAndCountsEveryPacketExactly) {
  Channel c(nullptr, false, JInetAddr("127.0.0.1", 0));
  JUDPSocket otherPort, otherHost;
  otherPort.bind(JInetAddr("127.0.0.1", 0));
  otherHost.bind(JInetAddr("127.0.0.2", 0));
  constexpr int kEmpty = -1, kFar = -2;
  struct Other {
    JSocket* from;
    int frame;  // a whole frame of its own, an empty datagram, or frame 0x7FFFFFFF
  };
  std::vector<Other> others(11, {&otherHost, kEmpty});
  others.insert(others.end(), {{&otherPort, 0}, {&otherPort, kFar}});
  struct Send {
    int frame, packet = -1;  // relative to the case's first frame; -1: whole
    uint32_t count = 0;
    size_t size = 0;  // a raw packet of this size, with `count`
  };
  const std::vector<Send> reverse12 = {{0, 11}, {0, 10}, {0, 9}, {0, 8}, {0, 7}, {0, 6},
                                       {0, 5},  {0, 4},  {0, 3}, {0, 2}, {0, 1}, {0, 0}};
  std::vector<Send> late12, cutShort;
  for (int i = 0; i < 14; ++i) {
    late12.push_back({0, i < 12 ? i : 25 - i});  // ..., 11, 13, 12
  }
  // 16384 bytes of data fill the buffer to its last 12 bytes, which take
  // the last packet's header; a longer datagram in its place is cut short.
  for (int i = 0; i < 11; ++i) {
    cutShort.push_back({0, i});
  }
  cutShort.insert(cutShort.end(), {{0, 0, 1, 1157}, {0, 11}});
  struct Case {
    const char* name;
    size_t size;
    std::vector<Send> sends;
    std::vector<int> published;
    const char* adds;   // "strays=1 parked=2"
    size_t mtu = 1400;  // 112 carries 100 frame bytes a packet
    int next = -1;      // the frame expected after the case, when not the highest sent + 1
    std::vector<Other> before = {};
  } const cases[] = {
      {"joined mid-stream, after others",
       100,
       {{0}},
       {0},
       "strays=1 foreign=2",
       1400,
       -1,
       {{&otherHost, 0}, {&otherPort, kEmpty}}},
      {"others, once the sender is known", 100, {{0}}, {0}, "foreign=13", 1400, -1, others},
      {"twelve in reverse", 1184, reverse12, {0}, "parked=11", 112},
      {"a datagram longer than the room left", 16384, cutShort, {0}, "foreign=1"},
      {"index 13 before 12", 1384, late12, {}, "dropped=1", 112},
      {"copies while placing",
       3000,
       {{0, 0}, {0, 0}, {0, 2}, {0, 2}, {0, 1}},
       {0},
       "parked=1 duplicates=2"},
      {"a copy of a published frame", 100, {{0}, {0}, {1}}, {0, 1}, "duplicates=1"},
      {"a lost packet", 3000, {{0, 0}, {0, 2}, {1}}, {1}, "strays=1 parked=1 abandoned=1"},
      {"shorter than a packet header", 100, {{0, 0, 0, 3}, {0}}, {0}, "strays=1"},
      {"index beyond the count", 100, {{0, 3, 3, 40}, {0}}, {0}, "strays=1"},
      {"count changes",
       100,
       {{0, 1, 3, 40}, {0, 2, 4, 40}, {1}},
       {1},
       "strays=2 parked=1 abandoned=1"},
      {"shorter than its frame header", 100, {{0, 0, 1, 12 + 15}, {1}}, {1}, "dropped=1"},
      {"one gone", 100, {{0}, {2}}, {0, 2}, "lost=1 strays=1"},
      {"a late frame's copy", 100, {{0}, {2}, {1}, {1}}, {0, 2}, "late=1 strays=3"},
      {"begun, then two frames later", 3000, {{0, 0}, {2}}, {2}, "lost=1 abandoned=1 strays=1"},
      {"a copy of an abandoned frame's packet",
       3000,
       {{0, 0}, {1}, {0, 0}},
       {1},
       "abandoned=1 strays=1 duplicates=1"},
      {"a packet an abandoned frame missed",
       3000,
       {{0, 0}, {1}, {0, 1}},
       {1},
       "abandoned=1 strays=2"},
      {"64 passed over are lost", 100, {{0}, {65}}, {0, 65}, "lost=64 strays=1"},
      {"65 passed over resynchronise", 100, {{0}, {66}}, {0, 66}, "resyncs=1 strays=1"},
      {"far ahead and back",
       100,
       {{0}, {1000000}, {1}},
       {0, 1000000, 1},
       "resyncs=2 strays=2",
       1400,
       2},
      {"late beyond the window",
       100,
       {{0}, {2}, {40}, {68}, {1}},
       {0, 2, 40, 68, 1},
       "lost=65 resyncs=1 strays=4",
       1400,
       2},
  };
  using Counter = uint64_t (NetMike2::*)() const;
  const std::map<std::string, Counter> counters = {
      {"published", &NetMike2::framesPublished}, {"strays", &NetMike2::strayPackets},
      {"parked", &NetMike2::parkedPackets},      {"dropped", &NetMike2::droppedFrames},
      {"abandoned", &NetMike2::abandonedFrames}, {"lost", &NetMike2::lostFrames},
      {"late", &NetMike2::lateFrames},           {"duplicates", &NetMike2::duplicatePackets},
      {"resyncs", &NetMike2::resyncs},           {"foreign", &NetMike2::foreignPackets}};
  std::map<std::string, uint64_t> expected;
  const auto actual = [&] {
    std::map<std::string, uint64_t> now;
    for (const auto& [name, counter] : counters) {
      now[name] = ((*c.mike).*counter)();
    }
    return now;
  };
  uint32_t base = 1000;
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    const auto frame = [&](int f) { return AudioFrame::make(base + uint32_t(f), k.size); };
    for (const Other& o : k.before) {
      // Frames of others differ from the provider's in size.
      const uint32_t n = o.frame == kFar ? 0x7FFFFFFFu : base + uint32_t(o.frame);
      c.sendFrom(*o.from, o.frame == kEmpty ? std::vector<uint8_t>()
                                            : AudioFrame::make(n, 300).packets(n, 1400).at(0));
    }
    int last = 0;
    for (const Send& s : k.sends) {
      const uint32_t n = base + uint32_t(s.frame);
      if (s.size > 0) {
        c.send(rawPacket(n, uint32_t(s.packet), s.count, s.size));
      } else if (s.packet < 0) {
        c.sendFrame(frame(s.frame), n, k.mtu);
      } else {
        c.send(frame(s.frame).packets(n, k.mtu).at(size_t(s.packet)));
      }
      last = std::max(last, s.frame);
    }
    for (int f : k.published) {
      expectFrame(c.read(), frame(f));
    }
    for (const auto& [name, counter] : counters) {
      expected[name] += name == "published" ? k.published.size() : 0;
    }
    std::istringstream adds(k.adds);
    for (std::string item; adds >> item;) {
      expected.at(item.substr(0, item.find('='))) += std::stoull(item.substr(item.find('=') + 1));
    }
    EXPECT_TRUE(eventually([&] { return actual() == expected; }));
    EXPECT_EQ(actual(), expected);
    base += uint32_t(k.next >= 0 ? k.next : last + 1);
  }
  EXPECT_FALSE(c.mike->ended());
}

// Each way reception ends is reported once through the RPC client, and the frames published before
// stay readable. A pause frame outlasts the 2000 ms time-out; the silence after the next frame ends
// reception, and another host's datagrams do not keep it alive.
TEST(NetMike2, EachEndOfReceptionIsReportedOnceAndLeavesTheFramesReadable) {
  enum End { kStrays, kFlag, kSilence };
  struct Case {
    const char* name;
    End end;
    uint32_t last;  // the last frame published
  } const cases[] = {{"eleventh stray", kStrays, 3},
                     {"disconnect flag", kFlag, 1},
                     {"silence after a pause, another host sending", kSilence, 1}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Link link;
    Channel c(link.client.get(), false, JInetAddr("127.0.0.1", 0));
    const auto frame = [&](uint32_t n, uint32_t flags = 0) {
      c.sendFrame(AudioFrame::make(n, 500, flags), n);
      if (flags == 0) {
        expectFrame(c.read(), AudioFrame::make(n, 500));
      }
    };
    // Packets of an older frame that were never placed (that frame had one).
    const auto strays = [&](uint32_t older, int n) {
      for (int i = 0; i < n; ++i) {
        c.send(AudioFrame::make(older, 3000).packets(older, 1400)[0]);
      }
    };
    if (k.end == kSilence) {
      frame(0, SVIDEOFRAMEHEADER_FLAGS_PAUSE);
      ASSERT_TRUE(eventually([&] { return c.mike->paused() && c.mike->failedReceives() >= 1; }));
      EXPECT_FALSE(c.mike->ended());
      frame(1);
      EXPECT_FALSE(c.mike->paused());
      JUDPSocket other;
      other.bind(JInetAddr("127.0.0.2", 0));
      for (int i = 0; i < 20000 && !c.mike->ended(); ++i) {
        c.sendFrom(other, {});
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
      ASSERT_TRUE(c.mike->ended()) << "another host's datagrams kept the channel alive";
      EXPECT_EQ(c.mike->strayPackets(), 0u);
    } else {
      frame(0);
      frame(1);
    }
    if (k.end == kFlag) {
      frame(2, SVIDEOFRAMEHEADER_FLAGS_DISCONNECT);
    } else if (k.end == kStrays) {
      for (uint32_t n : {2u, 3u}) {  // ten strays are borne, and a frame clears them
        strays(n - 2, 10);
        ASSERT_TRUE(eventually([&] { return c.mike->strayPackets() == 10 * (n - 1); }));
        EXPECT_FALSE(c.mike->ended());
        frame(n);
      }
      strays(1, 11);
    }
    ASSERT_TRUE(eventually([&] { return c.mike->ended(); }));
    EXPECT_EQ(c.mike->framesPublished(), k.end == kSilence ? 1u : k.last + 1);
    StreamClient late;  // reads the newest frame of the ended stream
    late.listen(c.mike.get());
    expectFrame(frameHeaderOf(late.tryReadNext(nullptr, 0, 0)), AudioFrame::make(k.last, 500));
    late.listen(nullptr);
    EXPECT_TRUE(link.recorder.waitFor("down:"));
    c.destroy();
    EXPECT_EQ(link.recorder.countOf("down:"), 1u);
  }
}

TEST(NetMike2, DestructionStopsTheThreadInAnyStateAndReportsNothing) {
  for (const bool busy : {false, true}) {
    SCOPED_TRACE(busy ? "busy" : "silent");
    Link link;
    Channel c(link.client.get());
    std::atomic<bool> sending{busy};
    std::thread sender([&] {
      for (uint32_t n = 0; sending; ++n) {
        c.sendFrame(AudioFrame::make(n, 2000), n);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
    EXPECT_TRUE(!busy || eventually([&] { return c.mike->framesPublished() >= 5u; }));
    c.destroy();  // while the sender goes on
    sending = false;
    sender.join();
    EXPECT_EQ(link.recorder.countOf("down:"), 0u);
    EXPECT_TRUE(link.client->isConnected());
  }
}

TEST(AudioSuckerTrigger, SetsOnlyWhatItsMaskAllowsClampedToTheSlotsRange) {
  struct Case {
    uint32_t mask;
    int slot, value, result, stored;
  } const cases[] = {
      {1, 0, 150, 0, 100}, {1, 0, -5, 0, 0},    {1, 1, 90, -1, 0},     {2, 1, -200, 0, -180},
      {2, 1, -45, 0, -45}, {4, 2, 101, 0, 100}, {8, 3, -300, 0, -100},
  };
  int (AudioSuckerTrigger::*const setters[])(int) = {
      &AudioSuckerTrigger::setSetting0, &AudioSuckerTrigger::setSetting1,
      &AudioSuckerTrigger::setSetting2, &AudioSuckerTrigger::setSetting3};
  for (const Case& k : cases) {
    SCOPED_TRACE(testing::Message() << "mask " << k.mask << " slot " << k.slot << " " << k.value);
    SoundSucker t(k.mask);
    EXPECT_EQ((t.*setters[k.slot])(k.value), k.result);
    for (int s = 0; s < AudioSuckerTrigger::kSlots; ++s) {
      EXPECT_EQ(t.setting(s), s == k.slot ? k.stored : 0);
    }
  }
}

TEST(LevelConversions, ClampAtBothEndsAndInvertEachOther) {
  const double floor = std::exp(-9.0), half = std::exp(-4.5);
  struct Case {
    double amplitude, level;
  } const toLevel[] = {{floor / 2, 0}, {half, 0.5}, {2, 1}, {NAN, 0}},
          toAmplitude[] = {{floor, -1}, {floor, NAN}, {1, 5}};
  for (const Case& k : toLevel) {
    EXPECT_NEAR(amplitudeToLevel(k.amplitude), k.level, 1e-12) << k.amplitude;
  }
  for (const Case& k : toAmplitude) {
    EXPECT_NEAR(levelToAmplitude(k.level), k.amplitude, 1e-12) << k.level;
  }
  for (double l = 0; l <= 1; l += 0.05) {
    EXPECT_NEAR(amplitudeToLevel(levelToAmplitude(l)), l, 1e-9);
  }
}

}  // namespace
}  // namespace zq
