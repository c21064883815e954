#pragma once

#include <memory>

#include "platform/Mixer.h"

namespace ve::platform {

// Builds the capture mixer of an ALSA sound card from its mixer elements: the `Capture`
// element (volume and switch) is the wave-in destination, elements whose name holds "Mic"
// with a capture volume are its microphone source lines. Volumes map 0..65535 linearly onto
// the element's raw range; mute clears the capture switch.
class AlsaMixer {
 public:
  // Null when the card has no usable element (the caller then uses a software gain).
  static std::unique_ptr<Mixer> OpenCaptureMixer(int card);
};

}  // namespace ve::platform
