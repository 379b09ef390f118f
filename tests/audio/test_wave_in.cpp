// The wave-input devices as the capture source drives them: the tone and the
// WAVE file in real time, the call-order faults and their codes, reset and
// close, what open leaves behind, and the device's thread racing the caller.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "audio/wave_in.h"
#include "base/registry_key.h"
#include "helpers/log_capture.h"
#include "helpers/temp_dir.h"
#include "helpers/waits.h"
#include "wave_bytes.h"

namespace zq {
namespace {

using namespace test;
using namespace std::chrono_literals;

constexpr int kWaitMs = 10000;

WaveFormat pcm(uint32_t rate, uint16_t bits, uint16_t channels) {
  const auto align = static_cast<uint16_t>(channels * bits / 8);
  return {kWaveFormatPcm, channels, rate, rate * align, align, bits, 0};
}

size_t entries(const char* dir) {
  return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(dir),
                                           std::filesystem::directory_iterator()));
}

JSystemRegistryKey device(int number) {
  return JSystemRegistryKey(HKEY_LOCAL_MACHINE,
                            "SOFTWARE\\Quorvanta\\WaveIn\\Device" + std::to_string(number));
}

// One open device and the buffers lent to it, given back and closed at the end.
struct Capture {
  JFlag event;
  WaveInHandle handle = nullptr;
  WaveFormat format{};
  std::deque<WaveHeader> headers;
  std::deque<Bytes> memory;
  size_t next = 0;

  uint32_t open(uint32_t index, const WaveFormat& f) {
    format = f;
    return waveInOpen(&handle, index, f, &event, 0, kCallbackEvent);
  }
  WaveHeader& make(uint32_t bytes) {
    memory.emplace_back(bytes, 0xEE);
    WaveHeader& h = headers.emplace_back();
    h.data = memory.back().data();
    h.bufferLength = bytes;
    return h;
  }
  void add(size_t count, uint32_t bytes) {
    for (size_t i = 0; i < count; ++i) {
      WaveHeader& h = make(bytes);
      ASSERT_EQ(waveInPrepareHeader(handle, &h), kMmNoError);
      ASSERT_EQ(waveInAddBuffer(handle, &h), kMmNoError);
    }
  }
  bool signalled(int ms = kWaitMs) {
    try {
      event.wait(ms);
      return true;
    } catch (const JTimeoutError&) {
      return false;
    }
  }
  // Takes `count` buffers in the order they were queued, each full, queueing
  // each again as the capture source does; their bytes, and when each was seen.
  Bytes take(size_t count, std::vector<Clock::time_point>* seen = nullptr) {
    Bytes out;
    while (count > 0) {
      WaveHeader& h = headers[next];
      if (h.flags.load(std::memory_order_acquire) & kWaveHeaderDone) {
        EXPECT_EQ(h.flags.load() & kWaveHeaderInQueue, 0u);
        EXPECT_EQ(h.bytesRecorded, h.bufferLength / format.blockAlign * format.blockAlign);
        out.insert(out.end(), h.data, h.data + h.bytesRecorded);
        if (seen) {
          seen->push_back(Clock::now());
        }
        const uint32_t length = h.bufferLength;
        h.clear();
        h.bufferLength = length;
        EXPECT_EQ(waveInPrepareHeader(handle, &h), kMmNoError);
        EXPECT_EQ(waveInAddBuffer(handle, &h), kMmNoError);
        next = (next + 1) % headers.size();
        --count;
        continue;
      }
      for (const WaveHeader& other : headers) {
        if (other.flags.load(std::memory_order_acquire) & kWaveHeaderDone) {
          ADD_FAILURE() << "a buffer queued later was done first";
          return out;
        }
      }
      if (!signalled()) {
        ADD_FAILURE() << "no buffer done in time";
        return out;
      }
    }
    return out;
  }
  ~Capture() {
    if (handle != nullptr) {
      EXPECT_EQ(waveInReset(handle), kMmNoError);
      for (WaveHeader& h : headers) {
        EXPECT_EQ(waveInUnprepareHeader(handle, &h), kMmNoError);
      }
      EXPECT_EQ(waveInClose(handle), kMmNoError);
    }
  }
};

