// The ALSA paths on a real, paced device without a sound card: a private
// sound server's null sink (helpers/sound_server.h). zqoutput's output plays
// a tone into it and the local AAM captures the sink's monitor as a
// wave-input device; the server dies and comes back under a zqoutput playing
// a local AAM's stream, and the sink's monitor holds its tone.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "aam/aam_channel_manager.h"
#include "audio/mp3_test_support.h"
#include "base/error.h"
#include "base/registry_key.h"
#include "helpers/child_process.h"
#include "helpers/line_client.h"
#include "helpers/output_support.h"
#include "helpers/sound_server.h"
#include "helpers/temp_dir.h"
#include "helpers/tone_device.h"
#include "helpers/waits.h"
#include "media/provider_test_support.h"
#include "zqoutput/output_service.h"
#include "zqoutput/sink.h"

namespace zq {
namespace {

using test::eventually;
using test::LineClient;
using test::localAam;
using test::valueOf;

struct SoundServerTest : ::testing::Test {
  void SetUp() override {
    if (const std::string missing = test::soundServerMissing(); !missing.empty()) {
      GTEST_SKIP() << missing;
    }
    server = std::make_unique<test::SoundServer>();
    ASSERT_TRUE(server->running());
    // Device 1 the test tone, device 2 what the sink plays.
    test::setToneDevice(1);
    JSystemRegistryKey monitor(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta\\WaveIn\\Device2");
    monitor.setString("Type", "alsa");
    monitor.setString("Name", test::SoundServer::kCapture);
  }

  test::ScopedRegistryDir registry;
  test::TempDir dir;
  std::unique_ptr<test::SoundServer> server;
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
  EXPECT_EQ(client.call(test::netSource(aam->JRPCService::port())), "OK ");
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
  // Plays again: the recording holds the tone (a starved sound server may
  // refuse periods for a while yet).
  ASSERT_TRUE(eventually(
      [&] { return recorder.waitFor(0.5) && test::listen(recorder.samples()).seconds > 0.3; }));
  EXPECT_NEAR(test::listen(recorder.stop()).frequency, 1000, 1.0);
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

// The local AAM captures the sink's monitor (an ALSA capture PCM) while
// zqoutput's ALSA output plays a tone into the sink; a zqoutput fetches the
// AAM's stream into a WAVE file, which holds the tone, no longer than played.
TEST_F(SoundServerTest, TheLocalAamCapturesWhatTheDevicePlays) {
  const std::string path = (dir.path() / "heard.wav").string();
  std::unique_ptr<zqoutput::AudioSink> wave = zqoutput::makeSink("wav:" + path);
  zqoutput::OutputService listener(0, "listener", *wave);
  LineClient client(listener.port());
  std::unique_ptr<ZQAAMChannelManager> aam = localAam(2);
  EXPECT_EQ(client.call(test::netSource(aam->JRPCService::port())), "OK ");
  // Frames flow once the idle sink's long block is over.
  ASSERT_TRUE(eventually([&] { return valueOf(client.call("getStat()"), "FramesDecoded") > 10; }));
  // Two seconds of 440 Hz (660 Hz right) in 10 ms periods, as a player
  // writes them: the last write returns once the device took its period. A
  // sound server starved of CPU may refuse some for a while (the write
  // gives up): a refused period is offered again, so that the device plays
  // all of them.
  constexpr uint32_t kRate = test::SoundServer::kRate;
  constexpr size_t kPeriods = 200;
  std::unique_ptr<zqoutput::AudioSink> speaker =
      zqoutput::makeSink(std::string("alsa:") + test::SoundServer::kPlayback);
  speaker->format(kRate, 2);
  test::SineGenerator sine(kRate, {440, 660});
  const auto start = test::Clock::now();
  size_t taken = 0;
  size_t refused = 0;
  for (std::vector<int16_t> period = sine.next(kRate / 100); taken < kPeriods && refused < 1000;) {
    try {
      speaker->write(period.data(), kRate / 100);
      period = sine.next(kRate / 100);
      ++taken;
    } catch (const JError&) {
      ++refused;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ASSERT_EQ(taken, kPeriods) << refused << " periods refused";
  const double writing = test::msSince(start) / 1000.0;
  // The capture records the monitor as it goes, gaps and all (what it had
  // no time to read is lost, which shortens the recording): however late
  // capture and network are, the file holds the whole tone once it runs on
  // for as long as the writes took, and a second more, from the tone's
  // first sound. (The output writes nothing while it waits for frames.)
  std::vector<int16_t> samples;
  ASSERT_TRUE(eventually([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // not a read every millisecond
    samples = test::readWave(path).samples;
    const auto first =
        std::find_if(samples.begin(), samples.end(), [](int16_t s) { return std::abs(s) > 3277; });
    return first != samples.end() &&
           samples.end() - first >= std::lround((writing + 1) * kRate * 2);
  })) << "writes over "
      << writing << " s: " << client.call("getStat()");
  EXPECT_EQ(client.call("resetSource()"), "OK ");
  const test::Heard heard = test::listen(samples);
  EXPECT_NEAR(heard.frequency, 440.0, 1.0);
  // A capture starved of CPU loses what it did not read in time, but adds
  // nothing.
  EXPECT_GT(heard.seconds, kPeriods / 100.0 / 2) << "glitches " << heard.glitches;
  EXPECT_LT(heard.sounding, kPeriods / 100.0 + 0.15);
  aam.reset();
}

}  // namespace
}  // namespace zq
