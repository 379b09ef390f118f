// The local access manager: what it refuses to open, its answers on the wire
// (parameters, statistics, announced outputs, the framework's errors), a
// remote party receiving its live tone over UDP and IP multicast and
// decoding it, and a file list that plays and gives the opening source back.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "aam/aam_channel_manager.h"
#include "audio/mp3_test_support.h"
#include "base/registry_key.h"
#include "files/file_test_support.h"
#include "helpers/log_capture.h"
#include "helpers/temp_dir.h"
#include "helpers/thrown.h"
#include "helpers/waits.h"
#include "media/provider_test_support.h"
#include "media/server_controller.h"
#include "media/shared_mike.h"
#include "net/inet_addr.h"
#include "net/ip_multicast_socket.h"
#include "net/tcp_socket.h"
#include "net/udp_socket.h"
#include "rpc/line_io.h"
#include "stream/stream_client.h"
#include "stream/stream_frame_header.h"

namespace zq {
namespace {

using test::freeUdpPort;
using test::multicastOnLo;
using test::LineClient;
using test::thrownText;

using test::eventually;






MikeDesc liveDesc(uint32_t bitRate) {
  MikeDesc d;
  d.type = MikeDesc::kLocal;
  d.channel = 1;
  d.inputConnector = MikeDesc::kWaveInMicIn;
  d.setTargetBitRate(static_cast<int32_t>(bitRate));
  return d;
}

MikeDesc softDesc() {
  MikeDesc d;
  d.type = MikeDesc::kSoft;
  d.setStreamInfo(StreamInfo::makePcmStreamInfo(8000, 16, 1, 800));
  d.frames.assign(1, std::vector<uint8_t>(1600, 0));
  d.period = 100;
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
  void SetUp() override {
    JSystemRegistryKey key(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta\\WaveIn\\Device1");
    key.setString("Type", "tone");
    key.setDword("Frequency", 1000);
    log = std::make_unique<test::LogCapture>();
  }
  void TearDown() override { EXPECT_EQ(SharedMike::registeredCount(), 0u); }
  test::ScopedRegistryDir registry;
  std::unique_ptr<test::LogCapture> log;
};

TEST_F(Aam, WhatCannotBeOpenedLeavesNothingRunning) {
  MikeDesc network;
  network.type = MikeDesc::kNetwork;
  MikeDesc board = liveDesc(128000);
  board.inputConnector = MikeDesc::kPci2LineIn;
  board.channel = 5;
  JTCPSocket taken;
  taken.bind(JInetAddr("127.0.0.1", 0));
  taken.listen(1);
  AAMConfig busy = configOf(softDesc());
  busy.provider.port = taken.localAddress().port();
  struct Case {
    const char* name;
    AAMConfig config;
    const char* error;  // "" for any
  } const cases[] = {
      {"a network description", configOf(network), "invalid desc type"},
      {"no description", configOf(MikeDesc()), "invalid desc type"},
      {"a board that is not there", configOf(board), "no pci2 was found"},
      {"a port in use", busy, ""},
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
  LineClient client(aam->JRPCService::port());
  const std::string params = client.call("getParams()");
  EXPECT_TRUE(params.starts_with("OK ")) << params;
  for (const char* key : {"Type=\"Audio\"", "Id=\"op1\"", "ServerMode=\"NONE\"", "UdpEnable=true",
                          "IpmEnable=true", "AtmEnable=false", "Compression=\"PCM\""}) {
    EXPECT_NE(params.find(key), std::string::npos) << key << " in " << params;
  }
  EXPECT_EQ(params.find("AudioClass"), std::string::npos);
  EXPECT_NE(client.call("getRawParams()").find("StreamInfo="), std::string::npos);

  struct Case {
    const char* request;
    const char* answer;  // the start of the answer
  } const cases[] = {
      {"notifyAudioOut(notification=0, equipmentName=\"hall\", equipmentAddress=\"unit7\", "
       "audioOutputName=\"out1\", audioOutputChannel=0, audioOutputTcpPort=5000)",
       "OK "},
      // The same output again, another port: kept as first announced.
      {"notifyAudioOut(notification=0, equipmentName=\"hall\", equipmentAddress=\"unit7\", "
       "audioOutputName=\"out1\", audioOutputChannel=0, audioOutputTcpPort=5001)",
       "OK "},
      {"notifyAudioOut(notification=0, equipmentName=\"annex\", equipmentAddress=\"u2\", "
       "audioOutputName=\"z\", audioOutputChannel=true, audioOutputTcpPort=7)",
       "OK "},
      {"notifyAudioOut(notification=0, equipmentName=\"hall\")", "OK "},
      {"getParamz()", "FAILED ProtocolError: unknown function 'getParamz'"},
      {"getParams", "FAILED ProtocolError: function name syntax error 'getParams'"},
      {"setParams(InputVolume=\"loud\")", "OK "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    EXPECT_TRUE(client.call(c.request).starts_with(c.answer));
  }
  EXPECT_TRUE(log->contains("Missing parameter in ZQAAMChannelManager::notifyAudioOut"));
  const std::string stat = client.call("getStat()");
  EXPECT_NE(stat.find("AudioOutputCount=2"), std::string::npos) << stat;
  EXPECT_NE(stat.find("AudioOutputEquipmentName[0]=\"annex\""), std::string::npos) << stat;
  EXPECT_NE(stat.find("AudioOutputChannel[0]=1"), std::string::npos) << stat;
  EXPECT_NE(stat.find("AudioOutputTcpPort[1]=5000"), std::string::npos) << stat;
  client.call(
      "notifyAudioOut(notification=1, equipmentName=\"hall\", equipmentAddress=\"\", "
      "audioOutputName=\"out1\", audioOutputChannel=9, audioOutputTcpPort=9)");
  ASSERT_EQ(aam->audioOutputs().size(), 1u);
  EXPECT_EQ(aam->audioOutputs()[0].equipmentName, "annex");

  // A one-way request has no answer: the next answer is the next request's.
  LineClient oneWay(aam->JRPCService::port());
  EXPECT_TRUE(oneWay.call("addSVCClient(atm_addr=\"47\")\r\ngetStat()").starts_with("OK "));
  // A megabyte without a line end costs its sender the connection only.
  LineClient flood(aam->JRPCService::port());
  EXPECT_EQ(flood.call(std::string(1 << 20, 'x') + "y"), "(closed)");
  EXPECT_TRUE(client.call("getStat()").starts_with("OK "));
  aam.reset();
}

// Reads `count` frames of `stream` as they arrive.
std::vector<std::vector<uint8_t>> framesOf(JStream* stream, size_t count) {
  std::vector<std::vector<uint8_t>> frames;
  StreamClient reader;
  reader.setTimeout(10000);
  reader.listen(stream);
  std::atomic<bool> stop{false};
  while (frames.size() < count) {
    const StreamFrameHeader* h = frameHeaderOf(reader.readNext(&stop));
    frames.emplace_back(h->payload(), h->payload() + h->size);
  }
  reader.unlock();
  reader.listen(nullptr);
  return frames;
}


TEST_F(Aam, ARemotePartyDecodesTheLiveToneOverUdpAndMulticast) {
  const uint16_t groupPort = freeUdpPort();
  auto aam = std::make_unique<ZQAAMChannelManager>(configOf(liveDesc(128000), groupPort), 0,
                                                   "ZQAAMChannelManager");
  std::vector<int32_t> protos{ServerController::kUdp};
  if (multicastOnLo(groupPort)) {
    protos.push_back(ServerController::kIpm);
  }
  for (int32_t proto : protos) {
    SCOPED_TRACE(ServerController::protoName(proto));
    auto remote = std::make_unique<ServerController>("127.0.0.1", aam->JRPCService::port(), proto,
                                                     5000, true, false, false, false, true, 4000,
                                                     nullptr, "ServerController[remote]");
    test::Leaf leaf;
    remote->AddLeaf(1, &leaf, 1, false);
    remote->start();
    ASSERT_TRUE(eventually([&] { return leaf.lastStream() != nullptr; }));
    const test::Mp3Decoded pcm = test::decodeMp3(framesOf(leaf.lastStream(), 60));
    EXPECT_EQ(pcm.errors, 0);
    EXPECT_EQ(pcm.sampleRate, 44100);
    ASSERT_GT(pcm.samplesPerChannel(), 44100u);
    EXPECT_NEAR(test::toneFrequency(pcm.pcm, pcm.channels, 0, pcm.sampleRate), 1000.0, 10.0);
    remote.reset();
  }
  if (protos.size() == 1) {
    GTEST_SKIP() << "no IP multicast on lo here: UDP was checked alone";
  }
}

TEST_F(Aam, AFileListPlaysThroughAndGivesTheOpeningSourceBack) {
  test::TempDir dir;
  std::vector<std::string> files;
  for (const char* name : {"a.mp3", "b.mp3"}) {
    files.push_back((dir.path() / name).string());
    test::writeFile(files.back(), test::join(test::encodeFrames(128000, 20)));  // 0.5 s each
  }
  auto aam = std::make_unique<ZQAAMChannelManager>(configOf(liveDesc(128000)), 0,
                                                   "ZQAAMChannelManager");
  MikeDesc list;
  list.type = MikeDesc::kFile;
  list.fileName = files[0] + "," + files[1];
  list.looping = false;
  MikeDesc missing = list;
  missing.fileName = (dir.path() / "none.mp3").string();
  EXPECT_FALSE(aam->makeCurrent(missing));
  EXPECT_TRUE(aam->openingSourceIsCurrent());

  auto remote = std::make_unique<ServerController>("127.0.0.1", aam->JRPCService::port(),
                                                   ServerController::kUdp, 5000, true, false,
                                                   false, false, true, 4000, nullptr,
                                                   "ServerController[remote]");
  test::Leaf leaf;
  remote->AddLeaf(1, &leaf, 1, false);
  remote->start();
  ASSERT_TRUE(eventually([&] { return leaf.lastStream() != nullptr; }));
  ASSERT_TRUE(aam->makeCurrent(list));
  EXPECT_FALSE(aam->openingSourceIsCurrent());
  LineClient client(aam->JRPCService::port());
  ASSERT_TRUE(eventually([&] {
    return client.call("getStat()").find("CurrentFile=\"" + files[1] + "\"") != std::string::npos;
  }));
  ASSERT_TRUE(eventually([&] { return aam->openingSourceIsCurrent(); }));
  EXPECT_NE(client.call("getParams()").find("ServerMode=\"LIVE\""), std::string::npos);
  // The receiver hears the tone of the opening source again.
  const test::Mp3Decoded pcm = test::decodeMp3(framesOf(leaf.lastStream(), 60));
  EXPECT_NEAR(test::toneFrequency(pcm.pcm, pcm.channels, 0, pcm.sampleRate), 1000.0, 10.0);
  remote.reset();
  aam.reset();
}

}  // namespace
}  // namespace zq