// Sample n of channel c as a signed value.
int sampleAt(const Bytes& b, const WaveFormat& f, size_t n, int c) {
  const size_t at = n * f.blockAlign + static_cast<size_t>(c) * f.bitsPerSample / 8;
  return f.bitsPerSample == 8 ? b[at] - 128 : static_cast<int16_t>(b[at] | (b[at + 1] << 8));
}

// Every frame of a started device is due at start + its end: seen no earlier.
void expectPaced(const std::vector<Clock::time_point>& seen, Clock::time_point start,
                 double bufferSeconds) {
  for (size_t k = 0; k < seen.size(); ++k) {
    EXPECT_GE(seen[k] - start, std::chrono::duration<double>((k + 1) * bufferSeconds)) << k;
  }
}

class WaveIn : public ::testing::Test {
 protected:
  LogCapture log_;  // also the test's own registry
};

struct ToneCase {
  const char* name;
  uint32_t frequency, level, rate;
  uint16_t bits, channels;
  uint32_t bufferBytes;
};

TEST_F(WaveIn, ToneIsARealTimeSineContinuousAcrossBuffers) {
  const ToneCase cases[] = {
      {"440 Hz mono 16 bits", 440, 50, 44100, 16, 1, 3528},
      {"440 Hz stereo 16 bits, a partial frame", 440, 50, 48000, 16, 2, 3842},
      {"440 Hz mono 8 bits", 440, 80, 8000, 8, 1, 321},
      {"1000 Hz stereo 8 bits full scale, a partial frame", 1000, 100, 22050, 8, 2, 883},
  };
  for (const ToneCase& c : cases) {
    SCOPED_TRACE(c.name);
    JSystemRegistryKey key = device(1);
    key.setString("Type", "tone");
    key.setDword("Frequency", c.frequency);
    key.setDword("Level", c.level);
    Capture capture;
    const WaveFormat f = pcm(c.rate, c.bits, c.channels);
    ASSERT_EQ(capture.open(0, f), kMmNoError);
    capture.add(3, c.bufferBytes);
    std::vector<Clock::time_point> seen;
    const Clock::time_point start = Clock::now();
    ASSERT_EQ(waveInStart(capture.handle), kMmNoError);
    const Bytes got = capture.take(10, &seen);
    const size_t frames = got.size() / f.blockAlign;
    ASSERT_EQ(frames, 10 * (c.bufferBytes / f.blockAlign));
    expectPaced(seen, start, static_cast<double>(c.bufferBytes / f.blockAlign) / c.rate);

    const double amplitude = (c.bits == 8 ? 127.0 : 32767.0) * c.level / 100.0;
    const double twoCos = 2 * std::cos(2 * std::numbers::pi * c.frequency / c.rate);
    int peak = 0;
    int cycles = 0;
    for (size_t n = 0; n < frames; ++n) {
      const int x = sampleAt(got, f, n, 0);
      for (int ch = 1; ch < c.channels; ++ch) {
        ASSERT_EQ(sampleAt(got, f, n, ch), x) << "frame " << n;
      }
      peak = std::max(peak, std::abs(x));
      if (n > 0 && sampleAt(got, f, n - 1, 0) < 0 && x >= 0) {
        ++cycles;
      }
      // A sinusoid obeys x[n+1] + x[n-1] = 2 cos(w) x[n]: broken by a jump
      // of phase at a buffer boundary or by another frequency.
      if (n > 0 && n + 1 < frames) {
        const double residue =
            sampleAt(got, f, n + 1, 0) + sampleAt(got, f, n - 1, 0) - twoCos * x;
        ASSERT_LE(std::abs(residue), 2.5) << "frame " << n;
      }
    }
    EXPECT_NEAR(peak, amplitude, amplitude * 0.02 + 1);
    EXPECT_NEAR(cycles, static_cast<double>(c.frequency) * frames / c.rate, 1.0);
    EXPECT_TRUE(log_.contains(jformat("tone %u Hz level %u", c.frequency, c.level)));
  }
}

