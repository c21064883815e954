#pragma once

#include <atomic>
#include <cstdint>

#include "framework/AudioSource.h"
#include "platform/CriticalSection.h"
#include "platform/Socket.h"
#include "rtp/RtpSourceGate.h"

namespace ve {

class RtpPacket;
class RtpReceiver;

// The first component of the receive chain: waits for the next datagram on the host's RTP
// socket, parses it as RTP, lets its RtpSourceGate judge whether it is the peer's, counts the
// peer's packets in the RtpReceiver, and copies the payload of each playable one into a pooled
// sample stamped with the standard format of its payload type, with the packet attached. What
// the gate drops is counted there by reason and goes nowhere else; a comfort-noise packet
// becomes a 20 ms gap marker that still carries its packet. When the host shuts the socket
// down, the produce step ends (and with it the worker) instead of waiting on a dead socket.
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
  // Where the peer's RTP comes from, and whose packets are played (see RtpSourceGate).
  RtpSourceGate& Gate() { return gate; }

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
  // Reads one datagram into receiveBuffer (its sender into receivedFrom): its length, 0 for
  // none (or one of our own), negative when the socket failed or was shut down.
  int32_t ReadDatagram(platform::SocketHandle socket);
  // The next packet the gate lets through to be played (counted in the reception record on
  // the way), or null when the wait ended. Owned by the caller.
  RtpPacket* NextPlayable();

  std::atomic<platform::SocketHandle> rtpSocket{platform::kInvalidSocket};
  platform::SocketHandle rtcpSocket = platform::kInvalidSocket;
  RtpReceiver* rtpReceiver = nullptr;
  // The port the host says it receives on (it binds the socket itself): kept so that setting
  // the same port again changes nothing.
  uint16_t localPort[2] = {0, 0};
  uint8_t receiveBuffer[kReceiveBytes] = {};
  platform::Ipv4Endpoint receivedFrom;
  // A packet judged playable that waits for the kept probation packet before it.
  uint8_t pendingBuffer[kReceiveBytes] = {};
  int32_t pendingLength = 0;
  RtpSourceGate gate;
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
