#pragma once

#include <memory>

#include "platform/Mixer.h"

namespace ve::platform {

// Builds the capture mixer of an open wave-in device from the system mixer that belongs to it:
// its wave-in destination line and that line's source lines, each with the volume and mute
// controls the system offers for it. Volumes map 0..65535 linearly onto the control's own
// range. A destination without a volume of its own but with a single source takes that
// source's controls as well, since that source's level is then the level of the whole input.
class WinmmMixer {
 public:
  // `waveIn` is the system's handle of the open device (HWAVEIN). Null when the device has no
  // mixer, no wave-in destination or no volume control on it (the stream then uses its
  // software gain).
  static std::unique_ptr<Mixer> OpenCaptureMixer(void* waveIn);
};

}  // namespace ve::platform
