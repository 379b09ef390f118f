// The server controller against a fake provider on 127.0.0.1, over UDP and
// IP multicast on lo: leaves hear the link once each way, frames arrive byte
// for byte and strangers' datagrams are dropped, the provider's refusals and
// bad answers fail the stream, the receiver and its queue follow the
// description, and nothing outlives the controller.
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
#include "helpers/thrown.h"
#include "helpers/waits.h"
#include "media/provider_test_support.h"
#include "media/server_controller.h"
#include "net/udp_socket.h"
#include "stream/media_test_support.h"
#include "stream/net_cam.h"
#include "stream/net_mike2.h"

namespace zq {
namespace {

using test::Answer;
using test::AudioFrame;
using test::eventually;
using test::FakeProvider;
using test::Leaf;
using test::readFrames;

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
  auto provider = std::make_unique<FakeProvider>();
  const uint16_t port = provider->port();
  provider->groupPort = groupPort;
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

  provider = std::make_unique<FakeProvider>(port);
  provider->groupPort = groupPort;
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
// its kind. A failure on link-up is logged as caught and no leaf hears it.
TEST(ServerController, TheProvidersAnswerDecidesTheStream) {
  auto log = std::make_unique<test::LogCapture>(0xFFFFFFFEu, "%c %m");
  struct Case {
    const char* name;
    int32_t proto;
    Answer answer;
    const char* error;    // null: a stream is made
    bool asked;           // the provider was asked for a channel
    const char* setting;  // set to 20 for a stream, the others deleted
    int queue;
    bool video;
  } const cases[] = {
      {"refused", 1, Answer::kRefuse, "FAILED provider refuses the channel", true, nullptr, 0,
       false},
      {"no description", 1, Answer::kNoInfo, "RPCMissingParameter: 'StreamInfo'", true, nullptr, 0,
       false},
      {"neither audio nor video", 1, Answer::kOtherType, "invalid stream info type", true, nullptr,
       0, false},
      {"unknown video format", 1, Answer::kVideoUnknown, "invalid video format", true, nullptr, 0,
       false},
      {"multicast without ip", 4, Answer::kNoIp, "RPCMissingParameter: 'ip'", true, nullptr, 0,
       false},
      {"pvc", 3, Answer::kPcm, "invalid protocol", false, nullptr, 0, false},
      {"svc on this platform", 2, Answer::kPcm,
       "An address incompatible with the requested protocol was used", false, nullptr, 0, false},
      {"pcm", 1, Answer::kPcm, nullptr, true, "AudioQueue", 20, false},
      {"mp3", 1, Answer::kMp3, nullptr, true, "AudioTemporalQueue", 20, false},
      {"own video", 1, Answer::kVideoOwn, nullptr, true, "Queue", 20, true},
      {"other video", 1, Answer::kVideoOther, nullptr, true, "TemporalQueue", 20, true},
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
    auto provider = std::make_unique<FakeProvider>();
    provider->mode = k.answer;
    provider->groupPort = groupPort;
    auto c = makeController(provider->port(), k.proto, true, false);
    JStream* stream = nullptr;
    const std::string error = test::thrownText([&] { stream = c->AddLeaf(1, nullptr, 0, true); });
    EXPECT_EQ(provider->lines().size(), k.asked ? 1u : 0u);
    if (k.error == nullptr) {
      ASSERT_NE(stream, nullptr) << error;
      EXPECT_EQ(dynamic_cast<NetCam*>(stream) != nullptr, k.video);
      EXPECT_EQ(dynamic_cast<NetMike2*>(stream) != nullptr, !k.video);
      char answer[16] = {};
      ASSERT_EQ(stream->control("JStream.queue?", answer, sizeof answer), 0);
      EXPECT_EQ(std::stoi(answer), k.queue);
      continue;
    }
    EXPECT_NE(error.find(k.error), std::string::npos) << error;
    EXPECT_EQ(c->currentStream(), nullptr);
    if (k.answer == Answer::kRefuse) {
      auto later = makeController(provider->port(), k.proto, false, false);
      Leaf leaf;
      later->AddLeaf(1, &leaf, 0, false);
      later->start();
      EXPECT_TRUE(eventually([&] {
        return std::ranges::any_of(log->records(), [&](const test::LogCapture::Record& r) {
          return r.text.starts_with("Exception CATCH ") &&
                 r.text.find(k.error) != std::string::npos;
        });
      }));
      EXPECT_TRUE(leaf.events().empty());
      EXPECT_EQ(later->currentStream(), nullptr);
    }
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

}  // namespace
}  // namespace zq
