#include "platform/SoundSystem.h"

#include "platform/linux/AlsaBackend.h"
#include "platform/linux/AlsaPort.h"

namespace ve::platform {

namespace {

// The ALSA device a program gets when it names none.
constexpr const char* kDefaultName = "default";

}  // namespace

std::vector<SoundSystem::Device> SoundSystem::List() {
  std::vector<Device> devices;
  for (const AlsaBackend::Device& alsa : AlsaBackend::List()) {
    Device device;
    device.name = alsa.name;
    device.description = alsa.description;
    device.capture = alsa.capture;
    device.playback = alsa.playback;
    device.isDefault = alsa.name == kDefaultName;
    devices.push_back(std::move(device));
  }
  return devices;
}

MMRESULT SoundSystem::Open(const Device* device, bool capture, const WAVEFORMATEX& format,
                           std::unique_ptr<WavePort>* port) {
  return AlsaPort::Open(device != nullptr ? device->name : std::string(kDefaultName), capture, format, port);
}

}  // namespace ve::platform
