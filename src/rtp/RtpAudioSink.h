#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "framework/AudioSink.h"
#include "platform/CriticalSection.h"
#include "platform/Socket.h"
#include "rtcp/RtcpSession.h"
#include "rtp/RtpSenderState.h"

namespace ve {

class RtpReceiver;

// The last component of the send chain: wraps each encoded sample in one RTP packet and sends
// it to the remote party on the host's RTP socket. The first voice packet after silence carries
// the marker bit; the first gap marker of a silence becomes one comfort-noise packet and the
// rest of the silence sends nothing. It owns the call's RTCP session, which runs on its own
// thread while either direction of the call runs.
//
// The stream (SSRC, sequence, timestamp) goes on across stops and starts of sending; a new
// remote party (SetRemote with another address or ports) starts a new stream.
//
// Threads: ProcessSamples runs on the pushing thread (or the sink's own worker). The engine
// thread calls the setters, SetRemote and the start/stop operations. `lock` guards the RTP
// socket, the remote address and `sending`; it is held only to copy them, never across the
// socket call. The header building touches only sendBuffer, senderState (locked inside) and
// inSilence, which nothing else writes while the sink runs.
class RtpAudioSink : public AudioSink {
 public:
  static constexpr int32_t kHeaderBytes = 12;
  static constexpr int32_t kMaxPayload = 500;
  // IP_TOS of the Windows Sockets 1.1 headers, kept for the record of the option used.
  static constexpr uint8_t kVoiceTos = 0xB8;

  RtpAudioSink();
  ~RtpAudioSink() override;

  platform::SocketHandle SetRtpSocket(platform::SocketHandle socket);
  platform::SocketHandle SetRtcpSocket(platform::SocketHandle socket);
  // The reception record of the same call (not owned), whose source the RTCP report blocks
  // describe. Set it before the call starts; null before deleting it.
  void SetRtpReceiver(RtpReceiver* receiver);

  // Remote address and ports of a call; rtcpPort 0: no RTCP. Another address or ports than
  // before start a new stream (BYE for the old one, new SSRC). Returns 0.
  int32_t SetRemote(const char* host, uint16_t rtpPort, uint16_t rtcpPort);
  int32_t SetTypeOfService(uint8_t value);
  // Which directions of the call run; RTCP runs while either does and says BYE after the last.
  void SetCallDirections(bool sendingNow, bool receivingNow);
  void SetRtcpMode(RtcpMode mode) { rtcp->SetMode(mode); }

  // One compound RTCP packet (report + SDES) to the peer now; -1 without RTCP.
  int32_t SendReport();
  // Report, SDES with the CNAME, BYE with its reason text; -1 without RTCP.
  int32_t SendBye();

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
    uint32_t localSsrc = 0;
    RtcpDialect sendDialect = RtcpDialect::kLegacy;
    RtcpDialect peerDialect = RtcpDialect::kUndecided;
    bool peerReported = false;       // the peer reported on our stream
    uint8_t peerFractionLost = 0;    // its last report: loss share (1/256), cumulative loss, jitter
    int32_t peerCumulativeLost = 0;
    double peerJitterMs = 0;
  };
  // `heardSsrc`: the source whose CNAME and reports are wanted (0: any).
  void ReadCallFigures(CallFigures* out, uint32_t heardSsrc = 0);

  // For inspection by the owner and tests.
  const RtpSenderState* SenderState() const { return senderState.get(); }
  RtcpSession& Rtcp() { return *rtcp; }

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

  // Counts of the current call, reset when the sink starts or opens.
  std::atomic<uint64_t> packetsSent{0};
  std::atomic<uint64_t> payloadBytesSent{0};

  platform::SocketHandle rtpSocket = platform::kInvalidSocket;
  std::unique_ptr<RtpSenderState> senderState;
  std::unique_ptr<RtcpSession> rtcp;
  bool remoteSet = false;
  uint32_t remoteAddress = 0;
  std::string remoteHost = "127.0.0.1";
  uint16_t remotePort = 0;
  uint16_t remoteRtcpPort = 0;
  platform::Ipv4Endpoint remoteSockAddr;
  uint8_t tos = 0;
  uint8_t sendBuffer[kHeaderBytes + kMaxPayload] = {};
  bool sending = false;
  bool inSilence = true;
  int32_t lastFormatTag = -1;
  platform::CriticalSection lock;
};

}  // namespace ve
