// The wave-input device list, read from the registry at every call so that an
// administrator's change is seen by the next open (keys: wave_in.h).
#include <strings.h>

#include <algorithm>
#include <string>

#include "audio/wavein_source.h"
#include "base/registry_key.h"

namespace zq {

namespace {

WaveInDeviceConfig::Kind kindOf(const std::string& type) {
  if (::strcasecmp(type.c_str(), "tone") == 0) {
    return WaveInDeviceConfig::Kind::kTone;
  }
  if (::strcasecmp(type.c_str(), "alsa") == 0) {
    return WaveInDeviceConfig::Kind::kAlsa;
  }
  if (::strcasecmp(type.c_str(), "file") == 0) {
    return WaveInDeviceConfig::Kind::kFile;
  }
  if (::strcasecmp(type.c_str(), "host") == 0) {
    return WaveInDeviceConfig::Kind::kHost;
  }
  return WaveInDeviceConfig::Kind::kUnknown;
}

}  // namespace

std::vector<WaveInDeviceConfig> readWaveInDevices() {
  // One snapshot: the list and every device's values come from one state of
  // the file, even while another process rewrites it.
  const JSystemRegistryKey root =
      JSystemRegistryKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta\\WaveIn", KEY_READ).snapshot();
  const std::vector<std::string> names = root.enumSubKeys();
  auto present = [&names](const std::string& name) {
    return std::any_of(names.begin(), names.end(), [&name](const std::string& n) {
      return ::strcasecmp(n.c_str(), name.c_str()) == 0;
    });
  };

  std::vector<WaveInDeviceConfig> devices;
  for (unsigned number = 1; present("Device" + std::to_string(number)); ++number) {
    JSystemRegistryKey key;
    key.openSubKey(root, "Device" + std::to_string(number), KEY_READ);
    WaveInDeviceConfig device;
    key.getString("Type", device.type);
    device.kind = kindOf(device.type);
    key.getDword("Frequency", device.frequency);
    key.getDword("Level", device.level);
    device.level = std::min(device.level, 100u);
    key.getDword("PulseMs", device.pulseMs);
    if (device.pulseMs != 0) {
      device.pulseMs = std::max(device.pulseMs, 2 * kToneBurstMs);
    }
    key.getString("Name", device.name);
    key.getString("Path", device.path);
    key.getBool("Loop", device.loop);
    devices.push_back(std::move(device));
  }
  if (devices.empty()) {
    WaveInDeviceConfig tone;
    tone.kind = WaveInDeviceConfig::Kind::kTone;
    tone.type = "tone";
    WaveInDeviceConfig alsa;
    alsa.kind = WaveInDeviceConfig::Kind::kAlsa;
    alsa.type = "alsa";
    devices = {tone, alsa};
  }
  return devices;
}

}  // namespace zq
