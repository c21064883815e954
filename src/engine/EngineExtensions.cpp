// The operations beside the VoiceEngine class: the G.711 law and the statistics snapshot.
#include <algorithm>
#include <cstring>

#include "audio/SsrcSelectorFilter.h"
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

  static int32_t Read(VoiceEngine* engine, CallStatistics* out) {
    std::lock_guard<std::recursive_mutex> api(*engine->apiLock);
    if (!engine->initialized) return -1;
    *out = CallStatistics{};
    out->codecType = engine->codecType;
    out->uLaw = engine->useULaw;
    out->sending = engine->sending;
    out->receiving = engine->receiving;

    ve::RtpAudioSink::CallFigures sent;
    engine->rtpSender->ReadCallFigures(&sent);
    out->rtpPacketsSent = sent.packetsSent;
    out->rtpBytesSent = sent.payloadBytesSent;
    out->rtcpReportsSent = sent.reportsSent;
    out->rtcpReportsReceived = static_cast<uint64_t>(std::max(0, sent.reportsReceived));
    out->roundTripMs = sent.rttMs;
    out->oneWayDelayMs = sent.delayMs;
    std::memcpy(out->remoteCname, sent.remoteCname, sizeof out->remoteCname);

    ve::RtpAudioSource::ReceptionFigures received;
    engine->rtpSource->ReadReceptionFigures(&received);
    out->rtpPacketsReceived = received.packets;
    out->rtpBytesReceived = received.payloadBytes;
    out->remoteSsrc = received.ssrc;
    if (received.expected > 0) {
      out->packetsLost = static_cast<int64_t>(received.expected) - static_cast<int64_t>(received.receivedOfSource);
      if (out->packetsLost < 0) out->packetsLost = 0;  // duplicates
      out->fractionLost = double(out->packetsLost) / double(received.expected);
    }
    // The reception record exists from SetRemote to StopSending; apiLock keeps it alive here.
    if (engine->rtpReceiver != nullptr) out->jitterMs = engine->rtpReceiver->Jitter() / 16.0;

    out->inputPeak = engine->sending ? engine->capture->LastPeak() : 0;
    out->outputPeak = engine->receiving ? engine->playback->LastPeak() : 0;

    ve::PlayoutStats playout = engine->ssrcSelector->Stats();
    out->playoutDepthMs = std::max(0, engine->ssrcSelector->CurrentDepthMs());
    out->playoutRepeats = static_cast<uint64_t>(playout.repeated);
    out->playoutDrops = static_cast<uint64_t>(playout.lateDropped + playout.overflowDropped);
    out->playoutRebuffers = static_cast<uint64_t>(playout.rebuffers);
    out->playoutGapMarkers = static_cast<uint64_t>(playout.gapMarkers);
    return 0;
  }
};

int32_t SetG711Law(VoiceEngine* engine, G711Law law) {
  if (engine == nullptr) return -1;
  return EngineAccess::SetLaw(engine, law);
}

int32_t GetStatistics(VoiceEngine* engine, CallStatistics* out) {
  if (engine == nullptr || out == nullptr) return -1;
  return EngineAccess::Read(engine, out);
}

}  // namespace voiceengine
