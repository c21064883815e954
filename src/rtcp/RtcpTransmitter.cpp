#include "rtcp/RtcpTransmitter.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/DebugOutput.h"
#include "rtcp/RtcpPacket.h"
#include "rtcp/RtcpReceiver.h"
#include "rtcp/RtpReceiver.h"
#include "rtcp/RtpTools.h"
#include "rtp/ByteOrder.h"
#include "rtp/RtpSenderState.h"

namespace ve {

namespace {

constexpr uint8_t kSenderReport = 200;
constexpr uint8_t kSdesPacket = 202;
constexpr uint8_t kByePacket = 203;
constexpr int32_t kReportBlockBytes = 28;

// Writes an RTCP header with count 0 and length 0 (both filled in when the part is done).
void WriteHeader(uint8_t* at, uint8_t type) {
  at[0] = 0x80;
  at[1] = type;
  at[2] = 0;
  at[3] = 0;
}

void FinishHeader(uint8_t* at, int32_t bytes, uint8_t count) {
  at[0] = static_cast<uint8_t>(0x80 | (count & 0x1F));
  WriteU16BE(at + 2, static_cast<uint16_t>(bytes / 4 - 1));
}

int32_t PaddedTo4(int32_t bytes) { return (bytes + 3) & ~3; }

}  // namespace

RtcpTransmitter::RtcpTransmitter(const char* host, int32_t port)
    : remotePort(port), nextReportTime(NtpTime::Now()), sdesItems(new char[kSdesItems][kSdesText]()) {
  if (host != nullptr) std::snprintf(remoteHost, sizeof remoteHost, "%s", host);
  remoteAddr.address = platform::InetAddr(remoteHost);
  remoteAddr.port = static_cast<uint16_t>(port);
  ScheduleNext();
}

RtcpTransmitter::~RtcpTransmitter() { delete[] sdesItems; }

platform::SocketHandle RtcpTransmitter::SetSocket(platform::SocketHandle handle) {
  socket = handle;
  return handle;
}

void RtcpTransmitter::ScheduleNext() {
  auto interval = static_cast<uint32_t>(5 * (500 + Rand15() / 32));
  nextReportTime = NtpTime::Add(nextReportTime, interval);
}

int32_t RtcpTransmitter::IsReportDue() {
  if (NtpTime::Now() > nextReportTime) {
    ScheduleNext();
    return 1;
  }
  return 0;
}

int32_t RtcpTransmitter::AddSR(RtcpPacket* packet, int32_t padding) {
  if (packet == nullptr || padding > 0) return -1;
  uint8_t* header = packet->GetFreePtr();
  if (packet->AllocData(4) < 0) return -1;
  WriteHeader(header, kSenderReport);
  int32_t bytes = 4;
  uint8_t count = 0;
  NtpTime now = NtpTime::Now();

  if (senderState != nullptr) {
    uint8_t* info = packet->GetFreePtr();
    if (packet->AllocData(24) < 0) return -1;
    uint32_t elapsed = static_cast<uint32_t>(std::abs(static_cast<int64_t>(NtpTime::DiffMs(now, senderState->StartTime()))));
    uint32_t rtpNow = senderState->InitialTimestamp() +
                      static_cast<uint32_t>(static_cast<uint64_t>(elapsed) * senderState->ClockRate() / 1000);
    WriteU32BE(info, senderState->Ssrc());
    WriteU32BE(info + 4, now.seconds);
    WriteU32BE(info + 8, now.fraction);
    WriteU32BE(info + 12, rtpNow);
    WriteU32BE(info + 16, senderState->PacketCount());
    WriteU32BE(info + 20, senderState->OctetCount());
    bytes += 24;
  }

  if (rtcpReceiver != nullptr) {
    std::lock_guard<platform::CriticalSection> guard(rtcpReceiver->RecordsLock());
    int32_t records = rtcpReceiver->getTranInfoCount();
    for (int32_t i = 0; i < records && count < 31; ++i) {
      RtpTranInfo* record = rtcpReceiver->GetTranInfo(i);
      if (record == nullptr || record->recv == nullptr) continue;
      RtpReceiverStats stats = record->recv->Stats();
      if (stats.probation < 0) continue;
      uint8_t* block = packet->GetFreePtr();
      if (packet->AllocData(kReportBlockBytes) < 0) break;

      uint32_t expected = stats.cycles + stats.maxSeq - stats.baseSeq + 1;
      uint32_t expectedInterval = expected - record->expectedPrior;
      record->expectedPrior = expected;
      uint32_t receivedInterval = stats.packetsReceived - record->receivedPrior;
      record->receivedPrior = stats.packetsReceived;
      auto lostInterval = static_cast<int32_t>(expectedInterval - receivedInterval);
      uint8_t fraction = 0;
      if (expectedInterval != 0 && lostInterval > 0) {
        fraction = static_cast<uint8_t>((static_cast<uint64_t>(lostInterval) << 8) / expectedInterval);
      }
      auto lost = static_cast<int32_t>(expected - stats.packetsReceived);
      platform::DebugPrintf("lost buffer count=[%d]\r\n", lost);

      WriteU32BE(block, record->ssrc);
      block[4] = fraction;
      block[8] = static_cast<uint8_t>(static_cast<uint32_t>(lost) >> 16);
      block[9] = static_cast<uint8_t>(static_cast<uint32_t>(lost) >> 8);
      block[10] = static_cast<uint8_t>(lost);
      // cycles and maxSeq together are the extended highest sequence number.
      WriteU16BE(block + 12, static_cast<uint16_t>(stats.cycles >> 16));
      WriteU16BE(block + 14, stats.maxSeq);
      WriteU32BE(block + 16, static_cast<uint32_t>(stats.jitter >> 4));
      WriteU32BE(block + 20, record->lsr);
      uint32_t delay = 0;
      if (record->lsr != 0 && now > record->srArrival) {
        delay = static_cast<uint32_t>(NtpTime::DiffMs(now, record->srArrival));
      }
      WriteU32BE(block + 24, delay);
      bytes += kReportBlockBytes;
      ++count;
    }
  }
  FinishHeader(header, bytes, count);
  return bytes;
}

int32_t RtcpTransmitter::AddSdesItems(RtcpPacket* packet, int first, int last) {
  if (packet == nullptr || senderState == nullptr) return -1;
  // Written in place before it is reserved, so check the room first.
  int32_t needed = 8 + 2;
  for (int type = first; type <= last; ++type) {
    size_t length = std::strlen(sdesItems[type - 1]);
    if (length > 0) needed += 2 + static_cast<int32_t>(length);
  }
  if (PaddedTo4(needed) > packet->GetFreeSize()) return -1;

  uint8_t* header = packet->GetFreePtr();
  WriteHeader(header, kSdesPacket);
  WriteU32BE(header + 4, senderState->Ssrc());
  int32_t bytes = 8;
  for (int type = first; type <= last; ++type) {
    const char* text = sdesItems[type - 1];
    size_t length = std::strlen(text);
    if (length == 0) continue;
    header[bytes] = static_cast<uint8_t>(type);
    header[bytes + 1] = static_cast<uint8_t>(length);
    std::memcpy(header + bytes + 2, text, length);
    bytes += 2 + static_cast<int32_t>(length);
  }
  // Two zero bytes end the item list, then zeros to the next 32-bit boundary.
  int32_t padded = PaddedTo4(bytes + 2);
  std::memset(header + bytes, 0, static_cast<size_t>(padded - bytes));
  packet->AllocData(padded);
  FinishHeader(header, padded, 1);
  return padded;
}

int32_t RtcpTransmitter::AddSDES(RtcpPacket* packet, int32_t padding) {
  if (padding > 0) return -1;
  return AddSdesItems(packet, kCname, kNote);
}

int32_t RtcpTransmitter::AddSDES(RtcpPacket* packet, SdesType itemType, int32_t padding) {
  if (padding > 0 || itemType < kCname || itemType > kNote) return -1;
  return AddSdesItems(packet, itemType, itemType);
}

int32_t RtcpTransmitter::AddBYE(RtcpPacket* packet, const char* reason, int32_t padding) {
  if (packet == nullptr || senderState == nullptr || padding > 0) return -1;
  size_t reasonLength = reason != nullptr ? std::strlen(reason) : 0;
  if (reasonLength > 255) reasonLength = 255;
  int32_t bytes = 8 + (reasonLength > 0 ? 1 + static_cast<int32_t>(reasonLength) : 0);
  int32_t padded = PaddedTo4(bytes);
  uint8_t* header = packet->GetFreePtr();
  if (packet->AllocData(padded) < 0) return -1;
  WriteHeader(header, kByePacket);
  WriteU32BE(header + 4, senderState->Ssrc());
  if (reasonLength > 0) {
    header[8] = static_cast<uint8_t>(reasonLength);
    std::memcpy(header + 9, reason, reasonLength);
  }
  std::memset(header + bytes, 0, static_cast<size_t>(padded - bytes));
  FinishHeader(header, padded, 1);
  return padded;
}

int32_t RtcpTransmitter::Transmit(const RtcpPacket* packet) {
  if (packet == nullptr || socket == platform::kInvalidSocket) return 0;
  platform::SendTo(socket, packet->GetPacketData(), packet->GetTotalUsage(), remoteAddr);
  return 0;
}

void RtcpTransmitter::BuildCname() {
  char host[64];
  if (!platform::GetHostName(host, sizeof host)) std::snprintf(host, sizeof host, "%s", "uknown_host");
  char cname[kSdesText];
  std::snprintf(cname, sizeof cname, "%s.%u@%s", "unknown_user", platform::GetProcessId(), host);
  SetItem(kCname, cname);
}

void RtcpTransmitter::SetItem(SdesType type, const char* text) {
  char* slot = sdesItems[type - 1];
  if (text == nullptr) {
    slot[0] = '\0';
    return;
  }
  std::snprintf(slot, kSdesText, "%.255s", text);
}

}  // namespace ve
