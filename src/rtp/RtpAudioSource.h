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
// socket, parses it as RTP, counts it in the RtpReceiver, and copies the payload into a pooled
// sample stamped with the standard format of its payload type, with the packet attached. Payload
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
  // Reads one datagram into receiveBuffer: its length, 0 for none (or one of our own).
  int32_t ReadDatagram(platform::SocketHandle socket);

  std::atomic<platform::SocketHandle> rtpSocket{platform::kInvalidSocket};
  platform::SocketHandle rtcpSocket = platform::kInvalidSocket;
  RtpReceiver* rtpReceiver = nullptr;
  uint16_t localPort[2] = {0, 0};
  uint8_t receiveBuffer[kReceiveBytes] = {};
  std::atomic<bool> pollMode{true};
  std::atomic<bool> receiving{false};
  std::atomic<bool> stopSignalled{false};
  platform::SocketWakeup wakeup;
  // Where the RTP socket is bound, to tell our own datagrams from the peer's; set with the
  // socket, before the worker starts.
  platform::Ipv4Endpoint localEndpoint;
  platform::CriticalSection lock;
  platform::CriticalSection receiverLock;
};

}  // namespace ve
