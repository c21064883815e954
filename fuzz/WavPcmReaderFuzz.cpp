// Any bytes given to the PCM WAV reader either parse into whole frames or give an error code.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "platform/WavPcmReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ve::platform::WavPcmReader::Audio audio;
  int32_t result = ve::platform::WavPcmReader::Parse(data, size, &audio);
  if (result == 0 && (audio.channels == 0 || audio.samples.size() % audio.channels != 0)) std::abort();
  return 0;
}
