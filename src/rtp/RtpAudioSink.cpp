#include "rtp/RtpAudioSink.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "framework/AudioSample.h"
#include "platform/DebugOutput.h"
#include "platform/Thread.h"
#include "rtp/ByteOrder.h"
#include "rtp/PayloadTypes.h"
#include "rtp/RtpSenderState.h"

namespace ve {

namespace {

constexpr int32_t kRtpClockPerMs = 8;
const uint8_t kComfortNoisePayload[4] = {0x64, 0x00, 0x00, 0x00};

}  // namespace

RtpAudioSink::RtpAudioSink()
    : senderState(std::make_unique<RtpSenderState>()), rtcp(std::make_unique<RtcpSession>(senderState.get(), nullptr)) {}

RtpAudioSink::~RtpAudioSink() {
  { std::lock_guard<platform::CriticalSection> guard(lock); }
  rtcp.reset();
}

platform::SocketHandle RtpAudioSink::SetRtpSocket(platform::SocketHandle socket) {
  std::lock_guard<platform::CriticalSection> guard(lock);
  rtpSocket = socket;
  return socket;
}

platform::SocketHandle RtpAudioSink::SetRtcpSocket(platform::SocketHandle socket) {
  rtcp->SetSocket(socket);
  return socket;
}

void RtpAudioSink::SetRtpReceiver(RtpReceiver* receiver) { rtcp->SetReception(receiver); }

int32_t RtpAudioSink::SetRemote(const char* host, uint16_t rtpPort, uint16_t rtcpPort) {
  platform::Ipv4Endpoint rtcpEndpoint;
  bool changed;
  {
    std::lock_guard<platform::CriticalSection> guard(lock);
    const std::string newHost = host != nullptr ? host : "";
    changed = !remoteSet || newHost != remoteHost || rtpPort != remotePort || rtcpPort != remoteRtcpPort;
    remoteSet = true;
    remoteHost = newHost;
    remotePort = rtpPort;
    remoteRtcpPort = rtcpPort;
    remoteAddress = platform::InetAddr(remoteHost.c_str());
    remoteSockAddr.address = remoteAddress;
    remoteSockAddr.port = rtpPort;
    rtcpEndpoint.address = remoteAddress;
    rtcpEndpoint.port = rtcpPort;
  }
  // Another peer: a new stream and RTCP state; the same peer again keeps both.
  if (changed) rtcp->NewCall(rtcpEndpoint);
  return 0;
}

void RtpAudioSink::SetCallDirections(bool sendingNow, bool receivingNow) { rtcp->SetDirections(sendingNow, receivingNow); }

int32_t RtpAudioSink::SetTypeOfService(uint8_t value) {
  std::lock_guard<platform::CriticalSection> guard(lock);
  if (rtpSocket == platform::kInvalidSocket) return 0;
  tos = value;
  platform::SetTypeOfService(rtpSocket, tos);  // a refusal is not reported
  return 0;
}

void RtpAudioSink::Reset() {
  senderState->Resume();
  inSilence = true;
  packetsSent = 0;
  payloadBytesSent = 0;
}

void RtpAudioSink::ReadCallFigures(CallFigures* out, uint32_t heardSsrc) {
  *out = CallFigures{};
  out->packetsSent = packetsSent;
  out->payloadBytesSent = payloadBytesSent;
  out->reportsSent = rtcp->ReportsSent();
  out->localSsrc = senderState->Ssrc();
  out->sendDialect = rtcp->SendDialect();
  const RtcpReceiver& receiver = rtcp->Receiver();
  out->reportsReceived = receiver.ReportsReceived();
  out->rttMs = receiver.RttAverage();
  out->delayMs = receiver.DelayAverage();
  out->peerDialect = receiver.PeerDialect();
  RtpTranInfo record;
  if (heardSsrc != 0 && receiver.CopyRecord(heardSsrc, &record)) {
    std::snprintf(out->remoteCname, sizeof out->remoteCname, "%s", record.sdes[0]);
    if (record.dialect != RtcpDialect::kUndecided) out->peerDialect = record.dialect;
    out->peerReported = record.reportedAboutUs;
    out->peerFractionLost = record.fractionLost;
    out->peerCumulativeLost = record.cumulativeLost;
    out->peerJitterMs = record.jitterMs;
  }
}

int32_t RtpAudioSink::OnThreadStart(platform::Thread* thread, uint32_t) {
  std::lock_guard<platform::CriticalSection> guard(lock);
  if (thread != nullptr) thread->SetPriority(platform::Thread::kTimeCritical);
  Reset();
  sending = true;
  return 0;
}

int32_t RtpAudioSink::OnThreadEnd(platform::Thread*, uint32_t) {
  std::lock_guard<platform::CriticalSection> guard(lock);
  if (!sending) return -10;
  sending = false;
  return 0;
}

int32_t RtpAudioSink::OnOpen() {
  std::lock_guard<platform::CriticalSection> guard(lock);
  if (sending) return -10;
  Reset();
  sending = true;
  return 0;
}

int32_t RtpAudioSink::OnClose() {
  {
    std::lock_guard<platform::CriticalSection> guard(lock);
    if (!sending) return -10;
    sending = false;
  }
  lastFormatTag = -1;
  return 0;
}

int32_t RtpAudioSink::OnCodecName(const char*) { return 0; }

int32_t RtpAudioSink::RTPPayloadType(uint16_t formatTag, char* codecText, size_t capacity) {
  const char* text = nullptr;
  const int32_t type = PayloadTypeOfFormatTag(formatTag, &text);
  if (codecText != nullptr && capacity > 0) {
    if (text != nullptr) {
      std::snprintf(codecText, capacity, "%s", text);
    } else {
      std::snprintf(codecText, capacity, "WAVE_FORMAT %u (ERROR)", static_cast<unsigned>(formatTag));
    }
  }
  return type;
}

int32_t RtpAudioSink::ProcessSamples(SampleList* list) {
  AudioSample* sample = list != nullptr ? list->First() : nullptr;
  if (sample == nullptr) return 0;

  int32_t durationMs = sample->DurationMs();
  if (durationMs < 1) durationMs = sample->SilenceMs();
  const int32_t increment = durationMs * kRtpClockPerMs;

  int32_t length = 0;
  uint8_t payloadType = 0;
  bool marker = false;
  const int32_t dataSize = sample->DataSize();
  if (dataSize >= 1) {
    const uint16_t tag = sample->Format().wFormatTag;
    char codecText[64];
    int32_t type = RTPPayloadType(tag, codecText, sizeof codecText);
    if (tag != lastFormatTag) {
      lastFormatTag = tag;
      OnCodecName(codecText);
    }
    if (type < 0) {
      platform::DebugPrintf("RtpAudioSink: %s: sample not sent\r\n", codecText);
    } else if (dataSize > kMaxPayload) {
      platform::DebugPrintf("RtpAudioSink: payload of %d bytes exceeds %d: sample not sent\r\n", dataSize,
                            kMaxPayload);
    } else {
      marker = inSilence;
      inSilence = false;
      payloadType = static_cast<uint8_t>(type);
      std::memcpy(sendBuffer + kHeaderBytes, sample->Data(), static_cast<size_t>(dataSize));
      length = dataSize + kHeaderBytes;
    }
  } else if (!inSilence) {
    inSilence = true;
    payloadType = kPayloadComfortNoise;
    std::memcpy(sendBuffer + kHeaderBytes, kComfortNoisePayload, sizeof kComfortNoisePayload);
    length = kHeaderBytes + static_cast<int32_t>(sizeof kComfortNoisePayload);
  }

  if (length == 0) {
    senderState->AdvanceTime(increment);
    return 0;
  }
  const RtpSenderState::Snapshot state = senderState->Advance(length - kHeaderBytes, increment);
  const uint16_t sequence = state.sequence;

  sendBuffer[0] = 0x80;
  sendBuffer[1] = static_cast<uint8_t>(payloadType | (marker ? 0x80 : 0));
  WriteU16BE(sendBuffer + 2, state.sequence);
  WriteU32BE(sendBuffer + 4, state.timestamp);
  WriteU32BE(sendBuffer + 8, state.ssrc);

  platform::SocketHandle socket;
  platform::Ipv4Endpoint to;
  {
    std::lock_guard<platform::CriticalSection> guard(lock);
    socket = rtpSocket;
    to = remoteSockAddr;
  }
  if (socket != platform::kInvalidSocket) {
    int32_t sent = platform::SendTo(socket, sendBuffer, length, to);
    if (sent == length) {
      ++packetsSent;
      payloadBytesSent += static_cast<uint64_t>(length - kHeaderBytes);
    }
    platform::DebugPrintf("outlen:%d seqno:%d dataSize:%d tdata:%d\r\n", sent, static_cast<int>(sequence), length,
                          length - kHeaderBytes);
  }
  return 0;
}

int32_t RtpAudioSink::SendReport() { return rtcp->SendReportNow(); }

int32_t RtpAudioSink::SendBye() { return rtcp->SendByeNow(); }

}  // namespace ve
