#include "codecs/LinearPcmDecoder.h"

#include <cmath>
#include <cstring>

namespace ve {

namespace {

float Clip(double v) {
  if (!(v >= -1.0)) return v > 0.0 ? 1.0f : (std::isnan(v) ? 0.0f : -1.0f);
  return v > 1.0 ? 1.0f : static_cast<float>(v);
}

}  // namespace

LinearPcmDecoder::LinearPcmDecoder(uint16_t channelCount, uint16_t bitDepth, bool floatingPoint)
    : FormatDecoder(channelCount, static_cast<uint32_t>(channelCount) * bitDepth / 8, 1),
      bits(bitDepth),
      isFloat(floatingPoint) {}

std::unique_ptr<FormatDecoder> LinearPcmDecoder::Create(const FormatView& view) {
  bool isFloat = view.tag == WAVE_FORMAT_IEEE_FLOAT;
  bool bitsOk = isFloat ? (view.bits == 32 || view.bits == 64)
                        : (view.bits == 8 || view.bits == 16 || view.bits == 24 || view.bits == 32);
  if (!bitsOk || view.blockAlign != view.channels * view.bits / 8) return nullptr;
  return std::unique_ptr<FormatDecoder>(new LinearPcmDecoder(view.channels, view.bits, isFloat));
}

void LinearPcmDecoder::Decode(const uint8_t* in, uint32_t blocks, float* out) {
  size_t count = static_cast<size_t>(blocks) * Channels();
  switch (isFloat ? -bits : bits) {
    case 8:
      for (size_t i = 0; i < count; ++i) out[i] = (static_cast<int>(in[i]) - 128) / 128.0f;
      break;
    case 16:
      for (size_t i = 0; i < count; ++i, in += 2) {
        out[i] = static_cast<int16_t>(in[0] | (in[1] << 8)) / 32768.0f;
      }
      break;
    case 24:
      for (size_t i = 0; i < count; ++i, in += 3) {
        // The three bytes go to the top of a 32-bit value, whose sign is then the sample's.
        uint32_t raw = (static_cast<uint32_t>(in[0]) << 8) | (static_cast<uint32_t>(in[1]) << 16) |
                       (static_cast<uint32_t>(in[2]) << 24);
        out[i] = static_cast<float>(static_cast<int32_t>(raw) / 2147483648.0);
      }
      break;
    case 32:
      for (size_t i = 0; i < count; ++i, in += 4) {
        uint32_t raw = static_cast<uint32_t>(in[0]) | (static_cast<uint32_t>(in[1]) << 8) |
                       (static_cast<uint32_t>(in[2]) << 16) | (static_cast<uint32_t>(in[3]) << 24);
        out[i] = static_cast<float>(static_cast<int32_t>(raw) / 2147483648.0);
      }
      break;
    case -32:
      for (size_t i = 0; i < count; ++i, in += 4) {
        float f;
        std::memcpy(&f, in, 4);  // the file's little-endian order is the machine's
        out[i] = Clip(f);
      }
      break;
    case -64:
      for (size_t i = 0; i < count; ++i, in += 8) {
        double d;
        std::memcpy(&d, in, 8);
        out[i] = Clip(d);
      }
      break;
    default:
      break;
  }
}

}  // namespace ve
