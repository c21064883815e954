#pragma once

#include <cstdint>

#include "codecs/G711Codec.h"
#include "framework/AudioFilter.h"

namespace ve {

// Decodes received G.711 payloads choosing the law per sample from the RTP payload type it
// carries: 0 u-law, 8 A-law. A comfort-noise payload (type 13) passes its first 4 bytes on
// as they are; any other type fails. Each output carries a header-only copy of the input's
// packet; an input without a packet fails.
//
// Threads: Transform runs on the driving thread; the codec and lastPayloadType are touched
// only there (and by Prepare/Unprepare from the owner while nothing drives the filter).
class G711PayloadDecoderFilter : public AudioFilter {
 public:
  static constexpr uint8_t kPayloadULaw = 0;
  static constexpr uint8_t kPayloadALaw = 8;
  static constexpr uint8_t kPayloadComfortNoise = 13;

  ~G711PayloadDecoderFilter() override = default;

  int32_t Prepare() override { return 0; }
  // Forgets the last payload type.
  int32_t Unprepare() override;
  // 0, or -10 unknown payload type, -20 no packet, -30 no pool sample, or Decode's -10.
  int32_t Transform(SampleList* inputs, AudioSample** out) override;

  // The payload type of the last decoded G.711 payload (comfort noise does not count), -1
  // before the first.
  int32_t LastPayloadType() const { return lastPayloadType; }
  // What the last payload type stands for: "G.711 ULaw", "G.711 ALaw", "Unknown Type %u
  // (ERROR)", or empty before the first.
  const char* Description() const { return description; }

 private:
  G711Codec codec;
  int32_t lastPayloadType = -1;
  char description[32] = "";
};

}  // namespace ve
