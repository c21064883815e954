// Project headers first: the system headers below define macros named like some of our
// constants and records (with the same values), which must not reach our own declarations.
#include "platform/win32/WinmmMixer.h"

#include <cstdint>
#include <cstring>

#include "platform/DebugOutput.h"

#include "platform/win32/WindowsHeaders.h"
#include <mmsystem.h>

namespace ve::platform {

namespace {

// Keeps the system mixer open while any control of it lives.
struct MixerHandle {
  ::HMIXER mixer = nullptr;
  ~MixerHandle() {
    if (mixer != nullptr) ::mixerClose(mixer);
  }
  ::HMIXEROBJ Object() const { return reinterpret_cast<::HMIXEROBJ>(mixer); }
};

// Reads or writes one value of a control, the same on every channel.
MMRESULT ControlDetails(const MixerHandle& handle, DWORD controlId, void* value, DWORD size, bool set) {
  ::MIXERCONTROLDETAILS details{};
  details.cbStruct = sizeof details;
  details.dwControlID = controlId;
  details.cChannels = 1;
  details.cbDetails = size;
  details.paDetails = value;
  if (set) return ::mixerSetControlDetails(handle.Object(), &details, MIXER_OBJECTF_HMIXER | MIXER_SETCONTROLDETAILSF_VALUE);
  return ::mixerGetControlDetailsA(handle.Object(), &details, MIXER_OBJECTF_HMIXER | MIXER_GETCONTROLDETAILSF_VALUE);
}

class SystemVolume : public MixerControl {
 public:
  SystemVolume(std::shared_ptr<MixerHandle> handle, const ::MIXERCONTROLA& control)
      : handle(std::move(handle)),
        id(control.dwControlID),
        low(control.Bounds.dwMinimum),
        high(control.Bounds.dwMaximum) {}
  uint32_t Type() const override { return MIXERCONTROL_CONTROLTYPE_VOLUME; }
  MMRESULT Get(uint32_t* value) override {
    ::MIXERCONTROLDETAILS_UNSIGNED raw{};
    MMRESULT result = ControlDetails(*handle, id, &raw, sizeof raw, false);
    if (result != MMSYSERR_NOERROR) return result;
    if (high <= low) return MMSYSERR_ERROR;
    uint64_t range = high - low;
    uint64_t above = raw.dwValue > low ? raw.dwValue - low : 0;
    if (above > range) above = range;
    *value = static_cast<uint32_t>((above * 65535 + range / 2) / range);
    return MMSYSERR_NOERROR;
  }
  MMRESULT Set(uint32_t value) override {
    if (high <= low) return MMSYSERR_ERROR;
    uint64_t range = high - low;
    ::MIXERCONTROLDETAILS_UNSIGNED raw{};
    raw.dwValue = low + static_cast<DWORD>((static_cast<uint64_t>(value > 65535 ? 65535 : value) * range + 32767) / 65535);
    return ControlDetails(*handle, id, &raw, sizeof raw, true);
  }

 private:
  std::shared_ptr<MixerHandle> handle;
  DWORD id;
  DWORD low;
  DWORD high;
};

class SystemMute : public MixerControl {
 public:
  SystemMute(std::shared_ptr<MixerHandle> handle, const ::MIXERCONTROLA& control)
      : handle(std::move(handle)), id(control.dwControlID) {}
  uint32_t Type() const override { return MIXERCONTROL_CONTROLTYPE_MUTE; }
  MMRESULT Get(uint32_t* value) override {
    ::MIXERCONTROLDETAILS_BOOLEAN raw{};
    MMRESULT result = ControlDetails(*handle, id, &raw, sizeof raw, false);
    if (result == MMSYSERR_NOERROR) *value = raw.fValue != 0 ? 1 : 0;
    return result;
  }
  MMRESULT Set(uint32_t value) override {
    ::MIXERCONTROLDETAILS_BOOLEAN raw{};
    raw.fValue = value != 0 ? 1 : 0;
    return ControlDetails(*handle, id, &raw, sizeof raw, true);
  }

