// The local access manager: what it refuses to open, its answers on the wire
// (parameters, statistics, announced outputs, the framework's errors), and a
// file list that plays and gives the opening source back. (A remote party
// decoding its live tone over UDP and IP multicast is zqoutput's test.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "aam/aam_channel_manager.h"
#include "audio/mp3_test_support.h"
#include "files/file_test_support.h"
#include "helpers/line_client.h"
#include "helpers/log_capture.h"
#include "helpers/temp_dir.h"
#include "helpers/thrown.h"
#include "helpers/tone_device.h"
#include "helpers/waits.h"
#include "media/provider_test_support.h"
#include "media/shared_mike.h"
#include "net/inet_addr.h"
#include "net/tcp_socket.h"
#include "net/udp_socket.h"
#include "rpc/line_io.h"
#include "stream/media_packet.h"

namespace zq {
namespace {

using test::LineClient;
using test::thrownText;

using test::eventually;

MikeDesc softDesc() {
  return test::softMike({std::vector<uint8_t>(1600, 0)}, 100, 8000, 1, 800);
}

MikeDesc fileList(const std::vector<std::string>& files, bool looping) {
  std::string names;
  for (const std::string& f : files) {
    names += (names.empty() ? "" : ",") + f;
  }
  MikeDesc d = test::fileMike(names);
  d.looping = looping;
  return d;
}

AAMConfig configOf(const MikeDesc& desc, uint16_t groupPort = 6666) {
  AAMConfig c;
  c.provider = test::loopbackTransports(groupPort);
  c.provider.port = 0;
  c.id = "op1";
  c.desc = desc;
  return c;
}

struct Aam : ::testing::Test {
  void TearDown() override { EXPECT_EQ(SharedMike::registeredCount(), 0u); }
  test::ToneRegistry registry;
  std::unique_ptr<test::LogCapture> log = std::make_unique<test::LogCapture>(0xFFFFFFFEu, "%c|%m");
};

// The stand-by media replays one of these while the source is away: each
// listed rate has its frame of silence at the sampling rate that gives its
// length, and any other rate has none (no stand-by).
TEST(AamStandBy, EachListedRateHasAFrameOfSilenceOfItsLengthAndFormat) {
  struct Case {
    uint32_t bitRate;
    size_t length;
    long sampleRate;
    int channels;
  } const cases[] = {{8000, 72, 8000, 1}, {48000, 144, 24000, 2}, {128000, 417, 44100, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bitRate);
    const std::vector<uint8_t>& frame = ZQAAMChannelManager::silentFrame(c.bitRate);
    ASSERT_EQ(frame.size(), c.length);
    // Replayed, it decodes as silence in its format.
    const test::Mp3Decoded pcm = test::decodeMp3(std::vector(20, frame));
    EXPECT_EQ(std::tuple(pcm.errors, pcm.sampleRate, pcm.channels),
              std::tuple(0, c.sampleRate, c.channels));
    ASSERT_GT(pcm.pcm.size(), 0u);
    EXPECT_LE(*std::ranges::max_element(pcm.pcm, {}, [](int16_t v) { return std::abs(v); }), 1);
  }
  for (const uint32_t rate : {0u, 144000u}) {
    EXPECT_TRUE(ZQAAMChannelManager::silentFrame(rate).empty()) << rate;
  }
}

TEST_F(Aam, WhatCannotBeOpenedLeavesNothingRunning) {
  const MikeDesc network = test::networkMike("127.0.0.1", 5000, 1);
  JTCPSocket taken;
  taken.bind(JInetAddr("127.0.0.1", 0));
  taken.listen(1);
  AAMConfig busy = configOf(softDesc());
  busy.provider.port = taken.localAddress().port();
  AAMConfig beyond = configOf(softDesc());
  beyond.provider.port = 65536 + 10001;  // not a port, nor 10001 in disguise
  struct Case {
    const char* name;
    AAMConfig config;
    const char* error;  // "" for any
  } const cases[] = {
      {"a network description", configOf(network), "invalid desc type"},
      {"a port in use", busy, ""},
      {"a number no port has", beyond, "invalid port 75537"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string error =
        thrownText([&] { ZQAAMChannelManager aam(c.config, 0, "ZQAAMChannelManager"); });
    EXPECT_NE(error, "");
    if (*c.error != '\0') {
      EXPECT_EQ(error, c.error);
    }
    EXPECT_EQ(SharedMike::registeredCount(), 0u);
  }
}

TEST_F(Aam, AnswersOnTheWire) {
  auto aam = std::make_unique<ZQAAMChannelManager>(configOf(softDesc()), 0, "ZQAAMChannelManager");
  // Channel requests are refused with "no media" until the source has started.
  ASSERT_TRUE(eventually([&] { return aam->media() != nullptr; }));
  LineClient client(aam->JRPCService::port());
  const std::string params = client.call("getParams()");
  EXPECT_TRUE(params.starts_with("OK ") && params.find("ServerMode=\"NONE\"") != params.npos)
      << params;

  // An output is known by its equipment and output names: announced again it
  // keeps its first port, withdrawn it goes whatever the rest says, and a
  // channel may come as true. The outputs are bounded in number and size; one
  // already there may be announced again, and a withdrawal makes room.
  const auto announce = [&](const std::string& name, int notification = 0,
                            const std::string& rest = "audioOutputChannel=0, audioOutputTcpPort=1",
                            const std::string& address = "a") {
    return client.call("notifyAudioOut(notification=" + std::to_string(notification) +
                       ", equipmentName=\"" + name + "\", equipmentAddress=\"" + address +
                       "\", audioOutputName=\"o\", " + rest + ")");
  };
  EXPECT_EQ(announce("hall", 0, "audioOutputChannel=0, audioOutputTcpPort=5000"), "OK ");
  EXPECT_EQ(announce("hall", 0, "audioOutputChannel=0, audioOutputTcpPort=5001"), "OK ");
  EXPECT_EQ(announce("annex", 0, "audioOutputChannel=true, audioOutputTcpPort=7"), "OK ");
  // A refused channel is never answered OK.
  EXPECT_EQ(client.call("addUDPClient(ip=\"127.0.0.1\", port=4294967297)"),
            "FAILED invalid port 4294967297");
  const std::string stat = client.call("getStat()");
  EXPECT_NE(stat.find("AudioOutputCount=2"), std::string::npos) << stat;
  EXPECT_NE(stat.find("AudioOutputTcpPort[1]=5000"), std::string::npos) << stat;
  announce("hall", 1, "audioOutputChannel=9, audioOutputTcpPort=9", "");
  ASSERT_EQ(aam->audioOutputs().size(), 1u);
  EXPECT_EQ(aam->audioOutputs()[0].equipmentName, "annex");
  EXPECT_EQ(aam->audioOutputs()[0].audioOutputChannel, 1);  // announced as true

  EXPECT_EQ(announce(std::string(ZQAAMChannelManager::kMaxAudioOutputText + 1, 'n')),
            "FAILED audio output not kept: a name or address is longer than 255 bytes");
  for (size_t i = 1; i < ZQAAMChannelManager::kMaxAudioOutputs; ++i) {
    ASSERT_EQ(announce("unit" + std::to_string(i)), "OK ") << i;
  }
  EXPECT_EQ(announce("one more"),
            "FAILED audio output not kept: 1000 outputs are announced already");
  EXPECT_EQ(announce("unit1"), "OK ");
  EXPECT_EQ(announce("unit1", 1), "OK ");
  EXPECT_EQ(announce("one more"), "OK ");
  EXPECT_EQ(aam->audioOutputs().size(), ZQAAMChannelManager::kMaxAudioOutputs);

  // A receiver's channel goes with its connection however that ends; one
  // reset by its peer has no peer left to name, which is no error.
  JUDPSocket receiver;
  receiver.bind(JInetAddr("127.0.0.1", 0));
  for (const bool reset : {false, true}) {
    auto peer = std::make_unique<LineClient>(aam->JRPCService::port());
    const std::string answer = peer->call("addUDPClient(ip=\"127.0.0.1\", port=" +
                                          std::to_string(receiver.localAddress().port()) + ")");
    ASSERT_NE(answer.find("StreamInfo="), std::string::npos) << answer;
    if (reset) {
      peer->reset();
    }
    peer.reset();
    ASSERT_TRUE(eventually([&] { return aam->udpClientCount() == 0; })) << reset;
  }
  EXPECT_FALSE(log->contains("getpeername"));
  aam.reset();
}

// The opening source stopping while a list plays takes the provider to the
// stand-by media, as the list's own stop would: its receivers keep their
// channels until the list's next file gives the provider the list again.
TEST_F(Aam, TheOpeningSourceStoppingWhileAListPlaysHandsTheProviderTheStandBy) {
  test::TempDir dir;
  const std::string opening = (dir.path() / "opening.mp3").string();
  const std::string list = (dir.path() / "list.mp3").string();
  test::writeFile(opening, test::join(test::encodeFrames(128000, 115)));  // 3 s
  test::writeFile(list, test::join(test::encodeFrames(128000, 770)));     // 20 s
  auto aam = std::make_unique<ZQAAMChannelManager>(configOf(fileList({opening}, false)), 0,
                                                   "ZQAAMChannelManager");
  ASSERT_TRUE(eventually([&] { return aam->media() != nullptr; }));
  IProviderMedia* const first = aam->media();
  ASSERT_TRUE(aam->makeCurrent(fileList({list}, true)));
  ASSERT_TRUE(eventually([&] { return aam->media() != first && aam->media() != nullptr; }));
  IProviderMedia* const playing = aam->media();
  ASSERT_TRUE(eventually([&] { return aam->media() != playing; }, 15000));
  EXPECT_NE(aam->media(), nullptr);
  EXPECT_FALSE(aam->openingSourceIsCurrent());
  aam.reset();
}

// A list keeps its receivers from file to file, whatever the files' formats:
// every file reaches a receiver over the one channel it asked for, and after
// the last file the opening source comes back on that channel.
TEST_F(Aam, AFileListKeepsItsReceiversAndGivesTheOpeningSourceBack) {
  test::TempDir dir;
  const std::vector<std::string> files{(dir.path() / "a.mp3").string(),
                                       (dir.path() / "b.mp3").string(),
                                       (dir.path() / "c.wav").string()};
  // Half a second each: MPEG-1 stereo, MPEG-2 mono, PCM.
  const std::vector<std::vector<std::vector<uint8_t>>> mp3{test::encodeFrames(128000, 20),
                                                           test::encodeFrames(24000, 20)};
  test::writeFile(files[0], test::join(mp3[0]));
  test::writeFile(files[1], test::join(mp3[1]));
  test::writeFile(files[2], test::riff({test::chunk("fmt ", test::fmt(1, 1, 8000, 16)),
                                        test::chunk("data", test::samples(8000))}));
  auto aam = std::make_unique<ZQAAMChannelManager>(
      configOf(test::localMike(1, MikeDesc::kWaveInMicIn, 128000)), 0, "ZQAAMChannelManager");
  const MikeDesc list = fileList(files, false);

  ASSERT_TRUE(eventually([&] { return aam->media() != nullptr; }));
  JUDPSocket receiver;
  receiver.bind(JInetAddr("127.0.0.1", 0));
  receiver.setReadTimeout(5000);
  LineClient client(aam->JRPCService::port());
  EXPECT_NE(client.call("getParams()").find("ServerMode=\"LIVE\""), std::string::npos);
  ASSERT_NE(client
                .call("addUDPClient(ip=\"127.0.0.1\", port=" +
                      std::to_string(receiver.localAddress().port()) + ")")
                .find("StreamInfo="),
            std::string::npos);
  ASSERT_TRUE(aam->makeCurrent(list));
  const std::string params = client.call("getParams()");
  EXPECT_NE(params.find("ServerMode=\"STREAMING\""), std::string::npos) << params;

  // The first datagram of each frame until the opening source has sent for
  // a while again, nothing came for 5 s, or a minute passed: the file each
  // frame is of (the PCM file's frames are neither MP3 nor silence) and the
  // frame numbers.
  std::vector<size_t> perFile(3, 0);
  uint32_t last = 0;
  const auto end = test::Clock::now() + std::chrono::minutes(1);
  for (int back = 0; back < 40 && test::Clock::now() < end;) {
    uint8_t b[2048];
    size_t n = 0;
    try {
      n = receiver.read(b, sizeof b);
    } catch (const JError&) {
      break;
    }
    const MediaPacketHeader h = MediaPacketHeader::read(b);
    if (h.fragmentSequence != 0 || n <= 28) {
      continue;
    }
    EXPECT_TRUE(last == 0 || h.frameSequence > last) << "one channel throughout";
    last = h.frameSequence;
    const std::vector<uint8_t> frame(b + 28, b + n);
    for (size_t f = 0; f < 2; ++f) {
      perFile[f] += std::ranges::find(mp3[f], frame) != mp3[f].end() ? 1 : 0;
    }
    perFile[2] += frame[0] != 0xFF && std::ranges::count(frame, 0) * 2 < std::ssize(frame) ? 1 : 0;
    back = aam->openingSourceIsCurrent() ? back + 1 : 0;
  }
  for (size_t f = 0; f < perFile.size(); ++f) {
    EXPECT_GT(perFile[f], 0u) << files[f];
  }
  EXPECT_TRUE(aam->openingSourceIsCurrent());
  EXPECT_NE(client.call("getParams()").find("ServerMode=\"LIVE\""), std::string::npos);
  EXPECT_EQ(aam->udpClientCount(), 1u);
  aam.reset();
}

}  // namespace
}  // namespace zq
