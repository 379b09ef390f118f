// The audio media objects: their frame geometry and its errors, the record
// they describe themselves with, binding to a shared source once, the
// parameters and statistics of the sound-card and board inputs, and the
// sucker threads: frames handed on in order with their header, pause,
// prompt stop (through a channel's pause after a failed send too), and more
// suckers on one stream than it has reader slots.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "audio/mixer.h"
#include "audio/simulated_board.h"
#include "base/registry_key.h"
#include "helpers/log_capture.h"
#include "helpers/temp_dir.h"
#include "helpers/thrown.h"
#include "helpers/waits.h"
#include "media/audio_media.h"
#include "media/provider_test_support.h"
#include "media/shared_mike.h"
#include "stream/media_packet.h"
#include "stream/stream_table.h"

namespace zq {
namespace {

using test::numberedFrames;
using test::paramsOf;
using test::thrownText;

using test::eventually;



MikeDesc softDesc(size_t frames, int32_t period) {
  MikeDesc d;
  d.type = MikeDesc::kSoft;
  d.setStreamInfo(StreamInfo::makePcmStreamInfo(8000, 16, 1, 160));
  d.frames = numberedFrames(frames, 320);
  d.period = period;
  return d;
}

// A channel that keeps what the sucker hands it.
class Recorder : public IMediaSuckerNotify {
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

struct Registry : ::testing::Test {
  void SetUp() override {
    JSystemRegistryKey key(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta\\WaveIn\\Device1");
    key.setString("Type", "tone");
  }
  void TearDown() override { EXPECT_EQ(SharedMike::registeredCount(), 0u); }
  test::ScopedRegistryDir registry_;
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
  MikeDesc local;
  local.type = MikeDesc::kLocal;
  MikeDesc file;
  file.type = MikeDesc::kFile;
  MikeDesc soft;
  soft.type = MikeDesc::kSoft;
  MikeDesc network;
  network.type = MikeDesc::kNetwork;
  EXPECT_EQ(thrownText([&] { AudioLive a(file); }), "invalid camera desc type");
  EXPECT_EQ(thrownText([&] { AudioLive a(network); }), "invalid camera desc type");
  EXPECT_EQ(thrownText([&] { AudioFile a(local); }), "invalid Mike desc type");
  EXPECT_EQ(thrownText([&] { AudioSoft a(file); }), "invalid mike desc type");
  EXPECT_EQ(thrownText([&] { AudioLive a(local); }), "");
  EXPECT_EQ(thrownText([&] { AudioFile a(file); }), "");
  EXPECT_EQ(thrownText([&] { AudioSoft a(soft); }), "");
}

TEST_F(Registry, TheMediaRecordIsFilledAsFarAsItsCapacityGoes) {
  AudioSoft a(softDesc(2, 0));
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
  AudioSoft a(softDesc(3, 0));
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
  AudioSoft a(softDesc(2, 5));
  a.connect(nullptr, 0, 0, true);
  Recorder channel;
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
    AudioSoft a(softDesc(2, 0));  // no period: the frames go out at open, none after
    if (c.connected) {
      a.connect(nullptr, 0, 0, true);
    }
    Recorder channel;
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
  AudioSoft a(softDesc(3, 10));
  a.connect(nullptr, 0, 0, true);
  constexpr size_t kSuckers = 75;
  std::vector<std::unique_ptr<Recorder>> channels;
  std::vector<std::unique_ptr<IMediaSucker>> suckers;
  for (size_t i = 0; i < kSuckers; ++i) {
    channels.push_back(std::make_unique<Recorder>());
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
