#include "audio/VadFilter.h"

#include <algorithm>

#include "framework/AudioSample.h"
#include "framework/SampleList.h"

namespace ve {

int32_t VadFilter::Prepare() { return detector.Reset(); }

int32_t VadFilter::Transform(SampleList* inputs, AudioSample** out) {
  *out = nullptr;
  AudioSample* sample = inputs->First();
  if (sample == nullptr) return 0;
  sample->AddRef();
  *out = sample;
  if (enabled) {
    const int32_t n = std::max(0, std::min(sample->DataSize(), sample->Capacity())) / 2;
    if (detector.IsSilent(reinterpret_cast<const int16_t*>(sample->Data()), n) != 0) {
      sample->SetDataSize(0);
      sample->SetSilenceMs(n / 8);  // n values at 8 kHz last n / 8 ms
    }
  }
  return 0;
}

}  // namespace ve
