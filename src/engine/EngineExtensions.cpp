// The operations beside the VoiceEngine class: the G.711 law and the statistics snapshot.
#include <algorithm>
#include <cstddef>
#include <cstring>

#include "audio/PlayoutFilter.h"
#include "audio/WaveInRecorder.h"
#include "audio/WaveOutPlayer.h"
#include "codecs/G711DecoderFilter.h"
#include "codecs/G711EncoderFilter.h"
#include "rtcp/RtpReceiver.h"
#include "rtp/RtpAudioSink.h"
#include "rtp/RtpAudioSource.h"
#include "voiceengine/Extensions.h"
#include "voiceengine/VoiceEngine.h"

namespace voiceengine {

// The one place that reads the engine's members for the extension operations.
struct EngineAccess {
  static int32_t SetLaw(VoiceEngine* engine, G711Law law) {
    std::lock_guard<std::recursive_mutex> api(*engine->apiLock);
    engine->useULaw = law == G711Law::kULaw;
    for (ve::AudioFilter* filter : {engine->g711Encoder, engine->g711Decoder}) {
      if (auto* encoder = dynamic_cast<ve::G711EncoderFilter*>(filter)) {
        engine->useULaw ? encoder->SetULaw() : encoder->SetALaw();
      } else if (auto* decoder = dynamic_cast<ve::G711DecoderFilter*>(filter)) {
        engine->useULaw ? decoder->SetULaw() : decoder->SetALaw();
      }
    }
    return 0;
  }

  static int32_t SetDialect(VoiceEngine* engine, RtcpDialect dialect) {
    std::lock_guard<std::recursive_mutex> api(*engine->apiLock);
    if (!engine->initialized) return -1;
    ve::RtcpMode mode = ve::RtcpMode::kAuto;
    if (dialect == RtcpDialect::kStandard) mode = ve::RtcpMode::kStandard;
    if (dialect == RtcpDialect::kLegacy) mode = ve::RtcpMode::kLegacy;
    engine->rtpSender->SetRtcpMode(mode);
    return 0;
  }

  static int32_t SetStrict(VoiceEngine* engine, bool strict) {
    std::lock_guard<std::recursive_mutex> api(*engine->apiLock);
    if (!engine->initialized) return -1;
    engine->rtpSource->Gate().SetLatchAllowed(!strict);
    engine->rtpSender->Rtcp().SetStrictSources(strict);
    return 0;
  }

