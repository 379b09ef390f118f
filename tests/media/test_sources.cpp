// The media layer, from the provider down: the provider's datagrams and
// channels; the shared audio sources of each kind through their life, their
// errors and concurrent users; the server controller that feeds the network
// ones, against a fake provider over UDP and IP multicast on lo; and the
// media objects with their sucker threads. (A provider behind its RPC
// service is the local AAM's test; its streams decoded, zqoutput's.)
#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "audio/mixer.h"
#include "audio/mp3.h"
#include "audio/simulated_board.h"
#include "base/registry_key.h"
#include "files/file_test_support.h"
#include "helpers/log_capture.h"
#include "helpers/temp_dir.h"
#include "helpers/thrown.h"
#include "helpers/tone_device.h"
#include "helpers/waits.h"
#include "media/audio_media.h"
#include "media/packetizer.h"
#include "media/provider.h"
#include "media/provider_test_support.h"
#include "media/server_controller.h"
#include "media/shared_file_mike.h"
#include "media/shared_mike.h"
#include "media/shared_soft_mike.h"
#include "media/udp_fan_out.h"
#include "net/inet_addr.h"
#include "net/udp_socket.h"
#include "rpc/rpc_client_test_support.h"
#include "stream/media_packet.h"
#include "stream/media_test_support.h"
#include "stream/net_cam.h"
#include "stream/net_mike2.h"

namespace zq {
namespace {

using test::Answer;
using test::AudioFrame;
using test::eventually;
using test::FakeProvider;
using test::fileMike;
using test::freeUdpPort;
using test::Leaf;
using test::localMike;
using test::networkMike;
using test::numberedFrames;
using test::paramsOf;
using test::readFrames;
using test::softMike;
using test::thrownText;

uint32_t mp3RateOf(const StreamFrameHeader& h) {
  uint32_t bitRate = 0;
  EXPECT_TRUE(parseFrameHeader(h.payload(), &bitRate, nullptr, nullptr, nullptr, nullptr, nullptr));
  return bitRate;
}

// Every test ends with no source left registered.
struct Sources : ::testing::Test {
  void TearDown() override { EXPECT_EQ(SharedMike::registeredCount(), 0u); }
  test::ToneRegistry registry_;
};

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
    const std::vector<uint8_t> data = numberedFrames(1, 1000)[0];
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
    const std::vector<uint8_t> frame = numberedFrames(1, 16 + c.frame)[0];
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

struct Provider : Sources {
  void SetUp() override {
    log = std::make_unique<test::LogCapture>();
    media = std::make_unique<AudioSoft>(softDesc(10));
    media->connect(nullptr, 0, 0, true);
  }
  void TearDown() override {
    provider.reset();
    media->disconnect();
    Sources::TearDown();
  }
  void make(const ProviderConfig& c, bool withMedia = true) {
    provider = std::make_unique<TestProvider>(c);
    if (withMedia) {
      provider->setMedia(media.get());
    }
  }
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
// zapping rule; for the rest a soft media that is never connected.
class HandMedia : public AudioSoft {
 public:
  explicit HandMedia(uint32_t type) : AudioSoft(softDesc(10)), type_(type) {}
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

