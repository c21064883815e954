#include "rtcp/RtcpReceiver.h"

#include <cstdio>
#include <cstring>
#include <iterator>
#include <mutex>

#include "rtcp/RtcpPacket.h"
#include "rtp/ByteOrder.h"

namespace ve {

namespace {

constexpr uint8_t kSenderReport = 200;
constexpr uint8_t kReceiverReport = 201;
constexpr uint8_t kSdes = 202;
constexpr uint8_t kBye = 203;
constexpr int32_t kHeaderBytes = 4;
constexpr int32_t kSenderInfoBytes = 24;
constexpr int32_t kReportBlockBytes = 28;

uint8_t VersionOf(const uint8_t* header) { return header[0] >> 6; }
uint8_t CountOf(const uint8_t* header) { return header[0] & 0x1F; }
// Bytes of the part that starts at `header`, from its length field.
int32_t PartBytes(const uint8_t* header) { return (ReadU16BE(header + 2) + 1) * 4; }

int32_t Wrap32(int64_t v) { return static_cast<int32_t>(static_cast<uint32_t>(v)); }

}  // namespace

RtcpReceiver::RtcpReceiver(int32_t rtcpPort) : port(rtcpPort) {}

RtcpReceiver::~RtcpReceiver() {
  std::lock_guard<platform::CriticalSection> guard(lock);
  for (auto& entry : tranInfoList) delete entry.second;
  tranInfoList.clear();
}

platform::SocketHandle RtcpReceiver::SetSocket(platform::SocketHandle handle) {
  socket = handle;
  return handle;
}

RtcpPacket* RtcpReceiver::GetPacket() {
  if (socket == platform::kInvalidSocket) return nullptr;  // no RTCP socket: nothing to read
  int32_t ready = platform::WaitReadable(socket, 0, nullptr);
  if (ready < 0) {
    std::perror("rtcpReceiver select");
    return nullptr;
  }
  if (ready == 0) return nullptr;
  auto* packet = new RtcpPacket();
  int32_t got = platform::Recv(socket, packet->GetPacketData(), packet->GetPacketAlloc());
  if (got <= 0) {
    delete packet;
    return nullptr;
  }
  packet->SetTotalUsage(got);
  if (!IsValidCompound(packet->GetPacketData(), got)) {
    delete packet;
    return nullptr;
  }
  return packet;
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

int32_t RtcpReceiver::ReadRtcp(const RtcpPacket* packet) {
  if (packet == nullptr) return 0;
  return ReadRtcp(packet->GetPacketData(), packet->GetTotalUsage());
}

int32_t RtcpReceiver::ReadRtcp(const uint8_t* data, int32_t length) {
  if (data == nullptr) return 0;
  NtpTime now = NtpTime::Now();
  int32_t sawBye = 0;
  int32_t position = 0;
  while (length - position >= kHeaderBytes) {
    const uint8_t* part = data + position;
    int32_t declared = PartBytes(part);
    // A part claiming more than is left is read only as far as the bytes go.
    int32_t partLength = declared < length - position ? declared : length - position;
    switch (part[1]) {
      case kSenderReport:
        ReadReport(part, partLength, true, now);
        break;
      case kReceiverReport:
        ReadReport(part, partLength, false, now);
        break;
      case kSdes:
        ReadSdes(part, partLength);
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

void RtcpReceiver::ReadReport(const uint8_t* part, int32_t partLength, bool senderReport, const NtpTime& now) {
  int32_t blocksAt;
  if (senderReport) {
    if (partLength < kHeaderBytes + kSenderInfoBytes) return;
    uint32_t sender = ReadU32BE(part + 4);
    NtpTime sent(ReadU32BE(part + 8), ReadU32BE(part + 12));
    {
      std::lock_guard<platform::CriticalSection> guard(lock);
      RtpTranInfo* record = RecordLocked(sender);
      if (record != nullptr) {
        record->lsr = sent.Middle32();
        record->srArrival = now;
      }
    }
    ++reportsReceived;
    delaySum = Wrap32(static_cast<int64_t>(delaySum) + NtpTime::DiffMs(now, sent));
    delayAverage = delaySum / reportsReceived;
    blocksAt = kHeaderBytes + kSenderInfoBytes;
  } else {
    if (partLength < kHeaderBytes + 4) return;
    ++reportsReceived;
    blocksAt = kHeaderBytes + 4;
  }
  NtpTime nowShort(now.seconds & 0xFFFF, now.fraction & 0xFFFF0000u);
  for (int32_t i = 0; i < CountOf(part); ++i) {
    const int32_t at = blocksAt + i * kReportBlockBytes;
    if (partLength - at < kReportBlockBytes) break;
    uint32_t lastSr = ReadU32BE(part + at + 20);
    uint32_t delaySinceLastSr = ReadU32BE(part + at + 24);
    NtpTime lsrTime(lastSr >> 16, lastSr << 16);
    int64_t rtt = static_cast<int64_t>(NtpTime::DiffMs(nowShort, lsrTime)) - static_cast<int64_t>(delaySinceLastSr);
    rttSum = Wrap32(static_cast<int64_t>(rttSum) + rtt);
    rttAverage = rttSum / reportsReceived;
    // A block whose LSR is 0 answers no sender report of ours yet: it carries no round trip.
    if (lastSr != 0 && rtt >= 0) {
      rttBlockSum += rtt;
      rttBlockAverage = static_cast<int32_t>(rttBlockSum / ++rttSamples);
    }
  }
}

void RtcpReceiver::ReadSdes(const uint8_t* part, int32_t partLength) {
  int32_t position = kHeaderBytes;
  for (int32_t chunk = 0; chunk < CountOf(part); ++chunk) {
    if (partLength - position < 4) return;
    uint32_t source = ReadU32BE(part + position);
    position += 4;
    for (;;) {
      if (position >= partLength) return;  // items ran off the end
      uint8_t type = part[position];
      if (type == 0) break;
      if (partLength - position < 2) return;
      int32_t textLength = part[position + 1];
      if (partLength - position - 2 < textLength) return;
      if (type >= 1 && type <= RtpTranInfo::kSdesItems) {
        std::lock_guard<platform::CriticalSection> guard(lock);
        RtpTranInfo* record = RecordLocked(source);
        if (record != nullptr) {
          char* slot = record->sdes[type - 1];
          std::memcpy(slot, part + position + 2, static_cast<size_t>(textLength));
          slot[textLength] = '\0';
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
    RemoveSource(ReadU32BE(part + at), 0);
  }
}

RtpTranInfo* RtcpReceiver::RecordLocked(uint32_t ssrc) {
  auto found = tranInfoList.find(ssrc);
  if (found != tranInfoList.end()) return found->second;
  if (tranInfoList.size() >= kMaxRecords) return nullptr;
  auto* record = new RtpTranInfo();
  record->ssrc = ssrc;
  tranInfoList.emplace(ssrc, record);
  return record;
}

RtpTranInfo* RtcpReceiver::AddSource(uint32_t ssrc, RtpReceiver* recv) {
  std::lock_guard<platform::CriticalSection> guard(lock);
  RtpTranInfo* record = RecordLocked(ssrc);
  if (record != nullptr) record->recv = recv;
  return record;
}

RtpTranInfo* RtcpReceiver::GetRecord(uint32_t ssrc) {
  std::lock_guard<platform::CriticalSection> guard(lock);
  return RecordLocked(ssrc);
}

void RtcpReceiver::RemoveSource(uint32_t ssrc, int32_t) {
  std::lock_guard<platform::CriticalSection> guard(lock);
  auto found = tranInfoList.find(ssrc);
  if (found == tranInfoList.end()) return;
  delete found->second;
  tranInfoList.erase(found);
}

void RtcpReceiver::DetachReceiver(RtpReceiver* recv) {
  std::lock_guard<platform::CriticalSection> guard(lock);
  for (auto& entry : tranInfoList) {
    if (entry.second->recv == recv) entry.second->recv = nullptr;
  }
}

int32_t RtcpReceiver::getTranInfoCount() {
  std::lock_guard<platform::CriticalSection> guard(lock);
  return static_cast<int32_t>(tranInfoList.size());
}

RtpTranInfo* RtcpReceiver::GetTranInfo(int32_t index) {
  std::lock_guard<platform::CriticalSection> guard(lock);
  if (index < 0 || index >= static_cast<int32_t>(tranInfoList.size())) return nullptr;
  return std::next(tranInfoList.begin(), index)->second;
}

}  // namespace ve
