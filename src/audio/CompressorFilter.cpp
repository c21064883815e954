#include "audio/CompressorFilter.h"

#include <algorithm>

#include "framework/AudioSample.h"
#include "framework/SampleList.h"

namespace ve {

CompressorFilter::CompressorFilter(double threshold, double lossIncrement, double lossDecrement)
    : compressor(std::make_unique<LevelCompressor>(threshold, lossIncrement, lossDecrement)) {}

CompressorFilter::~CompressorFilter() = default;

int32_t CompressorFilter::SetParameters(double threshold, double lossIncrement, double lossDecrement) {
  compressor = std::make_unique<LevelCompressor>(threshold, lossIncrement, lossDecrement);
  return 0;
}

int32_t CompressorFilter::Transform(SampleList* inputs, AudioSample** out) {
  *out = nullptr;
  AudioSample* sample = inputs->First();
  if (sample == nullptr) return 0;
  sample->AddRef();
  *out = sample;
  const int32_t bitsPerSample = sample->Format().wBitsPerSample;
  const int32_t size = std::max(0, std::min(sample->DataSize(), sample->Capacity()));
  // The count follows the format's width, but never reaches past the 16-bit values held.
  const int32_t n = bitsPerSample > 0 ? std::min(size * 8 / bitsPerSample, size / 2) : 0;
  compressor->Process(reinterpret_cast<int16_t*>(sample->Data()), n);
  return 0;
}

}  // namespace ve
