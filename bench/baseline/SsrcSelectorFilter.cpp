#include "baseline/SsrcSelectorFilter.h"

#include <mutex>
#include <new>

#include "framework/AudioSample.h"
#include "framework/AudioSamplePool.h"
#include "platform/Clock.h"
#include "rtp/RtpPacket.h"

namespace ve {

SsrcSelectorFilter::~SsrcSelectorFilter() {
  std::lock_guard<platform::CriticalSection> guard(queuesLock);
  for (auto& [ssrc, queue] : queues) delete queue;
  queues.clear();
  current = nullptr;
}

int32_t SsrcSelectorFilter::SetSelectThreshold(int32_t ms) {
  selectThresholdMs = ms;
  return 0;
}

int32_t SsrcSelectorFilter::SetFrameMs(int32_t ms) {
  frameMs = ms;
  return 0;
}

int32_t SsrcSelectorFilter::Prepare() {
  AudioFilter::Prepare();
  std::lock_guard<platform::CriticalSection> preparedGuard(preparedLock);
  if (!prepared) {
    std::lock_guard<platform::CriticalSection> guard(queuesLock);
    for (auto& [ssrc, queue] : queues) DeleteQueue(queue);
    queues.clear();
    current = nullptr;
  }
  prepared = true;
  return 0;
}

int32_t SsrcSelectorFilter::Unprepare() {
  AudioFilter::Unprepare();
  std::lock_guard<platform::CriticalSection> preparedGuard(preparedLock);
  prepared = false;
  return 0;
}

int32_t SsrcSelectorFilter::Transform(SampleList*, AudioSample**) { return 0; }

int32_t SsrcSelectorFilter::ProcessSamples(SampleList* list) {
  bool isPrepared;
  {
    std::lock_guard<platform::CriticalSection> preparedGuard(preparedLock);
    isPrepared = prepared;
  }
  if (!isPrepared) {
    // Not in a call: hold the pushing thread back as a real frame would.
    platform::Sleep(static_cast<uint32_t>(frameMs > 0 ? frameMs.load() : 0));
    return 0;
  }
  AudioSample* sample = list != nullptr ? list->First() : nullptr;
  if (sample == nullptr) return 0;
  const RtpPacket* packet = RtpPacketOf(sample);
  if (packet == nullptr) return -10;

  std::lock_guard<platform::CriticalSection> guard(queuesLock);
  auto found = queues.find(packet->Ssrc());
  RtpPlayoutQueue* queue;
  if (found != queues.end()) {
    queue = found->second;
  } else {
    queue = new (std::nothrow) RtpPlayoutQueue(packet->Ssrc(), &counters);
    if (queue == nullptr) return -20;
    queues.emplace(packet->Ssrc(), queue);
  }
  queue->Add(sample);
  return 0;
}

int32_t SsrcSelectorFilter::ProduceSample(AudioSample** out) {
  *out = nullptr;
  {
    std::lock_guard<platform::CriticalSection> preparedGuard(preparedLock);
    if (!prepared) return 0;
  }
  {
    std::lock_guard<platform::CriticalSection> guard(queuesLock);
    if (current == nullptr || current->Count() < 1 || missCount >= kMaxMisses) Select();
    if (current != nullptr) {
      current->Take(out);
      if (*out != nullptr) {
        missCount = 0;
        return 0;
      }
      ++missCount;
    }
    ++counters.stats.gapMarkers;
  }
  *out = MakeGapMarker(frameMs);
  return 0;
}

void SsrcSelectorFilter::Select() {
  missCount = 0;
  if (current != nullptr) {
    // The current source ran dry or stalled: forget it. Its next packet opens a new queue,
    // which has to buffer up again before it is heard.
    queues.erase(current->Ssrc());
    DeleteQueue(current);
    current = nullptr;
    ++counters.stats.currentDropped;
  }
  for (auto it = queues.begin(); it != queues.end(); ++it) {
    if (it->second->BufferedMs() >= selectThresholdMs) {
      current = it->second;
      queues.erase(it);
      break;
    }
  }
  if (current == nullptr) return;
  // Only the chosen source survives: the others would otherwise compete for the player again.
  for (auto& [ssrc, queue] : queues) DeleteQueue(queue);
  queues.clear();
  queues.emplace(current->Ssrc(), current);
  ++counters.stats.selections;
}

void SsrcSelectorFilter::DeleteQueue(RtpPlayoutQueue* queue) {
  counters.stats.discarded += queue->Count();
  delete queue;
}

AudioSample* SsrcSelectorFilter::MakeGapMarker(int32_t ms) {
  AudioSample* marker = nullptr;
  AudioSamplePool::Instance()->Get(&marker);
  WAVEFORMATEX pcm;
  marker->SetFormat(GetStandardFormat(&pcm, kFormatPcm16));
  marker->SetDataSize(0);
  marker->SetSilenceMs(ms);
  return marker;
}

PlayoutStats SsrcSelectorFilter::Stats() {
  std::lock_guard<platform::CriticalSection> guard(queuesLock);
  return counters.stats;
}

int32_t SsrcSelectorFilter::CurrentDepthMs() {
  std::lock_guard<platform::CriticalSection> guard(queuesLock);
  return current != nullptr ? current->DepthMs() : -1;
}

bool SsrcSelectorFilter::CurrentSsrc(uint32_t* ssrc) {
  std::lock_guard<platform::CriticalSection> guard(queuesLock);
  if (current == nullptr) return false;
  if (ssrc != nullptr) *ssrc = current->Ssrc();
  return true;
}

int32_t SsrcSelectorFilter::QueueCount() {
  std::lock_guard<platform::CriticalSection> guard(queuesLock);
  return static_cast<int32_t>(queues.size());
}

}  // namespace ve
