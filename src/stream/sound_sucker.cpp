// SoundSucker: its listen forms and command answer, the trigger's clamped
// settings and the level conversions.
#include "stream/sound_sucker.h"

#include <algorithm>
#include <cmath>

namespace zq {
namespace {

struct SlotRule {
  uint32_t bit;
  int low;
  int high;
};
constexpr SlotRule kSlotRules[AudioSuckerTrigger::kSlots] = {
    {1, 0, 100}, {2, -180, 180}, {4, -100, 100}, {8, -100, 100}};

// Below e^-9 an amplitude is level 0 anyway; the floor keeps ln away from 0.
constexpr double kAmplitudeFloor = 1e-9;
constexpr double kDecades = 9.0;

}  // namespace

int AudioSuckerTrigger::store(int slot, int value) {
  const SlotRule& rule = kSlotRules[slot];
  if ((capabilities_ & rule.bit) == 0) {
    return kNotCapable;
  }
  settings_[slot] = std::clamp(value, rule.low, rule.high);
  return 0;
}

double amplitudeToLevel(double amplitude) {
  if (!(amplitude >= kAmplitudeFloor)) {  // NaN too
    return 0.0;
  }
  if (amplitude >= 1.0) {
    return 1.0;
  }
  return std::clamp((std::log(amplitude) + kDecades) / kDecades, 0.0, 1.0);
}

double levelToAmplitude(double level) {
  const double l = std::isnan(level) ? 0.0 : std::clamp(level, 0.0, 1.0);
  return std::clamp(std::exp(kDecades * (l - 1.0)), 0.0, 1.0);
}

void SoundSucker::listenFrom(JStream* stream, int32_t* lastSequence) {
  listenUnlocked(stream, lastSequence);
}

void SoundSucker::listenNew(JStream* stream) {
  listenFrom(stream, nullptr);
}

int SoundSucker::control(const char* command, char* answer, size_t answerSize) {
  (void)answer;
  (void)answerSize;
  JControlCommand parsed;
  const int result = parseControlCommand(command, "SoundSucker", parsed);
  return result == kMalformed ? kMalformed : kNotMine;
}

}  // namespace zq