TEST_F(WaveIn, WithoutDevicesTheListIsAToneAndAlsa) {
  EXPECT_EQ(waveInGetNumDevs(), 2u);
  Capture capture;
  const WaveFormat f = pcm(8000, 16, 1);
  ASSERT_EQ(capture.open(0, f), kMmNoError);
  capture.add(2, 1600);
  ASSERT_EQ(waveInStart(capture.handle), kMmNoError);
  const Bytes got = capture.take(2);
  int cycles = 0;
  for (size_t n = 1; n < got.size() / 2; ++n) {
    cycles += sampleAt(got, f, n - 1, 0) < 0 && sampleAt(got, f, n, 0) >= 0 ? 1 : 0;
  }
  EXPECT_NEAR(cycles, 200, 1);  // 1000 Hz for 0.2 s
  // The list ends at the first missing number.
  device(1).setString("Type", "tone");
  device(2).setString("Type", "file");
  device(4).setString("Type", "tone");
  EXPECT_EQ(waveInGetNumDevs(), 2u);
}

struct OpenCase {
  const char* name;
  uint32_t index;
  WaveFormat format;
  uint32_t flags;
  bool event;
  bool handle;
  uint32_t expected;
};

TEST_F(WaveIn, OpenRefusesWhatItCannotTake) {
  device(1).setString("Type", "tone");
  device(2).setString("Type", "midi");
  const WaveFormat good = pcm(8000, 16, 1);
  auto with = [&](auto change) {
    WaveFormat f = good;
    change(f);
    return f;
  };
  const OpenCase cases[] = {
      {"past the list", 2, good, kCallbackEvent, true, true, kMmBadDeviceId},
      {"far past the list", 0xFFFFFFFF, good, kCallbackEvent, true, true, kMmBadDeviceId},
      {"unknown type", 1, good, kCallbackEvent, true, true, kMmNoDriver},
      {"no flag", 0, good, 0, true, true, kMmInvalidFlag},
      {"another flag too", 0, good, kCallbackEvent | 1, true, true, kMmInvalidFlag},
      {"no event", 0, good, kCallbackEvent, false, true, kMmInvalidParam},
      {"no handle", 0, good, kCallbackEvent, true, false, kMmInvalidParam},
      {"float", 0, with([](WaveFormat& f) { f.formatTag = 3; }), kCallbackEvent, true, true, kWaveBadFormat},
      {"3 channels", 0, pcm(8000, 16, 3), kCallbackEvent, true, true, kWaveBadFormat},
      {"0 channels", 0, pcm(8000, 16, 0), kCallbackEvent, true, true, kWaveBadFormat},
      {"24 bits", 0, pcm(8000, 24, 1), kCallbackEvent, true, true, kWaveBadFormat},
      {"block align", 0, with([](WaveFormat& f) { f.blockAlign = 4; }), kCallbackEvent, true, true, kWaveBadFormat},
      {"bytes per second", 0, with([](WaveFormat& f) { f.avgBytesPerSec += 2; }), kCallbackEvent, true, true, kWaveBadFormat},
      {"rate 0", 0, pcm(0, 16, 1), kCallbackEvent, true, true, kWaveBadFormat},
      {"rate too low", 0, pcm(1000, 16, 1), kCallbackEvent, true, true, kWaveBadFormat},
      {"rate too high", 0, pcm(384000, 16, 1), kCallbackEvent, true, true, kWaveBadFormat},
  };
  const size_t threads = entries("/proc/self/task");
  for (const OpenCase& c : cases) {
    SCOPED_TRACE(c.name);
    JFlag event;
    auto stale = reinterpret_cast<WaveInHandle>(uintptr_t{1});
    EXPECT_EQ(waveInOpen(c.handle ? &stale : nullptr, c.index, c.format, c.event ? &event : nullptr,
                         0, c.flags),
              c.expected);
    EXPECT_EQ(stale, c.handle ? nullptr : reinterpret_cast<WaveInHandle>(uintptr_t{1}));
  }
  EXPECT_LE(entries("/proc/self/task"), threads);  // one of an earlier test may just have gone
}

