// Fuzz target: the RTCP compound-packet check and the parse of both layouts. The first byte
// sets the scene for the rest:
//   bits 0-1  what the receiver has already read from SSRC kPeer: nothing, a standard SR, a
//             legacy SR with the "standard understood" announcement, or a legacy SR without it;
//   bit 2     our own SSRC is kOwn, so blocks about it are read;
//   bit 3     a reception record following kPeer is attached (a BYE reaches it).
// Sender reports of ours are noted at kSent in both layouts, so a block that echoes one runs
// the round-trip path. The rest is read twice by the same receiver (the second time against
// the layouts the first read kept): counts, lengths and item lengths that lie must never lead
// outside the datagram.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "rtcp/NtpTime.h"
#include "rtcp/RtcpReceiver.h"
#include "rtcp/RtpReceiver.h"
#include "rtp/ByteOrder.h"
#include "rtp/RtpPacket.h"

namespace {

constexpr uint32_t kOwn = 0x0A0B0C0D;
constexpr uint32_t kPeer = 0x11223344;
// The receiver's clock stands still at kNow; our reports left 300 ms earlier.
const ve::NtpTime kNow(1780000000u, 0);
const ve::NtpTime kSent = ve::NtpTime::Subtract(kNow, 300);

void Trap(bool failed) {
  if (failed) __builtin_trap();
}

void Read(ve::RtcpReceiver& receiver, const std::vector<uint8_t>& datagram) {
  receiver.ReadRtcp(datagram.data(), static_cast<int32_t>(datagram.size()), kNow);
}

// A sender report from kPeer at `wire` (as on the wire), optionally with the PRIV item.
std::vector<uint8_t> PeerSenderReport(const ve::NtpTime& wire, bool announce) {
  std::vector<uint8_t> d(28, 0);
  d[0] = 0x80;
  d[1] = 200;
  d[3] = 6;
  ve::WriteU32BE(d.data() + 4, kPeer);
  ve::WriteU32BE(d.data() + 8, wire.seconds);
  ve::WriteU32BE(d.data() + 12, wire.fraction);
  if (announce) {
    const char* prefix = ve::RtcpReceiver::kStandardUnderstood;
    const auto n = static_cast<uint8_t>(std::strlen(prefix));
    std::vector<uint8_t> sdes = {0x81, 202, 0, 0, 0, 0, 0, 0, 8, static_cast<uint8_t>(n + 1), n};
    ve::WriteU32BE(sdes.data() + 4, kPeer);
    sdes.insert(sdes.end(), prefix, prefix + n);
    sdes.resize((sdes.size() + 1 + 3) / 4 * 4, 0);
    sdes[3] = static_cast<uint8_t>(sdes.size() / 4 - 1);
    d.insert(d.end(), sdes.begin(), sdes.end());
  }
  return d;
}

void FollowPeer(ve::RtpReceiver& reception) {
  for (uint16_t seq = 1; seq <= 2; ++seq) {
    uint8_t bytes[12 + 4] = {0x80, 8};
    ve::WriteU16BE(bytes + 2, seq);
    ve::WriteU32BE(bytes + 8, kPeer);
    ve::RtpPacket packet(bytes, sizeof bytes);
    reception.Receive(packet);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 2049) return 0;
  const uint8_t scene = data[0];
  const uint8_t* datagram = data + 1;
  const auto length = static_cast<int32_t>(size - 1);

  ve::RtcpReceiver receiver;
  ve::RtpReceiver reception;
  if ((scene & 4) != 0) receiver.SetOwnSsrc(kOwn);
  if ((scene & 8) != 0) {
    FollowPeer(reception);
    receiver.SetReception(&reception);
  }
  receiver.NoteSenderReportSent(kSent.Middle32(), kSent);
  receiver.NoteSenderReportSent(kSent.ToStandardWire().Middle32(), kSent);
  const ve::NtpTime peerSent = ve::NtpTime::Subtract(kNow, 50);
  switch (scene & 3) {
    case 1:
      Read(receiver, PeerSenderReport(peerSent.ToStandardWire(), false));
      break;
    case 2:
      Read(receiver, PeerSenderReport(peerSent, true));
      break;
    case 3:
      Read(receiver, PeerSenderReport(peerSent, false));
      break;
    default:
      break;
  }

  // A copy of exactly the datagram's size, so a read past it is caught.
  std::vector<uint8_t> exact(datagram, datagram + length);
  const bool valid = ve::RtcpReceiver::IsValidCompound(exact.data(), length);
  for (int pass = 0; pass < 2; ++pass) {
    const int32_t bye = receiver.ReadRtcp(exact.data(), length, kNow);
    Trap(bye != 0 && bye != 1);
  }
  (void)valid;

  Trap(receiver.RecordCount() < 0 || static_cast<size_t>(receiver.RecordCount()) > ve::RtcpReceiver::kMaxRecords);
  // Every noted report left 300 ms before the receiver's clock: no round trip can be longer.
  const int32_t samples = receiver.RttSamples();
  Trap(samples < 0);
  if (samples > 0) {
    Trap(receiver.RttLast() < 0 || receiver.RttLast() > 300);
    Trap(receiver.RttAverage() < 0 || receiver.RttAverage() > 300);
  } else {
    Trap(receiver.RttLast() != -1);
  }
  const auto dialect = static_cast<uint8_t>(receiver.PeerDialect());
  Trap(dialect > static_cast<uint8_t>(ve::RtcpDialect::kStandard));
  ve::RtpTranInfo record;
  if (receiver.CopyRecord(kPeer, &record)) {
    for (const auto& text : record.sdes) Trap(std::memchr(text, 0, sizeof text) == nullptr);
  }
  return 0;
}
