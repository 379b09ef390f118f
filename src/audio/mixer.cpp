// JMixer::open, and the in-memory mixer of the devices that have no mixer of
// their own (test tone, WAVE file).
#include "audio/mixer.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <string>

#include "audio/wavein_source.h"
#include "base/error.h"

namespace zq {
namespace {

// The settings of one in-memory mixer: the microphone records at first, both
// lines at half volume.
struct MemoryMixerState {
  int selected = JMixer::kMicrophone;
  int lineInVolume = 50;
  int microphoneVolume = 50;
};

std::mutex memoryMutex;
std::map<int, MemoryMixerState> memoryMixers;  // guarded by memoryMutex

bool isLine(int lineType) {
  return lineType == JMixer::kLineIn || lineType == JMixer::kMicrophone;
}

class MemoryMixer : public JMixer {
 public:
  explicit MemoryMixer(int number) : number_(number) {}

  bool selectRecordingSource(int lineType) override {
    if (!isLine(lineType)) {
      return false;
    }
    std::lock_guard lock(memoryMutex);
    memoryMixers[number_].selected = lineType;
    return true;
  }
  bool isSelected(int lineType) override {
    std::lock_guard lock(memoryMutex);
    return memoryMixers[number_].selected == lineType;
  }
  int lineVolume(int lineType) override {
    if (!isLine(lineType)) {
      return -1;
    }
    std::lock_guard lock(memoryMutex);
    return volumeOf(memoryMixers[number_], lineType);
  }
  bool setLineVolume(int lineType, int volume) override {
    if (!isLine(lineType)) {
      return false;
    }
    std::lock_guard lock(memoryMutex);
    volumeOf(memoryMixers[number_], lineType) = std::clamp(volume, 0, 100);
    return true;
  }

 private:
  static int& volumeOf(MemoryMixerState& state, int lineType) {
    return lineType == kLineIn ? state.lineInVolume : state.microphoneVolume;
  }

  const int number_;
};

}  // namespace

std::unique_ptr<JMixer> openMemoryMixer(int number) {
  return std::make_unique<MemoryMixer>(number);
}

std::unique_ptr<JMixer> JMixer::open(int number) {
  const std::vector<WaveInDeviceConfig> devices = readWaveInDevices();
  if (number < 0 || static_cast<size_t>(number) >= devices.size()) {
    throw JMixerError("no mixer " + std::to_string(number));
  }
  const WaveInDeviceConfig& device = devices[static_cast<size_t>(number)];
  if (device.kind == WaveInDeviceConfig::Kind::kAlsa) {
    return openAlsaMixer(number, device.name.c_str());
  }
  return openMemoryMixer(number);
}

}  // namespace zq