 private:
  const uint32_t type_;
  IMediaSuckerNotify* tapped_ = nullptr;
};

// One provider's channels through their life. UDP receivers that stall or
// are gone hold up no other, and each channel numbers its own frames from 0
// and goes with its connection; multicast receivers share one master that
// goes with the last of them; the channels follow a new media of their kind,
// no media deletes every channel (it refuses new ones as above), and a media of
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

// ---- the shared sources ---------------------------------------------------------

TEST(MikeDesc, SharingRuleVolumeAndTravellingForm) {
  const std::vector<uint8_t> a{1, 2, 3};
  const std::vector<uint8_t> b{1, 2, 4};
  struct Case {
    const char* name;
    MikeDesc registered;
    MikeDesc requested;
    bool equal;
  } cases[] = {
      {"two board connectors of one channel", localMike(0, 3), localMike(0, 2), true},
      {"sound card against board", localMike(0, 1), localMike(0, 2), false},
      {"a request without connector joins", localMike(0, 4), localMike(0, -1), true},
      {"a source without connector takes nobody", localMike(0, -1), localMike(0, 2), false},
      {"same network source", networkMike("h", 5, 1), networkMike("h", 5, 1), true},
      {"another port", networkMike("h", 5, 1), networkMike("h", 6, 1), false},
      {"same soft frames", softMike({a, b}, 10), softMike({a, b}, 10), true},
      {"one byte differs", softMike({a, a}, 10), softMike({a, b}, 10), false},
      {"different types", fileMike(""), softMike({}, 0), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.registered.equals(c.requested), c.equal);
  }
  MikeDesc d;
  d.setVolume(150);
  EXPECT_EQ(d.volume(), 100);
  d.setVolume(-5);
  EXPECT_EQ(d.volume(), 0);

  // Only the type and its keys travel.
  const MikeDesc board = localMike(3, 2, 128000);
  const MikeDesc remote = networkMike("cam.local", 5002, 4);
  for (const MikeDesc* sent : {&board, &remote}) {
    SCOPED_TRACE(sent->type);
    JRPCSerialisation out;
    out.serialise(*sent);
    JParams params = out.takeParams();
    std::vector<std::string> keys;
    for (const JVariant& v : params) {
      keys.push_back(v.name());
    }
    const std::vector<std::string> boardKeys{"board", "type"},
        remoteKeys{"host", "proto", "p\xF4rt", "timeout", "type"};
    EXPECT_EQ(keys, sent == &board ? boardKeys : remoteKeys);
    MikeDesc back;
    back.setVolume(80);
    JRPCDeserialisation in(params);
    in.deserialise(back);
    EXPECT_EQ(
        std::make_tuple(back.type, back.host, back.port, back.proto, back.channel),
        std::make_tuple(sent->type, sent->host, sent->port, sent->proto, sent == &board ? 3 : -1));
    EXPECT_EQ(std::make_tuple(back.volume(), back.compression), std::make_tuple(25, -1));
  }
}

// Each failure says why and leaves no source registered, no user recorded
// and no controller thread running.
TEST_F(Sources, CreationAndStartErrorsLeaveNothingBehind) {
  const auto acquired = [](MikeDesc d) {
    return [d] { SharedMike::release(SharedMike::acquire(d)); };
  };
  const auto opened = [](MikeDesc d) {
    return [d] {
      SharedMike* mike = SharedMike::acquire(d);
      test::Leaf user;
      int32_t id = 0;
      const std::string error = thrownText([&] { mike->open(id, &user, 0, 0, 0, false); });
      EXPECT_EQ(mike->userCount(), 0u);
      EXPECT_TRUE(user.events().empty());
      EXPECT_FALSE(mike->isOpen());
      EXPECT_TRUE(SharedMike::release(mike));
      throw JTextError(error);
    };
  };
  MikeDesc badType;
  badType.type = 7;
  MikeDesc softWithoutInfo;
  softWithoutInfo.type = MikeDesc::kSoft;
  struct Case {
    const char* name;
    std::function<void()> fail;
    const char* error;  // null: any error
  } const cases[] = {
      {"type outside 0 ... 3", acquired(badType), "invalid mike type"},
      {"connector 5", acquired(localMike(0, 5)), "invlid connector type"},
      {"no compression", opened(localMike(1, MikeDesc::kWaveInLineIn)), "invalid compression mode"},
      {"bit rate outside the table", opened(localMike(1, MikeDesc::kWaveInMicIn, 30000)),
       "unsupported MP3 bitrate"},
      {"missing file", opened(fileMike("/nonexistent/zq-missing.mp3")), nullptr},
      {"soft media without a description",
       [&] { AudioSoft(softWithoutInfo).connect(nullptr, 0, 0, true); }, "null pointer"},
      {"soft media of a file", [] { AudioSoft a(fileMike("a.mp3")); }, "invalid mike desc type"},
      {"frames of an MP3 rate outside the table",
       [] { AudioLive(0, 2, false, true, 100000).getFrameDuration(); }, "bit rate not supported"},
      {"frames without a coding", [] { AudioFile("a.mp3").getMaxFrameSize(); },
       "invalid compression mode"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string error = thrownText(c.fail);
    EXPECT_NE(error, "");
    if (c.error != nullptr) {
      EXPECT_EQ(error, c.error);
    }
    EXPECT_EQ(SharedMike::registeredCount(), 0u);
    EXPECT_EQ(test::controllerThreads(), 0u);
  }
}

// Two users of one sound-card input share one capture of MP3 frames at the
// first user's rate, under the debug flags of the registry; the source
// closes with the last user and goes with the last release.
TEST_F(Sources, UsersOfOneSoundCardInputShareOneCapture) {
  JSystemRegistryKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta\\Surveillance Services")
      .setDword("SharedMikeDebugFlags", 0xA000);
  SharedMike* a = SharedMike::acquire(localMike(1, MikeDesc::kWaveInLineIn, 64000));
  SharedMike* b = SharedMike::acquire(localMike(1, MikeDesc::kWaveInMicIn, 128000));
  ASSERT_EQ(a, b);
  EXPECT_EQ(a->useCount(), 2);
  EXPECT_EQ(a->traceName(), "Audio Source[pci://1]");
  ASSERT_NE(a->traceMask(), nullptr);
  EXPECT_EQ(a->traceMask()->load(), 0xA000u);
  test::Leaf one, two;
  int32_t id1 = 0, id2 = 0;
  a->open(id1, &one, 1, 0, 0, false);
  b->open(id2, &two, 2, 0, 0, false);
  EXPECT_GT(id2, id1);
  ASSERT_EQ(two.streams().size(), 1u);
  EXPECT_EQ(one.streams(), two.streams());
  EXPECT_EQ(a->getDesc().getAudioFormat().samplesPerSec, 22050u);
  readFrames(a->stream(), 5, [](const StreamFrameHeader& h) { EXPECT_EQ(mp3RateOf(h), 64000u); });
  EXPECT_EQ(a->close(id1), 1);
  EXPECT_EQ(id1, -1);
  EXPECT_TRUE(a->isOpen());
  EXPECT_EQ(a->close(id2), 0);
  EXPECT_FALSE(a->isOpen());
  EXPECT_FALSE(SharedMike::release(a));
  EXPECT_TRUE(SharedMike::release(b));
  EXPECT_FALSE(SharedMike::release(b));  // no longer registered
}

struct Board : Sources {
  void SetUp() override { registerCaptureBoard(board); }
  void TearDown() override {
    unregisterCaptureBoard(0);
    Sources::TearDown();
  }
  // Left, right and microphone gains and the volume, cleared when asked.
  std::vector<int> registers(bool clear = false) {
    std::vector<int> values;
    for (const char* r :
         {"Left Amplifier Gain", "Right Amplifier Gain", "Micro Amplifier Gain", "Volume"}) {
      const std::string name = "Quorvanta2.MAS3587." + std::string(r);
      char answer[64] = {};
      board->control((name + (clear ? "=0" : "?")).c_str(), answer, sizeof answer);
      values.push_back(std::atoi(answer));
    }
    return values;
  }
  std::shared_ptr<SimulatedCaptureBoard> board = std::make_shared<SimulatedCaptureBoard>(0);
};

// The source selects its input and sends its gain to that input's registers;
// a board media's later requests reach the registers only within their
// ranges, and the gain it reports is the one it sent.
TEST_F(Board, TheSourceAndItsMediaSendTheirGainsWithinRange) {
  struct Open {
    int32_t connector;
    CaptureBoard::Input input;
    std::vector<int> registers;
  } const opens[] = {
      {MikeDesc::kPci2LineIn, CaptureBoard::kLineInput, {7, 7, 0, 0}},
      {MikeDesc::kPci2MicIn, CaptureBoard::kMicrophoneInput, {0, 0, 7, 0}},
      {MikeDesc::kPci2SpdifIn, CaptureBoard::kMicrophoneInput, {0, 0, 0, 0}},
  };
  for (const Open& c : opens) {
    SCOPED_TRACE(c.connector);
    registers(true);
    board->selectInput(CaptureBoard::kMicrophoneInput);
    MikeDesc d = localMike(0, c.connector, 128000);
    d.preAmplificationGain = 7;
    SharedMike* mike = SharedMike::acquire(d);
    int32_t id = 0;
    mike->open(id, nullptr, 0, 0, 0, true);
    EXPECT_EQ(board->input(), c.input);
    EXPECT_EQ(registers(), c.registers);
    readFrames(mike->stream(), 3,
               [](const StreamFrameHeader& h) { EXPECT_EQ(mp3RateOf(h), 128000u); });
    mike->close(id);
    EXPECT_TRUE(SharedMike::release(mike));
  }

  struct Request {
    int32_t connector;
    const char* request;
    std::vector<int> registers;
  } const requests[] = {
      {MikeDesc::kPci2LineIn, "PreAmplificationGain=15", {15, 15, 0, 0}},
      {MikeDesc::kPci2LineIn, "PreAmplificationGain=16", {0, 0, 0, 0}},
      {MikeDesc::kPci2MicIn, "PreAmplificationGain=4", {0, 0, 4, 0}},
      {MikeDesc::kPci2LineIn, "Volume=-115", {0, 0, 0, -115}},
      {MikeDesc::kPci2LineIn, "Volume=13", {0, 0, 0, 0}},
  };
  for (const Request& c : requests) {
    SCOPED_TRACE(c.request);
    registers(true);
    AudioLive a(0, c.connector, false, true, 128000);
    a.connect(nullptr, 0, 0, true);
    EXPECT_EQ(std::make_tuple(a.getMaxFrameSize(), a.getFrameRate(), a.getFrameDuration()),
              std::make_tuple(417, 38, 26));
    EXPECT_EQ(a.setParams(paramsOf(c.request)), 0);
    const std::vector<int> got = registers();
    EXPECT_EQ(got, c.registers);
    JParams stat;
    a.getStat(stat);
    int32_t gain = -1;
    ASSERT_TRUE(stat.get("PreAmplificationGain", gain, false));
    EXPECT_EQ(gain, got[0] + got[2]);
    a.disconnect();
  }
}

// A list of two files told apart by their bit rate, about 0.4 s each, the
// second behind an ID3v2 tag as most MP3 files are; trailing commas are no
// names. Each file is a new stream; the description's list starts at the
// playing file; the list ends after its last file unless it loops.
TEST_F(Sources, AFileListIsPlayedInOrderAndEndsOrLoops) {
  test::TempDir dir;
  test::ScopedFileInfoCache cache;
  const std::string first = dir.str() + "/64.mp3", second = dir.str() + "/128.mp3";
  test::writeFile(first, test::join(test::encodeFrames(64000, 15)));
  test::writeFile(second,
                  test::join({test::id3v2Tag(100), test::join(test::encodeFrames(128000, 15))}));
  for (const bool looping : {false, true}) {
    SCOPED_TRACE(looping);
    MikeDesc d = fileMike(first + "," + second + ",,");
    d.looping = looping;
    SharedMike* mike = SharedMike::acquire(d);
    auto* files = dynamic_cast<SharedFileMike*>(mike);
    ASSERT_NE(files, nullptr);
    EXPECT_EQ(files->files(), (std::vector<std::string>{first, second}));
    test::Leaf one, two;
    int32_t id1 = 0, id2 = 0;
    mike->open(id1, &one, 0, 0, 0, false);
    mike->open(id2, &two, 0, 0, 0, false);
    ASSERT_TRUE(eventually([&] { return two.upCount() >= (looping ? 3u : 2u); }));
    std::vector<uint32_t> rates = two.each(&test::Leaf::Event::rate, true),
                          expectedRates{64000, 128000, 64000};
    rates.resize(looping ? 3 : 2);
    expectedRates.resize(rates.size());
    EXPECT_EQ(rates, expectedRates);
    EXPECT_EQ(two.streams()[0], one.streams()[0]);
    if (looping) {
      EXPECT_FALSE(files->finished().isSet());
      EXPECT_EQ(two.events()[3], "down:EOF");
    } else {
      EXPECT_EQ(mike->getDesc().fileName, second + "," + first);
      EXPECT_TRUE(eventually([&] { return mike->getDesc().playPosition > 0.1; }));
      EXPECT_GT(mike->getDesc().playOffset, 0);
      ASSERT_NO_THROW(mike->getDesc().finishedEvent->wait(20000));
      const std::vector<std::string> expected{"up", "down:EOF", "up", "down:EOF"};
      EXPECT_EQ(one.events(), expected);
      EXPECT_EQ(two.events(), expected);
      EXPECT_FALSE(mike->isOpen());
    }
    mike->close(id1);
    mike->close(id2);
    EXPECT_TRUE(SharedMike::release(mike));
  }
}

// The first user's open chooses how the source connects: at once, with the
// stream there when open returns and any failure thrown to it, or on the
// controller's own thread; persistent, waiting for a provider that is not
// there yet, or giving up. A second user shares the stream; the source
// stays open until the last user closes.
TEST_F(Sources, TheFirstOpenChoosesHowTheSharedControllerConnects) {
  struct Case {
    const char* name;
    uint32_t persistent, synchronous;
    bool providerUp;     // before the open; otherwise it comes after, on the same port
    const char* thrown;  // part of the open's error; null when it succeeds
  } const cases[] = {
      {"synchronous", 0, 1, true, nullptr},
      {"synchronous, nobody there", 0, 1, false, "refused"},
      {"synchronous and persistent, nobody there", 1, 1, false, "Connection Lost"},
      {"gives up", 0, 0, false, nullptr},
      {"persistent", 1, 0, false, nullptr},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    auto provider = std::make_unique<test::FakeProvider>();
    const uint16_t port = provider->port();
    if (!k.providerUp) {
      provider.reset();
    }
    SharedMike* mike = SharedMike::acquire(networkMike("127.0.0.1", port, ServerController::kUdp));
    EXPECT_TRUE(mike->isRemote());
    EXPECT_EQ(mike->traceName(), "Audio Source[udp://127.0.0.1:" + std::to_string(port) + "]");
    auto one = std::make_unique<test::Leaf>(), two = std::make_unique<test::Leaf>();
    int32_t id1 = 0, id2 = 0;
    const std::string thrown =
        thrownText([&] { mike->open(id1, one.get(), 11, k.persistent, k.synchronous, false); });
    EXPECT_EQ(thrown.empty(), k.thrown == nullptr) << thrown;
    if (k.thrown != nullptr) {
      EXPECT_NE(thrown.find(k.thrown), std::string::npos) << thrown;
      EXPECT_EQ(mike->userCount(), 0u);
      EXPECT_EQ(test::controllerThreads(), 0u);
    } else if (k.synchronous != 0) {
      EXPECT_TRUE(mike->isOpen());
      EXPECT_EQ(one->upCount(), 1u);  // heard within open
      EXPECT_EQ(provider->lines().size(), 1u);
    } else {
      ASSERT_TRUE(eventually([&] { return one->downCount() == 1; }));
      if (k.persistent == 0) {
        EXPECT_TRUE(eventually([] { return test::controllerThreads() == 0; }));
        EXPECT_FALSE(mike->isOpen());
      } else {
        provider = std::make_unique<test::FakeProvider>(port);
        ASSERT_TRUE(eventually([&] { return one->upCount() == 1 && mike->isOpen(); }));
      }
    }
    if (mike->isOpen()) {
      mike->open(id2, two.get(), 22, 0, 0, false);
      EXPECT_EQ(two->upCount(), 1u);
      EXPECT_EQ(one->lastStream(), two->lastStream());
      EXPECT_EQ(mike->stream(), one->lastStream());
      EXPECT_EQ(mike->getStreamInfo()->content(), StreamInfo::kPcm);
      EXPECT_EQ(mike->getUserContext(id2), 22u);
      EXPECT_EQ(mike->close(id1), 1);
      EXPECT_TRUE(mike->isOpen());
      EXPECT_EQ(mike->close(id2), 0);
      EXPECT_FALSE(mike->isOpen());
    } else if (id1 > 0) {
      mike->close(id1);
    }
    EXPECT_TRUE(SharedMike::release(mike));
  }
}

// A connected source keeps its link alive with a PING every 2 s, each given
// half the period for its answer: a provider that answers in 1.5 s is lost.
TEST_F(Sources, ASlowPingAnswerTakesTheNetworkSourceDown) {
  test::ScriptedLineServer aam([](const std::string& line) -> std::string {
    if (line != "PING") {
      return "FAILED no channel here";
    }
    JThread::sleep(1500);
    return "PONG";
  });
  SharedMike* mike =
      SharedMike::acquire(networkMike("127.0.0.1", aam.port(), ServerController::kUdp));
  test::Leaf user;
  int32_t id = 0;
  mike->open(id, &user, 0, 0, 0, false);
  ASSERT_TRUE(aam.waitFor("PING"));
  EXPECT_TRUE(eventually([&] { return user.downCount() == 1; }));
  mike->close(id);
  EXPECT_TRUE(SharedMike::release(mike));
}

// Users coming and going on four threads at once each hear the stream and
// leave nothing behind.
TEST_F(Sources, SoftSourceUsersComingAndGoingConcurrently) {
  std::atomic<int> heard{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int round = 0; round < 15; ++round) {
        SharedMike* user = SharedMike::acquire(softMike({{9, 9}, {8}}, 2));
        test::Leaf leaf;
        int32_t userId = 0;
        user->open(userId, &leaf, 0, 0, 0, false);
        heard.fetch_add(leaf.lastStream() != nullptr ? 1 : 0);
        user->close(userId);
        SharedMike::release(user);
      }
    });
  }
  for (auto& t : threads) {
    t.join();
  }
  EXPECT_EQ(heard.load(), 60);
}

// ---- the server controller under them ----------------------------------------

// Checks a frame against what the provider sent under its number.
void expectSent(const StreamFrameHeader& h) {
  const AudioFrame f = AudioFrame::make(h.keyWord - 0xA0000, test::frameSize(h.keyWord - 0xA0000));
  ASSERT_EQ(h.keyWord, f.tail.keyWord);
  ASSERT_EQ(h.size, f.data.size());
  EXPECT_EQ(std::memcmp(h.payload(), f.data.data(), f.data.size()), 0) << "frame " << h.keyWord;
}

std::unique_ptr<ServerController> makeController(uint16_t port, int32_t proto, bool connectNow,
                                                 bool startThread) {
  return std::make_unique<ServerController>("127.0.0.1", port, proto, 5000, true, connectNow,
                                            startThread, false, true, 4000, nullptr,
                                            "ServerController[test]");
}

TEST(ServerController, AtmSelectorsCycleFrom11To254) {
  int s = 0;
  for (int i = 0; i < 300 && s != 254; ++i) {
    s = ServerController::nextAtmSelector();
    ASSERT_GE(s, 11);
  }
  ASSERT_EQ(s, 254);
  EXPECT_EQ(ServerController::nextAtmSelector(), 11);
}

// A link's life over each transport. Leaves added before the link comes up
// hear nothing until it does (a cookie added twice is replaced), then linkUp
// once with their context; frames arrive byte for byte while another host
// (127.0.0.2) sends to the receiver: its datagrams are counted and dropped.
// Over UDP the provider's host is known before its first packet; a group's
// sender is whoever sent the first valid packet, so there the stranger
// sends after the provider. The provider goes: each leaf hears linkDown
// once, one answering false is dropped with the receiver, a leaf added
// meanwhile hears linkDown at once; back on its port, the leaves left hear
// linkUp with a new stream. The last leaf out returns the link state to 0,
// and a controller destroyed while receiving leaves no thread and tells
// nobody.
class Transports : public ::testing::TestWithParam<int32_t> {};

TEST_P(Transports, ALinkThroughItsLife) {
  const bool udp = GetParam() == ServerController::kUdp;
  auto log = std::make_unique<test::LogCapture>();
  const uint16_t groupPort = test::freeUdpPort();
  auto provider = std::make_unique<FakeProvider>(0, groupPort);
  const uint16_t port = provider->port();
  if (!udp && !test::multicastOnLo(groupPort)) {
    GTEST_SKIP() << "no IP multicast on lo here (run the suite in its network namespace)";
  }
  provider->holdFrames = true;
  auto c = makeController(port, GetParam(), false, false);
  Leaf a, drops(false), replaced, late;
  EXPECT_EQ(c->AddLeaf(1, &replaced, 0x99, false), nullptr);
  EXPECT_EQ(c->AddLeaf(2, &drops, 0x20, false), nullptr);
  EXPECT_EQ(c->AddLeaf(3, nullptr, 0x30, false), nullptr);
  int count = 0;
  c->AddLeaf(1, &a, 0x10, false, &count);
  EXPECT_EQ(count, 3);
  EXPECT_TRUE(a.events().empty() && drops.events().empty());
  c->start();
  ASSERT_TRUE(eventually([&] { return a.upCount() == 1 && drops.upCount() == 1; }));
  EXPECT_TRUE(replaced.events().empty());
  EXPECT_EQ(a.lastStream(), drops.lastStream());
  EXPECT_EQ(a.each(&Leaf::Event::context), std::vector<uint32_t>{0x10});
  EXPECT_EQ(drops.each(&Leaf::Event::context), std::vector<uint32_t>{0x20});
  EXPECT_EQ(c->linkState(), ServerController::kLinkUp);
  EXPECT_EQ(c->multicast(), !udp);
  const std::string request = provider->lines().at(0);
  JInetAddr to(test::kGroup.address(), groupPort);
  if (udp) {
    ASSERT_TRUE(request.starts_with("addUDPClient(ip=\"127.0.0.1\", port=")) << request;
    to = JInetAddr("127.0.0.1",
                   static_cast<uint16_t>(std::stoi(request.substr(request.find("port=") + 5))));
  } else {
    EXPECT_EQ(request, "addIPMClient(nop=0)");
  }
  JUDPSocket stranger;
  stranger.bind(JInetAddr("127.0.0.2", 0));
  const auto intrude = [&] {
    for (const uint32_t n : {0x7FFFFFFFu, 0u}) {
      const auto packet = AudioFrame::make(n, 50).packets(n, 1400).at(0);
      stranger.sendto(packet.data(), packet.size(), to);
    }
    stranger.sendto("", 0, to);
  };
  if (udp) {
    intrude();
  }
  provider->holdFrames = false;
  readFrames(a.lastStream(), 12, expectSent);
  if (!udp) {
    intrude();
  }
  const auto* mike = dynamic_cast<const NetMike2*>(a.lastStream());
  ASSERT_NE(mike, nullptr);
  EXPECT_TRUE(eventually([&] { return mike->foreignPackets() == 3; }));
  readFrames(a.lastStream(), 3, expectSent);
  EXPECT_EQ(mike->resyncs(), 0u);

  provider.reset();
  ASSERT_TRUE(eventually([&] { return a.downCount() == 1 && drops.downCount() == 1; }));
  EXPECT_EQ(a.events().back(), "down:Connection Lost");
  EXPECT_EQ(c->leafCount(), 2u);
  EXPECT_EQ(c->currentStream(), nullptr);
  EXPECT_EQ(c->linkState(), ServerController::kLinkDown);
  c->AddLeaf(4, &late, 4, false);
  EXPECT_EQ(late.events(), std::vector<std::string>{"down:(none)"});

  provider = std::make_unique<FakeProvider>(port, groupPort);
  ASSERT_TRUE(eventually([&] { return a.upCount() == 2 && late.upCount() == 1; }));
  EXPECT_EQ(a.lastStream(), late.lastStream());
  readFrames(a.lastStream(), 3, expectSent);
  EXPECT_EQ(provider->lines().size(), 1u);  // a new channel of the new provider
  EXPECT_EQ(a.downCount(), 1u);
  EXPECT_EQ(drops.upCount(), 1u);
  EXPECT_EQ(c->removeLeaf(1), 2);
  EXPECT_NE(c->currentStream(), nullptr);
  c->removeLeaf(3);
  EXPECT_EQ(c->removeLeaf(4), 0);
  EXPECT_EQ(c->currentStream(), nullptr);
  EXPECT_EQ(c->linkState(), ServerController::kNeverLinked);

  ASSERT_NE(c->AddLeaf(5, &late, 5, true), nullptr);
  provider->dropsChannels = false;
  EXPECT_EQ(test::controllerThreads(), 2u);
  c.reset();
  EXPECT_EQ(late.downCount(), 1u);
  EXPECT_TRUE(eventually([] { return test::controllerThreads() == 0; }));
}

INSTANTIATE_TEST_SUITE_P(ServerController, Transports,
                         ::testing::Values(ServerController::kUdp, ServerController::kIpm),
                         [](const auto& p) { return ServerController::protoName(p.param, true); });

// What the provider answers decides the stream: AddLeaf with create-now
// throws a failure to the caller; a receiver of the description's kind is
// made otherwise, its queue size read from the registry under the name for
// its kind. (A failure on link-up, logged and asked again, is zqoutput's
// test.)
TEST(ServerController, TheProvidersAnswerDecidesTheStream) {
  auto log = std::make_unique<test::LogCapture>();
  struct Case {
    const char* name;
    int32_t proto;  // the provider is asked for UDP (1) and IP multicast (4) only
    Answer answer;
    const char* error;    // null: a stream is made
    const char* setting;  // set to 20 for a stream, the others deleted
    int queue;
  } const cases[] = {
      {"refused", 1, Answer::kRefuse, "FAILED provider refuses the channel", nullptr, 0},
      {"no description", 1, Answer::kNoInfo, "RPCMissingParameter: 'StreamInfo'", nullptr, 0},
      {"neither audio nor video", 1, Answer::kOtherType, "invalid stream info type", nullptr, 0},
      {"unknown video format", 1, Answer::kVideoUnknown, "invalid video format", nullptr, 0},
      {"multicast without ip", 4, Answer::kNoIp, "RPCMissingParameter: 'ip'", nullptr, 0},
      {"pvc", 3, Answer::kPcm, "invalid protocol", nullptr, 0},
      {"svc on this platform", 2, Answer::kPcm,
       "An address incompatible with the requested protocol was used", nullptr, 0},
      {"pcm", 1, Answer::kPcm, nullptr, "AudioQueue", 20},
      {"mp3", 1, Answer::kMp3, nullptr, "AudioTemporalQueue", 20},
      {"own video", 1, Answer::kVideoOwn, nullptr, "Queue", 20},
      {"other video", 1, Answer::kVideoOther, nullptr, "TemporalQueue", 20},
  };
  const uint16_t groupPort = test::freeUdpPort();
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    JSystemRegistryKey key(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta");
    for (const char* n : {"AudioQueue", "AudioTemporalQueue", "Queue", "TemporalQueue"}) {
      key.deleteValue(n);
    }
    if (k.setting != nullptr) {
      key.setDword(k.setting, 20);
    }
    auto provider = std::make_unique<FakeProvider>(0, groupPort);
    provider->mode = k.answer;
    auto c = makeController(provider->port(), k.proto, true, false);
    JStream* stream = nullptr;
    const std::string error = test::thrownText([&] { stream = c->AddLeaf(1, nullptr, 0, true); });
    EXPECT_EQ(provider->lines().size(), k.proto == 1 || k.proto == 4 ? 1u : 0u);
    if (k.error == nullptr) {
      ASSERT_NE(stream, nullptr) << error;
      const bool video = k.answer == Answer::kVideoOwn || k.answer == Answer::kVideoOther;
      EXPECT_EQ(dynamic_cast<NetCam*>(stream) != nullptr, video);
      EXPECT_EQ(dynamic_cast<NetMike2*>(stream) != nullptr, !video);
      char answer[16] = {};
      ASSERT_EQ(stream->control("JStream.queue?", answer, sizeof answer), 0);
      EXPECT_EQ(std::stoi(answer), k.queue);
      continue;
    }
    EXPECT_NE(error.find(k.error), std::string::npos) << error;
    EXPECT_EQ(c->currentStream(), nullptr);
  }
}

// Leaves come and go from several threads, each creating the stream, while
// the link is up; the last one out takes the stream with it.
TEST(ServerController, LeavesAddedAndRemovedConcurrentlyShareOneStream) {
  auto log = std::make_unique<test::LogCapture>();
  auto provider = std::make_unique<FakeProvider>();
  auto c = makeController(provider->port(), ServerController::kUdp, false, true);
  ASSERT_TRUE(eventually([&] { return c->isConnected(); }));
  std::atomic<int> nulls{0};
  std::vector<std::thread> threads;
  for (uint32_t t = 0; t < 3; ++t) {
    threads.emplace_back([&, t] {
      Leaf leaf;
      for (uint32_t i = 0; i < 8; ++i) {
        nulls += c->AddLeaf(t * 100 + i, &leaf, i, true) == nullptr ? 1 : 0;
        c->removeLeaf(t * 100 + i);
      }
    });
  }
  for (std::thread& t : threads) {
    t.join();
  }
  EXPECT_EQ(nulls.load(), 0);
  EXPECT_EQ(c->leafCount(), 0u);
  EXPECT_EQ(c->currentStream(), nullptr);
}

// ---- the media objects ----------------------------------------------------------

// A channel that keeps what the sucker hands it, and may then pause as a
// channel does after a failed send.
class Channel : public IMediaSuckerNotify {
 public:
  struct Frame {
    MediaFrameTail tail;
    std::vector<uint8_t> data;
    size_t pieces;
  };
  void onFrame(const GatherPiece* pieces, size_t count) override {
    std::unique_lock l(m_);
    frames_.push_back({MediaFrameTail::read(pieces[0].data),
                       std::vector<uint8_t>(pieces[1].data, pieces[1].data + pieces[1].length),
                       count});
    if (pauseMs > 0) {
      l.unlock();
      pauseRanOut = IThread::idleCurrent(pauseMs);
    }
  }
  int pauseMs = 0;
  std::atomic<bool> pauseRanOut{false};  // not cut short by a stop
  std::vector<Frame> frames() const {
    std::lock_guard l(m_);
    return frames_;
  }
  size_t count() const { return frames().size(); }

