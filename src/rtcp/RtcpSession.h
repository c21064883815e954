#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <random>

#include "platform/Event.h"
#include "platform/Socket.h"
#include "rtcp/RtcpDialect.h"
#include "rtcp/RtcpReceiver.h"
#include "rtcp/RtcpTransmitter.h"

namespace ve {

class RtpReceiver;
class RtpSenderState;
namespace platform {
class Thread;
}

// The RTCP side of a call, on its own thread: it sends a report when its timer says so,
// whether or not RTP is being sent (a sender report while we send, else a receiver report),
// and reads the peer's RTCP as it arrives. It runs while either direction of the call runs;
// when the last one stops it says BYE. An SSRC collision (the peer uses ours, seen in its RTP
// or RTCP) gets a BYE for the old SSRC and a new one.
//
// Only the peer's RTCP is read (see SetStrictSources); records of remote sources that send no
// RTCP for kSourceTimeoutMs are forgotten.
//
// Report intervals follow the standard rule: at least 5 s (2.5 s before the first report),
// or more when the share of the session bandwidth allotted to RTCP needs it, randomised to
// 0.5-1.5 times and divided by e - 3/2, from a generator of this session seeded from the
// system's random source.
//
// Layout: in kAuto it starts legacy, announcing in its SDES that it understands the standard
// layout, and sends standard reports from the moment a peer is seen to speak or understand
// the standard layout. Incoming reports are read in the layout each source speaks.
//
// Threads: the setters, SetDirections, NewCall and the Send*Now operations run on the engine
// thread (SetMode and the readers on any thread). `mutex` guards the configuration and the
// thread's state; `buildMutex` guards the transmitter and the report being built and is never
// held across a socket call. The thread ends within one wake-up of a stop.
class RtcpSession {
 public:
  static constexpr int32_t kMinIntervalMs = 5000;
  // The engine's calls use at most about 80 kbit/s with headers; RTCP gets 5 % of it.
  static constexpr double kRtcpBytesPerSecond = 80000.0 / 8 * 0.05;
  static constexpr const char* kByeReason = "Ardo Program Ended.";
  // A source that sent no RTCP for five minimum intervals has left.
  static constexpr int32_t kSourceTimeoutMs = 5 * kMinIntervalMs;

  RtcpSession(RtpSenderState* sender, RtpReceiver* reception);
  // Stops the thread without a BYE (the owner sends one first when it wants to).
  ~RtcpSession();
  RtcpSession(const RtcpSession&) = delete;
  RtcpSession& operator=(const RtcpSession&) = delete;

  // The reception record whose source the report blocks describe (not owned; may be null).
  // Set while the session is not running.
  void SetReception(RtpReceiver* reception);
  void SetSocket(platform::SocketHandle socket);
  // The peer's RTCP address; port 0: no RTCP.
  void SetRemote(const platform::Ipv4Endpoint& remote);
  // A new call with another peer: a BYE for the current stream if RTCP runs, a new SSRC,
  // and every figure of the old peer forgotten.
  void NewCall(const platform::Ipv4Endpoint& remote);
  void SetMode(RtcpMode mode) { mode_ = mode; }
  RtcpMode Mode() const { return mode_; }
  // The directions of the call that run; RTCP runs while either does.
  void SetDirections(bool sending, bool receiving);

  // The layout our reports use now.
  RtcpDialect SendDialect() const;
  bool Running() const;

  // One report (and SDES) or one BYE now, on the calling thread: 0, or -1 without a socket
  // or remote.
  int32_t SendReportNow();
  int32_t SendByeNow();

  // Strict: RTCP only from the peer's RTCP address and port (default: also from another port
  // of the peer's address, for the source we hear or about our stream).
  void SetStrictSources(bool strict) { strictSources = strict; }
  // RTCP datagrams dropped: not a valid compound packet, or not from the peer.
  uint64_t DroppedMalformed() const { return droppedMalformed; }
  uint64_t DroppedWrongSource() const { return droppedWrongSource; }

  RtcpReceiver& Receiver() { return receiver; }
  RtcpTransmitter& Transmitter() { return transmitter; }
  uint64_t ReportsSent() const { return reportsSent; }

  // The standard interval in seconds for the given state; `unit` is a random draw in [0, 1).
  static double IntervalSeconds(bool initial, int members, int senders, bool weSent, double averageRtcpBytes,
                                double rtcpBytesPerSecond, double unit);

 private:
  enum class Compound { kReport, kBye };

  static uint32_t ThreadEntry(void* self);
  void Run();
  void StartLocked();
  // Stops the thread; with `bye` a BYE goes out as its last act.
  void StopThread(std::unique_lock<std::mutex>& lock, bool bye);
  void ReadWaiting(platform::SocketHandle socket, const platform::Ipv4Endpoint& local);
  void HandleCollision();
  // Builds and sends one compound packet; false when there was nobody to send to.
  bool Send(Compound kind, bool countSending);
  uint32_t NextIntervalMs(bool initial, bool weSent);

  RtpSenderState* sender;
  RtpReceiver* reception = nullptr;
  RtcpReceiver receiver;
  RtcpTransmitter transmitter;
  std::atomic<RtcpMode> mode_{RtcpMode::kAuto};

  mutable std::mutex mutex;
  platform::SocketHandle socket = platform::kInvalidSocket;
  platform::Ipv4Endpoint local;
  platform::Ipv4Endpoint remote;
  bool sending = false;
  bool receiving = false;
  bool running = false;        // the thread exists
  bool stopRequested = false;
  bool byeOnStop = false;
  uint32_t nextReportMs = 0;   // on the monotonic tick
  bool sentSinceReport = false;
  platform::Thread* thread = nullptr;
  platform::Event ended;
  platform::Event errorPause;
  platform::SocketWakeup wakeup;

  std::mutex buildMutex;
  std::mt19937 random;
  double averageRtcpBytes = 100.0;
  uint8_t receiveBuffer[2048] = {};
  std::atomic<uint64_t> reportsSent{0};
  std::atomic<bool> strictSources{false};
  std::atomic<uint64_t> droppedMalformed{0};
  std::atomic<uint64_t> droppedWrongSource{0};
};

}  // namespace ve
