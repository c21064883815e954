#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "framework/AudioSink.h"
#include "platform/CriticalSection.h"
#include "platform/Socket.h"

namespace ve {

class RtcpReceiver;
class RtcpTransmitter;
class RtpReceiver;
class RtpSenderState;

// The last component of the send chain: wraps each encoded sample in one RTP packet and sends
// it to the remote party on the host's RTP socket. The first voice packet after silence carries
// the marker bit; the first gap marker of a silence becomes one comfort-noise packet and the
// rest of the silence sends nothing. After each packet it sends an RTCP report when one is due
// and reads one RTCP datagram from the peer.
//
// Threads: ProcessSamples runs on the pushing thread (or the sink's own worker). The engine
// thread calls the setters, SetRemote and the start/stop operations. `lock` guards the
// sockets, the remote address, the RTCP objects, `sending` and the send itself (step from
// sendto to the RTCP poll); the header building before it touches only sendBuffer,
// senderState and inSilence, which nothing else writes while the sink runs.
// Lock order: lock, then RtpReceiver::linkLock, then RtcpReceiver's records lock.
class RtpAudioSink : public AudioSink {
 public:
  static constexpr int32_t kHeaderBytes = 12;
  static constexpr int32_t kMaxPayload = 500;
  static constexpr uint8_t kComfortNoiseType = 13;
  // IP_TOS of the Windows Sockets 1.1 headers, kept for the record of the option used.
  static constexpr uint8_t kVoiceTos = 0xB8;

  RtpAudioSink();
  ~RtpAudioSink() override;

  platform::SocketHandle SetRtpSocket(platform::SocketHandle socket);
  platform::SocketHandle SetRtcpSocket(platform::SocketHandle socket);
  // The receive-side record of the same call (not owned), linked to this call's RtcpReceiver.
  // The owner sets it to null before deleting that record; the old one is unlinked first.
  void SetRtpReceiver(RtpReceiver* receiver);

  // Remote address and ports of a call. A non-zero rtcpPort creates the RTCP transmitter and
  // receiver of this call; any RTCP objects of an earlier call are deleted. Returns 0.
  int32_t SetRemote(const char* host, uint16_t rtpPort, uint16_t rtcpPort);
  int32_t SetTypeOfService(uint8_t value);

  // One compound RTCP packet (SR + SDES) to the peer; -1 without RTCP.
  int32_t SendReport();
  // SR, SDES with the CNAME, BYE with its reason text; -1 without RTCP.
  int32_t SendBye();
  // Reads one waiting RTCP datagram: -1 none (or no RTCP), 1 it held a BYE, else 0.
  int32_t PollRtcp();

  // Payload type of a format tag (-1 for none) and its codec text.
  static int32_t RTPPayloadType(uint16_t formatTag, char* codecText, size_t capacity);

  // What the sending side and the peer's RTCP tell about the call, for the host's statistics.
  struct CallFigures {
    uint64_t packetsSent = 0;
    uint64_t payloadBytesSent = 0;
    uint64_t reportsSent = 0;        // RTCP compound packets sent
    int32_t reportsReceived = 0;     // RTCP reports read from the peer
    int32_t rttMs = -1;              // mean round trip from the peer's report blocks; -1 unknown
    int32_t delayMs = -1;            // mean one-way delay of the peer's sender reports; -1 unknown
    char remoteCname[256] = {};
  };
  // Counters are atomics; the RTCP figures are read under `lock` (held briefly).
  void ReadCallFigures(CallFigures* out);

  // For inspection by the owner and tests; valid while the sink and the call exist.
  const RtpSenderState* SenderState() const { return senderState; }
  RtcpTransmitter* Transmitter() { return m_prtcptran; }
  RtcpReceiver* RtcpReceiverOfCall() { return m_prtcprecv; }

 protected:
  int32_t OnThreadStart(platform::Thread* thread, uint32_t id) override;
  int32_t OnThreadEnd(platform::Thread* thread, uint32_t id) override;
  int32_t OnOpen() override;
  int32_t OnClose() override;
  int32_t ProcessSamples(SampleList* list) override;
  // Told the codec text when the format of the sent data changes; does nothing here.
  virtual int32_t OnCodecName(const char* text);

 private:
  void Reset();
  void DeleteRtcp();

  // Counts of the current call, reset when the sink starts or opens.
  std::atomic<uint64_t> packetsSent{0};
  std::atomic<uint64_t> payloadBytesSent{0};
  std::atomic<uint64_t> reportsSent{0};

  platform::SocketHandle rtpSocket = platform::kInvalidSocket;
  platform::SocketHandle rtcpSocket = platform::kInvalidSocket;
  RtpSenderState* senderState;
  RtcpTransmitter* m_prtcptran = nullptr;
  RtcpReceiver* m_prtcprecv = nullptr;
  RtpReceiver* rtpReceiver = nullptr;
  uint32_t remoteAddress = 0;
  std::string remoteHost = "127.0.0.1";
  uint16_t remotePort = 0;
  platform::Ipv4Endpoint remoteSockAddr;
  uint8_t tos = 0;
  uint8_t sendBuffer[kHeaderBytes + kMaxPayload] = {};
  bool sending = false;
  bool inSilence = true;
  int32_t lastFormatTag = -1;
  platform::CriticalSection lock;
};

}  // namespace ve
