#include "audio/MixerFilter.h"

#include <algorithm>
#include <cstring>

#include "framework/AudioSample.h"
#include "framework/AudioSamplePool.h"
#include "framework/SampleList.h"

namespace ve {

namespace {

int16_t ValueAt(const AudioSample* sample, int32_t i) {
  int16_t value;
  std::memcpy(&value, sample->Data() + 2 * i, 2);
  return value;
}

}  // namespace

int32_t MixerFilter::Transform(SampleList* inputs, AudioSample** out) {
  *out = nullptr;
  AudioSample* first = nullptr;
  int32_t count = 0;
  int32_t maxSize = 0;
  int32_t maxSilence = 0;
  for (const SampleList::Entry& entry : *inputs) {
    AudioSample* sample = entry.sample;
    if (sample == nullptr) continue;
    if (first == nullptr) first = sample;
    ++count;
    maxSize = std::max(maxSize, sample->DataSize());
    if (sample->DataSize() == 0) maxSilence = std::max(maxSilence, sample->SilenceMs());
  }
  if (count == 0) return 0;
  if (count == 1) {
    first->AddRef();
    *out = first;
    return 0;
  }

  AudioSample* output = nullptr;
  if (AudioSamplePool::Instance()->Get(&output) != 0 || output == nullptr) return -10;
  *out = output;
  output->SetFormat(&first->Format());
  output->SetSilenceMs(maxSilence);

  const int32_t n = std::min(maxSize, output->Capacity());
  for (int32_t i = 0; i < n / 2; ++i) {
    double sum = 0.0;
    for (const SampleList::Entry& entry : *inputs) {
      const AudioSample* sample = entry.sample;
      if (sample != nullptr && std::min(sample->DataSize(), sample->Capacity()) >= 2 * i + 2) sum += ValueAt(sample, i);
    }
    auto value = static_cast<int16_t>(std::clamp(sum, -32768.0, 32767.0));
    std::memcpy(output->Data() + 2 * i, &value, 2);
  }
  output->SetDataSize((n / 2) * 2);
  return 0;
}

}  // namespace ve
