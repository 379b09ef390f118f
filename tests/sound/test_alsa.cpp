// The ALSA paths on a real, paced device without a sound card: a private
// sound server's null sink (helpers/sound_server.h). zqoutput plays a file
// into it and the local AAM captures the sink's monitor as a wave-input
// device; the server dies and comes back under a zqoutput playing a local
// AAM's stream, and the sink's monitor holds its tone.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "aam/aam_channel_manager.h"
#include "base/registry_key.h"
#include "files/file_test_support.h"
#include "helpers/child_process.h"
#include "helpers/line_client.h"
#include "helpers/sound_server.h"
#include "helpers/temp_dir.h"
#include "helpers/waits.h"
#include "media/provider_test_support.h"
#include "zqoutput/output_service.h"
#include "zqoutput/sink.h"

namespace zq {
namespace {

using test::eventually;
using test::LineClient;

constexpr double kFrameSeconds = 1152.0 / 44100;

// A number after `key=` in an answer; -1 when absent.
long long valueOf(const std::string& answer, const std::string& key) {
  const size_t at = answer.find(key + "=");
  return at == std::string::npos ? -1 : std::stoll(answer.substr(at + key.size() + 1));
}

// A local AAM on wave-input device `device`, MP3 at 128 kbit/s.
std::unique_ptr<ZQAAMChannelManager> localAam(int32_t device) {
  AAMConfig c;
  c.provider = test::loopbackTransports(test::freeUdpPort());
  c.provider.port = 0;
  c.desc = test::localMike(device, MikeDesc::kWaveInMicIn, 128000);
  return std::make_unique<ZQAAMChannelManager>(c, 0, "ZQAAMChannelManager");
}

std::string netSource(const ZQAAMChannelManager& aam) {
  return "setNetSource(proto=\"udp\", host=\"127.0.0.1\", port=" +
         std::to_string(aam.JRPCService::port()) + ")";
}

struct SoundServerTest : ::testing::Test {
  void SetUp() override {
    if (const std::string missing = test::soundServerMissing(); !missing.empty()) {
      GTEST_SKIP() << missing;
    }
    server = std::make_unique<test::SoundServer>();
    ASSERT_TRUE(server->running());
    // Device 1 the test tone, device 2 what the sink plays.
    JSystemRegistryKey tone(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta\\WaveIn\\Device1");
    tone.setString("Type", "tone");
    JSystemRegistryKey monitor(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta\\WaveIn\\Device2");
    monitor.setString("Type", "alsa");
    monitor.setString("Name", test::SoundServer::kCapture);
    file = (dir.path() / "tone440.mp3").string();
    test::writeFile(file, test::join(test::encodeFrames(128000, 80)));  // 2.09 s, 440 Hz left
  }

  test::ScopedRegistryDir registry;
  test::TempDir dir;
  std::unique_ptr<test::SoundServer> server;
  std::string file;
};

// The server dies under a playing zqoutput (a program here, as installed)
// and comes back: each lost period is counted at the pace of the system
// clock, with no busy loop, the device is opened again and plays, and
// SIGTERM stops the program while the device is away.
TEST_F(SoundServerTest, ADeviceThatGoesAwayIsCountedAtTheClockAndPlaysAgainWhenBack) {
  test::Child zqoutput({ZQ_ZQOUTPUT, "--port", "0", "--listen", "127.0.0.1", "--allow", "127.0.0.1",
                        "--output", std::string("alsa:") + test::SoundServer::kPlayback});
  const std::optional<std::string> listening = zqoutput.line();
  ASSERT_TRUE(listening && listening->starts_with("listening 127.0.0.1:")) << *listening;
  LineClient client(static_cast<uint16_t>(std::stoi(listening->substr(20))));
  const auto stat = [&](const char* key) { return valueOf(client.call("getStat()"), key); };
  std::unique_ptr<ZQAAMChannelManager> aam = localAam(1);
  EXPECT_EQ(client.call(netSource(*aam)), "OK ");
  ASSERT_TRUE(eventually([&] { return stat("FramesDecoded") > 10; }));
  server->kill();
  ASSERT_TRUE(eventually([&] { return stat("OutputErrors") > 20; }));
  const auto from = test::Clock::now();
  const long long errors = stat("OutputErrors");
  ASSERT_TRUE(eventually([&] { return stat("OutputErrors") >= errors + 50; }));
  // Never more than one a period (a device's is 5 ms) of the system clock,
  // the time read after the count.
  const long long counted = stat("OutputErrors") - errors;
  EXPECT_LE(counted, test::msSince(from) / 5 + 2);
  ASSERT_TRUE(server->start());
  test::Recorder recorder(*server);
  ASSERT_TRUE(recorder.ready());
  ASSERT_TRUE(eventually([&] {
    const long long before = stat("OutputErrors");
    return recorder.waitFor(0.5) && stat("OutputErrors") == before;
  }));
  const test::Heard heard = test::listen(recorder.stop());
  EXPECT_NEAR(heard.frequency, 1000, 1.0);
  EXPECT_GT(heard.seconds, 0.3);
  server->kill();
  ASSERT_TRUE(eventually([&] { return stat("OutputErrors") > errors + 60; }));
  EXPECT_EQ(zqoutput.stop(SIGTERM), 0);
}

// ALSA's null device takes every period at once: the output still plays
// no faster than the system clock (no server needed).
TEST(AlsaSink, ADeviceThatDoesNotPaceIsKeptToTheClock) {
  std::unique_ptr<zqoutput::AudioSink> sink = zqoutput::makeSink("alsa:null");
  sink->format(44100, 2);
  const std::vector<int16_t> period(441 * 2, 1000);
  const auto from = test::Clock::now();
  for (int i = 0; i < 50; ++i) {
    sink->write(period.data(), 441);
  }
  // Half a second of sound, less the device's buffer and the lead it may take.
  EXPECT_GE(test::msSince(from), 500 - 40 - 60 - 20);
}

// The local AAM captures the sink's monitor (an ALSA capture PCM) while a
// zqoutput plays the file into the sink; a second zqoutput fetches the
// AAM's stream into a WAVE file, which holds the tone.
TEST_F(SoundServerTest, TheLocalAamCapturesWhatTheDevicePlays) {
  std::unique_ptr<zqoutput::AudioSink> speaker =
      zqoutput::makeSink(std::string("alsa:") + test::SoundServer::kPlayback);
  zqoutput::OutputService::Access media;  // the test's folder, where the file is
  media.mediaDir = dir.path().string();
  zqoutput::OutputService player(0, "speaker", *speaker, zqoutput::Player::kDefaultBufferMs, media);
  LineClient playerClient(player.port());
  const std::string path = (dir.path() / "heard.wav").string();
  std::unique_ptr<zqoutput::AudioSink> wave = zqoutput::makeSink("wav:" + path);
  zqoutput::OutputService listener(0, "listener", *wave);
  LineClient listenerClient(listener.port());
  std::unique_ptr<ZQAAMChannelManager> aam = localAam(2);
  EXPECT_EQ(listenerClient.call(netSource(*aam)), "OK ");
  // Frames flow once the idle sink's long block is over.
  ASSERT_TRUE(
      eventually([&] { return valueOf(listenerClient.call("getStat()"), "FramesDecoded") > 10; }));
  const std::string before = playerClient.call("getStat()");
  EXPECT_EQ(playerClient.call("setFileSource(fileSource=\"" + file + "\")"), "OK ");
  // Until the file's 80 frames went through the player, received or lost; a
  // reader starved of CPU may also miss some without knowing, so frames that
  // stop coming for half a second after half of them came end the wait too.
  long long last = -1;
  auto since = test::Clock::now();
  ASSERT_TRUE(eventually([&] {
    const std::string s = playerClient.call("getStat()");
    const long long received = valueOf(s, "FramesReceived") - valueOf(before, "FramesReceived");
    if (received != last) {
      last = received;
      since = test::Clock::now();
    }
    return received + valueOf(s, "FramesLost") - valueOf(before, "FramesLost") >= 80 ||
           (received >= 40 && test::msSince(since) > 500);
  })) << playerClient.call("getStat()");
  const long long decoded = valueOf(listenerClient.call("getStat()"), "FramesDecoded");
  ASSERT_TRUE(eventually(  // 0.5 s more: the tone's end through capture and network
      [&] { return valueOf(listenerClient.call("getStat()"), "FramesDecoded") > decoded + 20; }));
  EXPECT_EQ(listenerClient.call("resetSource()"), "OK ");
  std::vector<int16_t> samples((std::filesystem::file_size(path) - 44) / 2);
  std::ifstream(path, std::ios::binary)
      .seekg(44)
      .read(reinterpret_cast<char*>(samples.data()), std::streamsize(samples.size() * 2));
  const test::Heard heard = test::listen(samples);
  EXPECT_NEAR(heard.frequency, 440.0, 1.0);
  EXPECT_GT(heard.seconds, 80 * kFrameSeconds / 2) << "glitches " << heard.glitches;
  EXPECT_LT(heard.sounding, 80 * kFrameSeconds + 0.15);
  aam.reset();
}

}  // namespace
}  // namespace zq
