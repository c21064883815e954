#include "audio/EqualizerFilter.h"

#include <algorithm>

#include "framework/AudioSample.h"
#include "framework/AudioSamplePool.h"
#include "framework/SampleList.h"

namespace ve {

EqualizerFilter::EqualizerFilter() = default;
EqualizerFilter::~EqualizerFilter() = default;

int32_t EqualizerFilter::SetCoefficients(const double* table, int32_t count, int32_t bits) {
  fir8.reset();
  fir16.reset();
  fir32.reset();
  sampleBits = bits;
  switch (bits) {
    case 8:
      fir8 = std::make_unique<FirFilter8>(table, count);
      return 0;
    case 16:
      fir16 = std::make_unique<FirFilter16>(table, count);
      return 0;
    case 32:
      fir32 = std::make_unique<FirFilter32>(table, count);
      return 0;
    default:
      return -10;
  }
}

int32_t EqualizerFilter::Transform(SampleList* inputs, AudioSample** out) {
  *out = nullptr;
  AudioSample* input = inputs->First();
  if (input == nullptr) return 0;
  if (input->DataSize() < 1) {
    input->AddRef();
    *out = input;
    return 0;
  }

  AudioSample* output = nullptr;
  if (AudioSamplePool::Instance()->Get(&output) != 0 || output == nullptr) return -10;
  *out = output;
  output->SetFormat(&input->Format());
  // Never more than either buffer holds.
  const int32_t size = std::min({input->DataSize(), input->Capacity(), output->Capacity()});
  output->SetDataSize(size);

  const int32_t bitsPerSample = input->Format().wBitsPerSample;
  const int32_t n = bitsPerSample > 0 ? size * 8 / bitsPerSample : 0;
  const uint8_t* from = input->Data();
  uint8_t* to = output->Data();
  // A width wider than the sample's own would read past its data.
  switch (sampleBits) {
    case 8:
      fir8->Process(reinterpret_cast<const int8_t*>(from), reinterpret_cast<int8_t*>(to), std::min(n, size));
      return 0;
    case 16:
      fir16->Process(reinterpret_cast<const int16_t*>(from), reinterpret_cast<int16_t*>(to), std::min(n, size / 2));
      return 0;
    case 32:
      fir32->Process(reinterpret_cast<const int32_t*>(from), reinterpret_cast<int32_t*>(to), std::min(n, size / 4));
      return 0;
    default:
      return -20;
  }
}

}  // namespace ve
