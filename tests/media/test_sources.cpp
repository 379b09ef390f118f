// The shared audio sources and the media objects over them: the
// description's sharing rule, setters and travelling form; the registry
// sharing one source between users and closing it after the last; a
// sound-card source on the test-tone device, a board source on the simulated
// board, a file list played in order, a network source over a fake provider
// and the soft replay; the creation and start errors leaving nothing behind;
// users coming and going concurrently. The media objects: their frame
// geometry and its errors, the record they describe themselves with, binding
// to a shared source once, the parameters and statistics of the sound-card and
// board inputs, and the sucker threads: frames handed on in order with their
// header, pause, prompt stop (through a channel's pause after a failed send
// too), and more suckers on one stream than it has reader slots.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio/mixer.h"
#include "audio/mp3.h"
#include "audio/simulated_board.h"
#include "base/registry_key.h"
#include "files/file_test_support.h"
#include "helpers/log_capture.h"
#include "helpers/temp_dir.h"
#include "helpers/thrown.h"
#include "helpers/waits.h"
#include "media/audio_media.h"
#include "media/provider_test_support.h"
#include "media/shared_file_mike.h"
#include "media/shared_hard_mike.h"
#include "media/shared_mike.h"
#include "media/shared_net_mike.h"
#include "media/shared_soft_mike.h"
#include "rpc/rpc_client_test_support.h"
#include "stream/media_packet.h"
#include "stream/stream_table.h"

