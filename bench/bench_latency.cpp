// End-to-end latency on loopback, and what each stage adds. The test-tone
// device sounds a 50 ms burst from every whole second of the monotonic clock,
// so the first sample of each burst enters the device at a time known to the
// whole program. A local access manager captures it, encodes it at
// 128 kbit/s and serves it over UDP; zqoutput's output service (in process)
// fetches it, decodes it and plays it through its jitter buffer into a sink
// that notes when each burst's first sample leaves.
//
// Two probes share the sources the access manager and the output use, and
// decode what they read: one on the captured stream (when the frame that
// carries a burst's start is published), one on the output's network stream
// (when that frame has arrived, and how long decoding it takes). The codec's
// own delay (encoder look-ahead plus decoder) is measured apart, on a click.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "aam/aam_channel_manager.h"
#include "audio/mp3_encoder.h"
#include "base/registry_key.h"
#include "bench_args.h"
#include "media/mike_desc.h"
#include "media/server_controller.h"
#include "media/shared_mike.h"
#include "stream/stream_client.h"
#include "stream/stream_frame_header.h"
#include "stream/winmm_mike.h"
#include "zqoutput/mp3_decoder.h"
#include "zqoutput/output_service.h"
#include "zqoutput/sink.h"

namespace {

using Clock = std::chrono::steady_clock;
using zq::zqoutput::Mp3Decoder;

constexpr uint32_t kPulseMs = 1000;
constexpr int kThreshold = 4000;       // of a burst at half scale (16 383)
constexpr size_t kQuietFrames = 2000;  // before an onset: 45 ms
// The start of a run, when the stream and the output begin: an underrun
// then is the filling, not the buffer failing.
constexpr int kSettleSeconds = 3;

double msSince(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

// The pulse a moment after it belongs to: bursts start on whole periods of
// the monotonic clock (steady_clock here), and no stage takes a period.
int64_t pulseOf(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count() /
         kPulseMs;
}

Clock::time_point pulseTime(int64_t pulse) {
  return Clock::time_point(std::chrono::milliseconds(pulse * kPulseMs));
}

// Finds burst starts in channel 0 of interleaved samples.
class OnsetFinder {
 public:
  // The index of the first onset in the block, or -1.
  long scan(const int16_t* samples, size_t frames, size_t channels) {
    long found = -1;
    for (size_t i = 0; i < frames; ++i) {
      if (std::abs(samples[i * channels]) > kThreshold) {
        if (quiet_ >= kQuietFrames && found < 0) {
          found = static_cast<long>(i);
        }
        quiet_ = 0;
      } else {
        ++quiet_;
      }
    }
    return found;
  }

 private:
  size_t quiet_ = 0;
};

// Per pulse, the moment one stage saw its start.
class Marks {
 public:
  void note(Clock::time_point t) {
    std::lock_guard lock(mutex_);
    marks_.emplace(pulseOf(t), t);
  }
  std::map<int64_t, Clock::time_point> all() const {
    std::lock_guard lock(mutex_);
    return marks_;
  }

 private:
  mutable std::mutex mutex_;
  std::map<int64_t, Clock::time_point> marks_;
};

// The output, in place of a device: a sample leaves when the output's clock
// reaches it; the service writes each period (a device's) when its first
// sample is due.
class MarkerSink final : public zq::zqoutput::AudioSink {
 public:
  void format(uint32_t rate, uint32_t channels) override {
    rate_ = rate;
    channels_ = channels;
  }
  uint32_t write(const int16_t* samples, size_t frames) override {
    const Clock::time_point now = Clock::now();
    const long at = finder_.scan(samples, frames, channels_);
    if (at >= 0) {
      marks.note(now + std::chrono::nanoseconds(int64_t{at} * 1000000000 / rate_));
    }
    return 0;
  }
  std::string describe() const override { return "latency marker"; }
  uint32_t periodMs() const override { return 5; }

  Marks marks;

 private:
  uint32_t rate_ = 44100;
  uint32_t channels_ = 2;
  OnsetFinder finder_;
};

// A second user of a shared source: reads its frames as they are published,
// decodes them, and notes when the frame carrying a burst start came.
class StreamProbe final : public zq::LinkNotifier {
 public:
  explicit StreamProbe(const zq::MikeDesc& desc) : mike_(zq::SharedMike::acquire(desc)) {
    thread_ = std::thread([this] { run(); });
    mike_->open(user_, this, 0, 0, 0, false);
  }
  ~StreamProbe() {
    mike_->close(user_);
    {
      std::unique_lock lock(mutex_);
      quit_ = true;
      detachLocked(lock);
    }
    changed_.notify_all();
    thread_.join();
    zq::SharedMike::release(mike_);
  }
  StreamProbe(const StreamProbe&) = delete;
  StreamProbe& operator=(const StreamProbe&) = delete;

  bool linkDown(const zq::JError*, uint32_t) override {
    std::unique_lock lock(mutex_);
    stream_ = nullptr;
    detachLocked(lock);
    return true;
  }
  void linkUp(zq::JStream* stream, uint32_t) override {
    std::unique_lock lock(mutex_);
    if (stream != attached_) {
      detachLocked(lock);
    }
    stream_ = stream;
    changed_.notify_all();
  }

  Marks marks;
  std::vector<double> decodeMs() const {
    std::lock_guard lock(decodeMutex_);
    return decodeMs_;
  }

 private:
  void detachLocked(std::unique_lock<std::mutex>& lock) {
    if (attached_ == nullptr) {
      return;
    }
    detach_.store(true);
    attached_->wakeReaders();
    changed_.wait(lock, [this] { return attached_ == nullptr; });
    detach_.store(false);
  }

  void run() {
    Mp3Decoder decoder;
    OnsetFinder finder;
    std::vector<int16_t> pcm;
    zq::StreamClient reader;
    for (;;) {
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return quit_ || stream_ != nullptr; });
        if (quit_) {
          return;
        }
        attached_ = stream_;
        reader.listen(attached_, nullptr);
      }
      while (uint8_t* frame = reader.readNext(&detach_)) {
        const Clock::time_point came = Clock::now();
        const zq::StreamFrameHeader* h = zq::frameHeaderOf(frame);
        pcm.clear();
        const auto start = Clock::now();
        const bool ok = decoder.decode(h->payload(), h->size, pcm);
        {
          std::lock_guard lock(decodeMutex_);
          decodeMs_.push_back(msSince(start, Clock::now()));
        }
        if (ok && decoder.channels() > 0 &&
            finder.scan(pcm.data(), pcm.size() / decoder.channels(), decoder.channels()) >= 0) {
          marks.note(came);
        }
      }
      reader.unlock();
      std::lock_guard lock(mutex_);
      reader.listen(nullptr);
      attached_ = nullptr;
      changed_.notify_all();
    }
  }

  zq::SharedMike* mike_;
  int32_t user_ = -1;
  std::mutex mutex_;
  std::condition_variable changed_;
  zq::JStream* stream_ = nullptr;
  zq::JStream* attached_ = nullptr;
  bool quit_ = false;
  std::atomic<bool> detach_{false};
  mutable std::mutex decodeMutex_;
  std::vector<double> decodeMs_;  // guarded by decodeMutex_
  std::thread thread_;
};

