// The server controller against a fake provider: a real RPC service on
// 127.0.0.1 that answers the data-channel requests with a stream description
// and then sends numbered audio frames to the address the request named.
// Leaves hear the link, frames arrive byte for byte over UDP and IP
// multicast on lo, the provider's refusals and bad answers fail the stream,
// the link's loss and return reach each leaf once, and nothing outlives the
// controller.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/registry_key.h"
#include "helpers/log_capture.h"
#include "helpers/waits.h"
#include "media/provider_test_support.h"
#include "media/server_controller.h"
#include "net/ip_multicast_socket.h"
#include "net/udp_socket.h"
#include "rpc/rpc_service.h"
#include "stream/media_test_support.h"
#include "stream/net_cam.h"
#include "stream/net_mike2.h"

namespace zq {
namespace {

using test::Answer;
using test::AudioFrame;
using test::eventually;
using test::FakeProvider;
using test::frameSize;
using test::freeUdpPort;
using test::kGroup;
using test::Leaf;
using test::multicastOnLo;
using test::readFrames;

const char* const kControllerName = "ServerController[test]";

// Checks a frame against what the provider sent under its number.
void expectSent(const StreamFrameHeader& h) {
  const AudioFrame f = AudioFrame::make(h.keyWord - 0xA0000, frameSize(h.keyWord - 0xA0000));
  ASSERT_EQ(h.keyWord, f.tail.keyWord);
  ASSERT_EQ(h.size, f.data.size());
  EXPECT_EQ(std::memcmp(h.payload(), f.data.data(), f.data.size()), 0) << "frame " << h.keyWord;
}

std::unique_ptr<ServerController> makeController(uint16_t port, int32_t proto, bool connectNow,
                                                 bool startThread) {
  return std::make_unique<ServerController>("127.0.0.1", port, proto, 5000, true, connectNow,
                                            startThread, false, true, 4000, nullptr,
                                            kControllerName);
}

TEST(ServerController, AtmSelectorsCycleFrom11To254) {
  int s = 0;
  for (int i = 0; i < 300 && s != 254; ++i) {
    s = ServerController::nextAtmSelector();
    ASSERT_GE(s, 11);
  }
  ASSERT_EQ(s, 254);
  EXPECT_EQ(ServerController::nextAtmSelector(), 11);
  EXPECT_EQ(ServerController::nextAtmSelector(), 12);
}

// Leaves added before the link comes up hear nothing until it does; then
// each leaf with a notifier hears linkUp once, with its context, and the
// frames arrive byte for byte, also when another host (127.0.0.2) sends to
// the receiver's port or group: its datagrams are counted and dropped. Over
// UDP the provider's host is known before its first packet; a multicast
// group's sender is whoever sent the first valid packet, so the other host
// sends after the provider there.
class Transports : public ::testing::TestWithParam<int32_t> {};

TEST_P(Transports, LeavesHearLinkUpAndTheFramesArriveByteForByte) {
  auto log = std::make_unique<test::LogCapture>();
  auto provider = std::make_unique<FakeProvider>();
  provider->groupPort = freeUdpPort();
  if (GetParam() == ServerController::kIpm && !multicastOnLo(provider->groupPort)) {
    GTEST_SKIP() << "no IP multicast on lo here (run the suite in its network namespace)";
  }
  provider->holdFrames = true;
  auto c = makeController(provider->port(), GetParam(), false, false);
  Leaf a, b, replaced;
  EXPECT_EQ(c->AddLeaf(1, &replaced, 0x99, false), nullptr);
  EXPECT_EQ(c->AddLeaf(2, &b, 0x20, false), nullptr);
  EXPECT_EQ(c->AddLeaf(3, nullptr, 0x30, false), nullptr);
  int count = 0;
  c->AddLeaf(1, &a, 0x10, false, &count);
  EXPECT_EQ(count, 3);
  EXPECT_EQ(a.upCount() + b.upCount() + a.downCount() + b.downCount(), 0u);
  c->start();
  ASSERT_TRUE(eventually([&] { return a.upCount() == 1 && b.upCount() == 1; }));
  EXPECT_EQ(replaced.upCount(), 0u);
  EXPECT_EQ(a.ups[0], b.ups[0]);
  EXPECT_EQ(a.contexts, std::vector<uint32_t>{0x10});
  EXPECT_EQ(b.contexts, std::vector<uint32_t>{0x20});
  EXPECT_EQ(c->linkState(), ServerController::kLinkUp);
  EXPECT_EQ(c->multicast(), GetParam() == ServerController::kIpm);
  const std::string request = provider->lines().at(0);
  const bool udp = GetParam() == ServerController::kUdp;
  JInetAddr to(kGroup.address(), provider->groupPort);
  if (udp) {
    ASSERT_TRUE(request.starts_with("addUDPClient(ip=\"127.0.0.1\", port=")) << request;
    to = JInetAddr("127.0.0.1",
                   static_cast<uint16_t>(std::stoi(request.substr(request.find("port=") + 5))));
  } else {
    EXPECT_EQ(request, "addIPMClient(nop=0)");
  }
  JUDPSocket other;
  other.bind(JInetAddr("127.0.0.2", 0));
  const auto intrude = [&] {
    for (const uint32_t n : {0x7FFFFFFFu, 0u}) {
      const auto packet = AudioFrame::make(n, 50).packets(n, 1400).at(0);
      other.sendto(packet.data(), packet.size(), to);
    }
    other.sendto("", 0, to);
  };
  if (udp) {
    intrude();
  }
  provider->holdFrames = false;
  readFrames(a.ups[0], 12, expectSent);
  if (!udp) {
    intrude();
  }
  const auto* mike = dynamic_cast<const NetMike2*>(a.ups[0]);
  ASSERT_NE(mike, nullptr);
  EXPECT_TRUE(eventually([&] { return mike->foreignPackets() == 3; }));
  readFrames(a.ups[0], 3, expectSent);
  EXPECT_EQ(mike->resyncs(), 0u);
  EXPECT_LT(mike->lostFrames(), 1000u);
  EXPECT_EQ(c->removeLeaf(1), 2);
  EXPECT_NE(c->currentStream(), nullptr);
  c->removeLeaf(2);
  EXPECT_EQ(c->removeLeaf(3), 0);
  EXPECT_EQ(c->currentStream(), nullptr);
  EXPECT_EQ(c->linkState(), ServerController::kNeverLinked);
}

INSTANTIATE_TEST_SUITE_P(ServerController, Transports,
                         ::testing::Values(ServerController::kUdp, ServerController::kIpm),
                         [](const auto& p) { return ServerController::protoName(p.param, true); });

// Each fault makes the stream fail: AddLeaf with create-now throws it to the
// caller; on link-up it is logged as caught and no leaf hears linkUp.
TEST(ServerController, TheProvidersRefusalsAndBadAnswersFailTheStream) {
  auto log = std::make_unique<test::LogCapture>(0xFFFFFFFEu, "%c %m");
  struct Case {
    const char* name;
    int32_t proto;
    Answer answer;
    const char* error;
    bool asked;  // the provider was asked for a channel
  } const cases[] = {
      {"refused", 1, Answer::kRefuse, "FAILED provider refuses the channel", true},
      {"no description", 1, Answer::kNoInfo, "RPCMissingParameter: 'StreamInfo'", true},
      {"neither audio nor video", 1, Answer::kOtherType, "invalid stream info type", true},
      {"unknown video format", 1, Answer::kVideoUnknown, "invalid video format", true},
      {"multicast without ip", 4, Answer::kNoIp, "RPCMissingParameter: 'ip'", true},
      {"pvc", 3, Answer::kPcm, "invalid protocol", false},
      {"svc on this platform", 2, Answer::kPcm,
       "An address incompatible with the requested protocol was used", false},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    auto provider = std::make_unique<FakeProvider>();
    provider->mode = k.answer;
    provider->groupPort = freeUdpPort();
    auto now = makeController(provider->port(), k.proto, true, false);
    Leaf leaf;
    try {
      now->AddLeaf(1, &leaf, 0, true);
      ADD_FAILURE() << "nothing thrown";
    } catch (const JError& e) {
      EXPECT_NE(e.message().find(k.error), std::string::npos) << e.message();
    }
    EXPECT_EQ(now->currentStream(), nullptr);
    EXPECT_EQ(provider->lines().size(), k.asked ? 1u : 0u);

    log->clear();
    auto later = makeController(provider->port(), k.proto, false, false);
    later->AddLeaf(1, &leaf, 0, false);
    later->start();
    EXPECT_TRUE(eventually([&] {
      return std::ranges::any_of(log->records(), [&](const test::LogCapture::Record& r) {
        return r.text.starts_with("Exception CATCH ") && r.text.find(k.error) != std::string::npos;
      });
    }));
    EXPECT_EQ(leaf.upCount() + leaf.downCount(), 0u);
    EXPECT_EQ(later->currentStream(), nullptr);
  }
}

// The receiver follows the description; its queue size comes from the
// registry or its default.
TEST(ServerController, TheReceiverAndItsQueueFollowTheDescriptionAndTheRegistry) {
  auto log = std::make_unique<test::LogCapture>();  // and the registry of this test
  struct Case {
    const char* name;
    Answer answer;
    const char* value;  // set to 20 first, or null
    int queue;
    bool video;
  } const cases[] = {
      {"pcm, AudioQueue", Answer::kPcm, "AudioQueue", 20, false},
      {"pcm ignores AudioTemporalQueue", Answer::kPcm, "AudioTemporalQueue", 6, false},
      {"mp3, AudioTemporalQueue", Answer::kMp3, "AudioTemporalQueue", 20, false},
      {"mp3 ignores AudioQueue", Answer::kMp3, "AudioQueue", 10, false},
      {"own video, Queue", Answer::kVideoOwn, "Queue", 20, true},
      {"other video, TemporalQueue", Answer::kVideoOther, "TemporalQueue", 20, true},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    JSystemRegistryKey key(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta");
    for (const char* n : {"AudioQueue", "AudioTemporalQueue", "Queue", "TemporalQueue"}) {
      key.deleteValue(n);
    }
    if (k.value != nullptr) {
      key.setDword(k.value, 20);
    }
    auto provider = std::make_unique<FakeProvider>();
    provider->mode = k.answer;
    auto c = makeController(provider->port(), ServerController::kUdp, true, false);
    JStream* stream = c->AddLeaf(1, nullptr, 0, true);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(dynamic_cast<NetCam*>(stream) != nullptr, k.video);
    EXPECT_EQ(dynamic_cast<NetMike2*>(stream) != nullptr, !k.video);
    char answer[16] = {};
    ASSERT_EQ(stream->control("JStream.queue?", answer, sizeof answer), 0);
    EXPECT_EQ(std::stoi(answer), k.queue);
  }
}

// The provider goes: every leaf hears linkDown exactly once, one answering
// false is dropped, a leaf added meanwhile hears linkDown at once. The
// provider comes back on its port: the remaining leaves hear linkUp with a
// new stream whose frames arrive, and nobody hears a second linkDown.
TEST(ServerController, TheProviderGoingAndComingBackIsToldOnceEachWay) {
  auto log = std::make_unique<test::LogCapture>();
  auto provider = std::make_unique<FakeProvider>();
  const uint16_t port = provider->port();
  auto c = makeController(port, ServerController::kUdp, false, false);
  Leaf keeps, drops(false), late;
  c->AddLeaf(1, &keeps, 1, false);
  c->AddLeaf(2, &drops, 2, false);
  c->start();
  ASSERT_TRUE(eventually([&] { return keeps.upCount() == 1 && drops.upCount() == 1; }));
  readFrames(keeps.lastStream(), 3, expectSent);

  provider.reset();
  ASSERT_TRUE(eventually([&] { return keeps.downCount() == 1 && drops.downCount() == 1; }));
  EXPECT_EQ(keeps.downs, std::vector<std::string>{"Connection Lost"});
  EXPECT_EQ(c->leafCount(), 1u);
  EXPECT_EQ(c->currentStream(), nullptr);
  EXPECT_EQ(c->linkState(), ServerController::kLinkDown);
  c->AddLeaf(3, &late, 3, false);
  EXPECT_EQ(late.downs, std::vector<std::string>{"(none)"});

  provider = std::make_unique<FakeProvider>(port);
  ASSERT_TRUE(eventually([&] { return keeps.upCount() == 2 && late.upCount() == 1; }));
  EXPECT_EQ(keeps.lastStream(), late.lastStream());
  readFrames(keeps.lastStream(), 3, expectSent);
  EXPECT_EQ(provider->lines().size(), 1u);  // a new channel of the new provider
  EXPECT_EQ(keeps.downCount(), 1u);
  EXPECT_EQ(drops.upCount(), 1u);
  EXPECT_EQ(c->linkState(), ServerController::kLinkUp);
  // Destroyed while receiving from a provider that goes on sending: its
  // threads go and nobody hears linkDown.
  provider->dropsChannels = false;
  EXPECT_EQ(test::controllerThreads(), 2u);
  c.reset();
  EXPECT_EQ(keeps.downCount(), 1u);
  EXPECT_TRUE(eventually([] { return test::controllerThreads() == 0; }));
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
  EXPECT_EQ(c->linkState(), ServerController::kNeverLinked);
}

}  // namespace
}  // namespace zq
