#include "baseline/RtpPlayoutQueue.h"

#include <algorithm>
#include <limits>
#include <mutex>

#include "framework/AudioSample.h"
#include "rtp/RtpPacket.h"
#include "rtp/RtpSequence.h"

namespace ve {

namespace {

// Room for a few seconds of 20 ms samples before the heap array has to grow.
constexpr size_t kReservedEntries = 128;

}  // namespace

RtpPacket* RtpPacketOf(AudioSample* sample) {
  if (sample == nullptr) return nullptr;
  return dynamic_cast<RtpPacket*>(sample->Packet());
}

bool IsBefore(uint32_t timestampA, uint16_t sequenceA, uint32_t timestampB, uint16_t sequenceB) {
  if (timestampA != timestampB) return TimestampNewer(timestampB, timestampA);
  return SeqNewer(sequenceB, sequenceA);
}

bool IsBefore(AudioSample* a, AudioSample* b) {
  const RtpPacket* pa = RtpPacketOf(a);
  const RtpPacket* pb = RtpPacketOf(b);
  if (pa == nullptr || pb == nullptr) return false;
  return IsBefore(pa->Timestamp(), pa->Sequence(), pb->Timestamp(), pb->Sequence());
}

bool IsNotBefore(AudioSample* a, AudioSample* b) { return !IsBefore(a, b); }

RtpPlayoutQueue::RtpPlayoutQueue(uint32_t source, PlayoutCounters* shared)
    : ssrc(source), counters(shared != nullptr ? shared : &ownCounters) {
  queue.reserve(kReservedEntries);
}

RtpPlayoutQueue::~RtpPlayoutQueue() {
  std::lock_guard<platform::CriticalSection> guard(lock);
  ForgetLast();
  for (Entry& entry : queue) entry.sample->Release();
  queue.clear();
}

bool RtpPlayoutQueue::LaterThan(const Entry& a, const Entry& b) {
  return IsBefore(b.timestamp, b.sequence, a.timestamp, a.sequence);
}

int32_t RtpPlayoutQueue::Count() {
  std::lock_guard<platform::CriticalSection> guard(lock);
  return static_cast<int32_t>(queue.size());
}

int32_t RtpPlayoutQueue::BufferedMs() {
  std::lock_guard<platform::CriticalSection> guard(lock);
  return bufferedMs;
}

int32_t RtpPlayoutQueue::DepthMs() {
  std::lock_guard<platform::CriticalSection> guard(lock);
  return depthMs;
}

bool RtpPlayoutQueue::Buffering() {
  std::lock_guard<platform::CriticalSection> guard(lock);
  return buffering;
}

int32_t RtpPlayoutQueue::SetDepthMs(int32_t ms) {
  std::lock_guard<platform::CriticalSection> guard(lock);
  depthMs = ms;
  return 0;
}

int32_t RtpPlayoutQueue::Add(AudioSample* sample) {
  const RtpPacket* packet = RtpPacketOf(sample);
  if (packet == nullptr) return 0;
  std::lock_guard<platform::CriticalSection> guard(lock);
  if (last != nullptr && static_cast<int32_t>(packet->Timestamp() - lastTimestamp) < 0) {
    int32_t sequenceStep = static_cast<int32_t>(packet->Sequence()) - static_cast<int32_t>(lastSequence);
    if (sequenceStep >= -kRestartSequenceJump) {
      ++counters->stats.lateDropped;
      return 0;
    }
    // The timestamp went back together with a large step back of the sequence number: the
    // sender has started over, so the old stream's state is worthless.
    ++counters->stats.restarts;
    Reset();
  }
  Insert(sample, *packet);
  return 0;
}

void RtpPlayoutQueue::Insert(AudioSample* sample, const RtpPacket& packet) {
  if (bufferedMs >= kBoundDepths * depthMs) {
    ++counters->stats.overflowDropped;
    return;
  }
  if (packet.PayloadType() == kComfortNoisePayloadType) ++cnCount;
  sample->AddRef();
  queue.push_back({sample, packet.Timestamp(), packet.Sequence(), packet.PayloadType()});
  std::push_heap(queue.begin(), queue.end(), LaterThan);
  bufferedMs += sample->DurationMs();
  ++counters->stats.added;
}

bool RtpPlayoutQueue::Pop(Entry* out) {
  if (queue.empty()) return false;
  std::pop_heap(queue.begin(), queue.end(), LaterThan);
  *out = queue.back();
  queue.pop_back();
  if (out->payloadType != kComfortNoisePayloadType) {
    bufferedMs -= out->sample->DurationMs();
  } else {
    --cnCount;
  }
  return true;
}

bool RtpPlayoutQueue::PopAsLast(AudioSample** out) {
  Entry entry;
  if (!Pop(&entry)) return false;
  SetLast(entry.sample, entry.timestamp, entry.sequence);
  *out = entry.sample;
  lastDurationMs = entry.sample->DurationMs();
  repeatCount = 1;
  return true;
}

void RtpPlayoutQueue::SetLast(AudioSample* sample, uint32_t timestamp, uint16_t sequence) {
  if (sample != last) {
    if (last != nullptr) last->Release();
    repeatCount = 0;
    last = sample;
    if (last != nullptr) last->AddRef();
  }
  lastTimestamp = timestamp;
  lastSequence = sequence;
}

void RtpPlayoutQueue::ForgetLast() { SetLast(nullptr, 0, 0); }

void RtpPlayoutQueue::RepeatLast(AudioSample** out) {
  last->AddRef();
  ++repeatCount;
  *out = last;
  ++counters->stats.repeated;
}

void RtpPlayoutQueue::StartBuffering(int64_t* reason) {
  buffering = true;
  ForgetLast();
  ++*reason;
}

void RtpPlayoutQueue::CountTake() { counters->takeCounter = (counters->takeCounter + 1) % kAdaptEveryTakes; }

int32_t RtpPlayoutQueue::GapFromLastMs(const Entry& front) const {
  double units = static_cast<int32_t>(front.timestamp - lastTimestamp);
  double ms = units * last->MicrosPerUnit() / 1000.0 + 0.5;
  ms = std::clamp(ms, static_cast<double>(std::numeric_limits<int32_t>::min()),
                  static_cast<double>(std::numeric_limits<int32_t>::max()));
  return static_cast<int32_t>(ms);
}

void RtpPlayoutQueue::Adapt() {
  if (counters->underrunCount < 2) {
    // The source played smoothly: aim lower, and drop the oldest audio that would otherwise
    // keep the delay above the new depth (at most 60 ms at a time, so the jump stays short).
    int32_t depth = depthMs;
    if (bufferedMs <= depthMs + kDepthSlackMs) depth = std::max(depthMs - kDepthStepMs, std::min(depthMs, kMinDepthMs));
    if (depth < depthMs) ++counters->stats.depthLowered;
    depthMs = depth;
    int32_t skippedMs = 0;
    while (bufferedMs > depthMs && skippedMs < kMaxSkipMs) {
      AudioSample* sample = nullptr;
      if (!PopAsLast(&sample)) break;
      skippedMs += sample->DurationMs();
      ++counters->stats.skipped;
      sample->Release();
    }
    counters->stats.skippedMs += skippedMs;
    counters->underrunCount = 0;
  } else {
    counters->underrunCount = 0;
    depthMs += kDepthStepMs;
    ++counters->stats.depthRaised;
  }
  counters->takeCounter = kAdaptEveryTakes;  // the next take brings it to 1
}

int32_t RtpPlayoutQueue::Take(AudioSample** out) {
  *out = nullptr;
  std::lock_guard<platform::CriticalSection> guard(lock);
  if (buffering) {
    if (cnCount <= 0 && bufferedMs < depthMs) return 0;
    buffering = false;
  }
  if (counters->takeCounter == kAdaptEveryTakes - 1) Adapt();

  if (queue.empty()) {
    // Nothing arrived in time: cover the hole with the last sample while it may be repeated.
    if (last == nullptr || repeatCount >= kMaxRepeats) {
      StartBuffering(&counters->stats.rebuffers);
      return 0;
    }
    RepeatLast(out);
    if (repeatCount == 2) ++counters->underrunCount;
    CountTake();
    return 0;
  }

  const Entry& front = queue.front();
  if (front.payloadType == kComfortNoisePayloadType) {
    // The talk spurt ended; the next one is buffered afresh.
    Entry entry;
    Pop(&entry);
    entry.sample->Release();
    StartBuffering(&counters->stats.comfortNoise);
    return 0;
  }
  if (last == nullptr) {
    PopAsLast(out);
    ++counters->stats.taken;
    CountTake();
    return 0;
  }
  int32_t latenessMs = GapFromLastMs(front) - lastDurationMs * repeatCount;
  if (latenessMs < lastDurationMs) {
    PopAsLast(out);
    ++counters->stats.taken;
    CountTake();
    return 0;
  }
  // The front sample belongs later than the end of what has been played: a packet is missing.
  if (repeatCount < kMaxRepeats) {
    RepeatLast(out);
    CountTake();
    return 0;
  }
  StartBuffering(&counters->stats.rebuffers);
  return 0;
}

int32_t RtpPlayoutQueue::Reset() {
  std::lock_guard<platform::CriticalSection> guard(lock);
  for (Entry& entry : queue) entry.sample->Release();
  queue.clear();
  buffering = true;
  ForgetLast();
  lastDurationMs = 0;
  repeatCount = 0;
  cnCount = 0;
  bufferedMs = 0;
  counters->takeCounter = 0;
  counters->underrunCount = 0;
  return 0;
}

}  // namespace ve