// A click entering our encoder `offset` samples into a block, fed `part`
// samples at a time as a capture period would bring them (the first part
// `first` samples, as the capture cuts it): samples from the
// click's start to it leaving the output's decoder (the codec's look-ahead,
// whatever the clocks), and samples captured from the click's start until
// the frame that carries it leaves the encoder (capture and encoding on the
// sample clock, without the threads' scheduling). -1 when not found.
struct Click {
  long codec = -1;
  long waited = -1;
};

Click followClick(size_t offset, uint32_t part, uint32_t first) {
  zq::JMP3Encoder encoder(128000, 44100, 2, false);
  Mp3Decoder decoder;
  OnsetFinder finder;
  const size_t block = encoder.samplesPerFrame();
  std::vector<int16_t> in(block * 2);
  std::vector<uint8_t> frame(encoder.frameSize() + 64);
  std::vector<int16_t> out;
  const uint8_t tag[3] = {0x50, 0, 0};
  const size_t clickAt = 10 * block + offset;  // input sample of the click's start
  size_t decodedBefore = 0;
  size_t periodEnd = first;  // the capture period under way ends there
  for (size_t b = 0; b < 20; ++b) {
    for (size_t i = 0; i < block; ++i) {
      const size_t n = b * block + i;
      const int16_t v = n >= clickAt && n < clickAt + 2205 ? (n % 40 < 20 ? 16000 : -16000) : 0;
      in[2 * i] = in[2 * i + 1] = v;
    }
    for (size_t fed = 0; fed < block;) {
      // Up to the period's end or the block's, as the capture gives it.
      const auto n = static_cast<uint32_t>(std::min(block - fed, periodEnd - b * block - fed));
      const int length = encoder.encodePart(in.data() + 2 * fed, n, frame.data(), sizeof tag, tag);
      fed += n;
      const size_t leaves = periodEnd;  // a frame leaves with its period
      if (b * block + fed == periodEnd) {
        periodEnd += part;
      }
      if (length <= 0) {
        continue;
      }
      out.clear();
      decoder.decode(frame.data(), static_cast<size_t>(length), out);
      const size_t frames = out.size() / 2;
      const long at = finder.scan(out.data(), frames, 2);
      if (at >= 0) {
        const auto click = static_cast<long>(clickAt);
        return {static_cast<long>(decodedBefore + static_cast<size_t>(at)) - click,
                static_cast<long>(leaves) - click};
      }
      decodedBefore += frames;
    }
  }
  return {};
}

