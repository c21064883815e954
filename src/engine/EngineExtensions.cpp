// The operations beside the VoiceEngine class: the G.711 law and the statistics snapshot.
#include <algorithm>
#include <cstring>

#include "audio/SsrcSelectorFilter.h"
#include "codecs/G711DecoderFilter.h"
#include "codecs/G711EncoderFilter.h"
#include "voiceengine/Extensions.h"
#include "voiceengine/VoiceEngine.h"

namespace voiceengine {

// The one place that reads the engine's members for the extension operations.
struct EngineAccess {
  static int32_t SetLaw(VoiceEngine* engine, G711Law law) {
    std::lock_guard<std::recursive_mutex> api(engine->apiLock);
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
    std::lock_guard<std::recursive_mutex> api(engine->apiLock);
    if (!engine->initialized) return -1;
    *out = CallStatistics{};
    out->codecType = engine->codecType;
    out->uLaw = engine->useULaw;
    out->sending = engine->sending;
    out->receiving = engine->receiving;

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