struct FaultCase {
  const char* name;
  std::function<uint32_t(Capture&)> call;
  uint32_t expected;
};

TEST_F(WaveIn, CallOrderFaultsHaveTheirCodes) {
  device(1).setString("Type", "tone");
  const FaultCase cases[] = {
      {"add unprepared", [](Capture& c) { return waveInAddBuffer(c.handle, &c.make(64)); }, kWaveUnprepared},
      {"add after unprepare", [](Capture& c) {
         WaveHeader& h = c.make(64);
         waveInPrepareHeader(c.handle, &h);
         waveInUnprepareHeader(c.handle, &h);
         return waveInAddBuffer(c.handle, &h);
       }, kWaveUnprepared},
      {"add twice", [](Capture& c) { c.add(1, 64); return waveInAddBuffer(c.handle, &c.headers[0]); }, kWaveStillPlaying},
      {"unprepare queued", [](Capture& c) { c.add(1, 64); return waveInUnprepareHeader(c.handle, &c.headers[0]); }, kWaveStillPlaying},
      {"prepare queued", [](Capture& c) { c.add(1, 64); return waveInPrepareHeader(c.handle, &c.headers[0]); }, kWaveStillPlaying},
      {"close with a buffer queued", [](Capture& c) { c.add(1, 64); return waveInClose(c.handle); }, kWaveStillPlaying},
      {"close started with a buffer queued", [](Capture& c) {
         c.add(1, 64000);
         waveInStart(c.handle);
         return waveInClose(c.handle);
       }, kWaveStillPlaying},
      {"buffer under one frame", [](Capture& c) {
         WaveHeader& h = c.make(1);
         waveInPrepareHeader(c.handle, &h);
         return waveInAddBuffer(c.handle, &h);
       }, kMmInvalidParam},
      {"prepare without data", [](Capture& c) { WaveHeader h; h.bufferLength = 8; return waveInPrepareHeader(c.handle, &h); }, kMmInvalidParam},
      {"add null", [](Capture& c) { return waveInAddBuffer(c.handle, nullptr); }, kMmInvalidParam},
      {"stats into null", [](Capture& c) { return waveInGetStats(c.handle, nullptr); }, kMmInvalidParam},
  };
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(c.name);
    Capture capture;
    ASSERT_EQ(capture.open(0, pcm(8000, 16, 1)), kMmNoError);
    EXPECT_EQ(c.call(capture), c.expected);
  }

  // A null handle, and one that was closed, name no device.
  Capture closed;
  ASSERT_EQ(closed.open(0, pcm(8000, 16, 1)), kMmNoError);
  WaveHeader& h = closed.make(64);
  ASSERT_EQ(waveInClose(closed.handle), kMmNoError);
  for (WaveInHandle handle : {WaveInHandle{}, closed.handle}) {
    WaveInStats stats;
    EXPECT_EQ(waveInPrepareHeader(handle, &h), kMmInvalidHandle);
    EXPECT_EQ(waveInUnprepareHeader(handle, &h), kMmInvalidHandle);
    EXPECT_EQ(waveInAddBuffer(handle, &h), kMmInvalidHandle);
    EXPECT_EQ(waveInStart(handle), kMmInvalidHandle);
    EXPECT_EQ(waveInReset(handle), kMmInvalidHandle);
    EXPECT_EQ(waveInGetStats(handle, &stats), kMmInvalidHandle);
    EXPECT_EQ(waveInClose(handle), kMmInvalidHandle);
  }
  closed.handle = nullptr;
}

TEST_F(WaveIn, ErrorTexts) {
  char text[64];
  EXPECT_EQ(waveInGetErrorText(kWaveStillPlaying, text, sizeof text), kMmNoError);
  EXPECT_STREQ(text, "The device is still recording.");
  EXPECT_EQ(waveInGetErrorText(kMmBadDeviceId, text, 11), kMmNoError);
  EXPECT_STREQ(text, "The device");
  EXPECT_EQ(waveInGetErrorText(0x10000 + kMmError, text, sizeof text), kMmBadErrorNumber);
  EXPECT_STREQ(text, "");
  EXPECT_EQ(waveInGetErrorText(kMmError, nullptr, 8), kMmInvalidParam);
}

