#include "rtcp/RtcpTransmitter.h"

#include <cstdio>
#include <cstring>

#include "platform/DebugOutput.h"
#include "platform/Socket.h"
#include "rtcp/RtcpPacket.h"
#include "rtcp/RtcpReceiver.h"
#include "rtcp/RtpReceiver.h"
#include "rtp/ByteOrder.h"
#include "rtp/RtpSenderState.h"

namespace ve {

namespace {

constexpr uint8_t kSenderReport = 200;
constexpr uint8_t kReceiverReport = 201;
constexpr uint8_t kSdesPacket = 202;
constexpr uint8_t kByePacket = 203;
constexpr uint8_t kSdesPriv = 8;
constexpr int32_t kStandardBlock = 24;
constexpr int32_t kLegacyBlock = 28;

void WriteHeader(uint8_t* at, uint8_t type, int32_t bytes, uint8_t count) {
  at[0] = static_cast<uint8_t>(0x80 | (count & 0x1F));
  at[1] = type;
  WriteU16BE(at + 2, static_cast<uint16_t>(bytes / 4 - 1));
}

int32_t PaddedTo4(int32_t bytes) { return (bytes + 3) & ~3; }

void Write24(uint8_t* at, int32_t value) {
  const auto bits = static_cast<uint32_t>(value);
  at[0] = static_cast<uint8_t>(bits >> 16);
  at[1] = static_cast<uint8_t>(bits >> 8);
  at[2] = static_cast<uint8_t>(bits);
}

}  // namespace

RtcpTransmitter::RtcpTransmitter(RtpSenderState* senderState, RtpReceiver* receptionRecord, RtcpReceiver* rtcpRecords)
    : sender(senderState), reception(receptionRecord), records(rtcpRecords) {}

int32_t RtcpTransmitter::AddBlock(uint8_t* at, RtcpDialect dialect, const NtpTime& now) {
  ReportBlockFigures figures;
  if (reception == nullptr || !reception->NextReportBlock(&figures)) return 0;
  NtpTime arrival(0, 0);
  const uint32_t lastSr = records != nullptr ? records->LastSenderReport(figures.ssrc, &arrival) : 0;
  int64_t sinceMs = 0;
  if (lastSr != 0 && now > arrival) sinceMs = NtpTime::DiffMs(now, arrival);
  platform::DebugPrintf("lost buffer count=[%d]\r\n", figures.cumulativeLost);

  WriteU32BE(at, figures.ssrc);
  at[4] = figures.fractionLost;
  if (dialect == RtcpDialect::kStandard) {
    Write24(at + 5, figures.cumulativeLost);
    WriteU32BE(at + 8, figures.extendedMax);
    WriteU32BE(at + 12, figures.jitter);
    WriteU32BE(at + 16, lastSr);
    WriteU32BE(at + 20, static_cast<uint32_t>((sinceMs << 16) / 1000));
    return kStandardBlock;
  }
  std::memset(at + 5, 0, 3);
  Write24(at + 8, figures.cumulativeLost);
  at[11] = 0;
  WriteU16BE(at + 12, static_cast<uint16_t>(figures.extendedMax >> 16));
  WriteU16BE(at + 14, static_cast<uint16_t>(figures.extendedMax));
  WriteU32BE(at + 16, figures.jitter / RtpReceiver::kRtpClockPerMs);
  WriteU32BE(at + 20, lastSr);
  WriteU32BE(at + 24, static_cast<uint32_t>(sinceMs));
  return kLegacyBlock;
}

int32_t RtcpTransmitter::AddReport(RtcpPacket* packet, bool senderReport, RtcpDialect dialect, const NtpTime& now) {
  if (packet == nullptr || sender == nullptr) return -1;
  const int32_t fixed = senderReport ? 28 : 8;
  if (packet->GetFreeSize() < fixed + kLegacyBlock) return -1;
  uint8_t* header = packet->GetFreePtr();
  const RtpSenderState::Snapshot state = sender->Read();
  WriteU32BE(header + 4, state.ssrc);
  if (senderReport) {
    const NtpTime wire = dialect == RtcpDialect::kStandard ? now.ToStandardWire() : now;
    WriteU32BE(header + 8, wire.seconds);
    WriteU32BE(header + 12, wire.fraction);
    WriteU32BE(header + 16, sender->TimestampAt(now));
    WriteU32BE(header + 20, state.packetCount);
    WriteU32BE(header + 24, state.octetCount);
    if (records != nullptr) records->NoteSenderReportSent(wire.Middle32(), now);
  }
  const int32_t block = AddBlock(header + fixed, dialect, now);
  const int32_t bytes = fixed + block;
  WriteHeader(header, senderReport ? kSenderReport : kReceiverReport, bytes, block > 0 ? 1 : 0);
  packet->AllocData(bytes);
  return bytes;
}

int32_t RtcpTransmitter::AddSDES(RtcpPacket* packet, uint32_t ssrc, bool announceStandard) {
  if (packet == nullptr) return -1;
  const size_t announceLength = std::strlen(RtcpReceiver::kStandardUnderstood);
  // Written in place before it is reserved, so check the room first.
  int32_t needed = 8 + 2;
  for (int type = kCname; type <= kNote; ++type) {
    const size_t length = std::strlen(sdesItems[type - 1]);
    if (length > 0) needed += 2 + static_cast<int32_t>(length);
  }
  if (announceStandard) needed += 3 + static_cast<int32_t>(announceLength);
  if (PaddedTo4(needed) > packet->GetFreeSize()) return -1;

  uint8_t* header = packet->GetFreePtr();
  WriteU32BE(header + 4, ssrc);
  int32_t bytes = 8;
  for (int type = kCname; type <= kNote; ++type) {
    const char* text = sdesItems[type - 1];
    const size_t length = std::strlen(text);
    if (length == 0) continue;
    header[bytes] = static_cast<uint8_t>(type);
    header[bytes + 1] = static_cast<uint8_t>(length);
    std::memcpy(header + bytes + 2, text, length);
    bytes += 2 + static_cast<int32_t>(length);
  }
  if (announceStandard) {
    // PRIV: a prefix length, the prefix, no value.
    header[bytes] = kSdesPriv;
    header[bytes + 1] = static_cast<uint8_t>(1 + announceLength);
    header[bytes + 2] = static_cast<uint8_t>(announceLength);
    std::memcpy(header + bytes + 3, RtcpReceiver::kStandardUnderstood, announceLength);
    bytes += 3 + static_cast<int32_t>(announceLength);
  }
  // At least one zero byte ends the item list, then zeros to the next 32-bit boundary.
  const int32_t padded = PaddedTo4(bytes + 1);
  std::memset(header + bytes, 0, static_cast<size_t>(padded - bytes));
  WriteHeader(header, kSdesPacket, padded, 1);
  packet->AllocData(padded);
  return padded;
}

int32_t RtcpTransmitter::AddBYE(RtcpPacket* packet, uint32_t ssrc, const char* reason) {
  if (packet == nullptr) return -1;
  size_t reasonLength = reason != nullptr ? std::strlen(reason) : 0;
  if (reasonLength > 255) reasonLength = 255;
  const int32_t bytes = 8 + (reasonLength > 0 ? 1 + static_cast<int32_t>(reasonLength) : 0);
  const int32_t padded = PaddedTo4(bytes);
  uint8_t* header = packet->GetFreePtr();
  if (packet->AllocData(padded) < 0) return -1;
  WriteU32BE(header + 4, ssrc);
  if (reasonLength > 0) {
    header[8] = static_cast<uint8_t>(reasonLength);
    std::memcpy(header + 9, reason, reasonLength);
  }
  std::memset(header + bytes, 0, static_cast<size_t>(padded - bytes));
  WriteHeader(header, kByePacket, padded, 1);
  return padded;
}

void RtcpTransmitter::BuildCname() {
  char host[64];
  if (!platform::GetHostName(host, sizeof host)) std::snprintf(host, sizeof host, "%s", "uknown_host");
  char cname[kSdesText];
  std::snprintf(cname, sizeof cname, "%s.%u@%s", "unknown_user", platform::GetProcessId(), host);
  SetItem(kCname, cname);
}

void RtcpTransmitter::SetItem(SdesType type, const char* text) {
  if (type < kCname || type > kNote) return;
  char* slot = sdesItems[type - 1];
  if (text == nullptr) {
    slot[0] = '\0';
    return;
  }
  std::snprintf(slot, kSdesText, "%.255s", text);
}

}  // namespace ve
