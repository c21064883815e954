#include "rtcp/RtpReceiver.h"

#include <chrono>

#include "platform/Socket.h"
#include "rtp/RtpPacket.h"

namespace ve {

namespace {

constexpr uint32_t kSeqMod = 1u << 16;
constexpr int32_t kMaxLost24 = 0x7FFFFF;
constexpr int32_t kMinLost24 = -0x800000;

uint64_t MonotonicMicros() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

}  // namespace

void RtpReceiver::Reset() {
  std::lock_guard<std::mutex> guard(mutex);
  sourceSet = false;
  ssrc = 0;
  seq = Sequence{};
  transitSet = false;
  transit = 0;
  jitter = 0;
  payloadBytes = 0;
  candidateSet = false;
  candidateSsrc = 0;
  candidate = Sequence{};
  datagrams = 0;
  datagramBytes = 0;
  collision = false;
}

void RtpReceiver::InitSequence(Sequence* s, uint16_t value) {
  s->baseSeq = value;
  s->maxSeq = value;
  s->badSeq = kSeqMod + 1;
  s->cycles = 0;
  s->received = 0;
  s->receivedPrior = 0;
  s->expectedPrior = 0;
}

bool RtpReceiver::UpdateSequence(Sequence* s, uint16_t value) {
  const auto delta = static_cast<uint16_t>(value - s->maxSeq);
  if (s->probation > 0) {
    // Packets must come in sequence before the source is believed.
    if (value == static_cast<uint16_t>(s->maxSeq + 1)) {
      --s->probation;
      s->maxSeq = value;
      if (s->probation == 0) {
        InitSequence(s, value);
        ++s->received;
        return true;
      }
    } else {
      s->probation = kMinSequential - 1;
      s->maxSeq = value;
    }
    return false;
  }
  if (delta < kMaxDropout) {
    // In order, with a permissible gap.
    if (value < s->maxSeq) s->cycles += kSeqMod;
    s->maxSeq = value;
  } else if (delta <= kSeqMod - kMaxMisorder) {
    // A very large jump: a restart of the sender if the next packet follows on from it.
    if (value == s->badSeq) {
      InitSequence(s, value);
    } else {
      s->badSeq = (static_cast<uint32_t>(value) + 1) & (kSeqMod - 1);
      return false;
    }
  }
  // Otherwise a duplicate or a reordered packet: it still counts as received.
  ++s->received;
  return true;
}

void RtpReceiver::Receive(const RtpPacket& packet) {
  const uint64_t micros = MonotonicMicros();
  ReceiveAt(packet, static_cast<uint32_t>(micros * kRtpClockPerMs / 1000));
}

void RtpReceiver::Follow(uint32_t newSsrc, const Sequence& probationState) {
  sourceSet = true;
  ssrc = newSsrc;
  seq = probationState;
  transitSet = false;
  transit = 0;
  jitter = 0;
  payloadBytes = 0;
}

void RtpReceiver::CountTransit(uint32_t timestamp, uint32_t arrivalUnits) {
  // Relative transit time in timestamp units; its smoothed variation is the jitter.
  const auto now = static_cast<int32_t>(arrivalUnits - timestamp);
  if (transitSet) {
    int64_t d = static_cast<int64_t>(now) - transit;
    if (d < 0) d = -d;
    const int64_t next = static_cast<int64_t>(jitter) + d - ((static_cast<int64_t>(jitter) + 8) >> 4);
    jitter = next < 0 ? 0 : next > 0xFFFFFFFFll ? 0xFFFFFFFFu : static_cast<uint32_t>(next);
  }
  transit = now;
  transitSet = true;
}

void RtpReceiver::ReceiveAt(const RtpPacket& packet, uint32_t arrivalUnits) {
  const uint32_t own = ownSsrc;
  if (own != 0 && packet.Ssrc() == own && !collision.exchange(true)) {
    if (platform::SocketWakeup* signal = collisionSignal) signal->Signal();
  }
  std::lock_guard<std::mutex> guard(mutex);
  ++datagrams;
  datagramBytes += static_cast<uint64_t>(packet.PayloadUsage());
  const uint16_t value = packet.Sequence();

  if (!sourceSet || packet.Ssrc() != ssrc) {
    // A source on probation: counted once two packets arrived in sequence.
    if (!candidateSet || candidateSsrc != packet.Ssrc()) {
      candidateSet = true;
      candidateSsrc = packet.Ssrc();
      candidate = Sequence{};
      InitSequence(&candidate, value);
      candidate.maxSeq = static_cast<uint16_t>(value - 1);
      candidate.probation = kMinSequential;
    }
    if (!UpdateSequence(&candidate, value)) return;
    Follow(candidateSsrc, candidate);
    candidateSet = false;
  } else if (!UpdateSequence(&seq, value)) {
    return;
  }
  payloadBytes += static_cast<uint64_t>(packet.PayloadUsage());
  CountTransit(packet.Timestamp(), arrivalUnits);
}

void RtpReceiver::SourceLeft(uint32_t left) {
  {
    std::lock_guard<std::mutex> guard(mutex);
    if (candidateSet && left == candidateSsrc) candidateSet = false;
  }
  if (sourceLeftListener) sourceLeftListener(left);
}

RtpReceiverStats RtpReceiver::Stats() const {
  std::lock_guard<std::mutex> guard(mutex);
  RtpReceiverStats stats;
  stats.sourceSet = sourceSet;
  stats.ssrc = ssrc;
  stats.baseSeq = seq.baseSeq;
  stats.maxSeq = seq.maxSeq;
  stats.cycles = seq.cycles;
  stats.packetsReceived = seq.received;
  stats.expected = sourceSet ? seq.cycles + seq.maxSeq - seq.baseSeq + 1 : 0;
  stats.cumulativeLost = static_cast<int64_t>(stats.expected) - static_cast<int64_t>(seq.received);
  stats.jitter = jitter;
  stats.payloadBytes = payloadBytes;
  stats.datagrams = datagrams;
  stats.datagramBytes = datagramBytes;
  return stats;
}

bool RtpReceiver::NextReportBlock(ReportBlockFigures* out) {
  std::lock_guard<std::mutex> guard(mutex);
  if (!sourceSet) return false;
  const uint32_t extendedMax = seq.cycles + seq.maxSeq;
  const uint32_t expected = extendedMax - seq.baseSeq + 1;
  const int64_t lost = static_cast<int64_t>(expected) - static_cast<int64_t>(seq.received);
  const uint32_t expectedInterval = expected - seq.expectedPrior;
  seq.expectedPrior = expected;
  const uint32_t receivedInterval = seq.received - seq.receivedPrior;
  seq.receivedPrior = seq.received;
  const int64_t lostInterval = static_cast<int64_t>(expectedInterval) - static_cast<int64_t>(receivedInterval);
  out->ssrc = ssrc;
  uint64_t fraction = 0;
  if (expectedInterval != 0 && lostInterval > 0) fraction = (static_cast<uint64_t>(lostInterval) << 8) / expectedInterval;
  out->fractionLost = static_cast<uint8_t>(fraction > 255 ? 255 : fraction);
  out->cumulativeLost = lost > kMaxLost24 ? kMaxLost24 : lost < kMinLost24 ? kMinLost24 : static_cast<int32_t>(lost);
  out->extendedMax = extendedMax;
  out->jitter = jitter >> 4;
  return true;
}

}  // namespace ve
