#include "platform/linux/AlsaBackend.h"

#include <alsa/asoundlib.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/DebugOutput.h"

namespace ve::platform {

namespace {

void ErrorToDebugOutput(const char* file, int line, const char* function, int err, const char* format, ...) {
  (void)file;
  (void)line;
  (void)err;
  char text[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  DebugPrintf("alsa %s: %s\r\n", function != nullptr ? function : "", text);
}

bool Listed(const char* name) {
  return std::strcmp(name, "default") == 0 || std::strcmp(name, "pulse") == 0 ||
         std::strcmp(name, "pipewire") == 0 || std::strncmp(name, "sysdefault:", 11) == 0 ||
         std::strncmp(name, "plughw:", 7) == 0;
}

}  // namespace

void AlsaBackend::SilenceErrors() {
  static std::once_flag once;
  std::call_once(once, [] { snd_lib_error_set_handler(&ErrorToDebugOutput); });
}

std::vector<AlsaBackend::Device> AlsaBackend::List() {
  SilenceErrors();
  std::vector<Device> devices;
  void** hints = nullptr;
  if (snd_device_name_hint(-1, "pcm", &hints) < 0 || hints == nullptr) return devices;
  for (void** hint = hints; *hint != nullptr; ++hint) {
    char* name = snd_device_name_get_hint(*hint, "NAME");
    char* description = snd_device_name_get_hint(*hint, "DESC");
    char* direction = snd_device_name_get_hint(*hint, "IOID");
    if (name != nullptr && Listed(name)) {
      Device device;
      device.name = name;
      if (description != nullptr) {
        device.description = description;
        size_t newline = device.description.find('\n');
        if (newline != std::string::npos) device.description.resize(newline);
      }
      // No direction means both.
      device.capture = direction == nullptr || std::strcmp(direction, "Input") == 0;
      device.playback = direction == nullptr || std::strcmp(direction, "Output") == 0;
      devices.push_back(device);
    }
    std::free(name);
    std::free(description);
    std::free(direction);
  }
  snd_device_name_free_hint(hints);
  return devices;
}

}  // namespace ve::platform
