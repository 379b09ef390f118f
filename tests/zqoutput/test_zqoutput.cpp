// zqoutput in process: its WAVE output, and its service driven over the wire
// as an audio output controller drives it: a local AAM's tone fetched over
// UDP lands in a WAVE file at its frequency, the volume scales it,
// resetSource silences it, losses are played over, and bad requests fail.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <memory>
#include <mutex>
#include <numbers>
#include <random>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "aam/aam_channel_manager.h"
#include "audio/mp3_test_support.h"
#include "files/file_test_support.h"
#include "helpers/line_client.h"
#include "helpers/log_capture.h"
#include "helpers/output_support.h"
#include "helpers/sound_server.h"
#include "helpers/temp_dir.h"
#include "helpers/thrown.h"
#include "helpers/tone_device.h"
#include "helpers/waits.h"
#include "media/provider_test_support.h"
#include "media/shared_mike.h"
#include "net/host_name.h"
#include "zqoutput/options.h"
#include "zqoutput/output_service.h"
#include "zqoutput/sink.h"

namespace zq {
namespace {

using test::eventually;
using test::LineClient;
using test::readWave;
using test::thrownText;
using test::valueOf;
using test::Wave;

// The header is rewritten after every block, as a killed process would
// leave the file; another format is converted to the file's first one.
TEST(ZqoutputSink, WaveFilesAreValidAfterEveryBlockAndKeepTheirFormat) {
  test::TempDir dir;
  const std::string path = (dir.path() / "out.wav").string();
  std::unique_ptr<zqoutput::AudioSink> sink = zqoutput::makeSink("wav:" + path);
  sink->format(22050, 1);
  const std::vector<int16_t> block(576, 1234);
  for (int i = 1; i <= 3; ++i) {
    sink->write(block.data(), block.size());
    const Wave w = readWave(path);
    EXPECT_EQ(w.dataSize, 576u * 2 * static_cast<uint32_t>(i));
    EXPECT_EQ(w.riffSize, w.dataSize + 36);
  }
  test::SineGenerator sine(44100, {880, 880});
  sink->format(44100, 2);
  for (int i = 0; i < 20; ++i) {
    sink->write(sine.next(1102).data(), 1102);
  }
  const Wave w = readWave(path);
  EXPECT_EQ(w.rate, 22050u);
  EXPECT_EQ(w.channels, 1u);
  ASSERT_NEAR(double(w.samples.size()), 576 * 3 + 11020, 1);
  const auto converted = w.samples.begin() + 576 * 3;
  EXPECT_TRUE(std::all_of(w.samples.begin(), converted, [](int16_t s) { return s == 1234; }));
  EXPECT_NEAR(test::listen({converted, w.samples.end()}, 22050, 1).frequency, 880.0, 5.0);
  const std::pair<const char*, const char*> refusals[] = {
      {"wav:", "unknown output 'wav:'"},
      {"wav:/nonexistent-dir/out.wav", "cannot write '/nonexistent-dir/out.wav'"},
      {"alsa:zq-no-such-device", "cannot open ALSA playback device"}};
  for (const auto& [output, error] : refusals) {
    const std::string thrown = thrownText([&] { zqoutput::makeSink(output); });
    EXPECT_TRUE(thrown.starts_with(error)) << thrown;
  }
}

struct Output : ::testing::Test {
  void SetUp() override {
    // The capture brings a registry directory of its own: the device goes there.
    log = std::make_unique<test::LogCapture>();
    test::setToneDevice(1);
    path = (dir.path() / "out.wav").string();
    sink = zqoutput::makeSink("wav:" + path);
    zqoutput::OutputAccess access;
    access.mediaDir = dir.path().string();
    restart(access);
  }
  void restart(zqoutput::OutputAccess access) {
    client.reset();
    service.reset();
    service = std::make_unique<zqoutput::OutputService>(0, "out1", *sink,
                                                        zqoutput::Player::kDefaultBufferMs, access);
    client = std::make_unique<LineClient>(service->port());
  }
  void TearDown() override {
    client.reset();
    service.reset();
    EXPECT_EQ(SharedMike::registeredCount(), 0u);
  }
  long long stat(const char* key) { return valueOf(client->call("getStat()"), key); }
  // Waits until the output has decoded `more` frames beyond what it had.
  bool decodes(long long more) {
    const long long had = stat("FramesDecoded");
    return eventually([&] { return stat("FramesDecoded") >= had + more; });
  }
  test::ScopedRegistryDir registry;
  test::TempDir dir;
  std::unique_ptr<test::LogCapture> log;
  std::string path;
  std::unique_ptr<zqoutput::AudioSink> sink;
  std::unique_ptr<zqoutput::OutputService> service;
  std::unique_ptr<LineClient> client;
};

TEST_F(Output, PlaysALocalAamsToneAndObeysVolumeAndReset) {
  auto aam = test::localAam(1);
  const std::string aamPort = std::to_string(aam->JRPCService::port());
  const std::string request = test::netSource(aam->JRPCService::port());
  EXPECT_EQ(client->call(request), "OK ");
  ASSERT_TRUE(decodes(80));  // two seconds of the tone
  const Wave w = readWave(path);
  EXPECT_EQ(w.rate, 44100u);
  EXPECT_EQ(w.channels, 2u);
  EXPECT_NEAR(test::listen(w.samples, 44100, 2).frequency, 1000.0, 10.0)
      << client->call("getStat()");
  const std::string params = client->call("getParams()");
  EXPECT_NE(params.find("Source=\"udp://127.0.0.1:" + aamPort + "\""), std::string::npos) << params;
  EXPECT_NE(params.find("Id=\"out1\""), std::string::npos) << params;
  EXPECT_EQ(stat("DecodeErrors"), 0);
  // The access manager lists the output once, however often it is asked.
  EXPECT_EQ(client->call(request), "OK ");
  ASSERT_TRUE(decodes(5));
  ASSERT_TRUE(eventually([&] { return service->announcements().sent == 1; }));
  ASSERT_EQ(aam->audioOutputs().size(), 1u);
  const AudioOutputEntry listed = aam->audioOutputs()[0];
  EXPECT_EQ(listed.equipmentName, localHostName());
  EXPECT_EQ(listed.equipmentAddress, "127.0.0.1");
  EXPECT_EQ(listed.audioOutputName, "out1");
  EXPECT_EQ(listed.audioOutputTcpPort, service->port());

  EXPECT_EQ(client->call("setParams(volume=0)"), "OK ");
  ASSERT_TRUE(decodes(5));
  EXPECT_EQ(stat("LevelDb"), -96);
  const std::vector<int16_t> tail = readWave(path).samples;
  EXPECT_TRUE(std::all_of(tail.end() - 1000, tail.end(), [](int16_t s) { return s == 0; }));
  EXPECT_EQ(client->call("resetSource()"), "OK ");
  EXPECT_TRUE(eventually([&] { return aam->audioOutputs().empty(); }));  // withdrawn
  const long long frozen = stat("FramesReceived");
  JThread::sleep(200);
  EXPECT_EQ(stat("FramesReceived"), frozen);
  aam.reset();
}

// Source requests back to back and at random intervals, every kind of
// source: a link event of the source being closed must not hand the player
// a stream that the close then deletes under its reader (the request would
// hang and the process end). Every request is answered, and the output
// plays at the end.
TEST_F(Output, SwitchesSourcesAtRandomWithoutHangingAndPlaysAfterwards) {
  test::setToneDevice(2, 440);
  const uint16_t groupPort = test::freeUdpPort();
  auto aam = test::localAam(1, groupPort);
  const std::string file = (dir.path() / "tone.mp3").string();
  test::writeFile(file, test::join(test::encodeFrames(128000, 20)));
  std::vector<std::string> requests{
      test::netSource(aam->JRPCService::port()), "setFileSource(fileSource=\"" + file + "\")",
      "setHardSource(cardNumber=2, connector=\"wavein_line_in\")", "resetSource()"};
  if (test::multicastOnLo(groupPort)) {
    requests.push_back(test::netSource(aam->JRPCService::port(), "ipm"));
  }
  const unsigned seed = std::random_device()();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  for (int i = 0; i < 200; ++i) {
    const std::string& request = requests[random() % requests.size()];
    // Half of them at once, as consecutive lines of a console.
    if (random() % 2 == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(random() % 60));
    }
    ASSERT_EQ(client->call(request), "OK ") << "switch " << i << ": " << request;
  }
  EXPECT_EQ(client->call(requests[0]), "OK ");
  EXPECT_TRUE(decodes(20));
  aam.reset();
}

// A provider through its faults: one that leaves out every fifth frame
// (each gap counted lost once and played over with the last block, so the
// output's timing holds); one whose PCM description is outside what the
// system plays (its frames refused, nothing sized from it); one that answers
// without the stream's description (asked again rather than left silent on
// a link whose PINGs succeed).
TEST_F(Output, ConcealsLossesRefusesUnplayableStreamsAndAsksAgainForADescription) {
  auto provider = std::make_unique<test::FakeProvider>();
  const std::string request = test::netSource(provider->port());
  provider->skipEvery = 5;
  EXPECT_EQ(client->call(request), "OK ");
  ASSERT_TRUE(eventually([&] { return stat("FramesReceived") >= 80; }));
  EXPECT_EQ(client->call("resetSource()"), "OK ");
  const std::string lossy = client->call("getStat()");
  const long long received = valueOf(lossy, "FramesReceived");
  const long long lost = valueOf(lossy, "FramesLost");
  // One frame in five missing between the first received and the last.
  EXPECT_NEAR(double(lost), double(received) / 4, 2.0) << lossy;
  // A gap is counted on the first packet after it and played over when the
  // next frame is published: a reset between the two leaves one uncovered.
  const long long concealed = valueOf(lossy, "BlocksConcealed");
  EXPECT_TRUE(concealed == lost || concealed == lost - 1) << lossy;
  EXPECT_EQ(valueOf(lossy, "FramesLate"), 0) << lossy;

  provider->skipEvery = 0;
  provider->mode = test::Answer::kPcmUnplayable;
  const long long decoded = stat("FramesDecoded");
  EXPECT_EQ(client->call(request), "OK ");
  ASSERT_TRUE(log->waitFor("sampling rate 4294967295 Hz is outside 4000 to 192000 Hz"));
  EXPECT_TRUE(eventually([&] { return stat("DecodeErrors") > 2; }));
  EXPECT_EQ(stat("FramesDecoded"), decoded);
  EXPECT_EQ(client->call("resetSource()"), "OK ");

  provider->mode = test::Answer::kNoInfo;
  const long long before = stat("FramesReceived");
  EXPECT_EQ(client->call(request), "OK ");
  ASSERT_TRUE(log->waitFor("RPCMissingParameter: 'StreamInfo'"));
  provider->mode = test::Answer::kPcm;
  EXPECT_TRUE(eventually([&] { return stat("FramesReceived") > before; }));
  EXPECT_EQ(log->count("asking again"), 1u);
  EXPECT_EQ(client->call("resetSource()"), "OK ");
  provider.reset();
}

// An output device that refuses its first periods, as a full disk or a
// device gone away does, then works; it says it keeps its own pace.
struct RefusingSink : zqoutput::AudioSink {
  void format(uint32_t, uint32_t) override {}
  uint32_t write(const int16_t*, size_t) override {
    std::lock_guard lock(mutex);
    if (refused.size() < 30) {
      refused.push_back(std::chrono::steady_clock::now());
      throw JTextError("no space left on the device");
    }
    ++taken;
    return 0;
  }
  std::string describe() const override { return "refusing"; }
  bool paced() const override { return true; }
  std::mutex mutex;
  std::vector<std::chrono::steady_clock::time_point> refused;
  int taken = 0;
};

// Refused periods are counted and said once, kept to the clock (a device
// that fails at once must not make the output spin), and the output
// carries on when the device takes samples again.
TEST_F(Output, AnOutputThatRefusesIsSaidOnceKeptToTheClockAndResumes) {
  RefusingSink refusing;
  auto output = std::make_unique<zqoutput::OutputService>(0, "refused", refusing);
  LineClient control(output->port());
  auto provider = std::make_unique<test::FakeProvider>();
  EXPECT_EQ(control.call(test::netSource(provider->port())), "OK ");
  ASSERT_TRUE(eventually([&] {
    std::lock_guard lock(refusing.mutex);
    return refusing.taken >= 10;
  }));
  EXPECT_EQ(valueOf(control.call("getStat()"), "OutputErrors"), 30);
  // 30 periods of 10 ms, the first and the last 29 periods apart.
  EXPECT_GE(refusing.refused.back() - refusing.refused.front(), std::chrono::milliseconds(250));
  EXPECT_EQ(log->count("cannot write to refusing"), 1u);
  EXPECT_EQ(log->count("refusing works again after 30 failed writes"), 1u);
  EXPECT_EQ(control.call("resetSource()"), "OK ");
  provider.reset();
}

zqoutput::AllowList allowList(const char* text) {
  auto list = zqoutput::AllowList::parse(text);
  EXPECT_TRUE(std::holds_alternative<zqoutput::AllowList>(list)) << text;
  return std::get<zqoutput::AllowList>(list);
}

// Only the controls of --allow are served (a connection from elsewhere is
// closed at once, counted, and said once a minute per address), streams
// come only from the AAMs of --allow-sources, and only files that really
// are in the media folder play: any other is refused with one answer,
// whether it exists or not. 8-bit PCM plays, from a decoder of its own.
TEST_F(Output, ObeysOnlyItsAllowListsAndPlaysOnlyItsMediaFolder) {
  namespace fs = std::filesystem;
  const fs::path media = dir.path() / "media";
  fs::create_directories(media / "sub");
  const test::Bytes mp3 = test::join(test::encodeFrames(128000, 4));
  test::writeFile((media / "sub" / "in.mp3").string(), mp3);
  test::writeFile((dir.path() / "out.mp3").string(), mp3);
  fs::create_symlink(dir.path() / "out.mp3", media / "link-out.mp3");
  fs::create_symlink(media / "sub" / "in.mp3", media / "link-in.mp3");
  test::Bytes pcm8(8000);
  for (size_t i = 0; i < pcm8.size(); ++i) {
    pcm8[i] = static_cast<uint8_t>(
        128 + std::lround(100 * std::sin(2 * std::numbers::pi * 1000 * i / 8000.0)));
  }
  test::writeFile(
      (media / "tone8.wav").string(),
      test::riff({test::chunk("fmt ", test::fmt(1, 1, 8000, 8)), test::chunk("data", pcm8)}));
  zqoutput::OutputAccess access;
  access.controls = allowList("127.0.0.1");
  access.sources = allowList("127.0.0.2");
  access.mediaDir = media.string();
  restart(access);
  EXPECT_EQ(client->call("setFileSource(fileSource=\"tone8.wav\")"), "OK ");
  ASSERT_TRUE(decodes(8));
  EXPECT_NEAR(test::listen(readWave(path).samples, 8000, 1).frequency, 1000.0, 5.0);

  struct Peer {
    const char* from;
    bool served;
  } const peers[] = {{"127.0.0.1", true}, {"127.0.0.2", false}, {"127.0.0.2", false}};
  for (const Peer& p : peers) {
    SCOPED_TRACE(p.from);
    LineClient peer(service->port(), p.from);
    EXPECT_EQ(peer.call("getParams()").starts_with("OK "), p.served);
  }
  EXPECT_EQ(stat("RefusedConnections"), 2);
  EXPECT_EQ(log->count("refused a connection from 127.0.0.2"), 1u);

  const auto file = [](const std::string& name) {
    return "setFileSource(fileSource=\"" + name + "\")";
  };
  const auto notInFolder = [](const std::string& name) {
    return "FAILED file source refused: '" + name + "' is not a file of the media folder";
  };
  const std::string in = (media / "sub" / "in.mp3").string();
  const std::string linkOut = (media / "link-out.mp3").string();
  const std::string missing = (dir.path() / "missing.mp3").string();
  struct Case {
    std::string request;
    std::string answer;  // its start
  } const cases[] = {
      {file(in), "OK "},
      {file("sub/in.mp3"), "OK "},  // in the folder
      {file((media / "link-in.mp3").string()), "OK "},
      {file(linkOut), notInFolder(linkOut)},
      {file("../out.mp3"), notInFolder("../out.mp3")},
      {file(missing), notInFolder(missing)},  // answered as the one that exists
      {file(media.string()), notInFolder(media.string())},
      {"setNetSource(proto=\"udp\", host=\"127.0.0.1\", port=5000)",
       "FAILED source '127.0.0.1' is not allowed: not in --allow-sources"},
      {"setNetSource(proto=\"tcp\", host=\"127.0.0.2\", port=5000)",
       "FAILED unsupported protocol 'tcp'"},
      // Not a port: nothing is connected to.
      {"setNetSource(proto=\"udp\", host=\"127.0.0.2\", port=0)",
       "FAILED TypeMismatch for parameter 'port' : wanted '3', actual '3'"},
      {"setHardSource(cardNumber=1, connector=\"line_in\")", "FAILED unknown connector 'line_in'"},
      {"setHardSource(cardNumber=7, connector=\"pci2_line_in\")", "FAILED no pci2 was found"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    const std::string answer = client->call(c.request);
    EXPECT_TRUE(answer.starts_with(c.answer)) << answer;
  }
  // A failed source leaves the output silent, and it still serves.
  EXPECT_NE(client->call("getParams()").find("Source=\"\""), std::string::npos);
  EXPECT_EQ(client->call("setNetSource(proto=\"udp\", host=\"127.0.0.2\", port=5000)")
                .find("not allowed"),
            std::string::npos);
  EXPECT_EQ(client->call("resetSource()"), "OK ");
  // No folder, no file source: not even one that exists.
  restart({});
  EXPECT_EQ(client->call(file(in)), "FAILED file source refused: this output has no media folder");
}

TEST(ZqoutputOptions, TakeWhatIsValidAndSayWhyTheRestIsNot) {
  struct Case {
    std::vector<std::string> args;
    const char* refused;  // nullptr: taken
    uint16_t port = 0;
    uint32_t bufferMs = 0;
    const char* output = nullptr;
  } const cases[] = {
      {{}, nullptr, 10001, 48, "null"},
      {{"--port", "65535", "--buffer-ms", "5000", "--id", "o"}, nullptr, 65535, 5000, "null"},
      {{"--port", "65536"}, "--port must be from 0 to 65535, not '65536'"},
      {{"--log-level", "loud"}, "--log-level must be error, warning, info or debug, not 'loud'"},
      {{"--port"}, "--port needs a value"},
      {{"--volume", "3"}, "unknown argument '--volume'"},
      {{"--listen", "localhost"},
       "--listen must be an IPv4 address of this machine (0.0.0.0: every interface), not "
       "'localhost'"},
      {{"--allow", "10.0.0.0/8, 10.0.0.1/33"},
       "--allow: '10.0.0.1/33' is not an address or a block (a.b.c.d or a.b.c.d/n)"},
      {{"--allow-sources", "10.1.2.3/16"},
       "--allow-sources: '10.1.2.3/16' has host bits set: the block is written with them clear"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.empty() ? "(none)" : c.args.front());
    const auto r = zqoutput::parseOptions(c.args);
    if (c.refused != nullptr) {
      ASSERT_TRUE(std::holds_alternative<std::string>(r));
      EXPECT_EQ(std::get<std::string>(r), c.refused);
      continue;
    }
    ASSERT_TRUE(std::holds_alternative<zqoutput::Options>(r)) << std::get<std::string>(r);
    const zqoutput::Options& o = std::get<zqoutput::Options>(r);
    EXPECT_EQ(o.port, c.port);
    EXPECT_EQ(o.bufferMs, c.bufferMs);
    EXPECT_EQ(o.output, c.output);
  }
  // --help answers whatever follows it; what comes before it is checked.
  const auto help = zqoutput::parseOptions({"--output", "wav:a", "-h", "--port", "x"});
  ASSERT_TRUE(std::holds_alternative<zqoutput::Options>(help));
  EXPECT_TRUE(std::get<zqoutput::Options>(help).help);
  EXPECT_TRUE(
      std::holds_alternative<std::string>(zqoutput::parseOptions({"--port", "x", "--help"})));
  // The lists match whole blocks, and nothing beyond them.
  struct Match {
    const char* list;
    const char* address;
    bool allowed;
  } const matches[] = {
      {"", "203.0.113.9", true},
      {"10.20.0.0/16, 192.0.2.7", "10.20.255.1", true},
      {"10.20.0.0/16,192.0.2.7", "192.0.2.8", false},
      {"127.0.0.0/31", "127.0.0.1", true},
      {"127.0.0.0/31", "127.0.0.2", false},
      {"0.0.0.0/0", "203.0.113.9", true},
  };
  for (const Match& m : matches) {
    SCOPED_TRACE(std::string(m.list) + " / " + m.address);
    in_addr a{};
    ASSERT_EQ(inet_pton(AF_INET, m.address, &a), 1);
    EXPECT_EQ(allowList(m.list).allows(a), m.allowed);
  }
  // Each level shows itself and what is more serious, not what is less.
  struct Level {
    const char* name;
    int shown, hidden;
  } const levels[] = {{"error", kLevelError, kLevelWarning},
                      {"info", kLevelInfo, kLevelTraceStepByStep},
                      {"debug", kLevelDebug, kLevelActiveX}};
  for (const Level& l : levels) {
    SCOPED_TRACE(l.name);
    const uint32_t mask = zqoutput::logMaskOf(l.name);
    EXPECT_NE(mask & (1u << l.shown), 0u);
    EXPECT_NE(mask & (1u << kLevelCritical), 0u);
    EXPECT_EQ(mask & (1u << l.hidden), 0u);
  }
}

}  // namespace
}  // namespace zq