// The mean of Click::waited over the click's place in a block, in ms.
double meanWaitMs(uint32_t part, uint32_t first) {
  double sum = 0;
  int count = 0;
  for (size_t offset = 0; offset < 1152; offset += 48, ++count) {
    sum += static_cast<double>(followClick(offset, part, first).waited);
  }
  return sum / count * 1000.0 / 44100;
}

struct Figures {
  size_t count = 0;
  double median = 0, p99 = 0, max = 0;
};

Figures figuresOf(std::vector<double> v) {
  Figures f;
  f.count = v.size();
  if (v.empty()) {
    return f;
  }
  std::sort(v.begin(), v.end());
  f.median = v[v.size() / 2];
  f.p99 = v[std::min(v.size() - 1, v.size() * 99 / 100)];
  f.max = v.back();
  return f;
}

void printRow(const char* stage, const Figures& f) {
  std::printf("  %-38s %8.1f %8.1f %8.1f %6zu\n", stage, f.median, f.p99, f.max, f.count);
}

// One run at one jitter buffer: every burst's time through each stage.
struct Run {
  uint32_t bufferMs = 0;
  std::vector<double> capture, network, decoding, jitter, total;
  zq::zqoutput::Player::Stats stats;
  uint64_t underrunsAfterStart = 0;  // from kSettleSeconds on
  // No underrun once playing (filling at the start may run dry once): the
  // buffer holds.
  bool holds() const { return underrunsAfterStart == 0 && !total.empty(); }
};

Run runAt(const zq::AAMConfig& config, uint32_t bufferMs, int seconds) {
  Run run;
  run.bufferMs = bufferMs;
  zq::ZQAAMChannelManager aam(config, 0, "ZQAAMChannelManager");
  MarkerSink sink;
  zq::zqoutput::OutputService output(0, "latency", sink, bufferMs);
  zq::MikeDesc net;
  net.type = zq::MikeDesc::kNetwork;
  net.proto = zq::ServerController::kUdp;
  net.host = "127.0.0.1";
  net.port = aam.JRPCService::port();
  net.timeout = 5000;
  output.player().play(net, "udp://127.0.0.1");
  auto captured = std::make_unique<StreamProbe>(config.desc);
  auto arrived = std::make_unique<StreamProbe>(net);
  std::printf("running %d s with a jitter buffer of %u ms...\n", seconds, bufferMs);
  std::fflush(stdout);
  std::this_thread::sleep_for(std::chrono::seconds(kSettleSeconds));
  const uint64_t settled = output.player().stats().underruns;
  std::this_thread::sleep_for(std::chrono::seconds(seconds - kSettleSeconds));
  run.stats = output.player().stats();
  run.underrunsAfterStart = run.stats.underruns - settled;
  const auto published = captured->marks.all();
  const auto came = arrived->marks.all();
  const auto left = sink.marks.all();
  run.decoding = arrived->decodeMs();
  const double decodeMedian = figuresOf(run.decoding).median;
  arrived.reset();
  captured.reset();
  output.player().stop();
  // Each burst seen at every stage; the first ones may precede a stage.
  for (const auto& [pulse, out] : left) {
    const auto p = published.find(pulse);
    const auto a = came.find(pulse);
    if (p == published.end() || a == came.end()) {
      continue;
    }
    const Clock::time_point start = pulseTime(pulse);
    run.capture.push_back(msSince(start, p->second));
    run.network.push_back(msSince(p->second, a->second));
    run.jitter.push_back(msSince(a->second, out) - decodeMedian);
    run.total.push_back(msSince(start, out));
  }
  return run;
}

void printRun(const char* title, const Run& run) {
  std::printf("\n%s: jitter buffer %u ms\n", title, run.bufferMs);
  std::printf("  %-38s %8s %8s %8s %6s\n", "stage (ms added)", "median", "p99", "max", "bursts");
  printRow("capture + encoding (to publication)", figuresOf(run.capture));
  printRow("packetizing + network (to arrival)", figuresOf(run.network));
  printRow("decoding (a frame)", figuresOf(run.decoding));
  printRow("jitter buffer + output (less decoding)", figuresOf(run.jitter));
  printRow("end to end", figuresOf(run.total));
  const auto& stats = run.stats;
  std::printf(
      "  output: %llu frames received, %llu lost, %llu underruns (%llu after the start), "
      "%llu blocks dropped, %llu repeated\n",
      static_cast<unsigned long long>(stats.received), static_cast<unsigned long long>(stats.lost),
      static_cast<unsigned long long>(stats.underruns),
      static_cast<unsigned long long>(run.underrunsAfterStart),
      static_cast<unsigned long long>(stats.dropped),
      static_cast<unsigned long long>(stats.repeated));
}

}  // namespace

