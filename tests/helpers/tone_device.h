// Wave-input devices that play a test tone, in a registry of the test's own:
// the capture, media and AAM tests all capture from one.
#pragma once

#include <cstdint>
#include <string>

#include "base/registry_key.h"
#include "helpers/temp_dir.h"

namespace zq::test {

/// Makes wave-input device `number` a tone of `frequency` Hz at half level.
inline void setToneDevice(int number, uint32_t frequency = 1000) {
  JSystemRegistryKey key(HKEY_LOCAL_MACHINE,
                         "SOFTWARE\\Quorvanta\\WaveIn\\Device" + std::to_string(number));
  key.setString("Type", "tone");
  key.setDword("Frequency", frequency);
  key.setDword("Level", 50);
}

/// A registry of the object's own whose device 1 is a 1 kHz tone.
class ToneRegistry {
 public:
  ToneRegistry() { setToneDevice(1); }

 private:
  ScopedRegistryDir dir_;
};

}  // namespace zq::test
