#include "codecs/G729Codec.h"

#include <algorithm>

namespace ve {

namespace {

constexpr int32_t kSamplesPerFrame = 80;

int32_t WholeUnits(int32_t length, int32_t unit) { return length > 0 ? length / unit : 0; }

void StoreBlock(const int16_t* pcm, uint8_t* block) {
  for (int32_t i = 0; i < kSamplesPerFrame; ++i) {
    const auto v = static_cast<uint16_t>(pcm[i]);
    block[2 * i] = static_cast<uint8_t>(v & 0xFF);
    block[2 * i + 1] = static_cast<uint8_t>(v >> 8);
  }
}

}  // namespace

int32_t G729Codec::Encode(const uint8_t* in, int32_t inLength, uint8_t* out, int32_t& outLength) {
  const int32_t blocks = std::min(WholeUnits(inLength, kBlockBytes), WholeUnits(outLength, kFrameBytes));
  int16_t pcm[kSamplesPerFrame];
  for (int32_t b = 0; b < blocks; ++b) {
    const uint8_t* block = in + b * kBlockBytes;
    for (int32_t i = 0; i < kSamplesPerFrame; ++i) {
      pcm[i] = static_cast<int16_t>(block[2 * i] | (block[2 * i + 1] << 8));
    }
    encoder.EncodeFrame(pcm, out + b * kFrameBytes);
  }
  outLength = blocks * kFrameBytes;
  return 0;
}

int32_t G729Codec::Decode(const uint8_t* in, int32_t inLength, uint8_t* out, int32_t& outLength) {
  const int32_t frames = std::min(WholeUnits(inLength, kFrameBytes), WholeUnits(outLength, kBlockBytes));
  int16_t pcm[kSamplesPerFrame];
  for (int32_t f = 0; f < frames; ++f) {
    decoder.DecodeFrame(in + f * kFrameBytes, pcm);
    StoreBlock(pcm, out + f * kBlockBytes);
  }
  outLength = frames * kBlockBytes;
  return 0;
}

template <typename DecodeOne>
int32_t G729Codec::DecodeBlock(DecodeOne decode, uint8_t* out, int32_t& outLength) {
  if (outLength < kBlockBytes) {
    outLength = 0;
    return kDecodeNoRoom;
  }
  int16_t pcm[kSamplesPerFrame];
  decode(pcm);
  StoreBlock(pcm, out);
  outLength = kBlockBytes;
  return kDecodeOk;
}

int32_t G729Codec::DecodeErased(uint8_t* out, int32_t& outLength) {
  return DecodeBlock([this](int16_t* pcm) { decoder.DecodeErased(pcm); }, out, outLength);
}

int32_t G729Codec::DecodeSid(const uint8_t* sid, int32_t sidLength, uint8_t* out, int32_t& outLength) {
  if (sid == nullptr || sidLength != kSidBytes) {
    outLength = 0;
    return kDecodeBadSid;
  }
  return DecodeBlock([this, sid](int16_t* pcm) { decoder.DecodeSid(sid, pcm); }, out, outLength);
}

int32_t G729Codec::DecodeNoData(uint8_t* out, int32_t& outLength) {
  return DecodeBlock([this](int16_t* pcm) { decoder.DecodeNoData(pcm); }, out, outLength);
}

}  // namespace ve
