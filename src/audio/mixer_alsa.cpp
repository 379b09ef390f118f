// The ALSA mixer behind JMixer: the capture controls of the card an ALSA
// wave-input device records from. The line input is the simple element
// "Line", the microphone "Mic"; the recording source is chosen through the
// card's capture-source enumeration when it has one, else through the two
// elements' capture switches.
#include <alsa/asoundlib.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "audio/mixer.h"
#include "base/error.h"

namespace zq {
namespace {

// The control device of the card a PCM name records from: "hw:1,0" and
// "plughw:1,0" are on "hw:1"; other names ("default") name their control
// device themselves.
std::string controlName(const std::string& pcm) {
  for (const char* prefix : {"hw:", "plughw:"}) {
    if (pcm.rfind(prefix, 0) == 0) {
      const std::string card = pcm.substr(std::strlen(prefix));
      return "hw:" + card.substr(0, card.find(','));
    }
  }
  return pcm;
}

const char* elementName(int lineType) {
  return lineType == JMixer::kLineIn ? "Line" : lineType == JMixer::kMicrophone ? "Mic" : nullptr;
}

class AlsaMixer : public JMixer {
 public:
  AlsaMixer(int number, const std::string& device) {
    const std::string control = controlName(device);
    int result = snd_mixer_open(&mixer_, 0);
    if (result >= 0) {
      result = snd_mixer_attach(mixer_, control.c_str());
    }
    if (result >= 0) {
      result = snd_mixer_selem_register(mixer_, nullptr, nullptr);
    }
    if (result >= 0) {
      result = snd_mixer_load(mixer_);
    }
    if (result < 0) {
      if (mixer_ != nullptr) {
        snd_mixer_close(mixer_);
      }
      throw JMixerError("cannot open mixer " + std::to_string(number) + " ('" + control +
                        "'): " + snd_strerror(result));
    }
  }
  ~AlsaMixer() override { snd_mixer_close(mixer_); }
  AlsaMixer(const AlsaMixer&) = delete;
  AlsaMixer& operator=(const AlsaMixer&) = delete;

  bool selectRecordingSource(int lineType) override {
    const char* name = elementName(lineType);
    if (name == nullptr) {
      return false;
    }
    if (snd_mixer_elem_t* source = captureSource()) {
      const int item = enumItem(source, name);
      return item >= 0 && snd_mixer_selem_set_enum_item(source, SND_MIXER_SCHN_MONO,
                                                        static_cast<unsigned>(item)) >= 0;
    }
    snd_mixer_elem_t* chosen = element(name);
    if (chosen == nullptr || !snd_mixer_selem_has_capture_switch(chosen)) {
      return false;
    }
    const char* other = elementName(lineType == kLineIn ? kMicrophone : kLineIn);
    if (snd_mixer_elem_t* e = element(other); e != nullptr && snd_mixer_selem_has_capture_switch(e)) {
      snd_mixer_selem_set_capture_switch_all(e, 0);
    }
    return snd_mixer_selem_set_capture_switch_all(chosen, 1) >= 0;
  }

  bool isSelected(int lineType) override {
    const char* name = elementName(lineType);
    if (name == nullptr) {
      return false;
    }
    if (snd_mixer_elem_t* source = captureSource()) {
      unsigned item = 0;
      return snd_mixer_selem_get_enum_item(source, SND_MIXER_SCHN_MONO, &item) >= 0 &&
             static_cast<int>(item) == enumItem(source, name);
    }
    snd_mixer_elem_t* e = element(name);
    int on = 0;
    return e != nullptr && snd_mixer_selem_has_capture_switch(e) &&
           snd_mixer_selem_get_capture_switch(e, SND_MIXER_SCHN_FRONT_LEFT, &on) >= 0 && on != 0;
  }

  int lineVolume(int lineType) override {
    long low = 0;
    long high = 0;
    snd_mixer_elem_t* e = volumeElement(lineType, low, high);
    long value = 0;
    if (e == nullptr ||
        snd_mixer_selem_get_capture_volume(e, SND_MIXER_SCHN_FRONT_LEFT, &value) < 0) {
      return -1;
    }
    return static_cast<int>((value - low) * 100 / (high - low));
  }

  bool setLineVolume(int lineType, int volume) override {
    long low = 0;
    long high = 0;
    snd_mixer_elem_t* e = volumeElement(lineType, low, high);
    const long scaled = low + (high - low) * std::clamp(volume, 0, 100) / 100;
    return e != nullptr && snd_mixer_selem_set_capture_volume_all(e, scaled) >= 0;
  }

 private:
  snd_mixer_elem_t* element(const char* name) {
    snd_mixer_selem_id_t* id = nullptr;
    snd_mixer_selem_id_alloca(&id);
    snd_mixer_selem_id_set_index(id, 0);
    snd_mixer_selem_id_set_name(id, name);
    return snd_mixer_find_selem(mixer_, id);
  }

  // The card's capture-source enumeration, if it has one.
  snd_mixer_elem_t* captureSource() {
    for (const char* name : {"Capture Source", "Input Source"}) {
      snd_mixer_elem_t* e = element(name);
      if (e != nullptr && snd_mixer_selem_is_enumerated(e)) {
        return e;
      }
    }
    return nullptr;
  }

  static int enumItem(snd_mixer_elem_t* e, const char* name) {
    const int count = snd_mixer_selem_get_enum_items(e);
    for (int i = 0; i < count; ++i) {
      char text[64] = {};
      if (snd_mixer_selem_get_enum_item_name(e, static_cast<unsigned>(i), sizeof text, text) >= 0 &&
          std::strcmp(text, name) == 0) {
        return i;
      }
    }
    return -1;
  }

  snd_mixer_elem_t* volumeElement(int lineType, long& low, long& high) {
    const char* name = elementName(lineType);
    snd_mixer_elem_t* e = name != nullptr ? element(name) : nullptr;
    if (e == nullptr || !snd_mixer_selem_has_capture_volume(e) ||
        snd_mixer_selem_get_capture_volume_range(e, &low, &high) < 0 || high <= low) {
      return nullptr;
    }
    return e;
  }

  snd_mixer_t* mixer_ = nullptr;
};

}  // namespace

std::unique_ptr<JMixer> openAlsaMixer(int number, const char* deviceName) {
  return std::make_unique<AlsaMixer>(number, deviceName);
}

}  // namespace zq
