#include "codecs/g729/G729Bitstream.h"

#include "codecs/g729/G729Tables.h"

namespace ve::g729 {

void PackFrame(const int* params, uint8_t* out) {
  uint32_t acc = 0;  // bits not yet written, right-aligned
  int bits = 0;
  int pos = 0;
  for (int p = 0; p < kParamCount; ++p) {
    const int width = kParamBits[p];
    acc = (acc << width) | (static_cast<uint32_t>(params[p]) & ((1u << width) - 1));
    bits += width;
    while (bits >= 8) {
      bits -= 8;
      out[pos++] = static_cast<uint8_t>(acc >> bits);
    }
  }
}

void UnpackFrame(const uint8_t* in, int* params) {
  uint32_t acc = 0;
  int bits = 0;
  int pos = 0;
  for (int p = 0; p < kParamCount; ++p) {
    const int width = kParamBits[p];
    while (bits < width) {
      acc = (acc << 8) | in[pos++];
      bits += 8;
    }
    bits -= width;
    params[p] = static_cast<int>((acc >> bits) & ((1u << width) - 1));
  }
}

void UnpackSid(const uint8_t* in, int* params) {
  const int bits = (in[0] << 8) | in[1];
  params[0] = bits >> 15;
  params[1] = (bits >> 10) & 31;
  params[2] = (bits >> 6) & 15;
  params[3] = (bits >> 1) & 31;
}

}  // namespace ve::g729