  static int32_t Read(VoiceEngine* engine, CallStatistics* out) {
    std::lock_guard<std::recursive_mutex> api(*engine->apiLock);
    if (!engine->initialized) return -1;
    out->codecType = engine->codecType;
    out->uLaw = engine->useULaw;
    out->sending = engine->sending;
    out->receiving = engine->receiving;

    ve::RtpReceiverStats received = engine->rtpReceiver->Stats();
    ve::RtpAudioSink::CallFigures sent;
    engine->rtpSender->ReadCallFigures(&sent, received.sourceSet ? received.ssrc : 0);
    out->rtpPacketsSent = sent.packetsSent;
    out->rtpBytesSent = sent.payloadBytesSent;
    out->rtcpReportsSent = sent.reportsSent;
    out->rtcpReportsReceived = static_cast<uint64_t>(std::max(0, sent.reportsReceived));
    out->roundTripMs = sent.rttMs;
    out->oneWayDelayMs = sent.delayMs;
    std::memcpy(out->remoteCname, sent.remoteCname, sizeof out->remoteCname);
    out->localSsrc = sent.localSsrc;
    out->rtcpSendDialect = static_cast<int32_t>(sent.sendDialect);
    out->rtcpPeerDialect = static_cast<int32_t>(sent.peerDialect);
    out->peerReported = sent.peerReported;
    out->peerFractionLost = sent.peerFractionLost / 256.0;
    out->peerPacketsLost = sent.peerCumulativeLost;
    out->peerJitterMs = sent.peerJitterMs;

    if (received.sourceSet) {
      out->rtpPacketsReceived = received.packetsReceived;
      out->rtpBytesReceived = received.payloadBytes;
      out->remoteSsrc = received.ssrc;
      out->jitterMs = received.JitterMs();
      // Duplicates count as received, so a clean call may come out below zero: it lost nothing.
      out->packetsLost = received.cumulativeLost < 0 ? 0 : received.cumulativeLost;
      if (received.expected > 0) out->fractionLost = double(out->packetsLost) / double(received.expected);
    }

    const ve::RtpSourceGate& gate = engine->rtpSource->Gate();
    out->droppedWrongSource = gate.DropCount(ve::RtpDrop::kWrongSource);
    out->droppedMalformed = gate.DropCount(ve::RtpDrop::kMalformed);
    out->droppedUnknownPayloadType = gate.DropCount(ve::RtpDrop::kUnknownPayloadType);
    out->droppedOnProbation = gate.DropCount(ve::RtpDrop::kOnProbation);
    out->droppedDuplicate = gate.DropCount(ve::RtpDrop::kDuplicate);
    out->sourceLatched = gate.Latched();
    out->rtcpDroppedWrongSource = engine->rtpSender->Rtcp().DroppedWrongSource();
    out->rtcpDroppedMalformed = engine->rtpSender->Rtcp().DroppedMalformed();

    out->inputPeak = engine->sending ? engine->capture->LastPeak() : 0;
    out->outputPeak = engine->receiving ? engine->playback->LastPeak() : 0;
    out->speakerQueueMs = engine->receiving ? static_cast<int32_t>(engine->playback->QueueDepth()) * 10 : 0;
    out->speakerUnderruns = engine->playback->Underruns();

    const ve::PlayoutCoreStats playout = engine->playout->Core().Stats();
    out->playoutDepthMs = playout.bufferedMs;
    out->playoutTargetMs = playout.targetMs;
    out->playoutRepeats = static_cast<uint64_t>(playout.concealedMs * 8);
    out->playoutConcealedMs = static_cast<uint64_t>(playout.concealedMs);
    out->playoutDrops = static_cast<uint64_t>(playout.lateFrames);
    out->playoutRebuffers = static_cast<uint64_t>(playout.rebuffers);
    out->playoutGapMarkers = static_cast<uint64_t>(playout.silenceMs / 10);
    out->playoutComfortNoiseMs = static_cast<uint64_t>(playout.comfortNoiseMs);
    out->playoutTimeScaledMs = static_cast<uint64_t>(playout.timeScaledMs);
    out->playoutDelayChanges = static_cast<uint64_t>(playout.delayChanges);
    return 0;
  }
};

int32_t SetG711Law(VoiceEngine* engine, G711Law law) {
  if (engine == nullptr) return -1;
  return EngineAccess::SetLaw(engine, law);
}

int32_t SetRtcpDialect(VoiceEngine* engine, RtcpDialect dialect) {
  if (engine == nullptr) return -1;
  return EngineAccess::SetDialect(engine, dialect);
}

int32_t SetStrictSourceCheck(VoiceEngine* engine, bool strict) {
  if (engine == nullptr) return -1;
  return EngineAccess::SetStrict(engine, strict);
}

// The first released CallStatistics ended with peerJitterMs; a host's structure is never shorter.
constexpr size_t kFirstStatisticsSize = offsetof(CallStatistics, peerJitterMs) + sizeof(double);

int32_t GetStatistics(VoiceEngine* engine, CallStatistics* out) {
  if (engine == nullptr || out == nullptr) return -1;
  // Only the size is read before it is known how far the caller's structure reaches.
  uint32_t callerSize = 0;
  std::memcpy(&callerSize, out, sizeof callerSize);
  if (callerSize < kFirstStatisticsSize) return -1;
  CallStatistics figures;
  const int32_t result = EngineAccess::Read(engine, &figures);
  if (result != 0) return result;
  const size_t copied = std::min<size_t>(callerSize, sizeof figures);
  std::memcpy(reinterpret_cast<char*>(out) + sizeof callerSize,
              reinterpret_cast<const char*>(&figures) + sizeof callerSize, copied - sizeof callerSize);
  return 0;
}

}  // namespace voiceengine
