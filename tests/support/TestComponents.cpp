#include "support/TestComponents.h"

#include <cstring>

#include "framework/AudioSamplePool.h"

namespace ve::test {

AudioSample* MakeSample(int16_t value) {
  AudioSample* sample = nullptr;
  AudioSamplePool::Instance()->Get(&sample);
  WAVEFORMATEX pcm;
  sample->SetFormat(GetStandardFormat(&pcm, kFormatPcm16));
  std::memcpy(sample->Data(), &value, 2);
  sample->SetDataSize(2);
  return sample;
}

int32_t OutstandingSamples() {
  AudioSamplePool* pool = AudioSamplePool::Instance();
  return pool->CreatedCount() - pool->FreeCount();
}

void ReplacePool() {
  AudioSamplePool::Instance();
  AudioSamplePool::Initialize();
  AudioSamplePool::Shutdown();
}

int16_t FirstValue(const AudioSample* sample) {
  if (sample == nullptr || sample->DataSize() < 2) return 0;
  int16_t value;
  std::memcpy(&value, sample->Data(), 2);
  return value;
}

int32_t CountingSource::ProduceSample(AudioSample** out) {
  if (limit >= 0 && produced >= limit) return failWith;
  *out = MakeSample(static_cast<int16_t>(++produced));
  return 0;
}

int32_t RecordingSink::ProcessSamples(SampleList* list) {
  ++cycles;
  samples += static_cast<int32_t>(list->Size());
  std::lock_guard<std::mutex> guard(mutex);
  std::vector<int16_t> values;
  for (const auto& entry : *list) values.push_back(FirstValue(entry.sample));
  if (recorded.size() < keepValues) recorded.push_back(std::move(values));
  return 0;
}

std::vector<std::vector<int16_t>> RecordingSink::Cycles() {
  std::lock_guard<std::mutex> guard(mutex);
  return recorded;
}

int32_t AddFilter::Transform(SampleList* inputs, AudioSample** out) {
  AudioSample* input = inputs->First();
  if (input == nullptr) return 0;
  int16_t value = static_cast<int16_t>(FirstValue(input) + offset);
  if (inPlace) {
    input->AddRef();
    std::memcpy(input->Data(), &value, 2);
    *out = input;
  } else {
    *out = MakeSample(value);
  }
  return 0;
}

}  // namespace ve::test
