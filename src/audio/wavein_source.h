// What a wave-input device records from: the one interface behind which the
// test tone, the WAVE file and the ALSA capture PCM stand, with the device
// list read from the registry. Internal to the audio layer: the device and
// its thread (wave_in.cpp) drive a source; nobody else does.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "audio/wave_in.h"

namespace zq {

/// A source of sample frames in the format it was opened with.
///
/// Concurrency: read() and skip() run on the device's thread only; start()
/// and stop() on a caller's thread, possibly while read() runs (a source
/// whose read() blocks serialises them itself).
class WaveInSource {
 public:
  virtual ~WaveInSource() = default;

  /// True for a source that never blocks: the device's thread paces it by
  /// the clock. False for one whose read() waits for the audio (ALSA).
  virtual bool paced() const = 0;

  /// Capture begins (kMmNoError or a WaveInResult) / ends.
  virtual uint32_t start() { return kMmNoError; }
  virtual void stop() {}

  /// Writes `frames` frames at `out` and returns how many it wrote: all of
  /// them, or for a blocking source fewer when `cancelled` turned true.
  virtual uint32_t read(uint8_t* out, uint32_t frames, const std::function<bool()>& cancelled) = 0;

  /// Passes over `frames` frames that no buffer took, so that a paced source
  /// keeps to real time.
  virtual void skip(uint64_t frames) = 0;

  /// Overruns recovered from so far. Any thread.
  virtual uint64_t overruns() const { return 0; }

  /// The kind and its settings, for the log: "tone 440 Hz level 50".
  virtual std::string describe() const = 0;
};

/// A configured device, as the registry lists it.
struct WaveInDeviceConfig {
  enum class Kind { kUnknown, kTone, kAlsa, kFile, kHost };
  Kind kind = Kind::kUnknown;
  std::string type;  // as written, for the log when unknown
  uint32_t frequency = 1000;
  uint32_t level = 50;
  // The tone in bursts of kToneBurstMs from every multiple of pulseMs of
  // the monotonic clock, silence between (0: a steady tone). A burst's first
  // sample enters the device at a time every process of the machine knows:
  // what latency is measured from.
  uint32_t pulseMs = 0;
  std::string name = "default";
  std::string path;
  bool loop = false;
};

/// The device list (see wave_in.h). Throws the registry's JSysError when the
/// registry cannot be read.
std::vector<WaveInDeviceConfig> readWaveInDevices();

/// The sources. Each returns null and sets `result` to the reason when the
/// device cannot be opened with `format` (already checked to be a PCM format
/// this layer takes); the reason is logged.
inline constexpr uint32_t kToneBurstMs = 50;
std::unique_ptr<WaveInSource> makeToneSource(const WaveFormat& format, uint32_t frequency,
                                             uint32_t level, uint32_t pulseMs = 0);
std::unique_ptr<WaveInSource> openFileSource(const WaveFormat& format, const std::string& path,
                                             bool loop, uint32_t& result);
/// Fed by the host process (wavein_host.h).
std::unique_ptr<WaveInSource> makeHostSource(const WaveFormat& format);
std::unique_ptr<WaveInSource> openAlsaSource(const WaveFormat& format, const std::string& name,
                                             uint32_t& result);

/// Silence in the format: 0x80 for 8-bit samples, 0 for 16-bit ones.
uint8_t silenceByte(const WaveFormat& format);

}  // namespace zq
