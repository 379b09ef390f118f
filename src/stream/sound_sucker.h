// SoundSucker: the reader with which a provider's audio sucker takes frames
// out of any audio source (sound card, network, soft frames). Beside the
// StreamClient it carries the sucker's four clamped tuning values
// (AudioSuckerTrigger), an empty clock (JClock) and the text command
// interface, which it answers for nobody. The two level conversions that go
// with the tuning values live here too.
#pragma once

#include <cstddef>
#include <cstdint>

#include "stream/stream_client.h"
#include "stream/video_ctl.h"

namespace zq {

/// A clock a reader can be asked for: a time and a running 64-bit count,
/// apart or as one consistent pair.
class JClock {
 public:
  virtual ~JClock() = default;
  virtual uint64_t getTime() = 0;
  virtual uint64_t getCount() = 0;
  virtual void getTimeAndCount(uint64_t& time, uint64_t& count) = 0;
};

/// Four signed settings, each guarded by a capability bit and clamped to its
/// range. Only stored here; their users give them their meaning.
///
///   slot  bit  range
///   0     1    0 to 100
///   1     2    -180 to 180
///   2     4    -100 to 100
///   3     8    -100 to 100
///
/// Concurrency: one thread at a time.
class AudioSuckerTrigger {
 public:
  static constexpr int kSlots = 4;
  static constexpr int kNotCapable = -1;

  explicit AudioSuckerTrigger(uint32_t capabilities) : capabilities_(capabilities) {}
  virtual ~AudioSuckerTrigger() = default;

  /// Each stores its value clamped to the slot's range and returns 0, or
  /// returns -1 and changes nothing when the slot's bit is clear.
  virtual int setSetting0(int value) { return store(0, value); }
  virtual int setSetting1(int value) { return store(1, value); }
  virtual int setSetting2(int value) { return store(2, value); }
  virtual int setSetting3(int value) { return store(3, value); }

  /// The value of `slot` (0 to 3); 0 until set.
  int setting(int slot) const { return settings_[slot]; }
  uint32_t capabilities() const { return capabilities_; }

 private:
  int store(int slot, int value);

  const uint32_t capabilities_;
  int settings_[kSlots] = {};
};

/// A linear amplitude (0 to 1) as a level (0 to 1): (ln a + 9) / 9, clamped;
/// amplitudes below 1e-9 give 0, 1 or more give 1.
double amplitudeToLevel(double amplitude);
/// The inverse: e^(9 (l - 1)) of the level clamped to 0 to 1.
double levelToAmplitude(double level);

class SoundSucker : public StreamClient,
                    public JClock,
                    public AudioSuckerTrigger,
                    public virtual VideoCtl {
 public:
  explicit SoundSucker(uint32_t capabilities) : AudioSuckerTrigger(capabilities) {}

  /// listenUnlocked: attaches to `stream` (null: detaches), the first frame
  /// read being the first above *lastSequence (the newest without it). It
  /// does not take the client's mutex: the reading thread, or while no read
  /// is under way. Throws as listen does.
  virtual void listenFrom(JStream* stream, int32_t* lastSequence);
  /// listenFrom with no last sequence: the first frame read is the newest.
  virtual void listenNew(JStream* stream);

  // The clock stands still.
  uint64_t getTime() override { return 0; }
  uint64_t getCount() override { return 0; }
  void getTimeAndCount(uint64_t& time, uint64_t& count) override {
    time = 0;
    count = 0;
  }

  /// -5 for a malformed command under "SoundSucker", -3 for any other: the
  /// sucker has no settings of its own to change by text. Any thread.
  int control(const char* command, char* answer, size_t answerSize) override;
};

}  // namespace zq
