#pragma once

#include <string>
#include <vector>

namespace ve::platform {

// What the machine's ALSA configuration offers: the PCM devices worth listing ("default",
// sound-server plugins, and each card's "sysdefault" and "plughw" entries) in the order ALSA
// names them, which stays the same while the configuration and the cards do.
class AlsaBackend {
 public:
  struct Device {
    std::string name;         // ALSA device name, e.g. "default" or "plughw:CARD=PCH,DEV=0"
    std::string description;  // first line of ALSA's description
    bool capture = false;
    bool playback = false;
  };

  static std::vector<Device> List();
  // Routes ALSA's own error messages to the debug output instead of standard error.
  static void SilenceErrors();
};

}  // namespace ve::platform
