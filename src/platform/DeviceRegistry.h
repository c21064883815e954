#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/SoundSystem.h"
#include "platform/VirtualDevice.h"
#include "platform/WaveHeader.h"
#include "platform/WavePort.h"
#include "platform/WaveStream.h"

namespace ve::platform {

// The process-wide list of wave devices. Ids 0..n-1 are the machine's own devices in the order of
// SoundSystem::List, taken once at first use so they stay put for the life of the process;
// virtual devices registered by the host get ids from kFirstVirtualId up, never reused.
// WAVE_MAPPER opens the system's default device, or, when the machine has none, a virtual one
// (silence in, discard out) so that the engine still runs.
//
// Threads: any; `mutex` guards every member. Ports are opened outside the lock.
class DeviceRegistry {
 public:
  static constexpr uint32_t kFirstVirtualId = 1000;

  struct Entry {
    uint32_t id = 0;
    std::string name;
    bool capture = false;
    bool playback = false;
    bool isVirtual = false;
    bool isDefault = false;
  };

  static DeviceRegistry& Instance();

  std::vector<Entry> List();
  uint32_t Add(std::shared_ptr<VirtualDevice> device);
  // False for an id that is not a registered virtual device. Open streams keep working.
  bool Remove(uint32_t id);

  // MMSYSERR_BADDEVICEID for an unknown id or one without that direction.
  MMRESULT OpenPort(uint32_t id, bool capture, const WAVEFORMATEX& format, std::unique_ptr<WavePort>* port);

  // The software microphone level kept for device `id` (created at first use).
  std::shared_ptr<WaveStream::InputLevel> InputLevelOf(uint32_t id);

 private:
  DeviceRegistry();
  void ListSystem();  // caller holds mutex

  std::mutex mutex;
  bool systemListed = false;
  std::vector<SoundSystem::Device> systemDevices;
  std::map<uint32_t, std::shared_ptr<VirtualDevice>> virtualDevices;
  uint32_t nextVirtualId = kFirstVirtualId;
  std::map<uint32_t, std::shared_ptr<WaveStream::InputLevel>> inputLevels;
  std::shared_ptr<VirtualDevice> fallbackCapture;
  std::shared_ptr<VirtualDevice> fallbackPlayback;
};

}  // namespace ve::platform
