// JMixer: the capture side of a sound card's mixer: which input line records
// and how loud each input line is. Mixer n belongs to wave-input device n
// (wave_in.h): an ALSA device gets the ALSA mixer of its card
// (mixer_alsa.cpp), the test-tone and WAVE-file devices an in-memory mixer
// (mixer_memory.cpp) whose settings live as long as the process.
#pragma once

#include <memory>

namespace zq {

/// Concurrency: one thread uses a JMixer object at a time; several objects
/// of one mixer may be open at once, each call is then atomic.
class JMixer {
 public:
  /// The input lines a recording source is chosen among.
  enum LineType : int { kLineIn = 7, kMicrophone = 8 };

  /// Mixer `number`. Throws JMixerError "no mixer %d" when no wave-input
  /// device has that number, and the backend's JMixerError when its mixer
  /// cannot be opened.
  static std::unique_ptr<JMixer> open(int number);

  virtual ~JMixer() = default;

  /// Makes `lineType` the recording source; false when the mixer has no such
  /// line or refuses.
  virtual bool selectRecordingSource(int lineType) = 0;
  /// Whether `lineType` records now.
  virtual bool isSelected(int lineType) = 0;
  /// The line's volume, 0 ... 100; -1 when the mixer has no such line.
  virtual int lineVolume(int lineType) = 0;
  /// Sets the line's volume (clamped to 0 ... 100); false when the mixer has
  /// no such line.
  virtual bool setLineVolume(int lineType, int volume) = 0;
};

/// The backends, for JMixer::open.
std::unique_ptr<JMixer> openMemoryMixer(int number);
std::unique_ptr<JMixer> openAlsaMixer(int number, const char* deviceName);

}  // namespace zq