 private:
  std::shared_ptr<MixerHandle> handle;
  DWORD id;
};

bool FindControl(const MixerHandle& handle, DWORD lineId, DWORD type, ::MIXERCONTROLA* control) {
  *control = ::MIXERCONTROLA{};
  control->cbStruct = sizeof *control;
  ::MIXERLINECONTROLSA query{};
  query.cbStruct = sizeof query;
  query.dwLineID = lineId;
  query.dwControlType = type;
  query.cControls = 1;
  query.cbmxctrl = sizeof *control;
  query.pamxctrl = control;
  return ::mixerGetLineControlsA(handle.Object(), &query, MIXER_OBJECTF_HMIXER | MIXER_GETLINECONTROLSF_ONEBYTYPE) ==
         MMSYSERR_NOERROR;
}

// Adds the volume and mute of system line `systemLine` to our line `lineId`; true when the line
// has a volume.
bool AddControls(Mixer* mixer, uint32_t lineId, const std::shared_ptr<MixerHandle>& handle, DWORD systemLine) {
  ::MIXERCONTROLA control;
  bool volume = FindControl(*handle, systemLine, MIXERCONTROL_CONTROLTYPE_VOLUME, &control);
  if (volume) mixer->AddControl(lineId, std::make_unique<SystemVolume>(handle, control));
  if (FindControl(*handle, systemLine, MIXERCONTROL_CONTROLTYPE_MUTE, &control)) {
    mixer->AddControl(lineId, std::make_unique<SystemMute>(handle, control));
  }
  return volume;
}

bool FindWaveInDestination(const MixerHandle& handle, ::MIXERLINEA* destination) {
  *destination = ::MIXERLINEA{};
  destination->cbStruct = sizeof *destination;
  destination->dwComponentType = MIXERLINE_COMPONENTTYPE_DST_WAVEIN;
  return ::mixerGetLineInfoA(handle.Object(), destination, MIXER_OBJECTF_HMIXER | MIXER_GETLINEINFOF_COMPONENTTYPE) ==
         MMSYSERR_NOERROR;
}

// The mapper's message that names the device it opens for the default.
constexpr UINT kMapperPreferredGet = 0x2000 + 21;

// Opens the mixer of the wave-in device behind `waveIn` by that device's index: for systems
// that take only mixer ids in mixerOpen, and for handles of the wave mapper, whose device is
// the mapper's preferred one.
bool OpenByDeviceIndex(::HWAVEIN waveIn, MixerHandle* handle) {
  UINT device = 0;
  if (::waveInGetID(waveIn, &device) != MMSYSERR_NOERROR) return false;
  if (device >= ::waveInGetNumDevs()) {
    DWORD preferred = 0, flags = 0;
    if (::waveInMessage(reinterpret_cast<::HWAVEIN>(static_cast<UINT_PTR>(WAVE_MAPPER)), kMapperPreferredGet,
                        reinterpret_cast<DWORD_PTR>(&preferred), reinterpret_cast<DWORD_PTR>(&flags)) !=
        MMSYSERR_NOERROR) {
      return false;
    }
    device = preferred;
  }
  UINT mixerId = 0;
  if (::mixerGetID(reinterpret_cast<::HMIXEROBJ>(static_cast<UINT_PTR>(device)), &mixerId, MIXER_OBJECTF_WAVEIN) !=
      MMSYSERR_NOERROR) {
    return false;
  }
  if (::mixerOpen(&handle->mixer, mixerId, 0, 0, MIXER_OBJECTF_MIXER) != MMSYSERR_NOERROR) {
    handle->mixer = nullptr;
    return false;
  }
  return true;
}

}  // namespace

std::unique_ptr<Mixer> WinmmMixer::OpenCaptureMixer(void* waveIn) {
  auto handle = std::make_shared<MixerHandle>();
  ::MIXERLINEA destination;
  // The id of a handle object is the handle itself, where it fits the id's 32 bits.
  const UINT_PTR object = reinterpret_cast<UINT_PTR>(waveIn);
  const bool fits = (object >> 16 >> 16) == 0;
  if (!fits ||
      ::mixerOpen(&handle->mixer, static_cast<UINT>(object), 0, 0, MIXER_OBJECTF_HWAVEIN) != MMSYSERR_NOERROR) {
    handle->mixer = nullptr;
  } else if (!FindWaveInDestination(*handle, &destination)) {
    ::mixerClose(handle->mixer);
    handle->mixer = nullptr;
  }
  if (handle->mixer == nullptr) {
    if (!OpenByDeviceIndex(static_cast<::HWAVEIN>(waveIn), handle.get())) return nullptr;
    if (!FindWaveInDestination(*handle, &destination)) return nullptr;
  }
  auto mixer = std::make_unique<Mixer>();
  uint32_t ours = mixer->AddDestination(MIXERLINE_COMPONENTTYPE_DST_WAVEIN, destination.szName);
  const uint32_t destinationLine = Mixer::DestinationLineId(ours);
  bool anyVolume = AddControls(mixer.get(), destinationLine, handle, destination.dwLineID);
  bool destinationVolume = anyVolume;
  for (DWORD index = 0; index < destination.cConnections; ++index) {
    ::MIXERLINEA source{};
    source.cbStruct = sizeof source;
    source.dwDestination = destination.dwDestination;
    source.dwSource = index;
    if (::mixerGetLineInfoA(handle->Object(), &source, MIXER_OBJECTF_HMIXER | MIXER_GETLINEINFOF_SOURCE) !=
        MMSYSERR_NOERROR) {
      continue;
    }
    uint32_t line = mixer->AddSource(ours, source.dwComponentType, source.szName);
    bool volume = AddControls(mixer.get(), line, handle, source.dwLineID);
    anyVolume = anyVolume || volume;
    if (volume && !destinationVolume && destination.cConnections == 1) {
      AddControls(mixer.get(), destinationLine, handle, source.dwLineID);
    }
  }
  if (!anyVolume) {
    DebugPrintf("wave-in mixer \"%s\" has no volume control\r\n", destination.szName);
    return nullptr;
  }
  return mixer;
}

}  // namespace ve::platform
