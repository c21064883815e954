#include "rtp/PayloadTypes.h"

#include "framework/AudioSample.h"
#include "platform/WaveFormat.h"

namespace ve {

namespace {

constexpr PayloadTypeInfo kKnown[] = {
    {kPayloadPcmu, kFormatMuLaw, true},       {kPayloadG723, kFormatG723_64, true},
    {kPayloadPcma, kFormatALaw, true},        {kPayloadComfortNoise, kFormatPcm16, false},
    {kPayloadG729, kFormatG729, true},
};

struct TagEntry {
  uint16_t tag;
  uint8_t type;
  const char* text;
};

constexpr TagEntry kTags[] = {
    {WAVE_FORMAT_MULAW, kPayloadPcmu, "G.711 ULaw"},     {WAVE_FORMAT_ALAW, kPayloadPcma, "G.711 ALaw"},
    {WAVE_FORMAT_G729, kPayloadG729, "G.729"},           {WAVE_FORMAT_G723_53, kPayloadG723, "G.723 5.3kbps"},
    {WAVE_FORMAT_G723_64, kPayloadG723, "G.723 6.4kbps"},
};

}  // namespace

const PayloadTypeInfo* FindPayloadType(uint8_t type) {
  for (const PayloadTypeInfo& info : kKnown) {
    if (info.type == type) return &info;
  }
  return nullptr;
}

int32_t PayloadTypeOfFormatTag(uint16_t formatTag, const char** codecText) {
  for (const TagEntry& entry : kTags) {
    if (entry.tag == formatTag) {
      if (codecText != nullptr) *codecText = entry.text;
      return entry.type;
    }
  }
  if (codecText != nullptr) *codecText = nullptr;
  return -1;
}

}  // namespace ve
