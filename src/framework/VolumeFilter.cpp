#include "framework/VolumeFilter.h"

#include <algorithm>
#include <cstring>

#include "framework/AudioSample.h"

namespace ve {

int32_t VolumeFilter::SetLevel(int32_t v) {
  level = std::clamp(v, 0, 100);
  return 0;
}

int32_t VolumeFilter::Transform(SampleList* inputs, AudioSample** out) {
  AudioSample* sample = inputs->First();
  if (sample == nullptr) {
    *out = nullptr;
    return 0;
  }
  sample->AddRef();
  const int32_t l = level;
  const double gain = (l * l) / 10000.0;
  uint8_t* bytes = sample->Data();
  const int32_t count = std::min(sample->DataSize(), sample->Capacity()) / 2;
  for (int32_t i = 0; i < count; ++i) {
    int16_t value;
    std::memcpy(&value, bytes + 2 * i, 2);
    value = static_cast<int16_t>(gain * value);  // truncates toward zero
    std::memcpy(bytes + 2 * i, &value, 2);
  }
  *out = sample;
  return 0;
}

}  // namespace ve