TEST_F(WaveIn, ResetGivesBackEveryQueuedBufferAndCaptureResumes) {
  device(1).setString("Type", "tone");
  for (const bool started : {false, true}) {
    SCOPED_TRACE(started ? "started, one buffer taken" : "never started");
    Capture c;
    ASSERT_EQ(c.open(0, pcm(8000, 16, 1)), kMmNoError);
    c.add(1, 800);      // 50 ms
    c.add(2, 160000);   // 10 s: never done before the reset
    if (started) {
      ASSERT_EQ(waveInStart(c.handle), kMmNoError);
      c.take(1);
    }
    ASSERT_EQ(waveInReset(c.handle), kMmNoError);
    EXPECT_TRUE(signalledNow(c.event));
    for (WaveHeader& h : c.headers) {
      EXPECT_EQ(h.flags.load(), kWaveHeaderDone | kWaveHeaderPrepared);
      EXPECT_EQ(h.bytesRecorded, 0u);
    }
    EXPECT_EQ(waveInReset(c.handle), kMmNoError);
    EXPECT_FALSE(signalledNow(c.event)) << "a reset with nothing queued gave something back";
    // Queued again and started, the device records from the first buffer on.
    c.next = 0;
    for (WaveHeader& h : c.headers) {
      ASSERT_EQ(waveInAddBuffer(c.handle, &h), kMmNoError);
    }
    ASSERT_EQ(waveInStart(c.handle), kMmNoError);
    EXPECT_EQ(c.take(1).size(), 800u);
  }
}

struct WaveFileCase {
  const char* name;
  bool loop;
  uint16_t bits, channels;
};

TEST_F(WaveIn, FileComesBackByteForByteInRealTime) {
  const WaveFileCase cases[] = {
      {"once, 16-bit mono", false, 16, 1},
      {"looping, 16-bit mono", true, 16, 1},
      {"once, 8-bit stereo", false, 8, 2},
      {"looping, 8-bit stereo", true, 8, 2},
  };
  TempDir dir;
  for (const WaveFileCase& c : cases) {
    SCOPED_TRACE(c.name);
    const WaveFormat f = pcm(8000, c.bits, c.channels);
    const Bytes data = samples(3000 * f.blockAlign);  // 375 ms
    const std::string path = (dir.path() / "in.wav").string();
    writeFile(path, riff({chunk("fmt ", fmt(1, c.channels, 8000, c.bits)), chunk("data", data)}));
    JSystemRegistryKey key = device(1);
    key.setString("Type", "file");
    key.setString("Path", path);
    key.setDword("Loop", c.loop ? 1 : 0);
    Capture capture;
    ASSERT_EQ(capture.open(0, f), kMmNoError);
    capture.add(3, 1000 * f.blockAlign);
    std::vector<Clock::time_point> seen;
    const Clock::time_point start = Clock::now();
    ASSERT_EQ(waveInStart(capture.handle), kMmNoError);
    const Bytes got = capture.take(5, &seen);
    expectPaced(seen, start, 0.125);
    Bytes expected = data;
    const Bytes tail = c.loop ? Bytes(data.begin(), data.begin() + 2000 * f.blockAlign)
                              : Bytes(2000 * f.blockAlign, c.bits == 8 ? 0x80 : 0);
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_TRUE(got == expected);
  }
}

struct BadFileCase {
  const char* name;
  std::function<void(const std::string&)> make;
  WaveFormat asked;
  uint32_t expected;
};

