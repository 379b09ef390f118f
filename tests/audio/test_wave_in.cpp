// The RIFF/WAVE header reader (the layouts real files have, each way a file
// can be broken with its problem, its fuzzer's corpus from
// ZQ_WAVE_HEADER_CORPUS_DIR replayed through the fuzzer's property check, the
// bounds of the formats the system plays with their texts), and the
// wave-input devices as the capture source drives them: the tone, the WAVE
// file and the host's pushes in real time, the call-order faults and their
// codes, reset and close, what open leaves behind, and the device's thread
// racing the caller.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <numbers>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "audio/pcm_format.h"
#include "audio/wave_file.h"
#include "audio/wave_in.h"
#include "audio/wavein_host.h"
#include "audio/wavein_source.h"
#include "base/registry_key.h"
#include "helpers/descriptors.h"
#include "helpers/log_capture.h"
#include "helpers/temp_dir.h"
#include "helpers/threads.h"
#include "helpers/waits.h"
#include "mp3_test_support.h"
#include "wave_header_property.h"
#include "wave_test_support.h"

namespace zq {
namespace {

using namespace test;
using namespace std::chrono_literals;

// ---- The header reader -----------------------------------------------------

const Bytes kMono16 = fmt(1, 1, 8000, 16);

struct HeaderCase {
  const char* name;
  Bytes file;
  WaveFileProblem problem;
  size_t dataOffset = 0;
  size_t dataLength = 0;
  bool truncated = false;
  uint16_t channels = 1;
};

TEST(WaveFile, ReadsEveryLayoutAndNamesEveryProblem) {
  const HeaderCase cases[] = {
      {"plain", riff({chunk("fmt ", kMono16), chunk("data", samples(40))}), WaveFileProblem::kNone,
       44, 40},
      {"data before fmt", riff({chunk("data", samples(40)), chunk("fmt ", kMono16)}),
       WaveFileProblem::kNone, 20, 40},
      {"odd chunk padded",
       riff({chunk("LIST", samples(5)), chunk("fmt ", kMono16), chunk("data", samples(8))}),
       WaveFileProblem::kNone, 58, 8},
      {"odd fmt padded",
       riff({chunk("fmt ",
                   [] {
                     Bytes b = kMono16;
                     b.resize(17);
                     return b;
                   }()),
             chunk("data", samples(8))}),
       WaveFileProblem::kNone, 46, 8},
      {"data cut to whole frames", riff({chunk("fmt ", kMono16), chunk("data", samples(9))}),
       WaveFileProblem::kNone, 44, 8},
      {"data longer than file",
       riff({chunk("fmt ", kMono16), chunk("data", samples(11), 400, false)}),
       WaveFileProblem::kNone, 44, 10, true},
      {"extensible PCM", riff({chunk("fmt ", extensible(1)), chunk("data", samples(8))}),
       WaveFileProblem::kNone, 68, 8, false, 2},
      {"last odd chunk unpadded",
       riff({chunk("fmt ", kMono16), chunk("data", samples(8)),
             chunk("junk", samples(3), -1, false)}),
       WaveFileProblem::kNone, 44, 8},
      {"empty", {}, WaveFileProblem::kEmpty},
      {"RIFX",
       [] {
         Bytes b = riff({chunk("fmt ", kMono16)});
         b[3] = 'X';
         return b;
       }(),
       WaveFileProblem::kNotRiffWave},
      {"cut in a chunk header", cut(riff({chunk("fmt ", kMono16), chunk("data", {})}), 1),
       WaveFileProblem::kTruncatedChunkHeader},
      {"cut in the fmt body", cut(riff({chunk("fmt ", kMono16)}), 2),
       WaveFileProblem::kTruncatedFormat},
      {"extensible cut", riff({chunk("fmt ", cut(extensible(1), 2)), chunk("data", samples(8))}),
       WaveFileProblem::kTruncatedFormat},
      {"no fmt", riff({chunk("data", samples(8))}), WaveFileProblem::kNoFormat},
      {"huge chunk hides fmt",
       riff({chunk("junk", samples(4), 0xFFFFFFFF), chunk("fmt ", kMono16)}),
       WaveFileProblem::kNoFormat},
      {"no data", riff({chunk("fmt ", kMono16)}), WaveFileProblem::kNoData},
      {"two fmt", riff({chunk("fmt ", kMono16), chunk("fmt ", kMono16), chunk("data", samples(8))}),
       WaveFileProblem::kDuplicateChunk},
      {"float", riff({chunk("fmt ", fmt(3, 1, 8000, 32)), chunk("data", samples(8))}),
       WaveFileProblem::kNotPcm},
      {"extensible float", riff({chunk("fmt ", extensible(3)), chunk("data", samples(8))}),
       WaveFileProblem::kNotPcm},
      {"no channel", riff({chunk("fmt ", fmt(1, 0, 8000, 16, 2)), chunk("data", samples(8))}),
       WaveFileProblem::kBadFormatFields},
      {"no whole frame", riff({chunk("fmt ", fmt(1, 2, 8000, 16)), chunk("data", samples(3))}),
       WaveFileProblem::kNoWholeFrame},
  };
  for (const HeaderCase& c : cases) {
    SCOPED_TRACE(c.name);
    WaveFileHeader header;
    const WaveFileProblem problem = readWaveHeader(c.file, header);
    ASSERT_EQ(problem, c.problem) << waveFileProblemText(problem);
    if (problem != WaveFileProblem::kNone) {
      continue;
    }
    EXPECT_EQ(header.dataOffset, c.dataOffset);
    EXPECT_EQ(header.dataLength, c.dataLength);
    EXPECT_EQ(header.dataTruncated, c.truncated);
    EXPECT_EQ(header.format.formatTag, kWaveFormatPcm);
    EXPECT_EQ(header.format.channels, c.channels);
    EXPECT_EQ(header.format.blockAlign, c.channels * 2);
    EXPECT_EQ(0, std::memcmp(c.file.data() + header.dataOffset, samples(c.dataLength).data(),
                             c.dataLength));
  }
}

// Every input, whole and cut at every length, keeps the property, and the
// corpus still reaches every answer the reader can give.
TEST(WaveHeaderCorpus, EveryInputKeepsThePropertyAndEveryAnswerIsReached) {
  std::set<WaveFileProblem> reached;
  int inputs = 0;
  for (const auto& entry : std::filesystem::directory_iterator(ZQ_WAVE_HEADER_CORPUS_DIR)) {
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string input(std::istreambuf_iterator<char>(in), {});
    for (size_t size = input.size() + 1; size-- > 0;) {
      WaveFileProblem problem;
      EXPECT_EQ(fuzz::checkWaveHeaderProperty(reinterpret_cast<const uint8_t*>(input.data()), size,
                                              problem),
                "")
          << entry.path().filename() << " cut to " << size;
      reached.insert(problem);
    }
    ++inputs;
  }
  ASSERT_GE(inputs, 12) << "corpus missing at " << ZQ_WAVE_HEADER_CORPUS_DIR;
  for (int p = 0; p <= static_cast<int>(WaveFileProblem::kNoWholeFrame); ++p) {
    EXPECT_EQ(reached.count(static_cast<WaveFileProblem>(p)), 1u)
        << waveFileProblemText(static_cast<WaveFileProblem>(p));
  }
}

TEST(PcmFormat, EachFaultIsNamedWithItsFigures) {
  struct FormatCase {
    const char* name;
    bool pcm;
    uint32_t rate, bits, channels, align, bytesPerSecond, blockSamples;
    const char* problem;
  };
  const FormatCase cases[] = {
      {"PCM at the bounds", true, 4000, 8, 2, 2, 0, 4000, ""},
      {"block not known", true, 192000, 16, 1, 2, 0, 0, ""},
      {"24 bits", true, 8000, 24, 1, 3, 0, 0, "24 bits per sample: 8 and 16 are played"},
      {"3 channels", true, 8000, 16, 3, 6, 0, 0, "3 channels: 1 to 2 are played"},
      {"unpacked samples", true, 8000, 16, 2, 6, 0, 0,
       "block align 6 is not 4 (2 channels of 16 bits)"},
      {"a block over a second", true, 8000, 16, 1, 2, 0, 8001,
       "a block of 8001 samples (16002 bytes) is longer than one second or 1048576 bytes"},
      {"coded, 3 channels", false, 8000, 8, 3, 3, 24000, 200, "3 channels: 1 to 2 are played"},
      {"coded, block align 0", false, 8000, 8, 1, 0, 8000, 200, "block align 0"},
      {"coded, no byte rate", false, 8000, 8, 1, 1, 0, 200, "a byte rate of 0"},
  };
  // A rate past the highest and a coded block over 1 MiB are refused with
  // their texts where a WAVE file is read (WaveInputTest).
  for (const FormatCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(
        c.pcm ? pcmFormatProblem(c.rate, c.bits, c.channels, c.align, c.blockSamples)
              : codedFormatProblem(c.rate, c.channels, c.align, c.bytesPerSecond, c.blockSamples),
        c.problem);
  }
}

// ---- The devices ----------------------------------------------------------

constexpr int kWaitMs = 10000;

WaveFormat pcm(uint32_t rate, uint16_t bits, uint16_t channels) {
  const auto align = static_cast<uint16_t>(channels * bits / 8);
  return {kWaveFormatPcm, channels, rate, rate * align, align, bits, 0};
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
  Clock::time_point started;  // by start()
  size_t taken = 0;           // since start()
  bool paced = true;          // by the clock (not ALSA)
  bool fillDue = false;       // the taker fills the buffers (waveInFillDue)

  uint32_t open(uint32_t index, const WaveFormat& f) {
    format = f;
    return waveInOpen(&handle, index, f, &event, 0, kCallbackEvent);
  }
  WaveHeader& make(uint32_t bytes) {
    WaveHeader& h = headers.emplace_back();
    h.data = memory.emplace_back(bytes, 0xEE).data();
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
  void start() {
    started = Clock::now();
    taken = 0;
    ASSERT_EQ(waveInStart(handle), kMmNoError);
  }
  // Takes `count` buffers in the order they were queued, each full and seen
  // no earlier than its last frame was due (all buffers of one length),
  // queueing each again as the capture source does; their bytes. A buffer
  // done out of order leaves this one waiting: a failure by time-out.
  Bytes take(size_t count) {
    Bytes out;
    while (count > 0) {
      WaveHeader& h = headers[next];
      if (h.flags.load(std::memory_order_acquire) & kWaveHeaderDone) {
        EXPECT_EQ(h.flags.load() & kWaveHeaderInQueue, 0u);
        const uint32_t frames = h.bufferLength / format.blockAlign;
        EXPECT_EQ(h.bytesRecorded, frames * format.blockAlign);
        EXPECT_TRUE(!paced ||
                    Clock::now() - started >= std::chrono::duration<double>(
                                                  double(++taken * frames) / format.samplesPerSec))
            << "seen before it was due";
        out.insert(out.end(), h.data, h.data + h.bytesRecorded);
        const uint32_t length = h.bufferLength;
        h.clear();
        h.bufferLength = length;
        EXPECT_EQ(waveInPrepareHeader(handle, &h), kMmNoError);
        EXPECT_EQ(waveInAddBuffer(handle, &h), kMmNoError);
        next = (next + 1) % headers.size();
        --count;
        continue;
      }
      bool filled = false;
      if (fillDue) {
        EXPECT_EQ(waveInFillDue(handle, &filled), kMmNoError);
      }
      try {
        if (!filled) {
          event.wait(kWaitMs);
        }
      } catch (const JTimeoutError&) {
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

class WaveIn : public ::testing::Test {
 protected:
  LogCapture log_;  // also the test's own registry
};

struct ToneCase {
  const char* name;
  uint32_t frequency, level;  // 0: not configured
  uint32_t rate;
  uint16_t bits, channels;
  uint32_t bufferBytes;
  bool fillDue;
};

TEST_F(WaveIn, ToneIsARealTimeSineContinuousAcrossBuffers) {
  const ToneCase cases[] = {
      {"no device configured: 1000 Hz at 50 %, 8 bits, a partial frame", 0, 0, 8000, 8, 2, 803,
       false},
      // A taker filling them itself loses what it falls behind beyond its queue: 1 s here.
      {"440 Hz stereo 16 bits, filled by the taker", 440, 50, 44100, 16, 2, 17640, true},
  };
  for (const ToneCase& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.frequency != 0) {
      JSystemRegistryKey key = device(1);
      key.setString("Type", "tone");
      key.setDword("Frequency", c.frequency);
      key.setDword("Level", c.level);
    }
    const uint32_t frequency = c.frequency != 0 ? c.frequency : 1000;
    const uint32_t level = c.level != 0 ? c.level : 50;
    Capture capture;
    capture.fillDue = c.fillDue;
    const WaveFormat f = pcm(c.rate, c.bits, c.channels);
    ASSERT_EQ(capture.open(0, f), kMmNoError);
    // All queued at once: a caller slow to queue again would lose audio.
    capture.add(10, c.bufferBytes);
    capture.start();
    const Bytes got = capture.take(10);
    const size_t frames = got.size() / f.blockAlign;
    ASSERT_EQ(frames, 10 * (c.bufferBytes / f.blockAlign));

    const double amplitude = (c.bits == 8 ? 127.0 : 32767.0) * level / 100.0;
    const double twoCos = 2 * std::cos(2 * std::numbers::pi * frequency / c.rate);
    int peak = 0;
    for (size_t n = 0; n < frames; ++n) {
      const int x = sampleAt(got, f, n, 0);
      ASSERT_EQ(sampleAt(got, f, n, 1), x) << "frame " << n;
      peak = std::max(peak, std::abs(x));
      // A sinusoid obeys x[n+1] + x[n-1] = 2 cos(w) x[n]: broken by a jump
      // of phase at a buffer boundary or by any other frequency.
      if (n > 0 && n + 1 < frames) {
        const double residue = sampleAt(got, f, n + 1, 0) + sampleAt(got, f, n - 1, 0) - twoCos * x;
        ASSERT_LE(std::abs(residue), 2.5) << "frame " << n;
      }
    }
    EXPECT_NEAR(peak, amplitude, amplitude * 0.02 + 1);
    EXPECT_TRUE(log_.contains(jformat("tone %u Hz level %u", frequency, level)));
  }
}

// The pulsed tone sounds in bursts from every multiple of its pulse on the
// monotonic clock (what latency is measured from) and is silent between;
// inside a burst it is the steady tone, and a skip keeps to the schedule.
// Frames too near a burst's edge for the start's uncertainty are not judged.
TEST_F(WaveIn, PulsedToneSoundsInBurstsOnTheMonotonicClock) {
  const WaveFormat f = pcm(8000, 16, 1);
  const auto steady = makeToneSource(f, 1000, 50);
  const auto now = [] { return uint64_t(Clock::now().time_since_epoch() / 1ns); };
  // A start preempted between the clock reads leaves the edges uncertain:
  // a busy machine gets a few more tries.
  decltype(makeToneSource(f, 1000, 50, 200)) pulsed;
  uint64_t before = 0;
  uint64_t after = 0;
  for (int tries = 0; tries < 20 && (tries == 0 || after - before > 2000000); ++tries) {
    pulsed = makeToneSource(f, 1000, 50, 200);
    before = now();
    ASSERT_EQ(pulsed->start(), kMmNoError);
    after = now();
  }
  Bytes got(16000), want(16000);
  for (int part = 0; part < 2; ++part) {  // 500 ms, 125 ms skipped, 500 ms
    ASSERT_EQ(pulsed->read(got.data() + part * 8000, 4000, {}), 4000u);
    ASSERT_EQ(steady->read(want.data() + part * 8000, 4000, {}), 4000u);
    pulsed->skip(1000);
    steady->skip(1000);
  }
  const auto inBurst = [](uint64_t startNs, size_t n) {
    const uint64_t at = startNs + (n < 4000 ? n : n + 1000) * 125000;
    return at % 200000000 < uint64_t{kToneBurstMs} * 1000000;
  };
  size_t judged = 0;
  for (size_t n = 0; n < 8000; ++n) {
    if (inBurst(before, n) == inBurst(after, n)) {
      ++judged;
      ASSERT_EQ(sampleAt(got, f, n, 0), inBurst(before, n) ? sampleAt(want, f, n, 0) : 0)
          << "frame " << n;
    }
  }
  EXPECT_GT(judged, 6000u);
}

struct OpenCase {
  const char* name;
  uint32_t index;
  WaveFormat format;
  uint32_t flags;
  bool handle;
  uint32_t expected;
  const char* type = "tone";  // of device 1
  Bytes file = {};            // written where a file device reads, when given
  bool event = true;
};

// One case per check of open, and what a WAVE file's device answers for
// each kind of failure; every bound of the playable formats and every way
// a header is broken has its own test (PcmFormat, WaveFile).
TEST_F(WaveIn, OpenRefusesWhatItCannotTake) {
  device(2).setString("Type", "midi");
  device(4).setString("Type", "tone");  // after a gap: not listed
  const uint32_t cb = kCallbackEvent;
  const WaveFormat mono = pcm(8000, 16, 1);
  WaveFormat floats = mono;
  floats.formatTag = 3;
  const Bytes good = riff({chunk("fmt ", fmt(1, 1, 8000, 16)), chunk("data", samples(8))});
  const OpenCase cases[] = {
      {"another flag too", 0, mono, cb | 1, true, kMmInvalidFlag},
      {"past the list", 2, mono, cb, true, kMmBadDeviceId},
      {"unknown type", 1, mono, cb, true, kMmNoDriver},
      {"no handle", 0, mono, cb, false, kMmInvalidParam},
      {"no event", 0, mono, cb, true, kMmInvalidParam, "tone", {}, false},
      {"float", 0, floats, cb, true, kWaveBadFormat},
      {"missing file", 0, mono, cb, true, kMmBadDeviceId, "file"},
      {"not a WAVE file", 0, mono, cb, true, kMmError, "file", Bytes(12, 'x')},
      {"a file of another rate", 0, pcm(11025, 16, 1), cb, true, kWaveBadFormat, "file", good},
  };
  TempDir dir;
  for (const OpenCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = (dir.path() / c.name).string();
    JSystemRegistryKey key = device(1);
    key.setString("Type", c.type);
    key.setString("Path", path);
    if (!c.file.empty()) {
      writeFile(path, c.file);
    }
    EXPECT_EQ(waveInGetNumDevs(), 2u);  // the gap ends the list
    JFlag event;
    const auto before = reinterpret_cast<WaveInHandle>(uintptr_t{1});
    WaveInHandle handle = before;
    EXPECT_EQ(waveInOpen(c.handle ? &handle : nullptr, c.index, c.format,
                         c.event ? &event : nullptr, 0, c.flags),
              c.expected);
    EXPECT_EQ(handle, c.handle ? nullptr : before);
    EXPECT_EQ(log_.contains(path), c.type == std::string("file"));
  }
}

struct FaultCase {
  const char* name;
  std::function<uint32_t(Capture&)> call;
  uint32_t expected;
};

TEST_F(WaveIn, CallOrderFaultsHaveTheirCodes) {
  device(1).setString("Type", "tone");
  auto queued = [](Capture& c) -> WaveHeader& {
    c.add(1, 64);
    return c.headers.back();
  };
  const FaultCase cases[] = {
      {"add unprepared", [](Capture& c) { return waveInAddBuffer(c.handle, &c.make(64)); },
       kWaveUnprepared},
      {"add twice", [&](Capture& c) { return waveInAddBuffer(c.handle, &queued(c)); },
       kWaveStillPlaying},
      {"unprepare queued", [&](Capture& c) { return waveInUnprepareHeader(c.handle, &queued(c)); },
       kWaveStillPlaying},
      {"close started with a buffer queued",
       [](Capture& c) {
         c.add(1, 64000);
         c.start();
         return waveInClose(c.handle);
       },
       kWaveStillPlaying},
      {"buffer under one frame",
       [](Capture& c) {
         WaveHeader& h = c.make(1);
         EXPECT_EQ(waveInPrepareHeader(c.handle, &h), kMmNoError);
         return waveInAddBuffer(c.handle, &h);
       },
       kMmInvalidParam},
  };
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(c.name);
    Capture capture;
    ASSERT_EQ(capture.open(0, pcm(8000, 16, 1)), kMmNoError);
    EXPECT_EQ(c.call(capture), c.expected);
  }

  // A closed handle names no device.
  Capture closed;
  ASSERT_EQ(closed.open(0, pcm(8000, 16, 1)), kMmNoError);
  WaveHeader& h = closed.make(64);
  ASSERT_EQ(waveInClose(closed.handle), kMmNoError);
  EXPECT_EQ(waveInAddBuffer(closed.handle, &h), kMmInvalidHandle);
  EXPECT_EQ(waveInClose(closed.handle), kMmInvalidHandle);
  closed.handle = nullptr;
}

// Started with no buffer, what plays is lost, counted, and not played late:
// the buffer queued after it is done on the clock's schedule. A reset gives
// back every queued buffer, done and empty, at once (a taker waiting to fill
// one gives up), and capture resumes from the first buffer queued again; a
// reset with nothing queued signals nothing. (A reset before the start is
// every test's last: the buffers it gives back unprepare.)
TEST_F(WaveIn, DropsWithoutBuffersAndResetGivesThemBack) {
  device(1).setString("Type", "tone");
  Capture c;
  ASSERT_EQ(c.open(0, pcm(8000, 16, 1)), kMmNoError);
  c.start();
  std::this_thread::sleep_for(200ms);
  const Clock::time_point adding = Clock::now();
  c.add(1, 800);     // 50 ms
  c.add(2, 160000);  // 10 s: never done before the reset below
  EXPECT_EQ(c.take(1).size(), 800u);
  EXPECT_GE(Clock::now() - adding, 49ms);  // less the part of a frame the clock had run
  WaveInStats stats;
  ASSERT_EQ(waveInGetStats(c.handle, &stats), kMmNoError);
  EXPECT_GE(stats.droppedFrames, 1600u);  // 200 ms
  EXPECT_EQ(stats.buffersDone, 1u);
  c.fillDue = true;
  std::future<bool> filling = std::async(std::launch::async, [&c] {
    bool filled = true;
    EXPECT_EQ(waveInFillDue(c.handle, &filled), kMmNoError);
    return filled;
  });
  EXPECT_EQ(filling.wait_for(100ms), std::future_status::timeout) << "filled before due";
  ASSERT_EQ(waveInReset(c.handle), kMmNoError);
  ASSERT_EQ(filling.wait_for(std::chrono::milliseconds(kWaitMs)), std::future_status::ready);
  EXPECT_FALSE(filling.get());
  EXPECT_TRUE(signalledNow(c.event));
  for (WaveHeader& h : c.headers) {
    EXPECT_EQ(h.flags.load(), kWaveHeaderDone | kWaveHeaderPrepared);
    EXPECT_EQ(h.bytesRecorded, 0u);
  }
  EXPECT_EQ(waveInReset(c.handle), kMmNoError);
  EXPECT_FALSE(signalledNow(c.event)) << "a reset with nothing queued gave something back";
  c.next = 0;
  for (WaveHeader& h : c.headers) {
    ASSERT_EQ(waveInAddBuffer(c.handle, &h), kMmNoError);
  }
  c.start();
  EXPECT_EQ(c.take(1).size(), 800u);
}

struct WaveFileCase {
  const char* name;
  bool loop;
  uint16_t bits, channels;
};

TEST_F(WaveIn, FileComesBackByteForByteInRealTime) {
  const WaveFileCase cases[] = {
      {"once, 8-bit stereo: then the silence of 8 bits", false, 8, 2},
      {"looping, 16-bit mono", true, 16, 1},
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
    capture.add(5, 1000 * f.blockAlign);
    capture.start();
    Bytes expected = data;
    const Bytes tail = c.loop ? Bytes(data.begin(), data.begin() + 2000 * f.blockAlign)
                              : Bytes(2000 * f.blockAlign, c.bits == 8 ? 0x80 : 0);
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_TRUE(capture.take(5) == expected);
  }
}

// `frames` frames of a 1000 Hz sine at `rate`, the same on every channel.
std::vector<int16_t> sine(uint32_t frames, uint32_t rate, uint32_t channels = 1) {
  return SineGenerator(rate, std::vector<double>(channels, 1000)).next(frames);
}

// Pushes `ms` of the sine in 20 ms pieces, as a console does.
void pushSine(uint32_t ms, uint32_t rate, uint32_t channels) {
  SineGenerator sine(rate, std::vector<double>(channels, 1000));
  for (uint32_t piece = rate / 50, at = 0; at < rate * ms / 1000; at += piece) {
    ASSERT_EQ(ZQWaveInHostWrite(sine.next(piece).data(), piece, rate, channels), 1);
  }
}

// The frames from the first to the last that is not silence.
std::pair<size_t, size_t> soundSpan(const Bytes& b, const WaveFormat& f) {
  size_t first = SIZE_MAX, last = 0;
  for (size_t n = 0; n < b.size() / f.blockAlign; ++n) {
    if (std::abs(sampleAt(b, f, n, 0)) > (f.bitsPerSample == 8 ? 1 : 256)) {
      first = std::min(first, n);
      last = n;
    }
  }
  return {first, last};
}

// Takes buffers until a talk has come and gone: sound, then a whole buffer
// of silence; at most `most` buffers. However late this thread pushed, the
// talk is all there.
Bytes takeTalk(Capture& capture, size_t most) {
  Bytes got;
  bool heard = false;
  for (size_t i = 0; i < most; ++i) {
    const Bytes b = capture.take(1);
    got.insert(got.end(), b.begin(), b.end());
    const bool sound = soundSpan(b, capture.format).first != SIZE_MAX;
    if (heard && !sound) {
      break;
    }
    heard = heard || sound;
  }
  return got;
}

struct HostCase {
  const char* name;
  uint32_t rate;
  uint16_t bits, channels;
  uint32_t pushRate, pushChannels;
};

// A talk in the device's format, continuous across pushes. It is pushed
// before the start: a pusher slower than real time (a loaded machine, a
// sanitizer) would otherwise leave gaps, as it should.
TEST_F(WaveIn, HostFedDevicePlaysPushesInItsFormat) {
  EXPECT_EQ(ZQWaveInHostWrite(sine(441, 44100).data(), 441, 44100, 1), 0) << "no device open";
  device(1).setString("Type", "host");
  const HostCase cases[] = {
      {"mono on both channels", 44100, 16, 2, 44100, 1},
      {"stereo at 48 kHz into 8 kHz mono 8 bits", 8000, 8, 1, 48000, 2},
  };
  for (const HostCase& c : cases) {
    SCOPED_TRACE(c.name);
    Capture capture;
    const WaveFormat f = pcm(c.rate, c.bits, c.channels);
    ASSERT_EQ(capture.open(0, f), kMmNoError);
    // Many queued (1.2 s): a capture starved of buffers drops what waits, as
    // it should, and a test thread on a loaded machine may re-queue late.
    capture.add(60, c.rate / 50 * f.blockAlign);
    pushSine(200, c.pushRate, c.pushChannels);
    ZQWaveInHostEnd();
    capture.start();
    const Bytes got = takeTalk(capture, 80);
    const auto [first, last] = soundSpan(got, f);
    ASSERT_NE(first, SIZE_MAX) << "no sound";
    EXPECT_NEAR(double(last - first + 1), c.rate * 0.2, c.rate / 1000.0 + 2);
    const std::vector<int16_t> pushed = sine(c.rate, c.rate);
    size_t lead = 0;  // the sine's first frames are under the threshold of sound
    while (std::abs(pushed[lead]) <= 256) {
      ++lead;
    }
    int cycles = 0;
    for (size_t n = first; n <= last; ++n) {
      const int x = sampleAt(got, f, n, 0);
      ASSERT_EQ(sampleAt(got, f, n, c.channels - 1), x) << "frame " << n;
      cycles += n > first && sampleAt(got, f, n - 1, 0) < 0 && x >= 0 ? 1 : 0;
      if (c.rate == c.pushRate) {
        ASSERT_EQ(x, pushed.at(n - first + lead)) << "frame " << n;
      }
    }
    EXPECT_NEAR(cycles, 200, 2);
  }
}

// A talk starts once 40 ms are queued (or at its end); the queue never holds
// more than 1 s, and a backlog catches up in its pauses; bad pushes are
// refused. Where a push lands in the device's buffers depends on how late
// this thread runs: nothing here counts on it.
TEST_F(WaveIn, HostFedDeviceStartsAtItsDepthAndDropsPastItsBound) {
  EXPECT_EQ(ZQWaveInHostWrite(nullptr, 1, 44100, 1), -1);
  EXPECT_EQ(ZQWaveInHostWrite(sine(441, 44100, 3).data(), 441, 44100, 3), -1);
  device(1).setString("Type", "host");
  Capture capture;
  const WaveFormat f = pcm(8000, 16, 1);
  ASSERT_EQ(capture.open(0, f), kMmNoError);
  EXPECT_EQ(ZQWaveInHostDevices(), 1);
  capture.add(20, 160 * 2);  // 20 ms each
  capture.start();
  pushSine(20, 8000, 1);
  EXPECT_EQ(soundSpan(capture.take(5), f).first, SIZE_MAX) << "played under its depth";
  pushSine(20, 8000, 1);
  auto [first, last] = soundSpan(takeTalk(capture, 40), f);
  EXPECT_NEAR(double(last - first + 1), 320, 2) << "40 ms once the depth is reached";
  // In one push: pushed in parts, what plays while the rest comes in would
  // add to what is heard.
  ASSERT_EQ(ZQWaveInHostWrite(sine(12000, 8000).data(), 12000, 8000, 1), 1);
  EXPECT_LE(ZQWaveInHostEnd(), 1000u) << "more than its bound queued";
  std::tie(first, last) = soundSpan(takeTalk(capture, 100), f);
  EXPECT_LE(last - first + 1, 8000u) << "more than its bound played";
  WaveInStats stats;
  ASSERT_EQ(waveInGetStats(capture.handle, &stats), kMmNoError);
  EXPECT_GE(stats.overruns, 1u);
  // A backlog (200 ms of pause, then the words) catches up in the pause.
  std::vector<int16_t> backlog(1600, 0);
  const std::vector<int16_t> words = sine(800, 8000);
  backlog.insert(backlog.end(), words.begin(), words.end());
  ASSERT_EQ(ZQWaveInHostWrite(backlog.data(), 2400, 8000, 1), 1);
  // Blocks done but not yet taken once the push has landed: those done
  // before it are silence.
  ASSERT_EQ(waveInGetStats(capture.handle, &stats), kMmNoError);
  const size_t early = stats.buffersDone - capture.taken;
  const Bytes got = takeTalk(capture, early + 40);
  std::tie(first, last) = soundSpan(got, f);
  // Played, the pause would put the words 1 600 frames after the last block
  // done before the push.
  EXPECT_LT(first, early * 160 + 800) << "the pause was played, not skipped";
  EXPECT_NEAR(double(last - first + 1), 800, 2) << "words were cut";
}

struct LeakCase {
  const char* name;
  const char* type;
  const char* setting;
  std::string value;
  uint32_t expected = kMmNoError;
};

// Every round opens, records, resets and closes (or fails to open): the
// device's own thread (file), ALSA's descriptors, and a failed open. ALSA's
// null PCM needs no sound card.
TEST_F(WaveIn, OpenAndCloseLeaveNoThreadNorDescriptor) {
  TempDir dir;
  const std::string path = (dir.path() / "tone.wav").string();
  writeFile(path, riff({chunk("fmt ", fmt(1, 1, 8000, 16)), chunk("data", samples(800))}));
  const LeakCase cases[] = {
      {"file", "file", "Path", path},
      {"alsa null", "alsa", "Name", "null"},
      {"alsa, no such PCM", "alsa", "Name", "zq-no-such-pcm", kMmBadDeviceId},
  };
  for (const LeakCase& c : cases) {
    SCOPED_TRACE(c.name);
    JSystemRegistryKey key = device(1);
    key.setString("Type", c.type);
    key.setString(c.setting, c.value);
    auto cycle = [&c] {
      Capture capture;
      ASSERT_EQ(capture.open(0, pcm(8000, 16, 1)), c.expected);
      if (c.expected != kMmNoError) {
        return;
      }
      capture.paced = c.type != std::string("alsa");  // ALSA's null PCM gives at once
      capture.add(2, 16);
      capture.start();
      EXPECT_EQ(capture.take(3).size(), 48u);
    };
    cycle();  // starts what stays (ALSA's configuration, a sanitizer's own thread)
    const size_t threads = threadCount(), descriptors = openDescriptors();
    for (int round = 0; round < 20; ++round) {
      cycle();
    }
    // A joined thread may linger a moment in the list.
    EXPECT_TRUE(eventually([&] { return threadCount() <= threads; }, kWaitMs));
    EXPECT_EQ(openDescriptors(), descriptors);
  }
}

// The caller queues each buffer again as soon as it is done while the
// device's thread completes the others, then a reset lands before, during or
// after a completion: every buffer comes back exactly once (taken, or given
// back filled or empty by the reset), and nothing is written into a buffer
// after the reset.
TEST_F(WaveIn, QueueingAndResetRacingWithCompletion) {
  device(1).setString("Type", "tone");
  Capture c;
  ASSERT_EQ(c.open(0, pcm(8000, 16, 1)), kMmNoError);
  c.add(3, 16);  // 1 ms each
  uint64_t returned = 0;
  for (int round = 0; round < 100; ++round) {
    SCOPED_TRACE(round);
    c.start();
    returned += c.take(static_cast<size_t>(round % 7)).size() / 16;
    std::this_thread::sleep_for(std::chrono::microseconds(round * 37 % 2000));
    ASSERT_EQ(waveInReset(c.handle), kMmNoError);
    signalledNow(c.event);
    for (WaveHeader& h : c.headers) {
      ASSERT_EQ(h.flags.load(std::memory_order_acquire), kWaveHeaderDone | kWaveHeaderPrepared);
      ASSERT_TRUE(h.bytesRecorded == 0 || h.bytesRecorded == 16) << h.bytesRecorded;
      returned += h.bytesRecorded / 16;
      h.bytesRecorded = 7;
      std::memset(h.data, 0xAB, 16);
    }
    std::this_thread::sleep_for(1ms);
    for (WaveHeader& h : c.headers) {
      ASSERT_EQ(h.bytesRecorded, 7u) << "written after the reset";
      ASSERT_EQ(h.data[15], 0xAB) << "written after the reset";
      ASSERT_EQ(waveInAddBuffer(c.handle, &h), kMmNoError);
    }
    c.next = 0;
  }
  WaveInStats stats;
  ASSERT_EQ(waveInGetStats(c.handle, &stats), kMmNoError);
  EXPECT_EQ(stats.buffersDone, returned);
}

}  // namespace
}  // namespace zq
