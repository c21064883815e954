#include "rtp/RtpAudioSink.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "framework/AudioSample.h"
#include "platform/DebugOutput.h"
#include "platform/Thread.h"
#include "rtcp/RtcpPacket.h"
#include "rtcp/RtcpReceiver.h"
#include "rtcp/RtcpTransmitter.h"
#include "rtcp/RtpReceiver.h"
#include "rtp/ByteOrder.h"
#include "rtp/RtpSenderState.h"

namespace ve {

namespace {

constexpr int32_t kRtpClockPerMs = 8;
const uint8_t kComfortNoisePayload[4] = {0x64, 0x00, 0x00, 0x00};
const char kByeReason[] = "Ardo Program Ended.";

}  // namespace

RtpAudioSink::RtpAudioSink() : senderState(new RtpSenderState()) {}

RtpAudioSink::~RtpAudioSink() {
  { std::lock_guard<platform::CriticalSection> guard(lock); }
  DeleteRtcp();
  delete senderState;
}

void RtpAudioSink::DeleteRtcp() {
  if (rtpReceiver != nullptr && m_prtcprecv != nullptr) rtpReceiver->SetRtcpReceiver(nullptr);
  delete m_prtcptran;
  delete m_prtcprecv;
  m_prtcptran = nullptr;
  m_prtcprecv = nullptr;
}

platform::SocketHandle RtpAudioSink::SetRtpSocket(platform::SocketHandle socket) {
  std::lock_guard<platform::CriticalSection> guard(lock);
  rtpSocket = socket;
  return socket;
}

platform::SocketHandle RtpAudioSink::SetRtcpSocket(platform::SocketHandle socket) {
  std::lock_guard<platform::CriticalSection> guard(lock);
  rtcpSocket = socket;
  return socket;
}

void RtpAudioSink::SetRtpReceiver(RtpReceiver* receiver) {
  std::lock_guard<platform::CriticalSection> guard(lock);
  if (receiver == rtpReceiver) return;
  if (rtpReceiver != nullptr && m_prtcprecv != nullptr) rtpReceiver->SetRtcpReceiver(nullptr);
  rtpReceiver = receiver;
  if (rtpReceiver != nullptr && m_prtcprecv != nullptr) rtpReceiver->SetRtcpReceiver(m_prtcprecv);
}

int32_t RtpAudioSink::SetRemote(const char* host, uint16_t rtpPort, uint16_t rtcpPort) {
  std::lock_guard<platform::CriticalSection> guard(lock);
  remoteHost = host != nullptr ? host : "";
  remotePort = rtpPort;
  remoteAddress = platform::InetAddr(remoteHost.c_str());
  remoteSockAddr.address = remoteAddress;
  remoteSockAddr.port = rtpPort;

  // A new call replaces the RTCP objects of the one before; the receive side stops using the
  // old RtcpReceiver inside SetRtcpReceiver, before it is deleted.
  DeleteRtcp();
  if (rtcpPort == 0) return 0;
  m_prtcptran = new RtcpTransmitter(remoteHost.c_str(), rtcpPort);
  m_prtcprecv = new RtcpReceiver(rtcpPort);
  if (rtcpSocket != platform::kInvalidSocket) {
    m_prtcprecv->SetSocket(rtcpSocket);
    m_prtcptran->SetSocket(rtcpSocket);
  }
  m_prtcptran->SetRtcpReceiver(m_prtcprecv);
  m_prtcptran->SetSenderState(senderState);
  if (rtpReceiver != nullptr) rtpReceiver->SetRtcpReceiver(m_prtcprecv);
  m_prtcptran->BuildCname();
  m_prtcptran->SetName("");
  m_prtcptran->SetEmail("");
  m_prtcptran->SetPhone("");
  m_prtcptran->SetLoc("");
  m_prtcptran->SetTool("");
  m_prtcptran->SetNote("");
  return 0;
}

int32_t RtpAudioSink::SetTypeOfService(uint8_t value) {
  std::lock_guard<platform::CriticalSection> guard(lock);
  if (rtpSocket == platform::kInvalidSocket) return 0;
  tos = value;
  platform::SetTypeOfService(rtpSocket, tos);  // a refusal is not reported
  return 0;
}

void RtpAudioSink::Reset() {
  senderState->Reset();
  inSilence = true;
  packetsSent = 0;
  payloadBytesSent = 0;
  reportsSent = 0;
}

void RtpAudioSink::ReadCallFigures(CallFigures* out) {
  *out = CallFigures{};
  out->packetsSent = packetsSent;
  out->payloadBytesSent = payloadBytesSent;
  out->reportsSent = reportsSent;
  std::lock_guard<platform::CriticalSection> guard(lock);
  if (m_prtcprecv == nullptr) return;
  out->reportsReceived = m_prtcprecv->ReportsReceived();
  out->rttMs = m_prtcprecv->RttBlockAverage();
  out->delayMs = out->reportsReceived > 0 ? m_prtcprecv->DelayAverage() : -1;
  std::lock_guard<platform::CriticalSection> records(m_prtcprecv->RecordsLock());
  for (int32_t i = 0; i < m_prtcprecv->getTranInfoCount(); ++i) {
    const RtpTranInfo* record = m_prtcprecv->GetTranInfo(i);
    if (record != nullptr && record->sdes[0][0] != '\0') {
      std::snprintf(out->remoteCname, sizeof out->remoteCname, "%s", record->sdes[0]);
      break;
    }
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
  int32_t type = -1;
  const char* text = nullptr;
  switch (formatTag) {
    case WAVE_FORMAT_MULAW:
      type = 0;
      text = "G.711 ULaw";
      break;
    case WAVE_FORMAT_ALAW:
      type = 8;
      text = "G.711 ALaw";
      break;
    case WAVE_FORMAT_G729:
      type = 18;
      text = "G.729";
      break;
    case WAVE_FORMAT_G723_53:
      type = 4;
      text = "G.723 5.3kbps";
      break;
    case WAVE_FORMAT_G723_64:
      type = 4;
      text = "G.723 6.4kbps";
      break;
    default:
      break;
  }
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
    payloadType = kComfortNoiseType;
    std::memcpy(sendBuffer + kHeaderBytes, kComfortNoisePayload, sizeof kComfortNoisePayload);
    length = kHeaderBytes + static_cast<int32_t>(sizeof kComfortNoisePayload);
  }

  if (length == 0) {
    senderState->AdvanceTime(increment);
    return 0;
  }
  senderState->Advance(length - kHeaderBytes, increment);

  sendBuffer[0] = 0x80;
  sendBuffer[1] = static_cast<uint8_t>(payloadType | (marker ? 0x80 : 0));
  WriteU16BE(sendBuffer + 2, senderState->Sequence());
  WriteU32BE(sendBuffer + 4, senderState->Timestamp());
  WriteU32BE(sendBuffer + 8, senderState->Ssrc());

  std::lock_guard<platform::CriticalSection> guard(lock);
  if (rtpSocket != platform::kInvalidSocket) {
    int32_t sent = platform::SendTo(rtpSocket, sendBuffer, length, remoteSockAddr);
    if (sent == length) {
      ++packetsSent;
      payloadBytesSent += static_cast<uint64_t>(length - kHeaderBytes);
    }
    platform::DebugPrintf("outlen:%d seqno:%d dataSize:%d tdata:%d\r\n", sent, senderState->Sequence(), length,
                          length - kHeaderBytes);
    if (m_prtcptran != nullptr && m_prtcptran->IsReportDue()) SendReport();
    if (m_prtcprecv != nullptr) PollRtcp();
  }
  return 0;
}

int32_t RtpAudioSink::SendReport() {
  std::lock_guard<platform::CriticalSection> guard(lock);
  if (m_prtcptran == nullptr) return -1;
  RtcpPacket packet;
  m_prtcptran->AddSR(&packet, 0);
  m_prtcptran->AddSDES(&packet, 0);
  m_prtcptran->Transmit(&packet);
  ++reportsSent;
  return 0;
}

int32_t RtpAudioSink::SendBye() {
  std::lock_guard<platform::CriticalSection> guard(lock);
  if (m_prtcptran == nullptr) return -1;
  RtcpPacket packet;
  m_prtcptran->AddSR(&packet, 0);
  m_prtcptran->AddSDES(&packet, RtcpTransmitter::kCname, 0);
  m_prtcptran->AddBYE(&packet, kByeReason, 0);
  m_prtcptran->Transmit(&packet);
  ++reportsSent;
  return 0;
}

int32_t RtpAudioSink::PollRtcp() {
  std::lock_guard<platform::CriticalSection> guard(lock);
  if (m_prtcprecv == nullptr) return -1;
  RtcpPacket* packet = m_prtcprecv->GetPacket();
  if (packet == nullptr) return -1;
  int32_t result = m_prtcprecv->ReadRtcp(packet) == 1 ? 1 : 0;
  delete packet;
  return result;
}

}  // namespace ve