namespace zq {
namespace {

using test::eventually;
using test::numberedFrames;
using test::paramsOf;
using test::readFrames;
using test::thrownText;

MikeDesc local(int32_t channel, int32_t connector) {
  MikeDesc d;
  d.type = MikeDesc::kLocal;
  d.channel = channel;
  d.inputConnector = connector;
  return d;
}

MikeDesc network(const std::string& host, int32_t port, int32_t proto) {
  MikeDesc d;
  d.type = MikeDesc::kNetwork;
  d.host = host;
  d.port = port;
  d.proto = proto;
  d.timeout = 5000;
  return d;
}

MikeDesc file(const std::string& names) {
  MikeDesc d;
  d.type = MikeDesc::kFile;
  d.fileName = names;
  return d;
}

MikeDesc soft(std::vector<std::vector<uint8_t>> frames, int32_t period) {
  MikeDesc d;
  d.type = MikeDesc::kSoft;
  d.frames = std::move(frames);
  d.period = period;
  d.setStreamInfo(StreamInfo::makePcmStreamInfo(8000, 16, 1, 160));
  return d;
}

struct Registry : ::testing::Test {
  void SetUp() override {
    JSystemRegistryKey key(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta\\WaveIn\\Device1");
    key.setString("Type", "tone");
    key.setDword("Frequency", 1000);
    key.setDword("Level", 50);
  }
  void TearDown() override { EXPECT_EQ(SharedMike::registeredCount(), 0u); }
  test::ScopedRegistryDir registry_;
};

TEST(MikeDesc, EqualityIsTheSharingRule) {
  const std::vector<uint8_t> a{1, 2, 3};
  const std::vector<uint8_t> b{1, 2, 4};
  struct Case {
    const char* name;
    MikeDesc registered;
    MikeDesc requested;
    bool equal;
  } cases[] = {
      {"no source", MikeDesc(), MikeDesc(), true},
      {"two board connectors of one channel", local(0, 3), local(0, 2), true},
      {"two sound-card connectors of one channel", local(1, 0), local(1, 1), true},
      {"sound card against board", local(0, 1), local(0, 2), false},
      {"another channel", local(0, 2), local(1, 2), false},
      {"a request without connector joins", local(0, 4), local(0, -1), true},
      {"a source without connector takes nobody", local(0, -1), local(0, 2), false},
      {"both without connector", local(0, -1), local(0, -1), false},
      {"same network source", network("h", 5, 1), network("h", 5, 1), true},
      {"host case matters", network("Host", 5, 1), network("host", 5, 1), false},
      {"another port", network("h", 5, 1), network("h", 6, 1), false},
      {"another protocol", network("h", 5, 1), network("h", 5, 4), false},
      {"same file list", file("x,y"), file("x,y"), true},
      {"another file list", file("x,y"), file("y,x"), false},
      {"same soft frames", soft({a, b}, 10), soft({a, b}, 10), true},
      {"one byte differs", soft({a, a}, 10), soft({a, b}, 10), false},
      {"one frame fewer", soft({a, b}, 10), soft({a}, 10), false},
      {"another period", soft({a}, 10), soft({a}, 20), false},
      {"different types", file(""), soft({}, 0), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.registered.equals(c.requested), c.equal);
  }
}

TEST(MikeDesc, SettersClampAndChooseTheCoding) {
  struct Case {
    const char* name;
    std::function<void(MikeDesc&)> set;
    std::function<int32_t(const MikeDesc&)> get;
    int32_t value;
    int32_t compression;
  } cases[] = {
      {"volume above 100", [](MikeDesc& d) { d.setVolume(150); },
       [](const MikeDesc& d) { return d.volume(); }, 100, -1},
      {"volume below 0", [](MikeDesc& d) { d.setVolume(-5); },
       [](const MikeDesc& d) { return d.volume(); }, 0, -1},
      {"block below 512", [](MikeDesc& d) { d.setSamplesPerBlock(100); },
       [](const MikeDesc& d) { return d.samplesPerBlock(); }, 512, 0},
      {"block above 4096", [](MikeDesc& d) { d.setSamplesPerBlock(10000); },
       [](const MikeDesc& d) { return d.samplesPerBlock(); }, 4096, 0},
      {"bit rate selects MP3", [](MikeDesc& d) { d.setTargetBitRate(64000); },
       [](const MikeDesc& d) { return d.targetBitRate(); }, 64000, 1},
      {"sample rate selects PCM", [](MikeDesc& d) { d.setSamplesPerSec(8000); },
       [](const MikeDesc& d) { return d.samplesPerSec(); }, 8000, 0},
      {"bits select PCM", [](MikeDesc& d) { d.setBitsPerSample(16); },
       [](const MikeDesc& d) { return d.bitsPerSample(); }, 16, 0},
      {"channels select PCM", [](MikeDesc& d) { d.setChannels(2); },
       [](const MikeDesc& d) { return d.channels(); }, 2, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MikeDesc d;
    c.set(d);
    EXPECT_EQ(c.get(d), c.value);
    EXPECT_EQ(d.compression, c.compression);
    d.reset();
    EXPECT_EQ(d.compression, -1);
    EXPECT_EQ(d.volume(), 25);
  }
  EXPECT_EQ(MikeDesc::parseType("network"), 1);
  EXPECT_EQ(MikeDesc::parseType("soft"), 3);
  EXPECT_EQ(MikeDesc::parseType("LOCAL"), -1);
  EXPECT_STREQ(MikeDesc::typeText(2, true), "FILE");
  EXPECT_STREQ(MikeDesc::typeText(0, false), "local");
}

TEST(MikeDesc, StreamInfoRulesAndMp3Descriptions) {
  MikeDesc d;
  EXPECT_EQ(thrownText([&] { d.getAudioFormat(); }), "invalid stream info pointer");
  EXPECT_EQ(thrownText([&] { d.setStreamInfo(std::unique_ptr<StreamInfo>()); }),
            "stream info null pointer");
  d.setStreamInfo(StreamInfo::makePcmStreamInfo(22050, 16, 2, 1024));
  const MikeDesc copy = d;
  d.setStreamInfo(StreamInfo::makePcmStreamInfo(8000, 8, 1, 512));
  EXPECT_EQ(copy.getAudioFormat().samplesPerSec, 22050u);  // a copy of its own
  EXPECT_EQ(copy.getAudioFormat().samplesPerBlock, 1024u);

  struct Case {
    uint32_t bitRate;
    uint32_t sampleRate;
    uint16_t channels;
  } cases[] = {{24000, 22050, 1}, {32000, 22050, 2},  {64000, 22050, 2},
               {80000, 44100, 2}, {128000, 44100, 2}, {176000, 44100, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bitRate);
    const auto info = SharedMike::makeMp3StreamInfo(c.bitRate);
    EXPECT_EQ(info->infoSize(), 96u);
    EXPECT_EQ(info->content(), 1002u);
    EXPECT_EQ(info->chunk(), 1952u);
    EXPECT_EQ(info->samplesPerSecond(), c.sampleRate);
    EXPECT_EQ(info->channels(), c.channels);
    EXPECT_EQ(info->averageBytesPerSecond(), c.bitRate / 8);
    EXPECT_EQ(info->mp3BlockSize(), 0u);
  }
  EXPECT_EQ(thrownText([] { SharedMike::makeMp3StreamInfo(30000); }), "unsupported MP3 bitrate");
}

TEST(MikeDesc, TravelsAsItsTypeAndKeysOnly) {
  MikeDesc board = local(3, 2);
  board.setTargetBitRate(128000);
  MikeDesc remote = network("cam.local", 5002, 4);
  const MikeDesc files = file("a.mp3,b.mp3");
  struct Case {
    const char* name;
    const MikeDesc* desc;
    std::vector<std::string> keys;
  } cases[] = {
      {"local", &board, {"board", "type"}},
      {"network", &remote, {"host", "proto", "p\xF4rt", "timeout", "type"}},
      {"file", &files, {"filename", "type"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    JRPCSerialisation out;
    out.serialise(*c.desc);
    JParams params = out.takeParams();
    std::vector<std::string> keys;
    for (const JVariant& v : params) {
      keys.push_back(v.name());
    }
    EXPECT_EQ(keys, c.keys);
    MikeDesc back;
    back.setVolume(80);
    JRPCDeserialisation in(params);
    in.deserialise(back);
    EXPECT_EQ(back.type, c.desc->type);
    EXPECT_EQ(back.channel, c.desc->type == MikeDesc::kLocal ? c.desc->channel : -1);
    EXPECT_EQ(back.host, c.desc->host);
    EXPECT_EQ(back.port, c.desc->port);
    EXPECT_EQ(back.proto, c.desc->proto);
    EXPECT_EQ(back.fileName, "");  // file names never travel back
    EXPECT_EQ(back.compression, -1);
    EXPECT_EQ(back.volume(), 25);
  }

  struct Refusal {
    const char* name;
    const char* text;
    const char* error;
  } refusals[] = {
      {"plain port key", "type=1, host=\"h\", proto=1, port=5, timeout=9", "cannot deserialise"},
      {"local without board", "type=0", "cannot deserialise"},
      {"soft", "type=3", "cannot deserialise, invalid type"},
      {"no source", "type=-1", "cannot deserialise, invalid type"},
      {"no type", "board=1", "cannot deserialise"},
  };
  for (const Refusal& r : refusals) {
    SCOPED_TRACE(r.name);
    JParams params;
    params.parse(r.text);
    MikeDesc back = local(7, 2);
    JRPCDeserialisation in(params);
    EXPECT_EQ(thrownText([&] { in.deserialise(back); }), r.error);
    EXPECT_EQ(back.channel, 7);  // untouched by a failed read
  }
  JRPCSerialisation out;
  EXPECT_EQ(thrownText([&] { out.serialise(soft({{1}}, 0)); }), "cannot serialise, invalid type");
  EXPECT_EQ(thrownText([&] { out.serialise(MikeDesc()); }), "cannot serialise, invalid type");
}

TEST_F(Registry, CreationErrorsLeaveNothingRegistered) {
  MikeDesc bad;
  bad.type = 7;
  struct Case {
    const char* name;
    MikeDesc desc;
    const char* error;
  } cases[] = {
      {"type outside 0 ... 3", bad, "invalid mike type"},
      {"connector 5", local(0, 5), "invlid connector type"},
      {"no connector", local(0, -1), "invlid connector type"},
      {"absent board", local(9, 3), "no pci2 was found"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(thrownText([&] { SharedMike::acquire(c.desc); }), c.error);
    EXPECT_EQ(SharedMike::registeredCount(), 0u);
  }
}

TEST_F(Registry, TraceNamesAndDebugFlagsOfNewSources) {
  JSystemRegistryKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta\\Surveillance Services")
      .setDword("SharedMikeDebugFlags", 0xA000);
  struct Case {
    MikeDesc desc;
    const char* name;
  } cases[] = {
      {local(1, 0), "Audio Source[pci://1]"},
      {network("h", 5002, 1), "Audio Source[udp://h:5002]"},
      {file("a,b"), "Audio Source[file://a,b]"},
      {soft({{1}}, 0), "Audio Source[SOFT]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SharedMike* mike = SharedMike::acquire(c.desc);
    EXPECT_EQ(mike->traceName(), c.name);
    ASSERT_NE(mike->traceMask(), nullptr);
    EXPECT_EQ(mike->traceMask()->load(), 0xA000u);
    EXPECT_TRUE(SharedMike::release(mike));
  }
}

TEST_F(Registry, UsersOfOneSoundCardInputShareOneCaptureOfMp3Frames) {
  MikeDesc first = local(1, MikeDesc::kWaveInLineIn);
  first.setTargetBitRate(64000);
  MikeDesc second = local(1, MikeDesc::kWaveInMicIn);
  second.setTargetBitRate(128000);  // not applied: the running source stays
  SharedMike* a = SharedMike::acquire(first);
  SharedMike* b = SharedMike::acquire(second);
  ASSERT_EQ(a, b);
  EXPECT_EQ(a->useCount(), 2);
  EXPECT_EQ(SharedMike::registeredCount(), 1u);

  test::Leaf one, two;
  int32_t id1 = 0, id2 = 0;
  a->open(id1, &one, 1, 0, 0, false);
  b->open(id2, &two, 2, 0, 0, false);
  EXPECT_GT(id2, id1);
  ASSERT_EQ(one.streams().size(), 1u);
  ASSERT_EQ(two.streams().size(), 1u);
  EXPECT_EQ(one.streams()[0], two.streams()[0]);
  EXPECT_EQ(a->getDesc().getAudioFormat().samplesPerSec, 22050u);
  readFrames(a->stream(), 5, [](const StreamFrameHeader& h) {
    uint32_t bitRate = 0;
    ASSERT_TRUE(
        parseFrameHeader(h.payload(), &bitRate, nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(bitRate, 64000u);
  });

  EXPECT_EQ(a->close(id1), 1);
  EXPECT_EQ(id1, -1);
  EXPECT_TRUE(a->isOpen());
  EXPECT_EQ(a->close(id2), 0);
  EXPECT_FALSE(a->isOpen());
  EXPECT_FALSE(SharedMike::release(a));
  EXPECT_TRUE(SharedMike::release(b));
  EXPECT_FALSE(SharedMike::release(b));  // no longer registered
}

TEST_F(Registry, StartErrorsRecordNoUser) {
  MikeDesc noCoding = local(1, MikeDesc::kWaveInLineIn);
  MikeDesc noDevice = local(9, MikeDesc::kWaveInLineIn);
  noDevice.setTargetBitRate(64000);
  MikeDesc badRate = local(1, MikeDesc::kWaveInMicIn);
  badRate.setTargetBitRate(30000);
  struct Case {
    const char* name;
    MikeDesc desc;
    const char* error;  // null: any error
  } cases[] = {
      {"no compression", noCoding, "invalid compression mode"},
      {"absent device", noDevice, nullptr},
      {"bit rate outside the table", badRate, "unsupported MP3 bitrate"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SharedMike* mike = SharedMike::acquire(c.desc);
    test::Leaf user;
    int32_t id = 0;
    const std::string error = thrownText([&] { mike->open(id, &user, 0, 0, 0, false); });
    if (c.error != nullptr) {
      EXPECT_EQ(error, c.error);
    } else {
      EXPECT_NE(error, "");
    }
    EXPECT_EQ(mike->userCount(), 0u);
    EXPECT_TRUE(user.events().empty());
    EXPECT_FALSE(mike->isOpen());
    EXPECT_TRUE(SharedMike::release(mike));
  }
}

struct Board : Registry {
  void SetUp() override {
    Registry::SetUp();
    board = std::make_shared<SimulatedCaptureBoard>(0);
    registerCaptureBoard(board);
  }
  void TearDown() override {
    unregisterCaptureBoard(0);
    Registry::TearDown();
  }
  int reg(const std::string& name) {
    char answer[64] = {};
    board->control(("Quorvanta2.MAS3587." + name + "?").c_str(), answer, sizeof answer);
    return std::atoi(answer);
  }
  std::shared_ptr<SimulatedCaptureBoard> board;
};

TEST_F(Board, GainsReachTheRegistersOfTheSelectedInput) {
  struct Case {
    int32_t connector;
    CaptureBoard::Input input;
    int left, right, micro;
  } cases[] = {
      {MikeDesc::kPci2LineIn, CaptureBoard::kLineInput, 7, 7, 0},
      {MikeDesc::kPci2MicIn, CaptureBoard::kMicrophoneInput, 0, 0, 7},
      {MikeDesc::kPci2SpdifIn, CaptureBoard::kMicrophoneInput, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.connector);
    for (const char* r : {"Left Amplifier Gain", "Right Amplifier Gain", "Micro Amplifier Gain"}) {
      board->control(("Quorvanta2.MAS3587." + std::string(r) + "=0").c_str(), nullptr, 0);
    }
    board->selectInput(CaptureBoard::kMicrophoneInput);
    MikeDesc d = local(0, c.connector);
    d.setTargetBitRate(128000);
    d.preAmplificationGain = 7;
    SharedMike* mike = SharedMike::acquire(d);
    int32_t id = 0;
    test::Leaf user;
    mike->open(id, &user, 0, 0, 0, false);
    EXPECT_EQ(board->input(), c.input);
    EXPECT_EQ(reg("Left Amplifier Gain"), c.left);
    EXPECT_EQ(reg("Right Amplifier Gain"), c.right);
    EXPECT_EQ(reg("Micro Amplifier Gain"), c.micro);
    readFrames(mike->stream(), 3, [](const StreamFrameHeader& h) {
      uint32_t bitRate = 0;
      ASSERT_TRUE(
          parseFrameHeader(h.payload(), &bitRate, nullptr, nullptr, nullptr, nullptr, nullptr));
      EXPECT_EQ(bitRate, 128000u);
    });
    mike->close(id);
    EXPECT_TRUE(SharedMike::release(mike));
  }
}

TEST_F(Board, ControlPassesThroughAndAGainSurvivesARestart) {
  MikeDesc line = local(0, MikeDesc::kPci2LineIn);
  line.setTargetBitRate(64000);
  SharedMike* mike = SharedMike::acquire(line);
  // A second user asking for the microphone joins the line input.
  SharedMike* same = SharedMike::acquire(local(0, MikeDesc::kPci2MicIn));
  ASSERT_EQ(mike, same);
  EXPECT_EQ(mike->control("Quorvanta2.MAS3587.Left Amplifier Gain=9"), "");
  EXPECT_EQ(mike->control("Quorvanta2.MAS3587.Left Amplifier Gain?"), "9");
  EXPECT_EQ(mike->getDesc().preAmplificationGain, 9);
  mike->control("Quorvanta2.MAS3587.Volume=-3");
  EXPECT_EQ(mike->getDesc().preAmplificationGain, 9);  // not a gain register

  board->control("Quorvanta2.MAS3587.Right Amplifier Gain=1", nullptr, 0);
  int32_t id1 = 0, id2 = 0;
  mike->open(id1, nullptr, 0, 0, 0, true);
  same->open(id2, nullptr, 0, 0, 0, true);
  EXPECT_EQ(board->input(), CaptureBoard::kLineInput);
  EXPECT_EQ(reg("Right Amplifier Gain"), 9);
  mike->close(id1);
  mike->close(id2);
  SharedMike::release(mike);
  SharedMike::release(same);

  MikeDesc pcm = local(0, MikeDesc::kPci2MicIn);
  pcm.setSamplesPerSec(8000);
  SharedMike* coded = SharedMike::acquire(pcm);
  int32_t id = 0;
  EXPECT_EQ(thrownText([&] { coded->open(id, nullptr, 0, 0, 0, false); }),
            "invalid compression mode");
  EXPECT_EQ(coded->userCount(), 0u);
  SharedMike::release(coded);
}

struct Files : Registry {
  void SetUp() override {
    Registry::SetUp();
    // Two files told apart by their bit rate; about 0.4 s each, the second
    // behind an ID3v2 tag, as most MP3 files are.
    writeFile(first, 64000, {});
    writeFile(second, 128000, test::id3v2Tag(100));
  }
  void writeFile(std::string& path, uint32_t bitRate, const test::Bytes& front) {
    path = (dir.path() / (std::to_string(bitRate) + ".mp3")).string();
    test::writeFile(path, test::join({front, test::join(test::encodeFrames(bitRate, 15))}));
  }
  static uint32_t rateOf(JStream* stream) {
    return stream->copyStreamInfo()->averageBytesPerSecond() * 8;
  }
  test::TempDir dir;
  test::ScopedFileInfoCache cache;
  std::string first, second;
};

TEST_F(Files, AListIsPlayedInOrderAndEndsOrLoops) {
  for (const bool looping : {false, true}) {
    SCOPED_TRACE(looping);
    MikeDesc d = file(first + "," + second + ",,");
    d.looping = looping;
    SharedMike* mike = SharedMike::acquire(d);
    auto* files = dynamic_cast<SharedFileMike*>(mike);
    ASSERT_NE(files, nullptr);
    EXPECT_EQ(files->files(), (std::vector<std::string>{first, second}));
    test::Leaf one, two;
    int32_t id1 = 0, id2 = 0;
    mike->open(id1, &one, 0, 0, 0, false);
    mike->open(id2, &two, 0, 0, 0, false);
    if (!looping) {
      ASSERT_NO_THROW(mike->getDesc().finishedEvent->wait(20000));
      const std::vector<std::string> expected{"up", "down:EOF", "up", "down:EOF"};
      EXPECT_EQ(one.events(), expected);
      EXPECT_EQ(two.events(), expected);
      EXPECT_FALSE(mike->isOpen());
    } else {
      ASSERT_TRUE(eventually([&] { return two.streams().size() >= 3; }));
      EXPECT_FALSE(files->finished().isSet());
      EXPECT_EQ(two.events()[3], "down:EOF");
    }
    const std::vector<uint32_t> rates = two.rates();
    EXPECT_EQ(std::vector<uint32_t>(rates.begin(), rates.begin() + 2),
              (std::vector<uint32_t>{64000, 128000}));
    if (looping) {
      EXPECT_EQ(rates[2], 64000u);
    }
    EXPECT_EQ(two.streams()[0], one.streams()[0]);
    mike->close(id1);
    mike->close(id2);
    EXPECT_TRUE(SharedMike::release(mike));
  }
}

TEST_F(Files, TheDescriptionFollowsThePlayingFile) {
  SharedMike* mike = SharedMike::acquire(file(first + "," + second));
  test::Leaf user;
  int32_t id = 0;
  mike->open(id, &user, 0, 0, 0, false);
  ASSERT_EQ(user.rates(), std::vector<uint32_t>{64000});
  EXPECT_EQ(mike->getDesc().fileName, first + "," + second);
  ASSERT_TRUE(eventually([&] { return user.streams().size() >= 2; }));
  // The second file's stream, and the list read from it.
  EXPECT_EQ(rateOf(mike->stream()), 128000u);
  const MikeDesc now = mike->getDesc();
  EXPECT_EQ(now.fileName, second + "," + first);
  // The position follows the playing file.
  EXPECT_TRUE(eventually([&] { return mike->getDesc().playPosition > 0.1; }));
  EXPECT_GT(mike->getDesc().playOffset, 0);
  mike->close(id);
  EXPECT_TRUE(SharedMike::release(mike));

  SharedMike* missing = SharedMike::acquire(file((dir.path() / "none.mp3").string()));
  EXPECT_NE(thrownText([&] { missing->open(id, &user, 0, 0, 0, false); }), "");
  EXPECT_EQ(missing->userCount(), 0u);
  EXPECT_TRUE(SharedMike::release(missing));
}

// The first user's open chooses how the source connects: at once, with the
// stream there when open returns and any failure thrown to it, or on the
// controller's own thread; persistent, waiting for a provider that is not
// there yet, or giving up. A second user shares the stream; the source
// stays open until the last user closes. A connected source sends a PING
// every 2 s (on a loaded machine a late tick may stretch one gap, not both).
TEST_F(Registry, TheFirstOpenChoosesHowTheSharedControllerConnects) {
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
    SharedMike* mike = SharedMike::acquire(network("127.0.0.1", port, ServerController::kUdp));
    EXPECT_TRUE(mike->isRemote());
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
      mike->setUserContext(id2, 33);
      EXPECT_EQ(mike->getUserContext(id2), 33u);
      EXPECT_EQ(mike->close(id1), 1);
      EXPECT_TRUE(mike->isOpen());
      EXPECT_EQ(mike->close(id2), 0);
      EXPECT_FALSE(mike->isOpen());
      EXPECT_EQ(mike->getUserContext(id2), 0u);
    } else if (id1 > 0) {
      mike->close(id1);
    }
    EXPECT_TRUE(SharedMike::release(mike));
  }

  test::ScriptedLineServer aam(test::ScriptedLineServer::answering("FAILED no channel here"));
  SharedMike* mike = SharedMike::acquire(network("127.0.0.1", aam.port(), ServerController::kUdp));
  int32_t id = 0;
  mike->open(id, nullptr, 0, 0, 0, true);
  ASSERT_TRUE(aam.waitFor("PING", 3));
  const auto pings = aam.received("PING");
  EXPECT_LT(std::min(pings[1].at - pings[0].at, pings[2].at - pings[1].at),
            std::chrono::milliseconds(4000));
  mike->close(id);
  EXPECT_TRUE(SharedMike::release(mike));
}

TEST_F(Registry, SoftFramesAreReplayedInOrder) {
  const std::vector<std::vector<uint8_t>> frames{{1, 1}, {2, 2, 2}, {3}};
  // Without a period every frame is published once, at the first open.
  SharedMike* once = SharedMike::acquire(soft(frames, 0));
  int32_t id = 0;
  once->open(id, nullptr, 0, 0, 0, true);
  EXPECT_EQ(dynamic_cast<SharedSoftMike*>(once)->framesPublished(), frames.size());
  EXPECT_EQ(once->stream()->publications(), frames.size());
  once->close(id);
  EXPECT_TRUE(SharedMike::release(once));

  // With one, the list goes round on the timer, numbered.
  SharedMike* mike = SharedMike::acquire(soft(frames, 5));
  test::Leaf user;
  mike->open(id, &user, 0, 0, 0, false);
  ASSERT_EQ(user.streams().size(), 1u);
  int64_t last = -1;
  readFrames(mike->stream(), 7, [&](const StreamFrameHeader& h) {
    const int64_t n = h.keyWord;
    EXPECT_GT(n, last);
    last = n;
    const auto& expected = frames[static_cast<size_t>(n) % frames.size()];
    ASSERT_EQ(h.size, expected.size());
    EXPECT_EQ(std::memcmp(h.payload(), expected.data(), expected.size()), 0);
  });
  mike->close(id);
  EXPECT_FALSE(mike->isOpen());
  EXPECT_TRUE(SharedMike::release(mike));
}

TEST_F(Registry, UsersComingAndGoingConcurrentlyLeaveNothingBehind) {
  const MikeDesc d = soft({{9, 9}, {8}}, 2);
  std::atomic<int> opened{0};
  std::atomic<int> saw{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int round = 0; round < 15; ++round) {
        SharedMike* mike = SharedMike::acquire(d);
        test::Leaf user;
        int32_t id = 0;
        mike->open(id, &user, 0, 0, 0, false);
        opened.fetch_add(1);
        if (!user.streams().empty() && user.streams()[0] != nullptr) {
          saw.fetch_add(1);
        }
        mike->close(id);
        SharedMike::release(mike);
      }
    });
  }
  for (auto& t : threads) {
    t.join();
  }
  EXPECT_EQ(opened.load(), 60);
  EXPECT_EQ(saw.load(), 60);  // every user heard a stream
}

// ---- the media objects ----------------------------------------------------------

// A channel that keeps what the sucker hands it.
class Channel : public IMediaSuckerNotify {
 public:
  struct Frame {
    uint32_t flags;
    uint64_t stamp;
    uint32_t key;
    std::vector<uint8_t> data;
  };
  void onFrame(const GatherPiece* pieces, size_t count) override {
    std::unique_lock l(m_);
    pieceCounts_.push_back(count);
    const MediaFrameTail t = MediaFrameTail::read(pieces[0].data);
    frames_.push_back({t.flags, t.timeStamp, t.keyWord,
                       std::vector<uint8_t>(pieces[1].data, pieces[1].data + pieces[1].length)});
    if (pauseMs > 0) {
      // As a channel does after a failed send.
      l.unlock();
      IThread::idleCurrent(pauseMs);
    }
  }
  int pauseMs = 0;
  std::vector<Frame> frames() const {
    std::lock_guard l(m_);
    return frames_;
  }
  size_t count() const {
    std::lock_guard l(m_);
    return frames_.size();
  }
  std::vector<size_t> pieceCounts() const {
    std::lock_guard l(m_);
    return pieceCounts_;
  }

 private:
  mutable std::mutex m_;
  std::vector<Frame> frames_;
  std::vector<size_t> pieceCounts_;
};

TEST(IAudio, FrameGeometryFollowsTheCodingAndRefusesWhatItCannotSize) {
  auto pcm = [](int32_t rate, int32_t bits, int32_t channels, int32_t block) {
    return std::make_unique<AudioLive>(0, 0, false, true, rate, bits, channels, block);
  };
  auto mp3 = [](int32_t bitRate) { return std::make_unique<AudioLive>(0, 2, false, true, bitRate); };
  struct Case {
    const char* name;
    std::function<std::unique_ptr<IAudio>()> make;
    int size, rate, duration;
    const char* error;
  } const cases[] = {
      {"PCM 16 kHz mono, 1600 samples", [&] { return pcm(16000, 16, 1, 1600); }, 3200, 10, 100, ""},
      {"PCM 8 bits rounds the bytes up", [&] { return pcm(8000, 8, 1, 513); }, 513, 16, 64, ""},
      {"PCM 22050 Hz stereo, 1024", [&] { return pcm(22050, 16, 2, 1024); }, 4096, 22, 46, ""},
      {"PCM without a rate has no timing", [&] { return pcm(0, 16, 1, 800); }, 1600, 0, 0, ""},
      {"MP3 MPEG-1 128 kbit/s", [&] { return mp3(128000); }, 417, 38, 26, ""},
      {"MP3 MPEG-2 24 kbit/s", [&] { return mp3(24000); }, 78, 38, 26, ""},
      {"MP3 outside the table", [&] { return mp3(100000); }, 0, 0, 0, "bit rate not supported"},
      {"no coding", [] { return std::make_unique<AudioFile>("a.mp3"); }, 0, 0, 0,
       "invalid compression mode"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::unique_ptr<IAudio> a = c.make();
    if (*c.error != '\0') {
      EXPECT_EQ(thrownText([&] { a->getMaxFrameSize(); }), c.error);
      EXPECT_EQ(thrownText([&] { a->getFrameRate(); }), c.error);
      EXPECT_EQ(thrownText([&] { a->getFrameDuration(); }), c.error);
      continue;
    }
    EXPECT_EQ(a->getMaxFrameSize(), c.size);
    EXPECT_EQ(a->getFrameRate(), c.rate);
    EXPECT_EQ(a->getFrameDuration(), c.duration);
  }
  const std::vector<uint8_t> frame(144, 0);
  const auto info = StreamInfo::makeMp3StreamInfo(32000, 22050, 2, 0);
  EXPECT_EQ(AudioSoft(*info, frame.data(), frame.size(), 36).getMaxFrameSize(), 144);
  EXPECT_EQ(AudioSoft(*info, nullptr, 0, 36).getMaxFrameSize(), -1);
}

TEST(IAudio, EachKindTakesOnlyItsOwnDescription) {
  EXPECT_EQ(thrownText([] { AudioLive a(file("a.mp3")); }), "invalid camera desc type");
  EXPECT_EQ(thrownText([] { AudioLive a(network("h", 5, 1)); }), "invalid camera desc type");
  EXPECT_EQ(thrownText([] { AudioFile a(local(0, 1)); }), "invalid Mike desc type");
  EXPECT_EQ(thrownText([] { AudioSoft a(file("a.mp3")); }), "invalid mike desc type");
  EXPECT_EQ(thrownText([] { AudioLive a(local(0, 1)); }), "");
  EXPECT_EQ(thrownText([] { AudioFile a(file("a.mp3")); }), "");
  EXPECT_EQ(thrownText([] { AudioSoft a(soft({}, 0)); }), "");
}

TEST_F(Registry, TheMediaRecordIsFilledAsFarAsItsCapacityGoes) {
  AudioSoft a(soft(numberedFrames(2, 320), 0));
  struct Case {
    uint32_t capacity;
    int answer;
    bool filled, withDesc;
    uint32_t used;  // the record size on the way out
  } const cases[] = {{0, 240, false, false, 0},   {1, -1, false, false, 1},
                     {11, -1, false, false, 11},  {12, 240, true, false, 12},
                     {239, 240, true, false, 12}, {240, 240, true, true, 240},
                     {4096, 240, true, true, 240}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.capacity);
    MediaInfo info;
    info.recordSize = c.capacity;
    EXPECT_EQ(a.getMediaInfo(info), c.answer);
    EXPECT_EQ(info.type, c.filled ? uint32_t{MediaInfo::kAudio} : uint32_t{MediaInfo::kNoMedia});
    EXPECT_EQ(info.streamInfo != nullptr, c.filled);
    EXPECT_EQ(info.desc != nullptr, c.withDesc);
    EXPECT_EQ(info.recordSize, c.used);
    if (c.filled) {
      EXPECT_EQ(info.streamInfo->samplesPerSecond(), 8000u);
    }
  }
}

TEST_F(Registry, ConnectBindsOnceAndDisconnectReleasesTheSource) {
  AudioSoft a(soft(numberedFrames(3, 320), 0));
  EXPECT_FALSE(a.isConnected());
  EXPECT_EQ(a.getStream(), nullptr);
  a.connect(nullptr, 0, 0, true);
  SharedMike* source = a.source();
  ASSERT_NE(source, nullptr);
  EXPECT_TRUE(a.isConnected());
  EXPECT_NE(a.getStream(), nullptr);
  a.connect(nullptr, 0, 0, true);  // a second connect opens no second user
  EXPECT_EQ(source->userCount(), 1u);
  EXPECT_EQ(SharedMike::registeredCount(), 1u);

  JParams params;
  a.getParams(params);
  std::string compression;
  int32_t rate = 0;
  ASSERT_TRUE(params.get("Compression", compression, false));
  EXPECT_EQ(compression, "PCM");
  ASSERT_TRUE(params.get("SamplesPerSec", rate, false));
  EXPECT_EQ(rate, 8000);
  JParams infoParams;
  a.getStreamInfoParams(infoParams);
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(infoParams.get("StreamInfo", bytes, false));
  EXPECT_EQ(StreamInfo::fromBytes(bytes)->averageBytesPerSecond(), 16000u);

  a.disconnect();
  EXPECT_EQ(a.source(), nullptr);
  EXPECT_FALSE(a.isConnected());
  EXPECT_EQ(SharedMike::registeredCount(), 0u);
  a.disconnect();  // nothing left to release
}

TEST_F(Registry, AFailedConnectLeavesNothingBound) {
  struct Case {
    const char* name;
    std::function<std::unique_ptr<IAudio>()> make;
    const char* error;
  } const cases[] = {
      {"soft source without a description",
       [] {
         MikeDesc d;
         d.type = MikeDesc::kSoft;
         return std::make_unique<AudioSoft>(d);
       },
       "null pointer"},
      {"board that is not there", [] { return std::make_unique<AudioLive>(7, 2, false, true, 64000); },
       "no pci2 was found"},
      {"file that is not there",
       [] { return std::make_unique<AudioFile>("/nonexistent/zq-missing.mp3"); }, ""},
  };
  auto log = std::make_unique<test::LogCapture>();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::unique_ptr<IAudio> a = c.make();
    const std::string error = thrownText([&] { a->connect(nullptr, 0, 0, true); });
    EXPECT_NE(error, "");
    if (*c.error != '\0') {
      EXPECT_EQ(error, c.error);
    }
    EXPECT_EQ(a->source(), nullptr);
    EXPECT_EQ(SharedMike::registeredCount(), 0u);
  }
}

// Device 2's input sets and reports device 2's mixer; the first card's
// stays as it was.
TEST_F(Registry, SoundCardInputsSetTheMixerOfTheirDeviceAndReportIt) {
  JSystemRegistryKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta\\WaveIn\\Device2")
      .setString("Type", "tone");
  std::unique_ptr<JMixer> first = JMixer::open(0);
  const auto state = [&] {
    return std::vector<int>{first->isSelected(JMixer::kLineIn), first->lineVolume(JMixer::kLineIn),
                            first->lineVolume(JMixer::kMicrophone)};
  };
  const std::vector<int> firstBefore = state();
  AudioLive a(2, MikeDesc::kWaveInMicIn, false, true, 22050, 16, 1, 1024);
  a.connect(nullptr, 0, 0, true);
  std::unique_ptr<JMixer> mixer = JMixer::open(1);
  EXPECT_TRUE(mixer->isSelected(JMixer::kMicrophone));
  EXPECT_EQ(mixer->lineVolume(JMixer::kMicrophone), 25);  // the description's volume

  struct Case {
    const char* name;
    const char* request;
    int32_t connector;
    int line, lineVolume;
  } const cases[] = {
      {"volume above the range", "InputVolume=130", MikeDesc::kWaveInMicIn, JMixer::kMicrophone, 100},
      {"volume below the range", "InputVolume=-4", MikeDesc::kWaveInMicIn, JMixer::kMicrophone, 0},
      {"switch to the line input", "InputConnector=\"WAVEIN_LINEIN\"", MikeDesc::kWaveInLineIn,
       JMixer::kLineIn, 50},
      {"volume of the line input", "InputVolume=61", MikeDesc::kWaveInLineIn, JMixer::kLineIn, 61},
      {"a board connector changes nothing", "InputConnector=\"PCI2_MICIN\"",
       MikeDesc::kWaveInLineIn, JMixer::kLineIn, 61},
      {"back to the microphone at once", "InputConnector=\"WAVEIN_MICIN\", InputVolume=33",
       MikeDesc::kWaveInMicIn, JMixer::kMicrophone, 33},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(a.setParams(paramsOf(c.request)), 0);
    EXPECT_TRUE(mixer->isSelected(c.line));
    EXPECT_EQ(mixer->lineVolume(c.line), c.lineVolume);
    JParams p;
    a.getParams(p);
    std::string connector;
    p.get("InputConnector", connector, true);
    EXPECT_EQ(connector, MikeDesc::connectorText(c.connector));
  }
  JParams stat;
  a.getStat(stat);
  int32_t bandwidth = 0, volume = 0;
  ASSERT_TRUE(stat.get("Bandwidth", bandwidth, false));
  EXPECT_EQ(bandwidth, 352);  // 16 bits x 22050 Hz
  ASSERT_TRUE(stat.get("InputVolume", volume, false));
  EXPECT_EQ(volume, 33);
  EXPECT_EQ(state(), firstBefore);
  a.disconnect();
}

TEST_F(Registry, BoardInputsSendTheirCommandsWithinRange) {
  auto board = std::make_shared<SimulatedCaptureBoard>(0);
  registerCaptureBoard(board);
  auto reg = [&](const std::string& name) {
    char answer[64] = {};
    board->control(("Quorvanta2.MAS3587." + name + "?").c_str(), answer, sizeof answer);
    return std::atoi(answer);
  };
  struct Case {
    const char* name;
    int32_t connector;
    const char* request;
    int left, micro, volume;
    int32_t gain;  // the description's, as statistics report it
  } const cases[] = {
      {"line gain in range", MikeDesc::kPci2LineIn, "PreAmplificationGain=15", 15, 0, 0, 15},
      {"line gain above 15", MikeDesc::kPci2LineIn, "PreAmplificationGain=16", 0, 0, 0, 0},
      {"microphone gain", MikeDesc::kPci2MicIn, "PreAmplificationGain=4", 0, 4, 0, 4},
      {"volume at the bottom", MikeDesc::kPci2LineIn, "Volume=-115", 0, 0, -115, 0},
      {"volume below", MikeDesc::kPci2LineIn, "Volume=-116", 0, 0, 0, 0},
      {"volume above", MikeDesc::kPci2LineIn, "Volume=13", 0, 0, 0, 0},
      {"sound-card key on a board", MikeDesc::kPci2LineIn, "InputVolume=50", 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const char* r : {"Left Amplifier Gain=0", "Micro Amplifier Gain=0", "Volume=0"}) {
      board->control((std::string("Quorvanta2.MAS3587.") + r).c_str(), nullptr, 0);
    }
    AudioLive a(0, c.connector, false, true, 64000);
    a.connect(nullptr, 0, 0, true);
    EXPECT_EQ(a.setParams(paramsOf(c.request)), 0);
    EXPECT_EQ(reg("Left Amplifier Gain"), c.left);
    EXPECT_EQ(reg("Micro Amplifier Gain"), c.micro);
    EXPECT_EQ(reg("Volume"), c.volume);
    JParams stat;
    a.getStat(stat);
    int32_t volume = 1, bandwidth = 0, left = 1, right = 1;
    EXPECT_TRUE(stat.get("Volume", volume, false));
    EXPECT_EQ(volume, c.volume);
    EXPECT_TRUE(stat.get("Bandwidth", bandwidth, false));
    EXPECT_EQ(bandwidth, 64);
    int32_t gain = -1;
    EXPECT_TRUE(stat.get("PreAmplificationGain", gain, false));
    EXPECT_EQ(gain, c.gain);
    // The simulated coder hears a sine below full scale on both sides.
    ASSERT_TRUE(stat.get("QuasiPeakLeft", left, false));
    ASSERT_TRUE(stat.get("QuasiPeakRight", right, false));
    EXPECT_LE(left, 0);
    EXPECT_GT(left, -90);
    EXPECT_EQ(left, right);
    a.disconnect();
  }
  unregisterCaptureBoard(0);
}

TEST(AudioLive, QuasiPeaksReadAsDecibelsBelowFullScale) {
  struct Case {
    uint32_t reply;
    int32_t left, right;
  } const cases[] = {{0, -90, -90},
                     {0x7FFF7FFF, 0, 0},
                     {0x00017FFF, 0, -90},
                     {0x40000001, -90, -6},
                     {0xFFFF8000, -90, 0}};  // bit 15 and bit 31 are not levels
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    EXPECT_EQ(AudioLive::quasiPeakDb(c.reply & 0x7FFF), c.left);
    EXPECT_EQ(AudioLive::quasiPeakDb((c.reply >> 16) & 0x7FFF), c.right);
  }
}

// What every frame a sucker hands on looks like is checked on the many
// suckers below; here its parameters, a pause, and that stopped means
// stopped, paused or not.
TEST_F(Registry, ASuckerStatesItsParametersPausesAndStops) {
  AudioSoft a(soft(numberedFrames(2, 320), 5));
  a.connect(nullptr, 0, 0, true);
  Channel channel;
  std::unique_ptr<IMediaSucker> sucker = a.createSucker(&channel, SuckerParams{});
  EXPECT_EQ(sucker->headerSize(), 16);
  SuckerParams p;
  p.recordSize = 0;
  EXPECT_EQ(sucker->getSuckerParams(p), 12);
  p.recordSize = 11;
  EXPECT_EQ(sucker->getSuckerParams(p), -1);
  p.recordSize = 12;
  EXPECT_EQ(sucker->getSuckerParams(p), 12);
  EXPECT_EQ(p.flags, 0u);
  EXPECT_EQ(p.skip, 0);

  for (const bool pausedFirst : {false, true}) {
    SCOPED_TRACE(pausedFirst ? "stopped while paused" : "stopped while sending");
    const size_t before = channel.count();
    sucker->startSucker();
    ASSERT_TRUE(eventually([&] { return channel.count() >= before + 2; }));
    sucker->pause();
    ASSERT_TRUE(eventually([&] { return sucker->isParked(); }));
    const size_t paused = channel.count();
    JThread::sleep(60);
    EXPECT_EQ(channel.count(), paused);
    sucker->resume();
    ASSERT_TRUE(eventually([&] { return channel.count() >= paused + 3; }));
    if (pausedFirst) {
      sucker->pause();
    }
    sucker->stopSucker();
    EXPECT_EQ(sucker->state(), IThread::kStopped);
    const size_t after = channel.count();
    JThread::sleep(50);
    EXPECT_EQ(channel.count(), after);
  }
  sucker.reset();
  a.disconnect();
}

TEST_F(Registry, ASuckerWithoutFramesSendsNothingAndStopsAtOnce) {
  struct Case {
    const char* name;
    bool connected;
    size_t frames;  // the newest frame, published before the sucker came
    int pauseMs;    // of the channel after the frame
  } const cases[] = {{"idle stream", true, 1, 0},
                     {"no stream at all", false, 0, 0},
                     {"a channel pausing after a failed send", true, 1, 60000}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // No period: the frames go out at open, none after.
    AudioSoft a(soft(numberedFrames(2, 320), 0));
    if (c.connected) {
      a.connect(nullptr, 0, 0, true);
    }
    Channel channel;
    channel.pauseMs = c.pauseMs;
    std::unique_ptr<IMediaSucker> sucker = a.createSucker(&channel, SuckerParams{});
    sucker->startSucker();
    JThread::sleep(150);
    const auto start = test::Clock::now();
    sucker->stopSucker();
    // The read would sleep 850 ms more to its next poll, the channel its
    // pause: the stop wakes either.
    EXPECT_LT(test::msSince(start), 500);
    EXPECT_EQ(channel.count(), c.frames);
    sucker.reset();
    a.disconnect();
  }
}

// More suckers than the stream has reader slots: those beyond go through
// relays, every one of them gets every frame in order with its header, and
// the relays go with the last sucker that needed them.
TEST_F(Registry, MoreSuckersThanReaderSlotsAllGetEveryFrame) {
  AudioSoft a(soft(numberedFrames(3, 320), 10));
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
    SCOPED_TRACE(i);
    ASSERT_TRUE(eventually([&] { return channels[i]->count() >= had[i] + 5; }));
  }
  for (size_t i = 0; i < kSuckers; ++i) {
    suckers[i]->stopSucker();
  }
  const auto expected = numberedFrames(3, 320);
  for (size_t i = 0; i < kSuckers; ++i) {
    SCOPED_TRACE(i);
    const auto frames = channels[i]->frames();
    for (size_t f = 0; f < frames.size(); ++f) {
      EXPECT_EQ(frames[f].flags, 0u);
      EXPECT_EQ(frames[f].stamp >> 63, 0u);
      EXPECT_NE(frames[f].stamp, 0u);
      // In order; a reader stalled longer than the stream's queue (a busy
      // machine) loses frames, as on any stream.
      EXPECT_TRUE(f == 0 || frames[f].key > frames[f - 1].key) << f;
      EXPECT_EQ(frames[f].data, expected[frames[f].key % 3]);
    }
    const auto pieces = channels[i]->pieceCounts();
    EXPECT_TRUE(std::ranges::all_of(pieces, [](size_t n) { return n == 2; }));
  }
  EXPECT_EQ(a.relayCount(), 0u);
  EXPECT_EQ(a.getStream()->clientCount(), 0u);
  suckers.clear();
  a.disconnect();
}

}  // namespace
}  // namespace zq
