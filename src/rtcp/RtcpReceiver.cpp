#include "rtcp/RtcpReceiver.h"

#include <cstring>

#include "rtcp/RtpReceiver.h"
#include "rtp/ByteOrder.h"

namespace ve {

namespace {

constexpr uint8_t kSenderReport = 200;
constexpr uint8_t kReceiverReport = 201;
constexpr uint8_t kSdes = 202;
constexpr uint8_t kBye = 203;
constexpr uint8_t kSdesPriv = 8;
constexpr int32_t kHeaderBytes = 4;
constexpr int32_t kSenderReportFixed = 28;   // header, sender SSRC, sender information
constexpr int32_t kReceiverReportFixed = 8;  // header, reporter SSRC
constexpr int32_t kStandardBlock = 24;
constexpr int32_t kLegacyBlock = 28;

uint8_t VersionOf(const uint8_t* header) { return header[0] >> 6; }
uint8_t CountOf(const uint8_t* header) { return header[0] & 0x1F; }
// Bytes of the part that starts at `header`, from its length field.
int32_t PartBytes(const uint8_t* header) { return (ReadU16BE(header + 2) + 1) * 4; }

// A 24-bit two's complement field.
int32_t Signed24(const uint8_t* p) {
  int32_t value = (p[0] << 16) | (p[1] << 8) | p[2];
  return (value & 0x800000) != 0 ? value - 0x1000000 : value;
}

}  // namespace

const char* DialectName(RtcpDialect dialect) {
  switch (dialect) {
    case RtcpDialect::kLegacy:
      return "legacy";
    case RtcpDialect::kStandard:
      return "standard";
    default:
      return "undecided";
  }
}

bool RtcpReceiver::IsValidCompound(const uint8_t* data, int32_t length) {
  if (data == nullptr || length < kHeaderBytes) return false;
  if (VersionOf(data) != 2 || (data[0] & 0x20) != 0) return false;
  if (data[1] != kSenderReport && data[1] != kReceiverReport) return false;
  int32_t position = 0;
  while (position < length) {
    if (length - position < kHeaderBytes) return false;
    if (VersionOf(data + position) != 2) break;
    position += PartBytes(data + position);
  }
  return position == length;
}

RtcpDialect RtcpReceiver::DialectOfReport(const uint8_t* part, int32_t partBytes) {
  const bool senderReport = part[1] == kSenderReport;
  const int32_t fixed = senderReport ? kSenderReportFixed : kReceiverReportFixed;
  if (senderReport && partBytes >= kSenderReportFixed) {
    const uint32_t seconds = ReadU32BE(part + 8);
    if (seconds >= 0x80000000u) return RtcpDialect::kStandard;
    if (seconds != 0) return RtcpDialect::kLegacy;
  }
  const int32_t count = CountOf(part);
  if (count < 1) return RtcpDialect::kUndecided;
  if (partBytes == fixed + kStandardBlock * count) return RtcpDialect::kStandard;
  if (partBytes == fixed + kLegacyBlock * count) return RtcpDialect::kLegacy;
  return RtcpDialect::kUndecided;
}

int32_t RtcpReceiver::ReadRtcp(const uint8_t* data, int32_t length) { return ReadRtcp(data, length, NtpTime::Now()); }

int32_t RtcpReceiver::ReadRtcp(const uint8_t* data, int32_t length, const NtpTime& now) {
  if (data == nullptr) return 0;
  int32_t sawBye = 0;
  int32_t position = 0;
  while (length - position >= kHeaderBytes) {
    const uint8_t* part = data + position;
    const int32_t declared = PartBytes(part);
    // A part claiming more than is left is read only as far as the bytes go.
    const int32_t partLength = declared < length - position ? declared : length - position;
    switch (part[1]) {
      case kSenderReport:
      case kReceiverReport:
        ReadReport(part, partLength, declared, part[1] == kSenderReport, now);
        break;
      case kSdes:
        ReadSdes(part, partLength, now);
        break;
      case kBye:
        ReadBye(part, partLength);
        sawBye = 1;
        break;
      default:
        break;
    }
    position += declared;
  }
  return sawBye;
}

void RtcpReceiver::ReadReport(const uint8_t* part, int32_t partLength, int32_t declared, bool senderReport,
                              const NtpTime& now) {
  const int32_t fixed = senderReport ? kSenderReportFixed : kReceiverReportFixed;
  if (partLength < fixed) return;
  const uint32_t sender = ReadU32BE(part + 4);
  if (sender == ownSsrc && sender != 0) {
    collision = true;
    return;
  }
  ++reportsReceived;

  const RtcpDialect shown = DialectOfReport(part, declared);
  RtcpDialect dialect = shown;
  // The sender's wire time (zero in a receiver report).
  const NtpTime wireTime = senderReport ? NtpTime(ReadU32BE(part + 8), ReadU32BE(part + 12)) : NtpTime(0, 0);
  {
    std::lock_guard<std::mutex> guard(mutex);
    RtpTranInfo* record = RecordLocked(sender, true, now);
    if (record != nullptr) {
      if (record->dialect == RtcpDialect::kUndecided) {
        record->dialect = shown;
      } else if (shown != RtcpDialect::kUndecided && shown != record->dialect) {
        // Only the announced move from legacy to standard is taken; any other contradiction
        // leaves the report unread rather than misread.
        if (record->dialect == RtcpDialect::kLegacy && shown == RtcpDialect::kStandard && record->announcesStandard) {
          record->dialect = RtcpDialect::kStandard;
        } else {
          return;
        }
      }
      dialect = record->dialect;
      if (senderReport) {
        record->lsr = wireTime.Middle32();
        record->srArrival = now;
      }
    }
  }
  if (dialect == RtcpDialect::kUndecided) return;
  peerDialect = dialect;
  if (dialect == RtcpDialect::kStandard) peerUnderstandsStandard = true;

  if (senderReport && wireTime.seconds != 0) {
    const NtpTime sent =
        dialect == RtcpDialect::kStandard ? NtpTime::FromStandardWire(wireTime.seconds, wireTime.fraction) : wireTime;
    delaySum += NtpTime::DiffMs(now, sent);
    ++delayCount;
    delayAverage = static_cast<int32_t>(delaySum / delayCount);
  }
  const int32_t blockBytes = dialect == RtcpDialect::kStandard ? kStandardBlock : kLegacyBlock;
  for (int32_t i = 0; i < CountOf(part); ++i) {
    const int32_t at = fixed + i * blockBytes;
    if (partLength - at < blockBytes) break;
    ReadBlock(part + at, dialect, now, sender);
  }
}

void RtcpReceiver::ReadBlock(const uint8_t* block, RtcpDialect dialect, const NtpTime& now, uint32_t reporter) {
  const uint32_t own = ownSsrc;
  if (own == 0 || ReadU32BE(block) != own) return;  // a block about somebody else
  const bool standard = dialect == RtcpDialect::kStandard;
  const uint8_t fractionLost = block[4];
  const int32_t cumulativeLost = Signed24(block + (standard ? 5 : 8));
  const uint32_t jitter = ReadU32BE(block + (standard ? 12 : 16));
  const uint32_t lastSr = ReadU32BE(block + (standard ? 16 : 20));
  const uint32_t sinceLastSr = ReadU32BE(block + (standard ? 20 : 24));
  // Standard jitter is in 8 kHz timestamp units, legacy jitter in ms; the delay since the
  // last SR in 1/65536 s or in ms.
  const double jitterMs = standard ? jitter / 8.0 : static_cast<double>(jitter);
  const int64_t sinceLastSrMs = standard ? (static_cast<int64_t>(sinceLastSr) * 1000) >> 16 : sinceLastSr;

  std::lock_guard<std::mutex> guard(mutex);
  if (RtpTranInfo* record = RecordLocked(reporter, false, now)) {
    record->reportedAboutUs = true;
    record->fractionLost = fractionLost;
    record->cumulativeLost = cumulativeLost;
    record->jitterMs = jitterMs;
  }
  if (lastSr == 0) return;  // it has had no sender report of ours yet
  for (const SentReport& sent : sentReports) {
    if (sent.middle32 != lastSr || (sent.sentAt.seconds == 0 && sent.sentAt.fraction == 0)) continue;
    int64_t rtt = static_cast<int64_t>(NtpTime::DiffMs(now, sent.sentAt)) - sinceLastSrMs;
    // The peer rounds its delay; a few ms below zero on a fast path is a round trip of 0.
    if (rtt < -10) return;
    if (rtt < 0) rtt = 0;
    rttSum += rtt;
    ++rttSamples;
    rttAverage = static_cast<int32_t>(rttSum / rttSamples);
    rttLast = static_cast<int32_t>(rtt);
    break;
  }
}

void RtcpReceiver::ReadSdes(const uint8_t* part, int32_t partLength, const NtpTime& now) {
  int32_t position = kHeaderBytes;
  for (int32_t chunk = 0; chunk < CountOf(part); ++chunk) {
    if (partLength - position < 4) return;
    const uint32_t source = ReadU32BE(part + position);
    position += 4;
    for (;;) {
      if (position >= partLength) return;  // items ran off the end
      const uint8_t type = part[position];
      if (type == 0) break;
      if (partLength - position < 2) return;
      const int32_t textLength = part[position + 1];
      if (partLength - position - 2 < textLength) return;
      const uint8_t* text = part + position + 2;
      if (source != 0 && source == ownSsrc) {
        collision = true;
      } else if (type >= 1 && type <= RtpTranInfo::kSdesItems) {
        std::lock_guard<std::mutex> guard(mutex);
        if (RtpTranInfo* record = RecordLocked(source, false, now)) {
          char* slot = record->sdes[type - 1];
          std::memcpy(slot, text, static_cast<size_t>(textLength));
          slot[textLength] = '\0';
        }
      } else if (type == kSdesPriv && textLength >= 1 && text[0] <= textLength - 1) {
        const size_t prefixLength = text[0];
        if (prefixLength == std::strlen(kStandardUnderstood) &&
            std::memcmp(text + 1, kStandardUnderstood, prefixLength) == 0) {
          std::lock_guard<std::mutex> guard(mutex);
          if (RtpTranInfo* record = RecordLocked(source, false, now)) record->announcesStandard = true;
          peerUnderstandsStandard = true;
        }
      }
      position += 2 + textLength;
    }
    // The next chunk starts at the 32-bit boundary after the terminating zero byte.
    position = (position + 1 + 3) & ~3;
  }
}

void RtcpReceiver::ReadBye(const uint8_t* part, int32_t partLength) {
  for (int32_t i = 0; i < CountOf(part); ++i) {
    const int32_t at = kHeaderBytes + 4 * i;
    if (partLength - at < 4) return;
    const uint32_t source = ReadU32BE(part + at);
    if (source == ownSsrc) continue;  // nobody else can end our stream
    {
      std::lock_guard<std::mutex> guard(mutex);
      tranInfoList.erase(source);
    }
    if (reception != nullptr) reception->SourceLeft(source);
  }
}

RtpTranInfo* RtcpReceiver::RecordLocked(uint32_t ssrc, bool mayCreate, const NtpTime& now) {
  auto found = tranInfoList.find(ssrc);
  if (found != tranInfoList.end()) {
    found->second->lastHeard = now;
    return found->second.get();
  }
  if (!mayCreate && (ssrc == 0 || ssrc != heardSsrc)) return nullptr;
  if (tranInfoList.size() >= kMaxRecords) return nullptr;
  auto record = std::make_unique<RtpTranInfo>();
  record->ssrc = ssrc;
  record->lastHeard = now;
  RtpTranInfo* raw = record.get();
  tranInfoList.emplace(ssrc, std::move(record));
  return raw;
}

void RtcpReceiver::ExpireSilent(const NtpTime& now, int32_t silentMs) {
  std::lock_guard<std::mutex> guard(mutex);
  for (auto it = tranInfoList.begin(); it != tranInfoList.end();) {
    if (NtpTime::DiffMs(now, it->second->lastHeard) > silentMs) {
      it = tranInfoList.erase(it);
    } else {
      ++it;
    }
  }
}

bool RtcpReceiver::FromOrAbout(const uint8_t* data, int32_t length, uint32_t sender, uint32_t subject) {
  int32_t position = 0;
  while (length - position >= kHeaderBytes) {
    const uint8_t* part = data + position;
    const int32_t declared = PartBytes(part);
    const int32_t partLength = declared < length - position ? declared : length - position;
    if (part[1] == kSenderReport || part[1] == kReceiverReport) {
      const int32_t fixed = part[1] == kSenderReport ? kSenderReportFixed : kReceiverReportFixed;
      if (partLength >= 8 && sender != 0 && ReadU32BE(part + 4) == sender) return true;
      // The blocks of either layout: the first starts at the same place in both.
      for (int32_t stride : {kStandardBlock, kLegacyBlock}) {
        for (int32_t i = 0; i < CountOf(part); ++i) {
          const int32_t at = fixed + i * stride;
          if (partLength - at < 4) break;
          if (subject != 0 && ReadU32BE(part + at) == subject) return true;
        }
      }
    }
    position += declared;
  }
  return false;
}

void RtcpReceiver::NoteSenderReportSent(uint32_t middle32, const NtpTime& sentAt) {
  std::lock_guard<std::mutex> guard(mutex);
  sentReports[sentReportNext] = SentReport{middle32, sentAt};
  sentReportNext = (sentReportNext + 1) % kSentReportHistory;
}

bool RtcpReceiver::CopyRecord(uint32_t ssrc, RtpTranInfo* out) const {
  std::lock_guard<std::mutex> guard(mutex);
  auto found = tranInfoList.find(ssrc);
  if (found == tranInfoList.end()) return false;
  *out = *found->second;
  return true;
}

uint32_t RtcpReceiver::LastSenderReport(uint32_t ssrc, NtpTime* arrival) const {
  std::lock_guard<std::mutex> guard(mutex);
  auto found = tranInfoList.find(ssrc);
  if (found == tranInfoList.end()) return 0;
  if (arrival != nullptr) *arrival = found->second->srArrival;
  return found->second->lsr;
}

int32_t RtcpReceiver::RecordCount() const {
  std::lock_guard<std::mutex> guard(mutex);
  return static_cast<int32_t>(tranInfoList.size());
}

void RtcpReceiver::Reset() {
  std::lock_guard<std::mutex> guard(mutex);
  tranInfoList.clear();
  for (SentReport& sent : sentReports) sent = SentReport{};
  sentReportNext = 0;
  collision = false;
  reportsReceived = 0;
  delaySum = 0;
  delayCount = 0;
  delayAverage = -1;
  rttSum = 0;
  rttSamples = 0;
  rttAverage = -1;
  rttLast = -1;
  peerDialect = RtcpDialect::kUndecided;
  peerUnderstandsStandard = false;
}

}  // namespace ve
