#include "audio/PlayoutFilter.h"

#include "framework/AudioSample.h"
#include "framework/AudioSamplePool.h"
#include "framework/SampleList.h"
#include "platform/Clock.h"
#include "platform/WaveFormat.h"
#include "rtp/RtpPacket.h"

namespace ve {

namespace {
constexpr int32_t kMaxBlockMs = 200;
constexpr int32_t kCoreBlockMs = PlayoutCore::kBlockSamples / 8;
}  // namespace

int32_t PlayoutFilter::SetBlockMs(int32_t ms) {
  if (ms < kCoreBlockMs || ms > kMaxBlockMs || ms % kCoreBlockMs != 0) return -10;
  blockMs = ms;
  return 0;
}

int32_t PlayoutFilter::Prepare() {
  core.Reset();
  return AudioFilter::Prepare();
}

int32_t PlayoutFilter::Transform(SampleList*, AudioSample** out) {
  *out = nullptr;
  return 0;
}

int32_t PlayoutFilter::ProcessSamples(SampleList* list) {
  AudioSample* sample = list != nullptr ? list->First() : nullptr;
  if (sample == nullptr) return 0;
  const auto* packet = dynamic_cast<const RtpPacket*>(sample->Packet());
  if (packet == nullptr) return -10;
  core.Put(*packet, platform::GetTickCount());
  return 0;
}

int32_t PlayoutFilter::ProduceSample(AudioSample** out) {
  *out = nullptr;
  AudioSample* sample = nullptr;
  AudioSamplePool* pool = AudioSamplePool::Instance();
  if (pool == nullptr || pool->Get(&sample) != 0 || sample == nullptr) return -20;
  WAVEFORMATEX pcm;
  sample->SetFormat(GetStandardFormat(&pcm, kFormatPcm16));
  const int32_t blocks = blockMs.load() / kCoreBlockMs;
  auto* samples = reinterpret_cast<int16_t*>(sample->Data());
  const uint32_t now = platform::GetTickCount();
  for (int32_t i = 0; i < blocks; ++i) {
    core.Get(samples + i * PlayoutCore::kBlockSamples, now + static_cast<uint32_t>(i * kCoreBlockMs));
  }
  sample->SetDataSize(blocks * PlayoutCore::kBlockSamples * static_cast<int32_t>(sizeof(int16_t)));
  sample->SetSilenceMs(0);
  *out = sample;
  return 0;
}

}  // namespace ve
