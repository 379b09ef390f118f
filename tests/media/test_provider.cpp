// The provider side: frames cut into datagrams and their numbering, the
// channel requests with their refusals, and one
// provider's channels through their life: receivers that stall or are gone,
// multicast receivers sharing one master, switching to another media. (A
// provider behind its RPC service, serving receivers over the wire, is the
// local AAM's test; its streams decoded over UDP and IP multicast, zqoutput's.)
#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "helpers/log_capture.h"
#include "helpers/temp_dir.h"
#include "helpers/thrown.h"
#include "helpers/waits.h"
#include "media/audio_media.h"
#include "media/packetizer.h"
#include "media/provider.h"
#include "media/provider_test_support.h"
#include "media/shared_soft_mike.h"
#include "media/udp_fan_out.h"
#include "net/inet_addr.h"
#include "net/udp_socket.h"
#include "stream/media_packet.h"

namespace zq {
namespace {

using test::eventually;
using test::freeUdpPort;
using test::numberedFrames;
using test::paramsOf;
using test::thrownText;

// A socket that keeps each datagram a packetizer sends.
class RecordingSocket : public JSocket {
 public:
  size_t writev(const JSocketPiece* pieces, size_t count) override {
    std::vector<uint8_t> d;
    for (size_t i = 0; i < count; ++i) {
      const auto* b = static_cast<const uint8_t*>(pieces[i].buffer);
      d.insert(d.end(), b, b + pieces[i].length);
    }
    datagrams.push_back(std::move(d));
    return datagrams.back().size();
  }
  std::vector<std::vector<uint8_t>> datagrams;
};

std::vector<uint8_t> bytes(size_t n, uint8_t seed) {
  std::vector<uint8_t> b(n);
  for (size_t i = 0; i < n; ++i) {
    b[i] = static_cast<uint8_t>(seed + i * 13);
  }
  return b;
}

// One packetizer through every case: each init starts a new channel, whose
// frames are numbered from 0 again.
TEST(IPacketizer, FramesAreCutIntoFullDatagramsAndOneRemainder) {
  constexpr int32_t kMtu = 100;  // 88 data bytes a datagram
  struct Case {
    const char* name;
    std::vector<size_t> pieces;
    int32_t maxPieces;
    std::vector<size_t> sizes;  // of the datagrams, headers included
    uint32_t count;             // the packet count every header carries
  } const cases[] = {
      {"one byte more", {16, 73}, 2, {100, 13}, 2},
      {"three payloads and a bit", {16, 250}, 2, {100, 100, 100, 14}, 4},
      {"one piece a datagram", {16, 72}, 1, {28, 84}, 1},
      {"piece limit below the payload", {10, 10, 10}, 2, {32, 22}, 1},
  };
  IPacketizer p;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingSocket sink;
    p.init(&sink, kMtu, c.maxPieces);
    const std::vector<uint8_t> data = bytes(1000, 50);
    std::vector<GatherPiece> pieces;
    size_t total = 0;
    for (size_t n : c.pieces) {
      pieces.push_back({data.data() + total, n});
      total += n;
    }
    EXPECT_EQ(p.packetize(pieces.data(), pieces.size()), static_cast<int>(total));
    ASSERT_EQ(sink.datagrams.size(), c.sizes.size());
    std::vector<uint8_t> joined;
    for (size_t i = 0; i < c.sizes.size(); ++i) {
      const auto& d = sink.datagrams[i];
      EXPECT_EQ(d.size(), c.sizes[i]) << "datagram " << i;
      const MediaPacketHeader h = MediaPacketHeader::read(d.data());
      EXPECT_EQ(h.frameSequence, 0u);
      EXPECT_EQ(h.fragmentSequence, i);
      EXPECT_EQ(h.fragmentCount, c.count);
      joined.insert(joined.end(), d.begin() + 12, d.end());
    }
    EXPECT_EQ(joined, std::vector<uint8_t>(data.begin(), data.begin() + total));
  }
}

// The provider's UDP sender with the kernel's sendmmsg replaced: every
// datagram it hands over, by receiver port, and a failure on demand.
struct FanOutWire {
  struct Datagram {
    MediaPacketHeader header;
    std::vector<uint8_t> data;  // after the header
  };
  explicit FanOutWire(int32_t mtu)
      : sender([&] {
          UdpConfig c;
          c.setMtu(mtu);
          return UdpFanOut(c, nullptr, "fan-out");
        }()) {}
  int send(mmsghdr* messages, unsigned count) {
    ++calls;
    for (unsigned i = 0; i < count && i < perCall; ++i) {
      const msghdr& m = messages[i].msg_hdr;
      const uint16_t port = ntohs(static_cast<const sockaddr_in*>(m.msg_name)->sin_port);
      Datagram d{MediaPacketHeader::read(static_cast<const uint8_t*>(m.msg_iov[0].iov_base)), {}};
      if (port == failPort && d.header.frameSequence == failFrame &&
          d.header.fragmentSequence == failPacket) {
        if (i == 0) {
          errno = EAGAIN;
          return -1;
        }
        return static_cast<int>(i);
      }
      for (size_t v = 1; v < m.msg_iovlen; ++v) {
        const auto* b = static_cast<const uint8_t*>(m.msg_iov[v].iov_base);
        d.data.insert(d.data.end(), b, b + m.msg_iov[v].iov_len);
      }
      got[port].push_back(std::move(d));
    }
    return static_cast<int>(std::min(count, perCall));
  }
  UdpFanOut sender;
  std::map<uint16_t, std::vector<Datagram>> got;
  unsigned perCall = UINT_MAX;
  uint16_t failPort = 0;
  uint32_t failFrame = 0, failPacket = 0;
  int calls = 0;
};

// Every channel gets each frame cut at the MTU, under its own numbers from
// 0 whatever its skip; a failed datagram drops the rest of its own frame
// only, however the kernel takes the batch.
TEST(UdpFanOut, EachChannelGetsEveryFrameUnderItsOwnNumbers) {
  constexpr int32_t kMtu = 100;  // 88 data bytes a datagram
  struct Case {
    const char* name;
    size_t frame;               // bytes after the 16-byte frame header
    std::vector<size_t> sizes;  // of its datagrams, headers included
    unsigned perCall;           // datagrams the kernel takes a call
    uint32_t failPacket;        // of the first channel's frame 1
  } const cases[] = {
      {"one byte more", 73, {100, 13}, UINT_MAX, 1},
      {"three payloads and a bit", 250, {100, 100, 100, 14}, 2, 2},
      {"a batch taken one by one", 160, {100, 100}, 1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FanOutWire wire(kMtu);
    wire.sender.setSendBatch([&](int, mmsghdr* m, unsigned n) { return wire.send(m, n); });
    wire.perCall = c.perCall;
    const std::vector<uint8_t> frame = bytes(16 + c.frame, 7);
    const GatherPiece pieces[] = {{frame.data(), 16}, {frame.data() + 16, c.frame}};
    // Ports stand for the receivers; the early one fails once, the late one
    // joins for the last frames with a skip that audio does not heed.
    const UdpFanOut::ChannelId early = wire.sender.add(JInetAddr("127.0.0.1", 1001), 0);
    const UdpFanOut::ChannelId other = wire.sender.add(JInetAddr("127.0.0.1", 1002), 0);
    wire.failPort = 1001;
    wire.failFrame = 1;
    wire.failPacket = c.failPacket;
    for (int i = 0; i < 2; ++i) {
      wire.sender.onFrame(pieces, 2);
    }
    const UdpFanOut::ChannelId late = wire.sender.add(JInetAddr("127.0.0.1", 1003), 2);
    for (int i = 0; i < 2; ++i) {
      wire.sender.onFrame(pieces, 2);
    }
    wire.sender.remove(other);
    wire.sender.onFrame(pieces, 2);

    const size_t n = c.sizes.size();
    struct Expected {
      uint16_t port;
      std::vector<uint32_t> frames;  // the numbers of the frames received
    } const expected[] = {
        {1001, {0, 1, 2, 3, 4}},  // frame 1 only up to its failed datagram
        {1002, {0, 1, 2, 3}},
        {1003, {0, 1, 2}},
    };
    for (const Expected& e : expected) {
      SCOPED_TRACE(e.port);
      const std::vector<FanOutWire::Datagram>& got = wire.got[e.port];
      size_t at = 0;
      for (const uint32_t number : e.frames) {
        const size_t whole = e.port == 1001 && number == 1 ? c.failPacket : n;
        for (size_t d = 0; d < whole; ++d, ++at) {
          ASSERT_LT(at, got.size());
          EXPECT_EQ(got[at].header.frameSequence, number);
          EXPECT_EQ(got[at].header.fragmentSequence, d);
          EXPECT_EQ(got[at].header.fragmentCount, n);
          EXPECT_EQ(got[at].data.size() + 12, c.sizes[d]);
          const size_t offset = d * (kMtu - 12);
          EXPECT_TRUE(std::equal(got[at].data.begin(), got[at].data.end(), frame.begin() + offset));
        }
      }
      EXPECT_EQ(at, got.size());
    }
    EXPECT_EQ(wire.sender.stats(early)->errors, 1u);
    EXPECT_EQ(wire.sender.stats(early)->nextFrame, 5u);
    EXPECT_EQ(wire.sender.stats(late)->errors, 0u);
    EXPECT_EQ(wire.sender.stats(late)->skip, 2);
    EXPECT_FALSE(wire.sender.stats(other).has_value());
  }
}

// ---- the provider ---------------------------------------------------------------

JTraceMask gEveryLevel{0xFFFFFFFFu};

class TestProvider : public IProvider {
 public:
  explicit TestProvider(const ProviderConfig& c) : IProvider(c, &gEveryLevel, "TestProvider") {}
  ~TestProvider() override { setMedia(nullptr); }
  // A packetizer whose every send fails, counting them.
  struct Refused : IProviderPacketizer {
    explicit Refused(std::atomic<int>& s) : sends(s) {}
    int packetize(const GatherPiece*, size_t) override {
      ++sends;
      return -1;
    }
    std::atomic<int>& sends;
  };
  std::unique_ptr<IProviderPacketizer> createPacketizer() override {
    if (refuse) {
      return std::make_unique<Refused>(refusedSends);
    }
    return std::make_unique<IPacketizer>();
  }
  bool refuse = false;  // the channels made from now on fail every send
  std::atomic<int> refusedSends{0};
};

// Frames of 3 000 bytes (three datagrams each), one every `period` ms.
MikeDesc softDesc(int32_t period, size_t frames = 5, size_t size = 3000) {
  return test::softMike(numberedFrames(frames, size), period, 48000, 2, 750);
}

// A UDP socket of the test that plays a receiver.
struct Receiver {
  Receiver() {
    socket.bind(JInetAddr("127.0.0.1", 0));
    socket.setReadTimeout(5000);
  }
  std::string request() const {
    return "ip=\"127.0.0.1\", port=" + std::to_string(socket.localAddress().port());
  }
  // The next datagram's header.
  MediaPacketHeader next() {
    uint8_t b[2048];
    socket.read(b, sizeof b);
    return MediaPacketHeader::read(b);
  }
  JUDPSocket socket;
};

struct Provider : ::testing::Test {
  void SetUp() override {
    log = std::make_unique<test::LogCapture>();
    media = std::make_unique<AudioSoft>(softDesc(10));
    media->connect(nullptr, 0, 0, true);
  }
  void TearDown() override {
    provider.reset();
    media->disconnect();
    EXPECT_EQ(SharedMike::registeredCount(), 0u);
  }
  void make(const ProviderConfig& c, bool withMedia = true) {
    provider = std::make_unique<TestProvider>(c);
    if (withMedia) {
      provider->setMedia(media.get());
    }
  }
  test::ScopedRegistryDir registry;
  std::unique_ptr<test::LogCapture> log;
  std::unique_ptr<AudioSoft> media;
  std::unique_ptr<TestProvider> provider;
  // Connection keys: only their addresses matter.
  JSocket first, second, third;
};

// Each refusal says why (the text an RPC caller is answered) and keeps
// nothing; ATM, which this platform does not have, is refused without a text.
TEST_F(Provider, RequestsAreRefusedForEachMissingCondition) {
  Receiver r;
  const std::string ok = r.request();
  enum Kind { kUdp, kIpm, kAtm };
  struct Case {
    const char* name;
    Kind kind;
    bool enabled, withMedia;
    std::string request;
    const char* error;  // thrown to the RPC caller
  } const cases[] = {
      {"UDP disabled", kUdp, false, true, ok, "UDP data transport is disabled in CCS!"},
      {"no ip", kUdp, true, true, "port=5000", "RPCMissingParameter: 'ip'"},
      {"no media", kUdp, true, false, ok, "no media"},
      {"an address that is no address", kUdp, true, true, "ip=\"receiver.example\", port=5000",
       "invalid IP address 'receiver.example'"},
      {"a multicast group", kUdp, true, true, "ip=\"239.1.2.3\", port=5000",
       "invalid IP address '239.1.2.3'"},
      {"the broadcast address", kUdp, true, true, "ip=\"255.255.255.255\", port=5000",
       "invalid IP address '255.255.255.255'"},
      {"this network", kUdp, true, true, "ip=\"0.0.0.0\", port=5000",
       "invalid IP address '0.0.0.0'"},
      {"port 0", kUdp, true, true, "ip=\"127.0.0.1\", port=0", "invalid port 0"},
      {"a port that wraps to 1", kUdp, true, true, "ip=\"127.0.0.1\", port=4294967297",
       "invalid port 4294967297"},
      {"multicast disabled", kIpm, false, true, "",
       "IP multicast data transport is disabled in CCS!"},
      {"multicast without media", kIpm, true, false, "", "no media"},
      {"a media of no known format", kUdp, true, true, ok, "no stream description"},
      {"multicast of no known format", kIpm, true, true, "", "no stream description"},
      {"ATM", kAtm, true, true, "atm_addr=\"47.0005\"", ""},
  };
  // A source that never started, described without its format.
  MikeDesc unknown;
  unknown.type = MikeDesc::kSoft;
  AudioSoft formatless(unknown);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ProviderConfig config = c.enabled ? test::loopbackTransports(freeUdpPort()) : ProviderConfig();
    if (c.kind == kAtm) {
      config.setAtm(AtmConfig());
    }
    make(config, c.withMedia);
    if (std::string_view(c.error) == "no stream description") {
      provider->setMedia(&formatless);
    }
    const JParams request = paramsOf(c.request.c_str());
    JParams reply;
    if (c.kind == kIpm) {
      EXPECT_EQ(thrownText([&] { provider->serveIPMClient(request, reply, &first); }), c.error);
      EXPECT_FALSE(provider->addIPMClient(request, reply, &first));
    } else if (c.kind == kUdp) {
      EXPECT_EQ(thrownText([&] { provider->serveUDPClient(request, reply, &first); }), c.error);
      EXPECT_FALSE(provider->addUDPClient(request, reply, &first));
    } else {
      EXPECT_FALSE(provider->addSVCClient(request, &first));
    }
    EXPECT_TRUE(reply.empty());
    EXPECT_EQ(provider->udpClientCount() + provider->ipmEntryCount(), 0u);
  }
}

// The datagrams waiting on `socket`, read without waiting.
std::vector<MediaPacketHeader> drain(JUDPSocket& socket) {
  std::vector<MediaPacketHeader> got;
  uint8_t b[2048];
  while (::recv(socket.handle(), b, sizeof b, MSG_DONTWAIT) >= 12) {
    got.push_back(MediaPacketHeader::read(b));
  }
  return got;
}

// A media the test publishes to by hand: feed() hands one frame to the
// channel that tapped it, on the test's thread. Of either kind, for the
// zapping rule.
class HandMedia : public IProviderMedia {
 public:
  explicit HandMedia(uint32_t type) : type_(type) {}
  int getMediaInfo(MediaInfo& info) override {
    info.type = type_;
    info.streamInfo = StreamInfo::makePcmStreamInfo(8000, 8, 1, 512);
    return MediaInfo::kFullSize;
  }
  std::unique_ptr<IMediaTap> createTap(IMediaSuckerNotify* channel) override {
    struct Tap : IMediaTap {
      explicit Tap(HandMedia& m) : media(m) {}
      ~Tap() override { media.tapped_ = nullptr; }
      HandMedia& media;
    };
    tapped_ = channel;
    return std::make_unique<Tap>(*this);
  }
  std::unique_ptr<IMediaSucker> createSucker(IMediaSuckerNotify*, const SuckerParams&) override {
    ADD_FAILURE() << "a tapped media was asked for a sucker";
    return nullptr;
  }
  void feed(size_t size) {
    const std::vector<uint8_t> frame(size);
    const GatherPiece piece{frame.data(), size};
    if (tapped_ != nullptr) {
      tapped_->onFrame(&piece, 1);
    }
  }
  int getMaxFrameSize() override { return 0; }
  int getFrameRate() override { return 0; }
  int getFrameDuration() override { return 0; }
  void connect(LinkNotifier*, uint32_t, uint32_t, bool) override {}
  void disconnect() override {}
  bool isConnected() override { return true; }
  void getDesc(MikeDesc&) override {}
  JStream* getStream() override { return nullptr; }
  void getParams(JParams&) override {}
  void getStreamInfoParams(JParams&) override {}
  int setParams(const JParams&) override { return 0; }
  void getStat(JParams&) override {}

