// Schedule of the test-tone capture device as the sound-card capture source
// drives it (3 buffers, each queued again as soon as it is seen done): how
// late each buffer is seen after the moment it is due, and whether that
// lateness grows over the run (it must not: the schedule does not drift).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <vector>

#include "audio/wave_in.h"
#include "base/registry_key.h"
#include "bench_args.h"

namespace {

using Clock = std::chrono::steady_clock;

double us(Clock::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

}  // namespace

int main(int argc, char** argv) {
  zq::bench::Args args(
      "Runs the test-tone capture device (44 100 Hz stereo, 16 bits) with 3 buffers\n"
      "queued again as soon as each is seen done, and measures when each buffer is\n"
      "seen against start + (k+1) x its duration.",
      "  the buffers seen, the median, p99 and largest lateness in microseconds, the\n"
      "  lateness of the first and the last tenth of the run (equal when nothing\n"
      "  drifts), and the frames dropped.",
      {{"seconds", "length of the run", 10, 1, 3600},
       {"frames", "sample frames per buffer (1152: one MP3 frame)", 1152, 16, 441000}});
  args.parse(argc, argv);
  zq::bench::ScratchRegistry registry;
  zq::JSystemRegistryKey(zq::HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta\\WaveIn\\Device1")
      .setString("Type", "tone");

  const uint32_t frames = static_cast<uint32_t>(args.integer(1));
  const zq::WaveFormat format{zq::kWaveFormatPcm, 2, 44100, 44100 * 4, 4, 16, 0};
  zq::JFlag event;
  zq::WaveInHandle handle = nullptr;
  if (const uint32_t r = zq::waveInOpen(&handle, 0, format, &event, 0, zq::kCallbackEvent)) {
    std::fprintf(stderr, "waveInOpen failed: %u\n", r);
    return 1;
  }
  std::deque<zq::WaveHeader> headers(3);
  std::vector<std::vector<uint8_t>> memory(3, std::vector<uint8_t>(frames * 4u));
  for (size_t i = 0; i < 3; ++i) {
    headers[i].data = memory[i].data();
    headers[i].bufferLength = frames * 4u;
    zq::waveInPrepareHeader(handle, &headers[i]);
    zq::waveInAddBuffer(handle, &headers[i]);
  }
  const double bufferSeconds = static_cast<double>(frames) / 44100.0;
  const auto total = static_cast<size_t>(args.number(0) / bufferSeconds);
  std::vector<double> lateness;
  lateness.reserve(total);
  const Clock::time_point start = Clock::now();
  zq::waveInStart(handle);
  for (size_t next = 0; lateness.size() < total;) {
    zq::WaveHeader& h = headers[next];
    if (!(h.flags.load(std::memory_order_acquire) & zq::kWaveHeaderDone)) {
      event.wait(10000);
      continue;
    }
    const auto due = std::chrono::duration<double>((lateness.size() + 1) * bufferSeconds);
    lateness.push_back(us(Clock::now() - start) - due.count() * 1e6);
    h.clear();
    h.bufferLength = frames * 4u;
    zq::waveInPrepareHeader(handle, &h);
    zq::waveInAddBuffer(handle, &h);
    next = (next + 1) % 3;
  }
  zq::WaveInStats stats;
  zq::waveInGetStats(handle, &stats);
  zq::waveInReset(handle);
  for (zq::WaveHeader& h : headers) {
    zq::waveInUnprepareHeader(handle, &h);
  }
  zq::waveInClose(handle);

  const size_t tenth = std::max<size_t>(1, lateness.size() / 10);
  auto mean = [](auto begin, auto end) {
    double sum = 0;
    for (auto it = begin; it != end; ++it) {
      sum += *it;
    }
    return sum / static_cast<double>(end - begin);
  };
  const double first = mean(lateness.begin(), lateness.begin() + static_cast<ptrdiff_t>(tenth));
  const double last = mean(lateness.end() - static_cast<ptrdiff_t>(tenth), lateness.end());
  std::vector<double> sorted = lateness;
  std::sort(sorted.begin(), sorted.end());
  auto at = [&](double q) {
    return sorted[static_cast<size_t>(q * static_cast<double>(sorted.size() - 1))];
  };
  std::printf("buffers %zu of %u frames (%.1f ms)\n", lateness.size(), frames,
              bufferSeconds * 1000);
  std::printf("lateness us: median %.0f  p99 %.0f  max %.0f\n", at(0.5), at(0.99), at(1.0));
  std::printf("mean lateness us: first tenth %.0f  last tenth %.0f\n", first, last);
  std::printf("dropped frames %llu\n", static_cast<unsigned long long>(stats.droppedFrames));
  return 0;
}
