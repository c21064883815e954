#include "rtp/RtpAudioSource.h"

#include <cstring>
#include <mutex>

#include "framework/AudioSample.h"
#include "framework/AudioSamplePool.h"
#include "platform/Clock.h"
#include "platform/DebugOutput.h"
#include "platform/Thread.h"
#include "rtcp/RtpReceiver.h"
#include "rtp/PayloadTypes.h"
#include "rtp/RtpPacket.h"

namespace ve {

namespace {


}  // namespace

RtpAudioSource::RtpAudioSource() = default;

RtpAudioSource::~RtpAudioSource() {
  receiving = false;
  { std::lock_guard<platform::CriticalSection> guard(lock); }
  // An owner that forgot to stop the worker must not leave it waiting on a freed object.
  Stop();
}

platform::SocketHandle RtpAudioSource::SetRtpSocket(platform::SocketHandle socket) {
  std::lock_guard<platform::CriticalSection> guard(lock);
  localEndpoint = platform::Ipv4Endpoint{};
  platform::LocalEndpoint(socket, &localEndpoint);
  rtpSocket = socket;
  return socket;
}

platform::SocketHandle RtpAudioSource::SetRtcpSocket(platform::SocketHandle socket) {
  rtcpSocket = socket;
  return socket;
}

void RtpAudioSource::SetRtpReceiver(RtpReceiver* receiver) {
  std::lock_guard<platform::CriticalSection> guard(receiverLock);
  rtpReceiver = receiver;
}

int32_t RtpAudioSource::StopReceiving() {
  std::lock_guard<platform::CriticalSection> guard(lock);
  receiving = false;
  wakeup.Signal();
  return 0;
}

int32_t RtpAudioSource::GetLocalPort(uint16_t* port) {
  if (port != nullptr) *port = localPort[1];
  return 0;
}

int32_t RtpAudioSource::SetLocalPort(uint16_t port) {
  localPort[1] = port;
  return 0;
}

int32_t RtpAudioSource::Stop() {
  stopSignalled = true;
  wakeup.Signal();
  return AudioSource::Stop();
}

int32_t RtpAudioSource::OnThreadStart(platform::Thread* thread, uint32_t) {
  std::lock_guard<platform::CriticalSection> guard(lock);
  if (thread != nullptr) thread->SetPriority(platform::Thread::kTimeCritical);
  wakeup.Clear();
  stopSignalled = false;
  receiving = true;
  pollMode = false;
  return 0;
}

int32_t RtpAudioSource::OnThreadEnd(platform::Thread*, uint32_t) {
  std::lock_guard<platform::CriticalSection> guard(lock);
  receiving = false;
  pollMode = true;
  // Gives the components downstream time to finish with the last samples of the call.
  platform::Sleep(250);
  return 0;
}

int32_t RtpAudioSource::OnOpen() {
  std::lock_guard<platform::CriticalSection> guard(lock);
  if (receiving) return -10;
  wakeup.Clear();
  stopSignalled = false;
  receiving = true;
  return 0;
}

int32_t RtpAudioSource::OnClose() {
  std::lock_guard<platform::CriticalSection> guard(lock);
  if (!receiving) return -10;
  receiving = false;
  pollMode = true;
  return 0;
}

int32_t RtpAudioSource::WaitForDatagram() {
  const platform::SocketHandle socket = rtpSocket;
  if (!receiving || socket == platform::kInvalidSocket) return -10;
  if (pollMode) {
    for (;;) {
      int32_t ready = platform::WaitReadable(socket, 0, nullptr);
      if (ready <= 0) return ready;
      int32_t got = ReadDatagram(socket);
      if (got != 0) return got;  // an empty datagram or one of our own: look again
    }
  }
  for (;;) {
    if (!receiving || stopSignalled) return 0;
    int32_t ready = platform::WaitReadable(socket, -1, &wakeup);
    if (ready < 0) {
      platform::DebugPrintf("RtpAudioSource: the RTP socket failed or was shut down: receiving ends\r\n");
      return ready;
    }
    if (ready == 0) {
      // Woken: the loop head decides whether that was a stop.
      wakeup.Clear();
      continue;
    }
    int32_t got = ReadDatagram(socket);
    if (got != 0) return got;
  }
}

int32_t RtpAudioSource::ReadDatagram(platform::SocketHandle socket) {
  receivedFrom = platform::Ipv4Endpoint{};
  int32_t got = platform::RecvFrom(socket, receiveBuffer, kReceiveBytes, &receivedFrom);
  platform::DebugPrintf("inlen:%d \r\n", got);
  // An empty datagram has a sender; "nothing waiting" has none.
  if (got == 0 && receivedFrom.port != 0) gate.CountMalformed();
  // Our own packets coming back (a host that sends to itself) are nobody's speech.
  if (got > 0 && platform::IsOwnEndpoint(localEndpoint, receivedFrom)) return 0;
  return got;
}

RtpPacket* RtpAudioSource::NextPlayable() {
  for (;;) {
    int32_t got;
    bool judged = false;
    if (pendingLength > 0) {
      // The packet that ended its source's probation, held back for the one before it.
      std::memcpy(receiveBuffer, pendingBuffer, static_cast<size_t>(pendingLength));
      got = pendingLength;
      pendingLength = 0;
      judged = true;
    } else {
      got = WaitForDatagram();
      if (got < 1) return nullptr;
    }
    RtpPacket* packet = RtpPacket::Parse(receiveBuffer, got);
    if (packet == nullptr) {
      gate.CountMalformed();
      continue;
    }
    RtpSourceGate::Verdict verdict =
        judged ? RtpSourceGate::Verdict::kPlay : gate.Judge(*packet, receiveBuffer, got, receivedFrom);
    if (verdict == RtpSourceGate::Verdict::kDropped) {
      delete packet;
      continue;
    }
    if (!judged && verdict == RtpSourceGate::Verdict::kPlay) {
      // A source that just passed probation: the packet that began it comes first.
      std::memcpy(pendingBuffer, receiveBuffer, static_cast<size_t>(got));
      const int32_t held = gate.TakeHeld(receiveBuffer, kReceiveBytes);
      if (held > 0) {
        pendingLength = got;
        delete packet;
        packet = RtpPacket::Parse(receiveBuffer, held);
        if (packet == nullptr) continue;
      }
    }
    {
      std::lock_guard<platform::CriticalSection> guard(receiverLock);
      if (rtpReceiver != nullptr) rtpReceiver->Receive(*packet);
    }
    if (verdict == RtpSourceGate::Verdict::kCountOnly) {
      delete packet;
      continue;
    }
    return packet;
  }
}

int32_t RtpAudioSource::ProduceSample(AudioSample** out) {
  *out = nullptr;
  AudioSample* sample = nullptr;
  AudioSamplePool* pool = AudioSamplePool::Instance();
  if (pool == nullptr || pool->Get(&sample) != 0 || sample == nullptr) return -20;
  WAVEFORMATEX format;
  sample->SetFormat(GetStandardFormat(&format, kFormatPcm16));
  sample->SetSilenceMs(kGapMs);
  sample->SetDataSize(0);

  RtpPacket* packet = NextPlayable();
  if (packet == nullptr) {
    sample->Release();
    return -10;
  }
  const int32_t payloadBytes = packet->PayloadUsage();
  std::memcpy(sample->Data(), packet->Payload(), static_cast<size_t>(payloadBytes));
  sample->SetDataSize(payloadBytes);
  sample->SetSilenceMs(0);
  sample->SetPacket(packet);

  // Only payload types of the table get here.
  const PayloadTypeInfo* type = FindPayloadType(packet->PayloadType());
  int32_t formatNumber = type != nullptr ? type->formatNumber : kFormatPcm16;
  if (packet->PayloadType() == kPayloadG723) {
    formatNumber = packet->PayloadUsage() % 20 != 0 ? kFormatG723_64 : kFormatG723_53;
  } else if (type == nullptr || !type->audio) {
    // Comfort noise: a gap marker that keeps its packet.
    sample->SetDataSize(0);
    sample->SetSilenceMs(kGapMs);
  }
  sample->SetFormat(GetStandardFormat(&format, formatNumber));
  *out = sample;
  return 0;
}

}  // namespace ve

