#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/WaveHeader.h"
#include "platform/WavePort.h"

namespace ve::platform {

// The machine's own sound devices, as the device registry lists and opens them: the ALSA PCM
// devices on Linux, the wave-in and wave-out devices of the multimedia system on Windows.
class SoundSystem {
 public:
  struct Device {
    std::string name;         // the system's name for the device
    std::string description;  // a human-readable line, may be empty
    bool capture = false;
    bool playback = false;
    uint32_t systemId = 0;    // the system's own number for the device, where it has one
    bool isDefault = false;   // what Open opens for a null device in the device's direction
  };

  // The devices worth listing, in an order that stays the same while the machine's devices do.
  static std::vector<Device> List();

  // Opens `device`, or the system's default device of the direction when null, for `format`.
  // MMSYSERR_NODRIVER when the machine has no such device at all; another code when the device
  // exists but refuses the format or is busy.
  static MMRESULT Open(const Device* device, bool capture, const WAVEFORMATEX& format,
                       std::unique_ptr<WavePort>* port);
};

}  // namespace ve::platform