int main(int argc, char** argv) {
  zq::bench::Args args(
      "End-to-end latency on loopback at 128 kbit/s: a burst of the test tone from\n"
      "every whole second of the monotonic clock, captured, encoded and served over\n"
      "UDP by a local access manager, played by zqoutput's output service through\n"
      "its jitter buffer; each burst's start is followed through the stages. Run\n"
      "at the given buffer (zqoutput's default unless said), then, with a step,\n"
      "at buffers a step smaller each time until one underruns.",
      "  the codec's delay (encoder look-ahead plus decoder) on a click and the\n"
      "  capture period; per buffer tried, its end-to-end median and underruns (all,\n"
      "  and after the first 3 s, when the buffer holds if there are none);\n"
      "  then, at the given buffer and at the smallest that held (no underrun after\n"
      "  its start), per stage the median, 99th percentile and largest time added\n"
      "  (ms) over the bursts: capture and encoding (to the frame that carries the\n"
      "  burst's start being published), packetizing and the network (to its\n"
      "  arrival), decoding, the jitter buffer and the output; and end to end.",
      {{"seconds", "how long each run lasts (one burst a second)", 20, 5, 600},
       {"buffer_ms", "the output's jitter buffer", zq::zqoutput::Player::kDefaultBufferMs, 0, 1000},
       {"step_ms", "how much smaller each further run's buffer is (0: one run)", 10, 0, 1000}});
  args.parse(argc, argv);
  const int seconds = args.integer(0);
  const auto bufferMs = static_cast<uint32_t>(args.integer(1));
  const auto stepMs = static_cast<uint32_t>(args.integer(2));
  zq::bench::ScratchRegistry registry;
  {
    zq::JSystemRegistryKey device(zq::HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta\\WaveIn\\Device1");
    device.setString("Type", "tone");
    device.setDword("Frequency", 1000);
    device.setDword("Level", 50);
    device.setDword("PulseMs", kPulseMs);
  }

  const long codec = followClick(300, 1152, 1152).codec;
  std::printf("codec delay (encoder look-ahead + decoder, on a click): %ld samples = %.1f ms\n",
              codec, codec * 1000.0 / 44100);
  {
    const zq::WinmmMike probe(1, 128000, 0, 0, false);
    std::printf(
        "capture period: %u samples = %.1f ms, the first %u (a frame is %u samples = %.1f ms)\n",
        probe.period(), probe.period() * 1000.0 / 44100, probe.firstPeriod(), probe.chunk(),
        probe.chunk() * 1000.0 / 44100);
    std::printf(
        "capture + encoding on the sample clock (a click's start to its frame leaving the\n"
        "encoder, mean over its place in a frame): %.1f ms in periods as the capture cuts\n"
        "them, %.1f ms in periods from the start, %.1f ms in whole frames\n",
        meanWaitMs(probe.period(), probe.firstPeriod()),
        meanWaitMs(probe.period(), probe.period()), meanWaitMs(probe.chunk(), probe.chunk()));
  }

  zq::AAMConfig config;
  config.provider.setUdp(zq::UdpConfig());
  config.provider.port = 0;
  config.id = "latency";
  config.desc.type = zq::MikeDesc::kLocal;
  config.desc.channel = 1;
  config.desc.inputConnector = zq::MikeDesc::kWaveInMicIn;
  config.desc.setTargetBitRate(128000);

  std::vector<Run> runs;
  runs.push_back(runAt(config, bufferMs, seconds));
  const bool held = runs.back().holds();
  for (uint32_t ms = bufferMs; stepMs > 0 && held && ms >= stepMs;) {
    ms -= stepMs;
    runs.push_back(runAt(config, ms, seconds));
    if (!runs.back().holds()) {
      break;
    }
  }
  const Run* smallest = nullptr;
  std::printf("\n  %-10s %10s %10s %12s\n", "buffer ms", "end to end", "underruns",
              "after start");
  for (const Run& run : runs) {
    std::printf("  %-10u %10.1f %10llu %12llu\n", run.bufferMs, figuresOf(run.total).median,
                static_cast<unsigned long long>(run.stats.underruns),
                static_cast<unsigned long long>(run.underrunsAfterStart));
    if (run.holds()) {
      smallest = &run;
    }
  }
  printRun("at the given buffer", runs.front());
  if (stepMs > 0) {
    if (smallest != nullptr) {
      printRun("at the smallest buffer that held", *smallest);
    } else {
      std::printf("\nno buffer tried held without an underrun\n");
    }
  }
  if (runs.front().total.empty()) {
    std::fprintf(stderr, "bench_latency: no burst went through every stage\n");
    return 1;
  }
  return 0;
}
