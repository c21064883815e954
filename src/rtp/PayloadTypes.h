#pragma once

#include <cstdint>

namespace ve {

// The RTP payload types the engine knows, in one place: which standard sample format
// (GetStandardFormat number) each payload has, and the format tags the send side maps onto
// them. All run an 8 kHz RTP clock.
struct PayloadTypeInfo {
  uint8_t type;
  int32_t formatNumber;   // standard format of the payload; comfort noise: 16-bit PCM
  bool audio;             // carries coded speech (comfort noise does not)
};

constexpr uint8_t kPayloadPcmu = 0;
constexpr uint8_t kPayloadG723 = 4;
constexpr uint8_t kPayloadPcma = 8;
constexpr uint8_t kPayloadComfortNoise = 13;
constexpr uint8_t kPayloadG729 = 18;

// The entry of a payload type, or null for one the engine does not know.
const PayloadTypeInfo* FindPayloadType(uint8_t type);
// The payload type a sample of this format tag is sent as (-1 for none) and its codec text
// (for a tag without one: "WAVE_FORMAT <tag> (ERROR)").
int32_t PayloadTypeOfFormatTag(uint16_t formatTag, const char** codecText);

}  // namespace ve