 private:
  mutable std::mutex m_;
  std::vector<Frame> frames_;
};

// A soft media through its life: the record it fills, one binding however
// often it connects, a sucker that pauses, resumes and stops for good while
// paused; disconnecting releases the source.
TEST_F(Sources, AMediaObjectThroughItsLife) {
  AudioSoft a(softMike(numberedFrames(2, 320), 5));
  struct Record {
    uint32_t capacity;
    int answer;
    bool filled, withDesc;
    uint32_t used;  // the record size on the way out
  } const records[] = {{0, 240, false, false, 0},
                       {11, -1, false, false, 11},
                       {12, 240, true, false, 12},
                       {240, 240, true, true, 240}};
  for (const Record& r : records) {
    SCOPED_TRACE(r.capacity);
    MediaInfo info;
    info.recordSize = r.capacity;
    EXPECT_EQ(a.getMediaInfo(info), r.answer);
    EXPECT_EQ(info.type, r.filled ? uint32_t{MediaInfo::kAudio} : uint32_t{MediaInfo::kNoMedia});
    EXPECT_EQ(info.streamInfo != nullptr, r.filled);
    EXPECT_EQ(info.desc != nullptr, r.withDesc);
    EXPECT_EQ(info.recordSize, r.used);
  }

  EXPECT_EQ(a.getStream(), nullptr);
  a.connect(nullptr, 0, 0, true);
  SharedMike* source = a.source();
  ASSERT_NE(source, nullptr);
  EXPECT_NE(a.getStream(), nullptr);
  a.connect(nullptr, 0, 0, true);  // a second connect opens no second user
  EXPECT_EQ(source->userCount(), 1u);

  Channel channel;
  std::unique_ptr<IMediaSucker> sucker = a.createSucker(&channel, SuckerParams{});
  sucker->startSucker();
  ASSERT_TRUE(eventually([&] { return channel.count() >= 2; }));
  sucker->pause();
  ASSERT_TRUE(eventually([&] { return sucker->isParked(); }));
  const size_t paused = channel.count();
  JThread::sleep(60);
  EXPECT_EQ(channel.count(), paused);
  sucker->resume();
  ASSERT_TRUE(eventually([&] { return channel.count() >= paused + 3; }));
  sucker->pause();
  sucker->stopSucker();
  EXPECT_EQ(sucker->state(), IThread::kStopped);
  const size_t after = channel.count();
  JThread::sleep(50);
  EXPECT_EQ(channel.count(), after);
  sucker.reset();
  a.disconnect();
  EXPECT_EQ(a.source(), nullptr);
  a.disconnect();  // nothing left to release
}

// Device 2's input sets and reports device 2's mixer; the first card's
// stays as it was.
TEST_F(Sources, SoundCardInputsSetTheMixerOfTheirDeviceAndReportIt) {
  test::setToneDevice(2);
  std::unique_ptr<JMixer> first = JMixer::open(0);
  const auto state = [&] {
    return std::vector<int>{first->isSelected(JMixer::kLineIn), first->lineVolume(JMixer::kLineIn),
                            first->lineVolume(JMixer::kMicrophone)};
  };
  const std::vector<int> firstBefore = state();
  AudioLive a(2, MikeDesc::kWaveInMicIn, false, true, 22050, 16, 1, 1024);
  a.connect(nullptr, 0, 0, true);
  EXPECT_EQ(std::make_tuple(a.getMaxFrameSize(), a.getFrameRate(), a.getFrameDuration()),
            std::make_tuple(2048, 22, 46));
  std::unique_ptr<JMixer> mixer = JMixer::open(1);
  EXPECT_TRUE(mixer->isSelected(JMixer::kMicrophone));
  EXPECT_EQ(mixer->lineVolume(JMixer::kMicrophone), 25);  // the description's volume
  struct Case {
    const char* request;
    int32_t connector;
    int line, lineVolume;
  } const cases[] = {
      {"InputVolume=130", MikeDesc::kWaveInMicIn, JMixer::kMicrophone, 100},
      {"InputConnector=\"WAVEIN_LINEIN\"", MikeDesc::kWaveInLineIn, JMixer::kLineIn, 50},
      {"InputConnector=\"PCI2_MICIN\", InputVolume=33", MikeDesc::kWaveInLineIn, JMixer::kLineIn,
       33},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    EXPECT_EQ(a.setParams(paramsOf(c.request)), 0);
    EXPECT_TRUE(mixer->isSelected(c.line));
    EXPECT_EQ(mixer->lineVolume(c.line), c.lineVolume);
    JParams p;
    a.getParams(p);
    std::string connector;
    p.get("InputConnector", connector, true);
    EXPECT_EQ(connector, MikeDesc::connectorText(c.connector));
  }
  EXPECT_EQ(state(), firstBefore);
  a.disconnect();
}

// A sucker asleep on an idle stream, on no stream at all, or in its
// channel's pause after a failed send stops at once: the stop wakes the
// readers asleep on the stream, its own among them, and cuts the pause short.
TEST_F(Sources, ASuckerWithoutFramesSendsNothingAndStopsAtOnce) {
  struct Case {
    const char* name;
    bool connected;
    size_t frames;  // the newest frame, published before the sucker came
    int pauseMs;    // of the channel after the frame
  } const cases[] = {{"idle stream", true, 1, 0},
                     {"no stream at all", false, 0, 0},
                     {"a channel pausing after a failed send", true, 1, 30000}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AudioSoft a(softMike(numberedFrames(2, 320), 0));  // the frames go out at open, none after
    if (c.connected) {
      a.connect(nullptr, 0, 0, true);
    }
    Channel channel;
    channel.pauseMs = c.pauseMs;
    std::unique_ptr<IMediaSucker> sucker = a.createSucker(&channel, SuckerParams{});
    sucker->startSucker();
    EXPECT_TRUE(eventually([&] { return channel.count() == c.frames; }));
    JStream* stream = a.getStream();
    const uint32_t seen = stream != nullptr ? stream->publications() : 0;
    sucker->stopSucker();
    if (stream != nullptr) {
      EXPECT_NE(stream->publications(), seen);
    }
    EXPECT_FALSE(channel.pauseRanOut);
    EXPECT_EQ(channel.count(), c.frames);
    sucker.reset();
    a.disconnect();
  }
}

// More suckers than the stream has reader slots: those beyond go through
// relays, every one of them gets every frame in order with its header, and
// the relays go with the last sucker that needed them.
TEST_F(Sources, MoreSuckersThanReaderSlotsAllGetEveryFrame) {
  AudioSoft a(softMike(numberedFrames(3, 320), 10));
  a.connect(nullptr, 0, 0, true);
  constexpr size_t kSuckers = 75;
  std::vector<std::unique_ptr<Channel>> channels;
  std::vector<std::unique_ptr<IMediaSucker>> suckers;
  for (size_t i = 0; i < kSuckers; ++i) {
    channels.push_back(std::make_unique<Channel>());
    suckers.push_back(a.createSucker(channels.back().get(), SuckerParams{}));
    suckers.back()->startSucker();
  }
  EXPECT_GE(a.relayCount(), 2u);
  EXPECT_LE(a.getStream()->clientCount(), static_cast<size_t>(JS_MAXREADERS));
  std::vector<size_t> had;
  for (const auto& c : channels) {
    had.push_back(c->count());
  }
  for (size_t i = 0; i < kSuckers; ++i) {
    ASSERT_TRUE(eventually([&] { return channels[i]->count() >= had[i] + 5; })) << i;
  }
  for (auto& s : suckers) {
    s->stopSucker();
  }
  const auto expected = numberedFrames(3, 320);
  for (size_t i = 0; i < kSuckers; ++i) {
    SCOPED_TRACE(i);
    const auto frames = channels[i]->frames();
    for (size_t f = 0; f < frames.size(); ++f) {
      const MediaFrameTail& t = frames[f].tail;
      EXPECT_EQ(t.flags, 0u);
      EXPECT_EQ(t.timeStamp >> 63, 0u);
      EXPECT_NE(t.timeStamp, 0u);
      // In order; a reader stalled longer than the stream's queue (a busy
      // machine) loses frames, as on any stream.
      EXPECT_TRUE(f == 0 || t.keyWord > frames[f - 1].tail.keyWord) << f;
      EXPECT_EQ(frames[f].data, expected[t.keyWord % 3]);
      EXPECT_EQ(frames[f].pieces, 2u);
    }
  }
  EXPECT_EQ(a.relayCount(), 0u);
  EXPECT_EQ(a.getStream()->clientCount(), 0u);
  suckers.clear();
  a.disconnect();
}

}  // namespace
}  // namespace zq
