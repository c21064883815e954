#include "framework/AudioFilter.h"

#include "framework/AudioSample.h"

namespace ve {

int32_t AudioFilter::Prepare() { return 0; }
int32_t AudioFilter::Unprepare() { return 0; }
int32_t AudioFilter::Transform(SampleList*, AudioSample**) { return 0; }

int32_t AudioFilter::ProduceSample(AudioSample** out) {
  sampleList.ReleaseAll();
  *out = nullptr;
  PullSources(nullptr);
  int32_t result = Transform(&sampleList, out);
  if (result != 0 && *out != nullptr) {
    (*out)->Release();
    *out = nullptr;
  }
  sampleList.ReleaseAll();
  return result;
}

int32_t AudioFilter::ProcessSamples(SampleList* list) {
  AudioSample* outSample = nullptr;
  int32_t result = Transform(list, &outSample);
  if (result != 0 && outSample != nullptr) {
    outSample->Release();
    outSample = nullptr;
  }
  PushToListeners(outSample, nullptr);
  if (outSample != nullptr) outSample->Release();
  return result;
}

int32_t Connect(AudioSource* from, AudioSink* to) {
  from->AddListener(to);
  to->AddSource(from);
  return 0;
}

int32_t Disconnect(AudioSource* from, AudioSink* to) {
  from->RemoveListener(to);
  to->RemoveSource(from);
  return 0;
}

}  // namespace ve
