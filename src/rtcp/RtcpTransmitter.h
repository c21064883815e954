#pragma once

#include <cstdint>

#include "rtcp/NtpTime.h"
#include "rtcp/RtcpDialect.h"

namespace ve {

class RtcpPacket;
class RtcpReceiver;
class RtpReceiver;
class RtpSenderState;

// Builds the RTCP parts of a call in either layout: a sender report (while we send) or a
// receiver report, each with one report block about the source we follow; SDES with the
// CNAME (and, in the legacy layout, a PRIV item saying the standard layout is understood);
// BYE. Each sender report built is noted with the RtcpReceiver, which matches the peer's
// answers against it for the round trip.
//
// Threads: used by one thread at a time (the RTCP thread, or the engine thread while that
// thread is stopped); the SDES texts are set before the call starts.
class RtcpTransmitter {
 public:
  enum SdesType : uint8_t { kCname = 1, kName, kEmail, kPhone, kLoc, kTool, kNote };
  static constexpr int kSdesItems = 7;
  static constexpr int kSdesText = 256;

  RtcpTransmitter(RtpSenderState* sender, RtpReceiver* reception, RtcpReceiver* records);
  RtcpTransmitter(const RtcpTransmitter&) = delete;
  RtcpTransmitter& operator=(const RtcpTransmitter&) = delete;

  void SetReception(RtpReceiver* record) { reception = record; }

  // Each appends one part to `packet` and returns its bytes, or -1 when it does not fit.
  // A sender report (senderReport) or a receiver report, in `dialect` (legacy when undecided).
  int32_t AddReport(RtcpPacket* packet, bool senderReport, RtcpDialect dialect, const NtpTime& now);
  // SDES for `ssrc`: every non-empty item, then the PRIV announcement when asked.
  int32_t AddSDES(RtcpPacket* packet, uint32_t ssrc, bool announceStandard);
  // BYE for `ssrc` with a reason text (may be null or empty).
  int32_t AddBYE(RtcpPacket* packet, uint32_t ssrc, const char* reason);

  // CNAME "user.pid@host".
  void BuildCname();
  // Each copies at most 255 characters into its slot.
  void SetItem(SdesType type, const char* text);
  const char* GetItem(SdesType type) const { return sdesItems[type - 1]; }
  const char* GetCname() const { return GetItem(kCname); }

 private:
  int32_t AddBlock(uint8_t* at, RtcpDialect dialect, const NtpTime& now);

  RtpSenderState* sender;
  RtpReceiver* reception;
  RtcpReceiver* records;
  char sdesItems[kSdesItems][kSdesText] = {};
};

}  // namespace ve
