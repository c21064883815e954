#include "codecs/ImaAdpcmDecoder.h"

namespace ve {

namespace {

constexpr int kMaxStepIndex = 88;

constexpr int16_t kStepSizes[kMaxStepIndex + 1] = {
    7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,    21,    23,    25,    28,
    31,    34,    37,    41,    45,    50,    55,    60,    66,    73,    80,    88,    97,    107,   118,
    130,   143,   157,   173,   190,   209,   230,   253,   279,   307,   337,   371,   408,   449,   494,
    544,   598,   658,   724,   796,   876,   963,   1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,
    2272,  2499,  2749,  3024,  3327,  3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,
    9493,  10442, 11487, 12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};

constexpr int kIndexAdjust[8] = {-1, -1, -1, -1, 2, 4, 6, 8};

}  // namespace

ImaAdpcmDecoder::ImaAdpcmDecoder(uint16_t channelCount, uint32_t bytesPerBlock, uint32_t framesInBlock)
    : FormatDecoder(channelCount, bytesPerBlock, framesInBlock) {}

std::unique_ptr<FormatDecoder> ImaAdpcmDecoder::Create(const FormatView& view) {
  uint32_t headers = 4u * view.channels;
  if ((view.bits != 4 && view.bits != 0) || view.blockAlign < headers) return nullptr;
  // Eight samples per 4-byte group per channel, plus the one in the header.
  uint32_t frames = (view.blockAlign - headers) / headers * 8 + 1;
  if (view.extraSize >= 2) {
    uint32_t declared = view.extra[0] | (view.extra[1] << 8);
    if (declared >= 1 && declared <= frames) frames = declared;
  }
  return std::unique_ptr<FormatDecoder>(new ImaAdpcmDecoder(view.channels, view.blockAlign, frames));
}

void ImaAdpcmDecoder::Decode(const uint8_t* in, uint32_t blocks, float* out) {
  size_t blockValues = static_cast<size_t>(FramesPerBlock()) * Channels();
  for (uint32_t b = 0; b < blocks; ++b, in += BlockBytes(), out += blockValues) {
    for (uint16_t c = 0; c < Channels(); ++c) DecodeChannel(in, c, out);
  }
}

void ImaAdpcmDecoder::DecodeChannel(const uint8_t* block, uint16_t channel, float* out) const {
  const uint16_t channels = Channels();
  const uint8_t* header = block + 4 * channel;
  int value = static_cast<int16_t>(header[0] | (header[1] << 8));
  int index = header[2];
  if (index > kMaxStepIndex) index = 0;  // a corrupt index restarts the adaptation
  const uint8_t* code = block + 4 * channels + 4 * channel;
  const uint32_t skip = 4u * (channels - 1);  // the other channels' groups

  out[channel] = value / 32768.0f;
  for (uint32_t i = 1; i < FramesPerBlock(); ++i) {
    int nibble;
    if (i & 1) {
      nibble = *code & 0x0F;
    } else {
      nibble = *code++ >> 4;
      if ((i & 7) == 0) code += skip;
    }
    int step = kStepSizes[index];
    int magnitude = nibble & 7;
    index += kIndexAdjust[magnitude];
    if (index < 0) index = 0;
    if (index > kMaxStepIndex) index = kMaxStepIndex;

    // step × (magnitude + 1/2) / 4, computed with the shifts every decoder uses so that the
    // rounding matches theirs bit for bit.
    int diff = step >> 3;
    if (magnitude & 4) diff += step;
    if (magnitude & 2) diff += step >> 1;
    if (magnitude & 1) diff += step >> 2;
    if (nibble & 8) {
      value -= diff;
      if (value < -32768) value = -32768;
    } else {
      value += diff;
      if (value > 32767) value = 32767;
    }
    out[static_cast<size_t>(i) * channels + channel] = value / 32768.0f;
  }
}

}  // namespace ve
