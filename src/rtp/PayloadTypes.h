#pragma once

#include <cstdint>

namespace ve {

// The RTP payload types the engine knows, in one place: what each is called, which standard
// sample format (GetStandardFormat number) its payload has, its RTP clock, and the format tags
// the send side maps onto it.
struct PayloadTypeInfo {
  uint8_t type;
  const char* name;       // codec text shown when the send format changes
  int32_t formatNumber;   // standard format of the payload; comfort noise: 16-bit PCM
  int32_t clockRate;      // RTP timestamp units per second
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
