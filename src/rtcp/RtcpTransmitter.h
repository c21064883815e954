#pragma once

#include <cstdint>

#include "platform/Socket.h"
#include "rtcp/NtpTime.h"

namespace ve {

class RtcpPacket;
class RtcpReceiver;
class RtpSenderState;

// Builds the RTCP packets of a call and sends them to the peer's RTCP port: sender reports
// with one 28-byte report block per followed remote source (NTP seconds from 1970, the delay
// since the last SR in ms), SDES with the CNAME, and BYE. Reports are due on a randomised
// interval of 2.5 to 7.6 s counted from the previous due time.
//
// Threads: no thread of its own; everything runs on the sink's sending thread. The report
// blocks read the RtcpReceiver's records under its RecordsLock.
class RtcpTransmitter {
 public:
  enum SdesType : uint8_t { kCname = 1, kName, kEmail, kPhone, kLoc, kTool, kNote };
  static constexpr int kSdesItems = 7;
  static constexpr int kSdesText = 256;
  static constexpr int kHostChars = 51;

  // A host longer than kHostChars characters is cut to that length.
  RtcpTransmitter(const char* host, int32_t port);
  ~RtcpTransmitter();
  RtcpTransmitter(const RtcpTransmitter&) = delete;
  RtcpTransmitter& operator=(const RtcpTransmitter&) = delete;

  platform::SocketHandle SetSocket(platform::SocketHandle handle);
  void SetSenderState(RtpSenderState* state) { senderState = state; }
  void SetRtcpReceiver(RtcpReceiver* receiver) { rtcpReceiver = receiver; }

  // 1 (and the next report scheduled) once the due time has passed, else 0.
  int32_t IsReportDue();
  const NtpTime& NextReportTime() const { return nextReportTime; }

  // Each appends one part to `packet` and returns its bytes, or -1 (without sender state, or
  // when the part does not fit). Padding is not supported: a positive padding gives -1.
  int32_t AddSR(RtcpPacket* packet, int32_t padding);
  int32_t AddSDES(RtcpPacket* packet, int32_t padding);
  int32_t AddSDES(RtcpPacket* packet, SdesType itemType, int32_t padding);
  int32_t AddBYE(RtcpPacket* packet, const char* reason, int32_t padding);

  // Sends the used part of `packet` to the peer; nothing without a socket. Returns 0.
  int32_t Transmit(const RtcpPacket* packet);

  // CNAME "user.pid@host".
  void BuildCname();
  // Each copies at most 255 characters into its slot.
  void SetName(const char* text) { SetItem(kName, text); }
  void SetEmail(const char* text) { SetItem(kEmail, text); }
  void SetPhone(const char* text) { SetItem(kPhone, text); }
  void SetLoc(const char* text) { SetItem(kLoc, text); }
  void SetTool(const char* text) { SetItem(kTool, text); }
  void SetNote(const char* text) { SetItem(kNote, text); }
  const char* GetItem(SdesType type) const { return sdesItems[type - 1]; }
  const char* GetCname() const { return GetItem(kCname); }

 private:
  void ScheduleNext();
  void SetItem(SdesType type, const char* text);
  int32_t AddSdesItems(RtcpPacket* packet, int first, int last);

  char remoteHost[kHostChars + 1] = {};
  int32_t remotePort;
  platform::SocketHandle socket = platform::kInvalidSocket;
  platform::Ipv4Endpoint remoteAddr;
  NtpTime nextReportTime;
  RtpSenderState* senderState = nullptr;
  char (*sdesItems)[kSdesText];
  RtcpReceiver* rtcpReceiver = nullptr;
};

}  // namespace ve