TEST_F(WaveIn, BadFilesFailToOpenAndLeaveNothing) {
  TempDir dir;
  const WaveFormat mono = pcm(8000, 16, 1);
  auto file = [](Bytes b) { return [b](const std::string& p) { writeFile(p, b); }; };
  const Bytes fmtChunk = chunk("fmt ", fmt(1, 1, 8000, 16));
  const BadFileCase cases[] = {
      {"missing", [](const std::string&) {}, mono, kMmBadDeviceId},
      {"a directory", [](const std::string& p) { std::filesystem::create_directory(p); }, mono, kMmBadDeviceId},
      {"empty", file({}), mono, kMmError},
      {"short header", file({'R', 'I', 'F', 'F', 4, 0, 0, 0, 'W', 'A'}), mono, kMmError},
      {"cut in a chunk header", file(cut(riff({fmtChunk, chunk("data", samples(8))}), 12)), mono, kMmError},
      {"data chunk cut before a frame", file(riff({fmtChunk, chunk("data", samples(1), 100, false)})), mono, kMmError},
      {"not PCM", file(riff({chunk("fmt ", fmt(3, 1, 8000, 32)), chunk("data", samples(8))})), pcm(8000, 16, 2), kWaveBadFormat},
      {"another rate", file(riff({fmtChunk, chunk("data", samples(8))})), pcm(11025, 16, 1), kWaveBadFormat},
      {"another channel count", file(riff({fmtChunk, chunk("data", samples(8))})), pcm(8000, 16, 2), kWaveBadFormat},
      {"another sample size", file(riff({fmtChunk, chunk("data", samples(8))})), pcm(8000, 8, 1), kWaveBadFormat},
  };
  const size_t threads = entries("/proc/self/task");
  const size_t descriptors = entries("/proc/self/fd");
  int n = 0;
  for (const BadFileCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = (dir.path() / ("bad" + std::to_string(n++))).string();
    c.make(path);
    JSystemRegistryKey key = device(1);
    key.setString("Type", "file");
    key.setString("Path", path);
    Capture capture;
    EXPECT_EQ(capture.open(0, c.asked), c.expected);
    EXPECT_EQ(capture.handle, nullptr);
    EXPECT_TRUE(log_.contains(path));
  }
  EXPECT_LE(entries("/proc/self/task"), threads);  // one of an earlier test may just have gone
  EXPECT_EQ(entries("/proc/self/fd"), descriptors);
}

TEST_F(WaveIn, AlsaCapturePcm) {
  JSystemRegistryKey key = device(1);
  key.setString("Type", "alsa");
  key.setString("Name", "zq-no-such-pcm");
  const size_t threads = entries("/proc/self/task");
  Capture missing;
  EXPECT_EQ(missing.open(0, pcm(8000, 16, 1)), kMmBadDeviceId);
  EXPECT_LE(entries("/proc/self/task"), threads);  // one of an earlier test may just have gone

  // ALSA's null PCM needs no card: it gives silence as fast as it is read.
  key.setString("Name", "null");
  Capture null;
  if (null.open(0, pcm(8000, 16, 2)) != kMmNoError) {
    GTEST_SKIP() << "no ALSA null PCM here";
  }
  null.add(3, 4000);
  ASSERT_EQ(waveInStart(null.handle), kMmNoError);
  EXPECT_TRUE(null.take(6) == Bytes(6 * 4000, 0));
}

struct LeakCase {
  const char* name;
  const char* type;
  const char* setting;
  const char* value;
  uint32_t expected;
};

