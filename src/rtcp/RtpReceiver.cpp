#include "rtcp/RtpReceiver.h"

#include <cstdlib>
#include <limits>
#include <mutex>

#include "rtcp/RtcpReceiver.h"
#include "rtcp/RtpTools.h"
#include "rtp/RtpPacket.h"

namespace ve {

namespace {

constexpr uint8_t kComfortNoise = 13;
constexpr uint8_t kReservedType = 19;
// A sequence step larger than this moves maxSeq.
constexpr uint16_t kSeqJump = 6;

int32_t Clamp32(int64_t v) {
  if (v > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (v < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(v);
}

}  // namespace

RtpReceiver::RtpReceiver(int32_t, int32_t initialPlayDelayMs) : initialPlayDelay(initialPlayDelayMs) {}

RtpReceiver::~RtpReceiver() {
  std::lock_guard<platform::CriticalSection> link(linkLock);
  if (rtcpReceiver != nullptr) rtcpReceiver->DetachReceiver(this);
  rtcpReceiver = nullptr;
}

void RtpReceiver::SetRate(int32_t increment, int32_t bitsPerSecond) {
  std::lock_guard<platform::CriticalSection> guard(statsLock);
  frameBytes = 20;
  tsIncrement = increment;
  bitRate = bitsPerSecond;
  rateSet = 1;
}

void RtpReceiver::SetSamplesPerPacket(int32_t n) {
  std::lock_guard<platform::CriticalSection> guard(statsLock);
  samplesPerPacket = n;
  timeDivisor = 20;
}

void RtpReceiver::SetRtcpReceiver(RtcpReceiver* receiver) {
  std::lock_guard<platform::CriticalSection> link(linkLock);
  if (receiver == rtcpReceiver) return;
  if (rtcpReceiver != nullptr) rtcpReceiver->DetachReceiver(this);
  rtcpReceiver = receiver;
  bool followed;
  uint32_t followedSsrc;
  {
    std::lock_guard<platform::CriticalSection> guard(statsLock);
    followed = sourceSet;
    followedSsrc = ssrc;
  }
  if (rtcpReceiver != nullptr && followed) rtcpReceiver->AddSource(followedSsrc, this);
}

RtpPacket* RtpReceiver::Receive(RtpPacket* p) {
  if (p == nullptr) return nullptr;
  NtpTime now = NtpTime::Now();
  std::lock_guard<platform::CriticalSection> link(linkLock);
  LinkChanges changes;
  RtpPacket* result;
  {
    std::lock_guard<platform::CriticalSection> guard(statsLock);
    result = Update(p, now, &changes);
  }
  if (rtcpReceiver != nullptr) {
    if (changes.drop) rtcpReceiver->RemoveSource(changes.dropSsrc, 0);
    if (changes.add) rtcpReceiver->AddSource(changes.addSsrc, this);
  }
  return result;
}

NtpTime RtpReceiver::RtpTime(uint32_t timestamp) const {
  auto units = static_cast<int32_t>(timestamp - baseTimestamp);
  if (units >= 0) return NtpTime::Add(baseTime, static_cast<uint32_t>(units) / kRtpClockPerMs);
  return NtpTime::Subtract(baseTime, static_cast<uint32_t>(-static_cast<int64_t>(units)) / kRtpClockPerMs);
}

void RtpReceiver::SetMaxSeq(uint16_t value) {
  if (value < maxSeq && SeqGreater(value, maxSeq)) {
    cycles += RTP_SEQ_MOD;
  } else if (value > maxSeq && SeqGreater(maxSeq, value) && cycles >= RTP_SEQ_MOD) {
    cycles -= RTP_SEQ_MOD;
  }
  maxSeq = value;
}

bool RtpReceiver::SwitchOver(RtpPacket* p, const NtpTime& now, LinkChanges* changes) {
  if (sourceSet) {
    if (probation < 4) {
      ++probation;
      return false;
    }
    droppedSet = true;
    droppedSsrc = ssrc;
    sourceSet = false;
    ssrc = 0;
    probation = -2;
    changes->drop = true;
    changes->dropSsrc = droppedSsrc;
  }
  sourceSet = true;
  ssrc = p->Ssrc();
  probation = 0;
  packetsReceived = 0;
  bytesReceived = 0;
  changes->add = true;
  changes->addSsrc = ssrc;

  uint16_t s = p->Sequence();
  uint32_t timestamp = p->Timestamp();
  baseSeq = s;
  baseTime = now;
  baseTimestamp = timestamp;
  lastTimestamp = timestamp - static_cast<uint32_t>(samplesPerPacket);
  expectedTimestamp = timestamp - static_cast<uint32_t>(tsIncrement);
  int32_t leadMs = bitRate > 0 ? Clamp32(static_cast<int64_t>(tsIncrement) * 1000 / bitRate) : 0;
  lastArrival = leadMs >= 0 ? NtpTime::Subtract(RtpTime(timestamp), static_cast<uint32_t>(leadMs)) : RtpTime(timestamp);
  maxSeq = static_cast<uint16_t>(s - 1);
  prevSeqPlay = maxSeq;
  cycles = 0;
  playCycles = 0;
  lastTransit = 0;
  jitter = 0;
  playDelay = initialPlayDelay;
  playTime = playDelay >= 0 ? NtpTime::Add(RtpTime(timestamp), static_cast<uint32_t>(playDelay)) : RtpTime(timestamp);
  return true;
}

RtpPacket* RtpReceiver::Update(RtpPacket* p, const NtpTime& now, LinkChanges* changes) {
  const uint16_t s = p->Sequence();
  const uint32_t timestamp = p->Timestamp();

  // Source check; its verdict only decides whether the sequence bookkeeping below runs.
  bool accepted = true;
  if (sourceSet && droppedSet && p->Ssrc() == droppedSsrc) {
    accepted = false;
  } else if (p->PayloadUsage() < frameBytes / 3 || p->PayloadUsage() < 20) {
    SetMaxSeq(s);
    accepted = false;
  } else if (!sourceSet || p->Ssrc() != ssrc) {
    accepted = SwitchOver(p, now, changes);
  }
  if (accepted && (p->PayloadType() == kReservedType || p->PayloadType() == kComfortNoise)) {
    SetMaxSeq(s);
    accepted = false;
  }
  if (accepted) {
    if (expectedTimestamp + static_cast<uint32_t>(tsIncrement) != timestamp && tsIncrement != 0) {
      uint32_t step = timestamp - expectedTimestamp;
      double ratio = static_cast<double>(step) / tsIncrement;
      if (ratio > 0.5 && ratio < 1.5) tsIncrement = static_cast<int32_t>(step);
    }
    if (SeqGreater(s, maxSeq)) {
      auto forward = static_cast<uint16_t>(s - maxSeq);
      if (forward > kSeqJump) {
        SetMaxSeq(static_cast<uint16_t>(s - 1));
        expectedTimestamp = timestamp - static_cast<uint32_t>(tsIncrement);
      }
    }
  }

  if (probation < 0) return nullptr;
  int32_t len = p->PayloadUsage();
  if (len < 1 || len > kMaxPayload) return nullptr;
  if (frameBytes > 0 && len > frameBytes) {
    int32_t frames = len / frameBytes;
    len = frames * frameBytes;
    tsIncrement = Clamp32(static_cast<int64_t>(frames) * tsIncrement);
  }

  int32_t transit = NtpTime::DiffMs(now, RtpTime(timestamp));
  int64_t d = std::llabs(static_cast<int64_t>(transit) - lastTransit);
  lastTransit = transit;
  jitter = Clamp32(jitter + d - ((static_cast<int64_t>(jitter) + 8) >> 4));
  if (jitter < 0) jitter = 0;
  ++packetsReceived;

  if (playDelay == -1) {
    SetMaxSeq(s);
    prevSeqPlay = s;
    bytesReceived += static_cast<uint32_t>(p->PayloadUsage());
    return p;
  }
  bytesReceived += static_cast<uint32_t>(len);
  if (probation > 0) --probation;
  lastTimestamp = timestamp;
  lastArrival = now;
  NtpTime media = RtpTime(timestamp + static_cast<uint32_t>(samplesPerPacket));
  playTime = playDelay >= 0 ? NtpTime::Add(media, static_cast<uint32_t>(playDelay)) : media;
  ++prevSeqPlay;
  if (prevSeqPlay == 0) playCycles += RTP_SEQ_MOD;
  return p;
}

RtpReceiverStats RtpReceiver::Stats() {
  std::lock_guard<platform::CriticalSection> guard(statsLock);
  RtpReceiverStats stats;
  stats.ssrc = ssrc;
  stats.probation = probation;
  stats.baseSeq = baseSeq;
  stats.maxSeq = maxSeq;
  stats.cycles = cycles;
  stats.packetsReceived = packetsReceived;
  stats.jitter = jitter;
  return stats;
}

uint32_t RtpReceiver::Ssrc() { return Stats().ssrc; }
int32_t RtpReceiver::Probation() { return Stats().probation; }
uint16_t RtpReceiver::BaseSeq() { return Stats().baseSeq; }
uint16_t RtpReceiver::MaxSeq() { return Stats().maxSeq; }
uint32_t RtpReceiver::Cycles() { return Stats().cycles; }
uint32_t RtpReceiver::PacketsReceived() { return Stats().packetsReceived; }
int32_t RtpReceiver::Jitter() { return Stats().jitter; }

uint32_t RtpReceiver::BytesReceived() {
  std::lock_guard<platform::CriticalSection> guard(statsLock);
  return bytesReceived;
}

bool RtpReceiver::SourceSet() {
  std::lock_guard<platform::CriticalSection> guard(statsLock);
  return sourceSet;
}

int32_t RtpReceiver::TsIncrement() {
  std::lock_guard<platform::CriticalSection> guard(statsLock);
  return tsIncrement;
}

}  // namespace ve
