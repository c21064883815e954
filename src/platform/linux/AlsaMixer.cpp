#include "platform/linux/AlsaMixer.h"

#include <alsa/asoundlib.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace ve::platform {

namespace {

// Keeps the card's mixer open while any control of it lives.
struct MixerHandle {
  snd_mixer_t* mixer = nullptr;
  ~MixerHandle() {
    if (mixer != nullptr) snd_mixer_close(mixer);
  }
};

class ElementVolume : public MixerControl {
 public:
  ElementVolume(std::shared_ptr<MixerHandle> handle, snd_mixer_elem_t* element)
      : handle(std::move(handle)), element(element) {}
  uint32_t Type() const override { return MIXERCONTROL_CONTROLTYPE_VOLUME; }
  MMRESULT Get(uint32_t* value) override {
    long low = 0, high = 0, raw = 0;
    if (snd_mixer_selem_get_capture_volume_range(element, &low, &high) < 0 || high <= low) return MMSYSERR_ERROR;
    if (snd_mixer_selem_get_capture_volume(element, SND_MIXER_SCHN_FRONT_LEFT, &raw) < 0) return MMSYSERR_ERROR;
    *value = static_cast<uint32_t>((raw - low) * 65535 / (high - low));
    return MMSYSERR_NOERROR;
  }
  MMRESULT Set(uint32_t value) override {
    long low = 0, high = 0;
    if (snd_mixer_selem_get_capture_volume_range(element, &low, &high) < 0 || high <= low) return MMSYSERR_ERROR;
    long raw = low + static_cast<long>((static_cast<int64_t>(value > 65535 ? 65535 : value) * (high - low)) / 65535);
    return snd_mixer_selem_set_capture_volume_all(element, raw) < 0 ? MMSYSERR_ERROR : MMSYSERR_NOERROR;
  }

 private:
  std::shared_ptr<MixerHandle> handle;
  snd_mixer_elem_t* element;
};

class ElementMute : public MixerControl {
 public:
  ElementMute(std::shared_ptr<MixerHandle> handle, snd_mixer_elem_t* element)
      : handle(std::move(handle)), element(element) {}
  uint32_t Type() const override { return MIXERCONTROL_CONTROLTYPE_MUTE; }
  MMRESULT Get(uint32_t* value) override {
    int on = 0;
    if (snd_mixer_selem_get_capture_switch(element, SND_MIXER_SCHN_FRONT_LEFT, &on) < 0) return MMSYSERR_ERROR;
    *value = on ? 0 : 1;
    return MMSYSERR_NOERROR;
  }
  MMRESULT Set(uint32_t value) override {
    return snd_mixer_selem_set_capture_switch_all(element, value != 0 ? 0 : 1) < 0 ? MMSYSERR_ERROR
                                                                                   : MMSYSERR_NOERROR;
  }

 private:
  std::shared_ptr<MixerHandle> handle;
  snd_mixer_elem_t* element;
};

void AddControls(Mixer* mixer, uint32_t lineId, const std::shared_ptr<MixerHandle>& handle,
                 snd_mixer_elem_t* element) {
  mixer->AddControl(lineId, std::make_unique<ElementVolume>(handle, element));
  if (snd_mixer_selem_has_capture_switch(element)) {
    mixer->AddControl(lineId, std::make_unique<ElementMute>(handle, element));
  }
}

}  // namespace

std::unique_ptr<Mixer> AlsaMixer::OpenCaptureMixer(int card) {
  auto handle = std::make_shared<MixerHandle>();
  char name[32];
  std::snprintf(name, sizeof name, "hw:%d", card);
  if (snd_mixer_open(&handle->mixer, 0) < 0) return nullptr;
  if (snd_mixer_attach(handle->mixer, name) < 0 || snd_mixer_selem_register(handle->mixer, nullptr, nullptr) < 0 ||
      snd_mixer_load(handle->mixer) < 0) {
    return nullptr;
  }
  snd_mixer_elem_t* capture = nullptr;
  std::vector<snd_mixer_elem_t*> microphones;
  for (snd_mixer_elem_t* element = snd_mixer_first_elem(handle->mixer); element != nullptr;
       element = snd_mixer_elem_next(element)) {
    if (!snd_mixer_selem_is_active(element) || !snd_mixer_selem_has_capture_volume(element)) continue;
    const char* elementName = snd_mixer_selem_get_name(element);
    if (std::strcmp(elementName, "Capture") == 0) {
      capture = element;
    } else if (std::strstr(elementName, "Mic") != nullptr) {
      microphones.push_back(element);
    }
  }
  if (capture == nullptr && microphones.empty()) return nullptr;
  auto mixer = std::make_unique<Mixer>();
  uint32_t destination = mixer->AddDestination(MIXERLINE_COMPONENTTYPE_DST_WAVEIN, "Capture");
  if (capture != nullptr) AddControls(mixer.get(), Mixer::DestinationLineId(destination), handle, capture);
  for (snd_mixer_elem_t* element : microphones) {
    uint32_t line = mixer->AddSource(destination, MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE,
                                     snd_mixer_selem_get_name(element));
    AddControls(mixer.get(), line, handle, element);
  }
  return mixer;
}

}  // namespace ve::platform