 private:
  const uint32_t type_;
  IMediaSuckerNotify* tapped_ = nullptr;
};

// One provider's channels through their life. UDP receivers that stall or
// are gone hold up no other, and each channel numbers its own frames from 0
// and goes with its connection; multicast receivers share one master that
// goes with the last of them; the channels follow a new media of their kind,
// no media deletes every channel and refuses new ones, and a media of
// another kind takes the channels away rather than change their kind.
TEST_F(Provider, ChannelsThroughTheirLife) {
  const uint16_t groupPort = freeUdpPort();
  make(test::loopbackTransports(groupPort));
  Receiver r, late;
  // A receiver that never reads, with the smallest buffer there is, and one
  // that is gone: it takes datagrams from r's port only, the kernel refuses
  // the provider's.
  Receiver stalled, gone;
  stalled.socket.setIntOption(SOL_SOCKET, SO_RCVBUF, 1);
  gone.socket.connect(r.socket.localAddress());
  JSocket fourth, fifth, unknown;
  JParams reply;
  ASSERT_TRUE(provider->addUDPClient(paramsOf(stalled.request().c_str()), reply, &second));
  ASSERT_TRUE(provider->addUDPClient(paramsOf(gone.request().c_str()), reply, &third));
  ASSERT_TRUE(provider->addUDPClient(paramsOf(r.request().c_str()), reply, &first));
  std::vector<uint8_t> info;
  ASSERT_TRUE(reply.get("StreamInfo", info, false));
  EXPECT_EQ(StreamInfo::fromBytes(info)->samplesPerSecond(), 48000u);
  ASSERT_NE(provider->udpClient(&first), nullptr);
  // Frames of 16 + 3 000 bytes: three datagrams each, numbered from 0, in
  // order (a reader stalled on a busy machine may miss some).
  auto expectFrames = [](Receiver& to, uint32_t from, int frames) {
    uint32_t last = from;
    for (int i = 0; i < frames * 3; ++i) {
      const MediaPacketHeader h = to.next();
      EXPECT_EQ(h.fragmentCount, 3u);
      EXPECT_GE(h.frameSequence, last);
      last = h.frameSequence;
    }
    return last;
  };
  EXPECT_EQ(r.next().frameSequence, 0u);
  const uint32_t reached = expectFrames(r, 0, 10);
  ASSERT_TRUE(
      provider->addUDPClient(paramsOf((late.request() + ", skip=2").c_str()), reply, &fourth));
  EXPECT_EQ(late.next().frameSequence, 0u);  // its own numbers
  expectFrames(r, reached, 5);
  EXPECT_EQ(provider->udpClient(&second)->stats().errors, 0u);
  EXPECT_GT(provider->udpClient(&second)->stats().datagrams, 30u);

  EXPECT_FALSE(provider->removeClient(&unknown));
  EXPECT_TRUE(provider->removeClient(&first));
  EXPECT_EQ(provider->udpClientCount(), 3u);
  // What was sent before the removal; then nothing while the others go on.
  drain(r.socket);
  expectFrames(late, 0, 5);
  EXPECT_TRUE(drain(r.socket).empty());

  JParams r1, r2;
  ASSERT_TRUE(provider->addIPMClient(JParams(), r1, &first));
  IpmClient* master = provider->ipmMaster();
  ASSERT_NE(master, nullptr);
  EXPECT_TRUE(master->tapped());  // sent as the frames are published
  ASSERT_TRUE(provider->addIPMClient(JParams(), r2, &fifth));
  EXPECT_EQ(provider->ipmMaster(), master);
  EXPECT_EQ(provider->ipmEntryCount(), 3u);
  std::string ip;
  int32_t replyPort = 0;
  r2.get("ip", ip, true);
  r2.get("port", replyPort, true);
  EXPECT_EQ(ip, test::kGroup.hostText());
  EXPECT_EQ(replyPort, groupPort);
  EXPECT_TRUE(r2.find("StreamInfo", false) != nullptr);
  EXPECT_TRUE(provider->removeClient(&first));
  EXPECT_EQ(provider->ipmMaster(), master);
  EXPECT_TRUE(provider->removeClient(&fifth));
  EXPECT_EQ(provider->ipmMaster(), nullptr);
  EXPECT_EQ(provider->ipmEntryCount(), 0u);

  HandMedia video(MediaInfo::kVideo);
  UdpFanOut& sender = provider->udpSender();
  EXPECT_EQ(thrownText([&] { sender.bind(&video); }), "invalid zapping");
  EXPECT_EQ(sender.media(), media.get());  // the old binding stays
  EXPECT_EQ(sender.mediaType(), uint32_t{MediaInfo::kAudio});
  // Another audio media: the same channel goes on with its frames.
  AudioSoft other(softDesc(10, 2, 100));
  other.connect(nullptr, 0, 0, true);
  UdpClient* channel = provider->udpClient(&fourth);
  provider->setMedia(&other);
  EXPECT_EQ(provider->udpClient(&fourth), channel);
  EXPECT_EQ(sender.media(), &other);
  // What the old media sent while the test thread stalled is dropped; a
  // few of its frames may still be on the way.
  drain(late.socket);
  bool small = false;
  for (int i = 0; i < 50 && !small; ++i) {
    small = late.next().fragmentCount == 1;  // 116 bytes fit one datagram
  }
  EXPECT_TRUE(small);

  ASSERT_TRUE(provider->addIPMClient(JParams(), reply, &first));
  provider->setMedia(nullptr);
  EXPECT_EQ(provider->udpClientCount() + provider->ipmEntryCount(), 0u);
  EXPECT_FALSE(provider->addUDPClient(paramsOf(r.request().c_str()), reply, &first));
  EXPECT_FALSE(provider->addIPMClient(JParams(), reply, &first));
  provider->setMedia(&other);
  ASSERT_TRUE(provider->addUDPClient(paramsOf(r.request().c_str()), reply, &first));
  provider->setMedia(&video);
  EXPECT_EQ(provider->udpClientCount(), 0u);
  provider->setMedia(nullptr);
  other.disconnect();
}

// A multicast master fed on the publishing thread whose sends fail sits the
// failure out by dropping frames, never by holding that thread up: the
// source goes on publishing at its pace and only one send a pause is tried.
TEST_F(Provider, AFailingMulticastSendNeverHoldsUpThePublisher) {
  make(test::loopbackTransports(freeUdpPort()));
  provider->refuse = true;
  JParams reply;
  ASSERT_TRUE(provider->addIPMClient(JParams(), reply, &first));
  ASSERT_TRUE(provider->ipmMaster()->tapped());
  auto* source = dynamic_cast<SharedSoftMike*>(media->source());
  ASSERT_NE(source, nullptr);
  const uint64_t from = source->framesPublished();
  ASSERT_TRUE(eventually([&] { return source->framesPublished() >= from + 30; }));
  const int sends = provider->refusedSends.load();
  // One frame every 10 ms, a pause of 50 ms after each failure: about one
  // send in five. A publisher held up for each failure would send them all.
  EXPECT_GE(sends, 1);
  EXPECT_LT(sends + 3, static_cast<int>(source->framesPublished() - from));
  // Its socket never blocks either: a full buffer must not hold the capture.
  EXPECT_NE(::fcntl(provider->ipmMaster()->socket()->handle(), F_GETFL) & O_NONBLOCK, 0);
  // Zapped to another media, the master is fed by it, from its first frame:
  // a pause the old media's failure began is not sat out on the new one.
  HandMedia one(MediaInfo::kAudio), two(MediaInfo::kAudio);
  for (HandMedia* next : {&one, &two}) {
    provider->setMedia(next);
    const int tried = provider->refusedSends.load();
    next->feed(116);
    EXPECT_EQ(provider->refusedSends.load(), tried + 1);
  }
  provider->setMedia(nullptr);
}

}  // namespace
}  // namespace zq
