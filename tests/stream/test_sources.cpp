// The stream sources: the reassembly fed datagram by datagram; NetCam and
// NetMike2 on real UDP sockets on 127.0.0.0/8, their frames read back byte for
// byte and their end reported through a real RPC client; the capture sources
// (WinmmMike on the test-tone device, HardMike's commands); the sucker's
// trigger and the level conversions; the stream fuzzers' corpora replayed.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <numbers>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "audio/mp3_encoder.h"
#include "audio/mp3_frame.h"
#include "audio/mp3_test_support.h"
#include "audio/simulated_board.h"
#include "audio/wave_in.h"
#include "base/error.h"
#include "base/jtime.h"
#include "control_property.h"
#include "helpers/log_capture.h"
#include "helpers/threads.h"
#include "helpers/tone_device.h"
#include "helpers/waits.h"
#include "media_test_support.h"
#include "net/udp_socket.h"
#include "net_buffer_property.h"
#include "rpc/rpc_client_test_support.h"
#include "stream/hard_mike.h"
#include "stream/net_cam.h"
#include "stream/net_mike2.h"
#include "stream/predictive_net_buffer.h"
#include "stream/sound_sucker.h"
#include "stream/stream_client.h"
#include "stream/stream_frame_header.h"
#include "stream/winmm_mike.h"

namespace zq {
namespace {

using test::AudioFrame;
using test::eventually;
using test::MediaFrame;
using test::rawPacket;

constexpr size_t kMtu = 1400;

MediaFrameTail tailOf(const MediaFrame& f) {
  return f.header.tail();
}
MediaFrameTail tailOf(const AudioFrame& f) {
  return f.tail;
}

template <class F>
void expectFrame(const StreamFrameHeader* h, const F& f) {
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->size, f.data.size());
  EXPECT_EQ(h->keyWord, tailOf(f).keyWord);
  EXPECT_EQ(h->timeStamp() & ~StreamFrameHeader::kTimeStampFlag, tailOf(f).timeStamp);
  EXPECT_EQ(std::memcmp(h->payload(), f.data.data(), f.data.size()), 0);
}

// A source of type S on a loopback socket (connected to the sender, or open
// to anyone), a sender, and a reader of its stream.
template <class S>
class Channel {
 public:
  using Make = std::function<std::unique_ptr<S>(std::unique_ptr<JUDPSocket>)>;
  explicit Channel(const Make& make, bool connected = false) {
    sender_.bind(JInetAddr("127.0.0.1", 0));
    auto socket = std::make_unique<JUDPSocket>();
    socket->bind(JInetAddr("127.0.0.1", 0));
    if (connected) {
      socket->connect(sender_.localAddress());
    }
    address_ = socket->localAddress();
    source = make(std::move(socket));
    reader.listen(source.get());
    reader.setTimeout(20000);
  }
  ~Channel() { destroy(); }
  // The reader lets go of the stream first: a stream waits for its frames.
  void destroy() {
    reader.unlock();
    reader.listen(nullptr);
    source.reset();
  }
  void send(const std::vector<uint8_t>& d) { sendFrom(sender_, d); }
  void sendFrom(JSocket& from, const std::vector<uint8_t>& d) {
    from.sendto(d.data(), d.size(), address_);
  }
  template <class F>
  void sendFrame(const F& f, uint32_t sequence, size_t mtu = kMtu) {
    for (const auto& packet : f.packets(sequence, mtu)) {
      send(packet);
    }
  }
  // Frame `f` is the next one published, as it was sent.
  template <class F>
  void expectPublished(const F& f) {
    expectFrame(frameHeaderOf(reader.readNext(&stop_)), f);
  }

  std::unique_ptr<S> source;
  StreamClient reader;

