#pragma once

#include <atomic>
#include <cstdint>

#include "framework/AudioSource.h"
#include "platform/CriticalSection.h"
#include "platform/Socket.h"

namespace ve {

class RtpPacket;
class RtpReceiver;

// The first component of the receive chain: waits for the next datagram on the host's RTP
// socket, parses it as RTP, copies the payload into a pooled sample stamped with the standard
// format of its payload type, attaches the packet, and counts it in the RtpReceiver. Payload
// types other than 0, 4, 8, 13 and 18 and invalid datagrams are skipped; a comfort-noise
// packet becomes a 20 ms gap marker that still carries its packet.
//
// The wait blocks in the socket layer together with a wake-up that StopReceiving and Stop
// signal, so an idle receiver uses no CPU and a stop ends the produce step at once.
//
// Threads: ProduceSample runs on the worker thread (or the pulling thread when opened). The
// engine thread calls the setters, StopReceiving, Start/Stop/Open/Close. `lock` guards the
// start/stop hooks; `receiving`, `pollMode` and `stopSignalled` are atomics read by the wait
// without it. `receiverLock` guards rtpReceiver and is held while a packet is counted, so
// SetRtpReceiver(nullptr) returns only once the receiver is no longer in use.
class RtpAudioSource : public AudioSource {
 public:
  static constexpr int32_t kReceiveBytes = 1024;
  static constexpr int32_t kGapMs = 20;

  RtpAudioSource();
  ~RtpAudioSource() override;

  platform::SocketHandle SetRtpSocket(platform::SocketHandle socket);
  platform::SocketHandle SetRtcpSocket(platform::SocketHandle socket);
  void SetRtpReceiver(RtpReceiver* receiver);
  // Ends the wait: the produce step in progress returns -10 and the worker thread ends.
  int32_t StopReceiving();
  int32_t GetLocalPort(uint16_t* port);
  int32_t SetLocalPort(uint16_t port);

  // Wakes a waiting worker so the stop does not wait for the next datagram.
  int32_t Stop() override;

  // Reception of the source followed (the last SSRC seen), for the host's statistics:
  // valid RTP datagrams and payload bytes, and the packets expected from its sequence numbers
  // (wraps included). Counted on the receive thread, read from any thread.
  struct ReceptionFigures {
    uint64_t packets = 0;
    uint64_t payloadBytes = 0;
    uint64_t expected = 0;
    uint64_t receivedOfSource = 0;
    uint32_t ssrc = 0;
  };
  void ReadReceptionFigures(ReceptionFigures* out) const;
  // Starts the counts afresh (a new call).
  void ResetReceptionFigures();

 protected:
  int32_t OnThreadStart(platform::Thread* thread, uint32_t id) override;
  int32_t OnThreadEnd(platform::Thread* thread, uint32_t id) override;
  int32_t OnOpen() override;
  int32_t OnClose() override;
  int32_t ProduceSample(AudioSample** out) override;

 private:
  // The byte count of the next datagram in receiveBuffer, 0 when none came (stop or nothing
  // waiting in poll mode), or negative on a socket error.
  int32_t WaitForDatagram();
  void CountReception(const RtpPacket* packet);

  std::atomic<platform::SocketHandle> rtpSocket{platform::kInvalidSocket};
  platform::SocketHandle rtcpSocket = platform::kInvalidSocket;
  RtpReceiver* rtpReceiver = nullptr;
  uint16_t localPort[2] = {0, 0};
  uint8_t receiveBuffer[kReceiveBytes] = {};
  std::atomic<bool> pollMode{true};
  std::atomic<bool> receiving{false};
  std::atomic<bool> stopSignalled{false};
  platform::SocketWakeup wakeup;
  // Reception counts: written by the receive thread only, read through the atomics.
  std::atomic<uint64_t> packetsReceived{0};
  std::atomic<uint64_t> payloadBytesReceived{0};
  std::atomic<uint64_t> packetsExpected{0};
  std::atomic<uint64_t> packetsOfSource{0};
  std::atomic<uint32_t> followedSsrc{0};
  std::atomic<bool> resetRequested{true};
  uint64_t baseSequence = 0;     // extended sequence number of the source's first packet
  uint64_t highestSequence = 0;  // extended highest sequence number seen
  platform::CriticalSection lock;
  platform::CriticalSection receiverLock;
};

}  // namespace ve
