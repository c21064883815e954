#include "rtcp/RtcpSession.h"

#include "platform/Clock.h"
#include "platform/DebugOutput.h"
#include "platform/Random.h"
#include "platform/Thread.h"
#include "rtcp/RtcpPacket.h"
#include "rtcp/RtpReceiver.h"
#include "rtp/RtpSenderState.h"

namespace ve {

namespace {

// IP and UDP headers, counted in the average RTCP packet size.
constexpr double kIpUdpBytes = 28.0;
// How long the thread rests after a socket error before it looks again.
constexpr uint32_t kErrorPauseMs = 200;

bool Configured(platform::SocketHandle socket, const platform::Ipv4Endpoint& remote) {
  return socket != platform::kInvalidSocket && remote.port != 0;
}

}  // namespace

RtcpSession::RtcpSession(RtpSenderState* senderState, RtpReceiver* receptionRecord)
    : sender(senderState), transmitter(senderState, nullptr, &receiver), random(platform::Random32()) {
  receiver.SetOwnSsrc(sender->Ssrc());
  SetReception(receptionRecord);
  transmitter.BuildCname();
}

void RtcpSession::SetReception(RtpReceiver* receptionRecord) {
  std::unique_lock<std::mutex> lock(mutex);
  StopThread(lock, false);
  if (reception != nullptr) reception->SetCollisionSignal(nullptr);
  reception = receptionRecord;
  receiver.SetReception(reception);
  transmitter.SetReception(reception);
  if (reception != nullptr) {
    reception->SetOwnSsrc(sender->Ssrc());
    reception->SetCollisionSignal(&wakeup);
  }
  StartLocked();
}

RtcpSession::~RtcpSession() {
  std::unique_lock<std::mutex> lock(mutex);
  StopThread(lock, false);
  if (reception != nullptr) reception->SetCollisionSignal(nullptr);
}

void RtcpSession::SetSocket(platform::SocketHandle handle) {
  std::unique_lock<std::mutex> lock(mutex);
  if (handle == socket) return;
  StopThread(lock, false);
  socket = handle;
  local = platform::Ipv4Endpoint{};
  platform::LocalEndpoint(socket, &local);
  StartLocked();
}

void RtcpSession::SetRemote(const platform::Ipv4Endpoint& to) {
  std::unique_lock<std::mutex> lock(mutex);
  if (to == remote) return;
  StopThread(lock, false);
  remote = to;
  StartLocked();
}

void RtcpSession::NewCall(const platform::Ipv4Endpoint& to) {
  std::unique_lock<std::mutex> lock(mutex);
  StopThread(lock, true);
  const uint32_t ssrc = sender->NewSource(sender->Ssrc());
  receiver.Reset();
  receiver.SetOwnSsrc(ssrc);
  if (reception != nullptr) {
    reception->Reset();
    reception->SetOwnSsrc(ssrc);
  }
  remote = to;
  StartLocked();
}

void RtcpSession::SetDirections(bool sendingNow, bool receivingNow) {
  std::unique_lock<std::mutex> lock(mutex);
  sending = sendingNow;
  receiving = receivingNow;
  if (sending) sentSinceReport = true;
  if (!sending && !receiving) {
    StopThread(lock, true);
  } else {
    StartLocked();
  }
}

bool RtcpSession::Running() const {
  std::lock_guard<std::mutex> guard(mutex);
  return running;
}

RtcpDialect RtcpSession::SendDialect() const {
  switch (mode_.load()) {
    case RtcpMode::kStandard:
      return RtcpDialect::kStandard;
    case RtcpMode::kLegacy:
      return RtcpDialect::kLegacy;
    default:
      return receiver.PeerUnderstandsStandard() ? RtcpDialect::kStandard : RtcpDialect::kLegacy;
  }
}

void RtcpSession::StartLocked() {
  if (running || !(sending || receiving) || !Configured(socket, remote)) return;
  stopRequested = false;
  byeOnStop = false;
  nextReportMs = platform::GetTickCount() + NextIntervalMs(true, sending);
  wakeup.Clear();
  ended.Reset();
  thread = platform::Thread::CreateSuspended(&RtcpSession::ThreadEntry, this);
  if (thread == nullptr) {
    platform::DebugPrintf("RtcpSession: no thread for RTCP\r\n");
    return;
  }
  running = true;
  if (!thread->Resume()) {
    thread->Terminate();
    delete thread;
    thread = nullptr;
    running = false;
  }
}

void RtcpSession::StopThread(std::unique_lock<std::mutex>& lock, bool bye) {
  if (!running) return;
  stopRequested = true;
  byeOnStop = bye;
  wakeup.Signal();
  errorPause.Set();
  lock.unlock();
  ended.Wait();
  lock.lock();
  delete thread;
  thread = nullptr;
  running = false;
  errorPause.Reset();
}

uint32_t RtcpSession::ThreadEntry(void* self) {
  static_cast<RtcpSession*>(self)->Run();
  return 0;
}

void RtcpSession::Run() {
  platform::SocketHandle handle;
  platform::Ipv4Endpoint localAddress;
  for (;;) {
    int32_t waitMs;
    {
      std::lock_guard<std::mutex> guard(mutex);
      if (stopRequested) break;
      handle = socket;
      localAddress = local;
      const auto left = static_cast<int32_t>(nextReportMs - platform::GetTickCount());
      waitMs = left > 0 ? left : 0;
    }
    const int32_t ready = platform::WaitReadable(handle, waitMs, &wakeup);
    if (ready > 0) {
      ReadWaiting(handle, localAddress);
    } else if (ready == 0) {
      wakeup.Clear();
    } else {
      // The socket was shut down or closed under us: rest instead of spinning, but keep the
      // timer so the call's reports resume if the host hands over a new socket.
      errorPause.Wait(waitMs < static_cast<int32_t>(kErrorPauseMs) ? static_cast<uint32_t>(waitMs) : kErrorPauseMs);
    }
    bool due;
    bool weSent;
    {
      std::lock_guard<std::mutex> guard(mutex);
      if (stopRequested) break;
      due = static_cast<int32_t>(nextReportMs - platform::GetTickCount()) <= 0;
      weSent = sending;
    }
    receiver.ExpireSilent(NtpTime::Now(), kSourceTimeoutMs);
    // Both flags are taken: a collision that RTP and RTCP both saw is one collision.
    const bool rtcpCollision = receiver.TakeCollision();
    const bool rtpCollision = reception != nullptr && reception->TakeCollision();
    if (rtcpCollision || rtpCollision) HandleCollision();
    if (due) {
      Send(Compound::kReport, true);
      const uint32_t interval = NextIntervalMs(false, weSent);
      std::lock_guard<std::mutex> guard(mutex);
      nextReportMs = platform::GetTickCount() + interval;
    }
  }
  bool bye;
  {
    std::lock_guard<std::mutex> guard(mutex);
    bye = byeOnStop;
  }
  if (bye) Send(Compound::kBye, false);
  ended.Set();
}

void RtcpSession::ReadWaiting(platform::SocketHandle handle, const platform::Ipv4Endpoint& localAddress) {
  platform::Ipv4Endpoint peer;
  {
    std::lock_guard<std::mutex> guard(mutex);
    peer = remote;
  }
  const uint32_t heard = reception != nullptr ? reception->Stats().ssrc : 0;
  receiver.SetHeardSsrc(heard);
  for (int i = 0; i < 16; ++i) {
    platform::Ipv4Endpoint from;
    const int32_t got = platform::RecvFrom(handle, receiveBuffer, static_cast<int32_t>(sizeof receiveBuffer), &from);
    if (got == 0 && from.port != 0) {
      ++droppedMalformed;  // an empty datagram (nothing waiting has no sender)
      continue;
    }
    if (got <= 0) return;
    // Our own reports coming back (a host that sends to itself) are not the peer's.
    if (platform::IsOwnEndpoint(localAddress, from)) continue;
    if (!RtcpReceiver::IsValidCompound(receiveBuffer, got)) {
      ++droppedMalformed;
      continue;
    }
    // The peer's RTCP comes from the port it was given, or from another port of its address
    // when it speaks for the source we hear or reports on our stream.
    const bool fromPeer =
        from == peer || (!strictSources && from.address == peer.address &&
                         RtcpReceiver::FromOrAbout(receiveBuffer, got, heard, sender->Ssrc()));
    if (!fromPeer) {
      ++droppedWrongSource;
      continue;
    }
    {
      std::lock_guard<std::mutex> guard(buildMutex);
      averageRtcpBytes = (got + kIpUdpBytes) / 16.0 + averageRtcpBytes * 15.0 / 16.0;
    }
    receiver.ReadRtcp(receiveBuffer, got);
  }
}

void RtcpSession::HandleCollision() {
  // The peer uses our SSRC: say BYE for it and go on with a new one.
  const uint32_t old = sender->Ssrc();
  Send(Compound::kBye, false);
  const uint32_t ssrc = sender->NewSource(old);
  receiver.SetOwnSsrc(ssrc);
  if (reception != nullptr) reception->SetOwnSsrc(ssrc);
  platform::DebugPrintf("RtcpSession: SSRC collision on %08x, now %08x\r\n", old, ssrc);
}

bool RtcpSession::Send(Compound kind, bool countSending) {
  platform::SocketHandle handle;
  platform::Ipv4Endpoint to;
  bool senderReport;
  {
    std::lock_guard<std::mutex> guard(mutex);
    handle = socket;
    to = remote;
    senderReport = sending || sentSinceReport;
    if (countSending) sentSinceReport = sending;
  }
  if (!Configured(handle, to)) return false;
  const RtcpDialect dialect = SendDialect();
  RtcpPacket packet;
  {
    std::lock_guard<std::mutex> guard(buildMutex);
    const NtpTime now = NtpTime::Now();
    const uint32_t ssrc = sender->Ssrc();
    transmitter.AddReport(&packet, senderReport, dialect, now);
    if (kind == Compound::kBye) {
      transmitter.AddSDES(&packet, ssrc, false);
      transmitter.AddBYE(&packet, ssrc, kByeReason);
    } else {
      transmitter.AddSDES(&packet, ssrc, mode_ == RtcpMode::kAuto && dialect == RtcpDialect::kLegacy);
    }
    averageRtcpBytes = (packet.GetTotalUsage() + kIpUdpBytes) / 16.0 + averageRtcpBytes * 15.0 / 16.0;
  }
  platform::SendTo(handle, packet.GetPacketData(), packet.GetTotalUsage(), to);
  ++reportsSent;
  return true;
}

int32_t RtcpSession::SendReportNow() { return Send(Compound::kReport, true) ? 0 : -1; }

int32_t RtcpSession::SendByeNow() { return Send(Compound::kBye, false) ? 0 : -1; }

double RtcpSession::IntervalSeconds(bool initial, int members, int senders, bool weSent, double averageRtcpBytes,
                                    double rtcpBytesPerSecond, double unit) {
  constexpr double kSenderShare = 0.25;
  constexpr double kReceiverShare = 0.75;
  constexpr double kCompensation = 2.71828182845904523536 - 1.5;
  const double minimum = (initial ? kMinIntervalMs / 2 : kMinIntervalMs) / 1000.0;
  double bandwidth = rtcpBytesPerSecond;
  double n = members;
  // Senders share a quarter of the RTCP bandwidth when they are few.
  if (senders <= members * kSenderShare) {
    if (weSent) {
      bandwidth *= kSenderShare;
      n = senders;
    } else {
      bandwidth *= kReceiverShare;
      n -= senders;
    }
  }
  double t = bandwidth > 0 ? averageRtcpBytes * n / bandwidth : minimum;
  if (t < minimum) t = minimum;
  return t * (unit + 0.5) / kCompensation;
}

uint32_t RtcpSession::NextIntervalMs(bool initial, bool weSent) {
  bool heard = false;
  if (reception != nullptr) heard = reception->Stats().sourceSet;
  std::lock_guard<std::mutex> guard(buildMutex);
  const int senders = (weSent ? 1 : 0) + (heard ? 1 : 0);
  const double unit = std::uniform_real_distribution<double>(0.0, 1.0)(random);
  const double seconds = IntervalSeconds(initial, 2, senders, weSent, averageRtcpBytes, kRtcpBytesPerSecond, unit);
  return static_cast<uint32_t>(seconds * 1000.0);
}

}  // namespace ve