 private:
  JUDPSocket sender_;
  JInetAddr address_;
  std::atomic<bool> stop_{false};
};

// A NetMike2 of 8 kHz PCM reporting to `rpc`, taking the datagrams of
// `provider`'s host only, when one is given.
Channel<NetMike2>::Make netMike2(JRPCClient* rpc = nullptr, const JInetAddr& provider = {}) {
  return [rpc, provider](std::unique_ptr<JUDPSocket> socket) {
    return std::make_unique<NetMike2>(
        std::move(socket), StreamInfo::makePcmStreamInfo(8000, 16, 1, 160), rpc, "m", provider);
  };
}

// A real RPC client on a line server, and what its listener hears.
struct Link {
  Link() : client(test::makeClient(server.port(), {.retry = false, .listener = &recorder})) {}
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
  Channel<NetMike2> c(netMike2(nullptr, JInetAddr("127.0.0.1", 0)));
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
      // clang-format off
      {"joined mid-stream, after others", 100, {{0}}, {0}, "strays=1 foreign=2", 1400, -1,
       {{&otherHost, 0}, {&otherPort, kEmpty}}},
      {"others, once the sender is known", 100, {{0}}, {0}, "foreign=13", 1400, -1, others},
      {"twelve in reverse", 1184, reverse12, {0}, "parked=11", 112},
      {"a datagram longer than the room left", 16384, cutShort, {0}, "foreign=1"},
      {"index 13 before 12", 1384, late12, {}, "dropped=1", 112},
      {"copies while placing", 3000, {{0, 0}, {0, 0}, {0, 2}, {0, 2}, {0, 1}}, {0},
       "parked=1 duplicates=2"},
      {"a copy of a published frame", 100, {{0}, {0}, {1}}, {0, 1}, "duplicates=1"},
      {"a lost packet", 3000, {{0, 0}, {0, 2}, {1}}, {1}, "strays=1 parked=1 abandoned=1"},
      {"shorter than a packet header", 100, {{0, 0, 0, 3}, {0}}, {0}, "strays=1"},
      {"index beyond the count", 100, {{0, 3, 3, 40}, {0}}, {0}, "strays=1"},
      {"count changes", 100, {{0, 1, 3, 40}, {0, 2, 4, 40}, {1}}, {1},
       "strays=2 parked=1 abandoned=1"},
      {"shorter than its frame header", 100, {{0, 0, 1, 12 + 15}, {1}}, {1}, "dropped=1"},
      {"one gone", 100, {{0}, {2}}, {0, 2}, "lost=1 strays=1"},
      {"a late frame's copy", 100, {{0}, {2}, {1}, {1}}, {0, 2}, "late=1 strays=3"},
      {"begun, then two frames later", 3000, {{0, 0}, {2}}, {2}, "lost=1 abandoned=1 strays=1"},
      {"a copy of an abandoned frame's packet", 3000, {{0, 0}, {1}, {0, 0}}, {1},
       "abandoned=1 strays=1 duplicates=1"},
      {"a packet an abandoned frame missed", 3000, {{0, 0}, {1}, {0, 1}}, {1},
       "abandoned=1 strays=2"},
      {"64 passed over are lost", 100, {{0}, {65}}, {0, 65}, "lost=64 strays=1"},
      {"65 passed over resynchronise", 100, {{0}, {66}}, {0, 66}, "resyncs=1 strays=1"},
      {"far ahead and back", 100, {{0}, {1000000}, {1}}, {0, 1000000, 1}, "resyncs=2 strays=2",
       1400, 2},
      {"late beyond the window", 100, {{0}, {2}, {40}, {68}, {1}}, {0, 2, 40, 68, 1},
       "lost=65 resyncs=1 strays=4", 1400, 2},
      // clang-format on
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
      now[name] = ((*c.source).*counter)();
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
      c.expectPublished(frame(f));
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
  EXPECT_FALSE(c.source->ended());
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
    Channel<NetMike2> c(netMike2(link.client.get(), JInetAddr("127.0.0.1", 0)));
    const auto frame = [&](uint32_t n, uint32_t flags = 0) {
      c.sendFrame(AudioFrame::make(n, 500, flags), n);
      if (flags == 0) {
        c.expectPublished(AudioFrame::make(n, 500));
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
      ASSERT_TRUE(
          eventually([&] { return c.source->paused() && c.source->failedReceives() >= 1; }));
      EXPECT_FALSE(c.source->ended());
      frame(1);
      EXPECT_FALSE(c.source->paused());
      JUDPSocket other;
      other.bind(JInetAddr("127.0.0.2", 0));
      for (int i = 0; i < 20000 && !c.source->ended(); ++i) {
        c.sendFrom(other, {});
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
      ASSERT_TRUE(c.source->ended()) << "another host's datagrams kept the channel alive";
      EXPECT_EQ(c.source->strayPackets(), 0u);
    } else {
      frame(0);
      frame(1);
    }
    if (k.end == kFlag) {
      frame(2, SVIDEOFRAMEHEADER_FLAGS_DISCONNECT);
    } else if (k.end == kStrays) {
      for (uint32_t n : {2u, 3u}) {  // ten strays are borne, and a frame clears them
        strays(n - 2, 10);
        ASSERT_TRUE(eventually([&] { return c.source->strayPackets() == 10 * (n - 1); }));
        EXPECT_FALSE(c.source->ended());
        frame(n);
      }
      strays(1, 11);
    }
    ASSERT_TRUE(eventually([&] { return c.source->ended(); }));
    EXPECT_EQ(c.source->framesPublished(), k.end == kSilence ? 1u : k.last + 1);
    StreamClient late;  // reads the newest frame of the ended stream
    late.listen(c.source.get());
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
    Channel<NetMike2> c(netMike2(link.client.get()), true);
    std::atomic<bool> sending{busy};
    std::thread sender([&] {
      for (uint32_t n = 0; sending; ++n) {
        c.sendFrame(AudioFrame::make(n, 2000), n);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
    EXPECT_TRUE(!busy || eventually([&] { return c.source->framesPublished() >= 5u; }));
    c.destroy();  // while the sender goes on
    sending = false;
    sender.join();
    EXPECT_EQ(link.recorder.countOf("down:"), 0u);
    EXPECT_TRUE(link.client->isConnected());
  }
}

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
      {{2, 1, 1, 0}, "Ignoring packet: Duplicated fragment (1)."},
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
      EXPECT_EQ(test::countAt(log, kLevelWarning, c.duplicate), 1u);
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
      {rawPacket(3, 1, 3, 65536), "Ignoring packet: bigger than MAX_PACKET_SIZE(65536)."},
      {rawPacket(3, 1, 200, 1400), "Ignoring packet: received frame bigger than buffer."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    Harness h;
    const auto packets = frame.packets(3, kMtu);
    ASSERT_EQ(h.feed(packets[0]), Outcome::kAccepted);
    test::LogCapture log;
    EXPECT_EQ(h.feed(c.bad), Outcome::kIgnored);
    EXPECT_EQ(test::countAt(log, kLevelError, c.message), 1u);
    EXPECT_EQ(h.feed(packets[1]), Outcome::kAccepted);
    EXPECT_EQ(h.feed(packets[2]), Outcome::kCompleted);
    EXPECT_TRUE(h.holds(frame));
    EXPECT_EQ(h.buffer.abortedFrames(), 0u);
  }
}

// Frames of any size up to the stream's largest are published whole; losses
// are counted from the frame numbers of their headers (a gap of one too), and
// a late frame is published all the same. A frame with the disconnect flag is
// not published: it ends reception, reported once through the RPC client.
TEST(NetCam, AChannelPublishesFramesCountsLossesAndEndsOnTheDisconnectFlag) {
  test::LogCapture log;
  Link link;
  ASSERT_TRUE(link.client->isConnected());
  JTraceMask mask{0xFFFFFFFFu};
  Channel<NetCam> c([&](std::unique_ptr<JUDPSocket> socket) {
    return std::make_unique<NetCam>(std::move(socket), nullptr, 0, link.client.get(), false, &mask);
  });
  struct Step {
    uint32_t number;
    uint64_t lost;
    size_t size;
  } const steps[] = {{5, 0, 3000}, {9, 3, 3000}, {10, 3, 131040 - 40},
                     {7, 3, 500},  {12, 7, 500}, {14, 8, 500}};
  uint32_t sequence = 1;
  for (const Step& s : steps) {
    SCOPED_TRACE(s.number);
    const MediaFrame f = MediaFrame::make(s.number, s.size);
    c.sendFrame(f, sequence++);
    c.expectPublished(f);
    EXPECT_EQ(c.source->lostFrames(), s.lost);
  }
  EXPECT_EQ(test::countAt(log, kLevelTraceNetwork, "Frame loss, got 14 after 12, total loss=8."),
            1u);

  c.sendFrame(MediaFrame::make(15, 3000, SVIDEOFRAMEHEADER_FLAGS_DISCONNECT), sequence);
  ASSERT_TRUE(eventually([&] { return c.source->ended(); }));
  EXPECT_TRUE(link.recorder.waitFor("down:"));
  EXPECT_EQ(c.reader.tryReadNext(nullptr, 0, 0), nullptr);
  c.destroy();
  EXPECT_EQ(link.recorder.countOf("down:"), 1u);
}

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

// Each input of a corpus: its file name and its bytes.
std::vector<std::pair<std::string, std::string>> corpus(const char* dir) {
  std::vector<std::pair<std::string, std::string>> inputs;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    std::ifstream in(entry.path(), std::ios::binary);
    inputs.emplace_back(entry.path().filename().string(),
                        std::string(std::istreambuf_iterator<char>(in), {}));
  }
  return inputs;
}

const uint8_t* bytesOf(const std::string& s) {
  return reinterpret_cast<const uint8_t*>(s.data());
}

TEST(ControlCorpus, EveryCommandKeepsThePropertyAndEveryResultIsReached) {
  const auto inputs = corpus(ZQ_CONTROL_CORPUS_DIR);
  ASSERT_GE(inputs.size(), 20u) << "corpus missing at " << ZQ_CONTROL_CORPUS_DIR;
  std::set<int> results;
  for (const auto& [name, input] : inputs) {
    EXPECT_EQ(fuzz::checkControlProperty(bytesOf(input), input.size()), "") << input;
    JStream stream(64, 5, false, 1, true);
    char answer[16];
    results.insert(stream.control(input.c_str(), answer, sizeof answer));
  }
  EXPECT_EQ(results, (std::set<int>{-5, -3, -1, 0}));
}

TEST(NetBufferCorpus, EveryInputKeepsThePropertyAndEveryRuleIsReached) {
  const auto inputs = corpus(ZQ_NET_BUFFER_CORPUS_DIR);
  ASSERT_GE(inputs.size(), 12u) << "corpus missing at " << ZQ_NET_BUFFER_CORPUS_DIR;
  test::LogCapture log;
  for (const auto& [name, input] : inputs) {
    EXPECT_EQ(fuzz::checkNetBufferProperty(bytesOf(input), input.size()), "") << name;
  }
  const char* const rules[] = {
      "smaller than packet header",           "Received frame smaller than frame header",
      "bigger than MAX_PACKET_SIZE",          "ignoring disconnection packet",
      "received packet from older frame",     "frameFragCount out of range",
      "FragSeqNum larger than FragsPerFrame", "first packet ever received is last in frame",
      "Ignoring Packet: MTU inconsistency",   "Too many MTU inconsistency",
      "received frame bigger than buffer",    "Frame Sequence Number jump",
      "frameFragCount inconsistency",         "Duplicated fragment",
  };
  for (const char* rule : rules) {
    EXPECT_TRUE(log.contains(rule)) << rule;
  }
}

}  // namespace
}  // namespace zq
