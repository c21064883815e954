// Project headers first: the system headers below define macros named like some of our
// constants (with the same values), which must not reach our own declarations.
#include "platform/SoundSystem.h"

#include "platform/win32/WinmmPort.h"

#include <optional>

#include "platform/win32/WindowsHeaders.h"
#include <mmsystem.h>
#include <mmddk.h>

namespace ve::platform {

namespace {

// The system id of the device the wave mapper prefers for the direction; none when the
// mapper does not say.
std::optional<UINT> PreferredId(bool capture) {
  DWORD id = 0, flags = 0;
  const auto mapper = static_cast<UINT_PTR>(WAVE_MAPPER);
  const auto idOut = reinterpret_cast<DWORD_PTR>(&id), flagsOut = reinterpret_cast<DWORD_PTR>(&flags);
  const MMRESULT result =
      capture ? ::waveInMessage(reinterpret_cast<::HWAVEIN>(mapper), DRVM_MAPPER_PREFERRED_GET, idOut, flagsOut)
              : ::waveOutMessage(reinterpret_cast<::HWAVEOUT>(mapper), DRVM_MAPPER_PREFERRED_GET, idOut, flagsOut);
  if (result != MMSYSERR_NOERROR) return std::nullopt;
  return static_cast<UINT>(id);
}

}  // namespace

// The wave-in devices in the system's order, then the wave-out devices in theirs: each is one
// direction of the system's device list, and its index there is its system id.
std::vector<SoundSystem::Device> SoundSystem::List() {
  std::vector<Device> devices;
  const UINT inputs = ::waveInGetNumDevs();
  const std::optional<UINT> defaultInput = PreferredId(true), defaultOutput = PreferredId(false);
  for (UINT i = 0; i < inputs; ++i) {
    ::WAVEINCAPSA caps{};
    if (::waveInGetDevCapsA(i, &caps, sizeof caps) != MMSYSERR_NOERROR) continue;
    Device device;
    device.name = caps.szPname;
    device.capture = true;
    device.systemId = i;
    device.isDefault = defaultInput == i;
    devices.push_back(std::move(device));
  }
  const UINT outputs = ::waveOutGetNumDevs();
  for (UINT i = 0; i < outputs; ++i) {
    ::WAVEOUTCAPSA caps{};
    if (::waveOutGetDevCapsA(i, &caps, sizeof caps) != MMSYSERR_NOERROR) continue;
    Device device;
    device.name = caps.szPname;
    device.playback = true;
    device.systemId = i;
    device.isDefault = defaultOutput == i;
    devices.push_back(std::move(device));
  }
  return devices;
}

MMRESULT SoundSystem::Open(const Device* device, bool capture, const WAVEFORMATEX& format,
                           std::unique_ptr<WavePort>* port) {
  if (device == nullptr) {
    // The system's default device of the direction, unless it has none at all.
    if ((capture ? ::waveInGetNumDevs() : ::waveOutGetNumDevs()) == 0) return MMSYSERR_NODRIVER;
    return WinmmPort::Open(WAVE_MAPPER, capture, format, port);
  }
  if (capture ? !device->capture : !device->playback) return MMSYSERR_BADDEVICEID;
  return WinmmPort::Open(device->systemId, capture, format, port);
}

}  // namespace ve::platform
