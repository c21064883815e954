#include "platform/DeviceRegistry.h"

#include "platform/LoopbackDevice.h"
#include "platform/VirtualCaptureDevice.h"
#include "platform/VirtualPlaybackDevice.h"
#include "voiceengine/Devices.h"

namespace ve::platform {

DeviceRegistry& DeviceRegistry::Instance() {
  static DeviceRegistry registry;
  return registry;
}

DeviceRegistry::DeviceRegistry()
    : fallbackCapture(VirtualCaptureDevice::Silence("Silence")),
      fallbackPlayback(VirtualPlaybackDevice::Discard("Discard")) {}

void DeviceRegistry::ListSystem() {
  if (systemListed) return;
  systemDevices = SoundSystem::List();
  systemListed = true;
}

std::vector<DeviceRegistry::Entry> DeviceRegistry::List() {
  std::lock_guard<std::mutex> guard(mutex);
  ListSystem();
  std::vector<Entry> entries;
  for (size_t i = 0; i < systemDevices.size(); ++i) {
    const SoundSystem::Device& device = systemDevices[i];
    std::string name = device.name;
    if (!device.description.empty()) name += " (" + device.description + ")";
    entries.push_back({static_cast<uint32_t>(i), name, device.capture, device.playback, false, device.isDefault});
  }
  for (const auto& [id, device] : virtualDevices) {
    entries.push_back({id, device->Name(), device->CanCapture(), device->CanPlay(), true});
  }
  return entries;
}

uint32_t DeviceRegistry::Add(std::shared_ptr<VirtualDevice> device) {
  std::lock_guard<std::mutex> guard(mutex);
  uint32_t id = nextVirtualId++;
  virtualDevices[id] = std::move(device);
  return id;
}

bool DeviceRegistry::Remove(uint32_t id) {
  std::lock_guard<std::mutex> guard(mutex);
  inputLevels.erase(id);
  return virtualDevices.erase(id) > 0;
}

std::shared_ptr<WaveStream::InputLevel> DeviceRegistry::InputLevelOf(uint32_t id) {
  std::lock_guard<std::mutex> guard(mutex);
  std::shared_ptr<WaveStream::InputLevel>& level = inputLevels[id];
  if (level == nullptr) level = std::make_shared<WaveStream::InputLevel>();
  return level;
}

MMRESULT DeviceRegistry::OpenPort(uint32_t id, bool capture, const WAVEFORMATEX& format,
                                  std::unique_ptr<WavePort>* port) {
  std::shared_ptr<VirtualDevice> device;
  const SoundSystem::Device* system = nullptr;
  {
    std::lock_guard<std::mutex> guard(mutex);
    if (id == WAVE_MAPPER) {
      // the system's default device
    } else if (id >= kFirstVirtualId) {
      auto found = virtualDevices.find(id);
      if (found == virtualDevices.end()) return MMSYSERR_BADDEVICEID;
      device = found->second;
    } else {
      ListSystem();
      if (id >= systemDevices.size()) return MMSYSERR_BADDEVICEID;
      const SoundSystem::Device& entry = systemDevices[id];
      if (capture ? !entry.capture : !entry.playback) return MMSYSERR_BADDEVICEID;
      system = &entry;
    }
  }
  if (device != nullptr) {
    return capture ? device->OpenCapture(format, port) : device->OpenPlayback(format, port);
  }
  MMRESULT result = SoundSystem::Open(system, capture, format, port);
  if (result == MMSYSERR_NODRIVER && id == WAVE_MAPPER) {
    // No sound device on this machine: the default is virtual.
    return capture ? fallbackCapture->OpenCapture(format, port) : fallbackPlayback->OpenPlayback(format, port);
  }
  return result;
}

}  // namespace ve::platform

// The host's extension API.
namespace voiceengine {

using ve::platform::DeviceRegistry;

namespace {

int32_t Register(std::shared_ptr<ve::platform::VirtualDevice> device, uint32_t* id) {
  *id = DeviceRegistry::Instance().Add(std::move(device));
  return 0;
}

}  // namespace

std::vector<DeviceInfo> ListDevices() {
  std::vector<DeviceInfo> devices;
  for (const DeviceRegistry::Entry& entry : DeviceRegistry::Instance().List()) {
    devices.push_back({entry.id, entry.name, entry.capture, entry.playback, entry.isVirtual, entry.isDefault});
  }
  return devices;
}

int32_t AddSilenceCaptureDevice(const char* name, uint32_t* id) {
  if (name == nullptr || id == nullptr) return kDeviceBadArgument;
  return Register(ve::platform::VirtualCaptureDevice::Silence(name), id);
}

int32_t AddToneCaptureDevice(const char* name, double frequencyHz, int32_t amplitude, uint32_t* id) {
  if (name == nullptr || id == nullptr || !(frequencyHz > 0) || amplitude < 0 || amplitude > 32767) {
    return kDeviceBadArgument;
  }
  return Register(ve::platform::VirtualCaptureDevice::Tone(name, frequencyHz, static_cast<int16_t>(amplitude)), id);
}

int32_t AddWavFileCaptureDevice(const char* name, const char* path, bool loop, uint32_t* id) {
  if (name == nullptr || path == nullptr || id == nullptr) return kDeviceBadArgument;
  std::unique_ptr<ve::platform::VirtualCaptureDevice> device;
  int32_t result = ve::platform::VirtualCaptureDevice::FromWavFile(name, path, loop, &device);
  if (result == ve::platform::WavPcmReader::kErrorOpen) return kDeviceFileUnreadable;
  if (result != 0) return kDeviceFileNotPcmWave;
  return Register(std::move(device), id);
}

int32_t AddDiscardPlaybackDevice(const char* name, uint32_t* id) {
  if (name == nullptr || id == nullptr) return kDeviceBadArgument;
  return Register(ve::platform::VirtualPlaybackDevice::Discard(name), id);
}

int32_t AddWavFilePlaybackDevice(const char* name, const char* path, uint32_t* id) {
  if (name == nullptr || path == nullptr || *path == '\0' || id == nullptr) return kDeviceBadArgument;
  return Register(ve::platform::VirtualPlaybackDevice::WavRecorder(name, path), id);
}

int32_t AddLoopbackDevice(const char* name, uint32_t* id) {
  if (name == nullptr || id == nullptr) return kDeviceBadArgument;
  return Register(std::make_shared<ve::platform::LoopbackDevice>(name), id);
}

int32_t RemoveDevice(uint32_t id) { return DeviceRegistry::Instance().Remove(id) ? 0 : kDeviceBadArgument; }

}  // namespace voiceengine
