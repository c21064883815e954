#include "codecs/G711PayloadDecoderFilter.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "framework/AudioSample.h"
#include "framework/AudioSamplePool.h"
#include "framework/SampleList.h"
#include "rtp/RtpPacket.h"

namespace ve {

namespace {

constexpr int32_t kComfortNoiseBytes = 4;

}  // namespace

int32_t G711PayloadDecoderFilter::Unprepare() {
  lastPayloadType = -1;
  description[0] = '\0';
  return 0;
}

int32_t G711PayloadDecoderFilter::Transform(SampleList* inputs, AudioSample** out) {
  *out = nullptr;
  AudioSample* input = inputs->First();
  if (input == nullptr) return 0;

  AudioSample* output = nullptr;
  if (AudioSamplePool::Instance()->Get(&output) != 0 || output == nullptr) return -30;
  *out = output;
  WAVEFORMATEX format;
  output->SetFormat(GetStandardFormat(&format, kFormatPcm16));

  auto* packet = dynamic_cast<RtpPacket*>(input->Packet());
  if (packet == nullptr) return -20;
  output->SetPacket(packet->CopyHeader());

  if (input->DataSize() <= 0) {
    output->SetSilenceMs(input->SilenceMs());
    return 0;
  }

  const uint8_t payloadType = packet->PayloadType();
  if (payloadType != lastPayloadType && payloadType != kPayloadComfortNoise) {
    lastPayloadType = payloadType;
    if (payloadType == kPayloadULaw) {
      std::snprintf(description, sizeof description, "G.711 ULaw");
    } else if (payloadType == kPayloadALaw) {
      std::snprintf(description, sizeof description, "G.711 ALaw");
    } else {
      std::snprintf(description, sizeof description, "Unknown Type %u (ERROR)", unsigned{payloadType});
    }
  }

  const int32_t inLength = std::min(input->DataSize(), input->Capacity());
  switch (payloadType) {
    case kPayloadULaw:
    case kPayloadALaw: {
      if (payloadType == kPayloadULaw) {
        codec.SetULaw();
      } else {
        codec.SetALaw();
      }
      int32_t length = output->Capacity();
      int32_t result = codec.Decode(input->Data(), inLength, output->Data(), length);
      output->SetDataSize(length);
      return result;
    }
    case kPayloadComfortNoise: {
      // The noise level and spectrum bytes travel on undecoded.
      const int32_t n = std::min(kComfortNoiseBytes, inLength);
      std::memcpy(output->Data(), input->Data(), static_cast<size_t>(n));
      output->SetDataSize(n);
      return 0;
    }
    default:
      return -10;
  }
}

}  // namespace ve
