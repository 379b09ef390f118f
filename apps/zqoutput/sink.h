// Where zqoutput's samples go: an ALSA playback device, a WAVE file, or
// nowhere. One interface, one class per output, chosen by the --output text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace zq::zqoutput {

/// 16-bit interleaved PCM in; the format is given before the first block and
/// may change between two blocks (a new source).
///
/// Concurrency: one thread (the player's) at a time.
class AudioSink {
 public:
  virtual ~AudioSink() = default;
  /// Prepares for blocks of this format; a format equal to the current one
  /// changes nothing. Throws JTextError when the output refuses it.
  virtual void format(uint32_t sampleRate, uint32_t channels) = 0;
  /// Plays (or keeps) `frames` sample frames. Returns the underruns the
  /// output had to recover from during the call.
  virtual uint32_t write(const int16_t* samples, size_t frames) = 0;
  /// What was given with --output.
  virtual std::string describe() const = 0;
  /// True when write blocks at the device's own sample clock; otherwise
  /// the caller paces the blocks by the system's clock.
  virtual bool paced() const { return false; }
  /// How much the caller writes at a time. The jitter buffer must keep a
  /// period and a block ahead of the output, so a period less is that much
  /// less latency for the same margin: a device someone hears takes short
  /// ones; a file, or nowhere, longer ones for fewer wake-ups.
  virtual uint32_t periodMs() const { return 10; }
  /// How long the caller may let periods fall due before it writes them,
  /// for an output that does not keep its own pace. A file, or nowhere, is
  /// heard by no one as it is written: the caller writes what fell due
  /// since its last write in one go and sleeps this long between two,
  /// rather than waking at every period. The periods stay as short as
  /// periodMs says, so the jitter buffer keeps its margin. At least
  /// periodMs; equal to it: no gathering.
  virtual uint32_t gatherMs() const { return periodMs(); }
};

/// "null", "wav:PATH" or "alsa:NAME". Throws JTextError for any other text
/// and the output's errors (a file that cannot be made, no such device).
std::unique_ptr<AudioSink> makeSink(const std::string& output);

}  // namespace zq::zqoutput