TEST_F(WaveIn, OpenAndCloseLeaveNoThreadNorDescriptor) {
  TempDir dir;
  const std::string path = (dir.path() / "tone.wav").string();
  writeFile(path, riff({chunk("fmt ", fmt(1, 1, 8000, 16)), chunk("data", samples(800))}));
  const LeakCase cases[] = {
      {"tone", "tone", "Level", nullptr, kMmNoError},
      {"file", "file", "Path", path.c_str(), kMmNoError},
      {"alsa null", "alsa", "Name", "null", kMmNoError},
      {"alsa missing", "alsa", "Name", "zq-no-such-pcm", kMmBadDeviceId},
  };
  for (const LeakCase& c : cases) {
    SCOPED_TRACE(c.name);
    JSystemRegistryKey key = device(1);
    key.setString("Type", c.type);
    if (c.value != nullptr) {
      key.setString(c.setting, c.value);
    }
    auto cycle = [&c] {
      Capture capture;
      const uint32_t result = capture.open(0, pcm(8000, 16, 1));
      ASSERT_EQ(result, c.expected);
      if (result == kMmNoError) {
        capture.add(2, 1600);
        ASSERT_EQ(waveInStart(capture.handle), kMmNoError);
      }
    };
    const size_t threads = entries("/proc/self/task");
    cycle();  // loads what stays loaded (ALSA's configuration)
    const size_t descriptors = entries("/proc/self/fd");
    for (int round = 0; round < 20; ++round) {
      cycle();
    }
    // A joined thread may linger a moment in the list.
    EXPECT_TRUE(eventually([&] { return entries("/proc/self/task") <= threads; }, kWaitMs));
    EXPECT_EQ(entries("/proc/self/fd"), descriptors);
  }
}

// The device's thread completes buffers while the caller queues them again at
// once: every buffer comes back exactly once, none lost, none twice.
TEST_F(WaveIn, BuffersAddedWhileTheThreadCompletesOthers) {
  device(1).setString("Type", "tone");
  Capture c;
  ASSERT_EQ(c.open(0, pcm(8000, 16, 1)), kMmNoError);
  c.add(2, 32);  // 2 ms each
  ASSERT_EQ(waveInStart(c.handle), kMmNoError);
  const size_t taken = c.take(300).size() / 32;
  ASSERT_EQ(taken, 300u);
  ASSERT_EQ(waveInReset(c.handle), kMmNoError);
  size_t filledSinceTaken = 0;
  for (const WaveHeader& h : c.headers) {
    filledSinceTaken += h.bytesRecorded == 32 ? 1 : 0;
  }
  WaveInStats stats;
  ASSERT_EQ(waveInGetStats(c.handle, &stats), kMmNoError);
  EXPECT_EQ(stats.buffersDone, taken + filledSinceTaken);
}

// A reset lands before, during or after the completion of each buffer: each
// buffer is given back once, either filled or empty, and the device never
// writes into it afterwards.
TEST_F(WaveIn, ResetRacingWithCompletion) {
  device(1).setString("Type", "tone");
  Capture c;
  ASSERT_EQ(c.open(0, pcm(8000, 16, 1)), kMmNoError);
  for (int i = 0; i < 3; ++i) {
    WaveHeader& h = c.make(16);  // 1 ms
    ASSERT_EQ(waveInPrepareHeader(c.handle, &h), kMmNoError);
  }
  uint64_t filled = 0;
  for (int round = 0; round < 150; ++round) {
    SCOPED_TRACE(round);
    for (WaveHeader& h : c.headers) {
      ASSERT_EQ(waveInAddBuffer(c.handle, &h), kMmNoError);
    }
    ASSERT_EQ(waveInStart(c.handle), kMmNoError);
    std::this_thread::sleep_for(std::chrono::microseconds(round * 37 % 4000));
    ASSERT_EQ(waveInReset(c.handle), kMmNoError);
    for (WaveHeader& h : c.headers) {
      ASSERT_EQ(h.flags.load(std::memory_order_acquire), kWaveHeaderDone | kWaveHeaderPrepared);
      ASSERT_TRUE(h.bytesRecorded == 0 || h.bytesRecorded == 16) << h.bytesRecorded;
      filled += h.bytesRecorded == 16 ? 1 : 0;
      h.bytesRecorded = 7;
      std::memset(h.data, 0xAB, 16);
    }
    signalledNow(c.event);
    std::this_thread::sleep_for(1ms);
    for (const WaveHeader& h : c.headers) {
      ASSERT_EQ(h.bytesRecorded, 7u) << "written after the reset";
      ASSERT_EQ(h.data[15], 0xAB) << "written after the reset";
    }
  }
  WaveInStats stats;
  ASSERT_EQ(waveInGetStats(c.handle, &stats), kMmNoError);
  EXPECT_EQ(stats.buffersDone, filled);
}

}  // namespace
}  // namespace zq
