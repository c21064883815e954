#include "codecs/G711Decoder.h"

#include "codecs/G711Codec.h"

namespace ve {

G711Decoder::G711Decoder(uint16_t channelCount, bool isALaw)
    : FormatDecoder(channelCount, channelCount, 1), aLaw(isALaw) {}

std::unique_ptr<FormatDecoder> G711Decoder::Create(const FormatView& view) {
  if (view.blockAlign != view.channels || (view.bits != 8 && view.bits != 0)) return nullptr;
  return std::unique_ptr<FormatDecoder>(new G711Decoder(view.channels, view.tag == WAVE_FORMAT_ALAW));
}

void G711Decoder::Decode(const uint8_t* in, uint32_t blocks, float* out) {
  size_t count = static_cast<size_t>(blocks) * Channels();
  for (size_t i = 0; i < count; ++i) {
    int16_t linear = aLaw ? G711Codec::ALawToLinear(in[i]) : G711Codec::ULawToLinear(in[i]);
    out[i] = linear / 32768.0f;
  }
}

}  // namespace ve
