#include "rtp/RtpSenderState.h"

#include "platform/Random.h"

namespace ve {

namespace {

// Units of the 8 kHz RTP clock between two wall-clock times (0 when `to` is not later).
uint32_t UnitsBetween(const NtpTime& from, const NtpTime& to) {
  const int32_t ms = NtpTime::DiffMs(to, from);
  return ms > 0 ? static_cast<uint32_t>(ms) * (RtpSenderState::kClockRate / 1000) : 0;
}

}  // namespace

uint32_t RtpSenderState::NewSource(uint32_t avoid) {
  uint32_t newSsrc = platform::Random32();
  while (newSsrc == 0 || newSsrc == avoid) newSsrc = platform::Random32();
  const uint32_t firstTimestamp = platform::Random32();
  const auto firstSequence = static_cast<uint16_t>(platform::Random32());
  const NtpTime now = NtpTime::Now();
  std::lock_guard<std::mutex> guard(mutex);
  ssrc = newSsrc;
  startTime = now;
  initialTimestamp = firstTimestamp;
  timestamp = firstTimestamp;
  initialSequence = firstSequence;
  sequence = firstSequence;
  lastSendTime = now;
  lastAdvance = now;
  packetCount = 0;
  octetCount = 0;
  return newSsrc;
}

void RtpSenderState::Resume() {
  const NtpTime now = NtpTime::Now();
  std::lock_guard<std::mutex> guard(mutex);
  timestamp += UnitsBetween(lastAdvance, now);
  lastAdvance = now;
}

RtpSenderState::Snapshot RtpSenderState::Advance(int32_t payloadBytes, int32_t increment) {
  const NtpTime now = NtpTime::Now();
  std::lock_guard<std::mutex> guard(mutex);
  ++packetCount;
  ++sequence;
  octetCount += static_cast<uint32_t>(payloadBytes);
  timestamp += static_cast<uint32_t>(increment);
  lastSendTime = now;
  lastAdvance = now;
  return SnapshotLocked();
}

void RtpSenderState::AdvanceTime(int32_t increment) {
  const NtpTime now = NtpTime::Now();
  std::lock_guard<std::mutex> guard(mutex);
  timestamp += static_cast<uint32_t>(increment);
  lastAdvance = now;
}

RtpSenderState::Snapshot RtpSenderState::Read() const {
  std::lock_guard<std::mutex> guard(mutex);
  return SnapshotLocked();
}

RtpSenderState::Snapshot RtpSenderState::SnapshotLocked() const {
  Snapshot snapshot;
  snapshot.ssrc = ssrc;
  snapshot.sequence = sequence;
  snapshot.timestamp = timestamp;
  snapshot.initialTimestamp = initialTimestamp;
  snapshot.initialSequence = initialSequence;
  snapshot.packetCount = packetCount;
  snapshot.octetCount = octetCount;
  snapshot.startTime = startTime;
  snapshot.lastSendTime = lastSendTime;
  return snapshot;
}

uint32_t RtpSenderState::TimestampAt(const NtpTime& now) const {
  std::lock_guard<std::mutex> guard(mutex);
  return timestamp + UnitsBetween(lastAdvance, now);
}

uint32_t RtpSenderState::Ssrc() const {
  std::lock_guard<std::mutex> guard(mutex);
  return ssrc;
}

}  // namespace ve
