#pragma once

// Test-only helpers that run whole signals through the independent G.729 Annex A
// implementation used as the reference, and through our own codec. Header-only so that the
// test program and the benchmark can both use it; only they link the reference library.

extern "C" {
#include <bcg729/decoder.h>
#include <bcg729/encoder.h>
}

#include <cstdint>
#include <vector>

#include "codecs/G729Codec.h"

namespace ve::test {

inline constexpr size_t kG729FrameSamples = 80;
inline constexpr size_t kG729FrameBytes = 10;

inline std::vector<uint8_t> OracleEncode(const std::vector<int16_t>& pcm) {
  bcg729EncoderChannelContextStruct* encoder = initBcg729EncoderChannel(0);
  std::vector<uint8_t> bits;
  uint8_t frame[kG729FrameBytes];
  for (size_t at = 0; at + kG729FrameSamples <= pcm.size(); at += kG729FrameSamples) {
    uint8_t length = 0;
    bcg729Encoder(encoder, pcm.data() + at, frame, &length);
    bits.insert(bits.end(), frame, frame + kG729FrameBytes);
  }
  closeBcg729EncoderChannel(encoder);
  return bits;
}

inline std::vector<int16_t> OracleDecode(const std::vector<uint8_t>& bits) {
  bcg729DecoderChannelContextStruct* decoder = initBcg729DecoderChannel();
  std::vector<int16_t> pcm(bits.size() / kG729FrameBytes * kG729FrameSamples);
  for (size_t f = 0; f < bits.size() / kG729FrameBytes; ++f) {
    bcg729Decoder(decoder, bits.data() + f * kG729FrameBytes, kG729FrameBytes, 0, 0, 0,
                  pcm.data() + f * kG729FrameSamples);
  }
  closeBcg729DecoderChannel(decoder);
  return pcm;
}

// Little-endian byte image of PCM samples, as the codec interface takes it.
inline std::vector<uint8_t> PcmBytes(const std::vector<int16_t>& pcm) {
  std::vector<uint8_t> bytes(pcm.size() * 2);
  for (size_t i = 0; i < pcm.size(); ++i) {
    bytes[2 * i] = static_cast<uint8_t>(static_cast<uint16_t>(pcm[i]) & 0xFF);
    bytes[2 * i + 1] = static_cast<uint8_t>(static_cast<uint16_t>(pcm[i]) >> 8);
  }
  return bytes;
}

inline std::vector<int16_t> PcmSamples(const uint8_t* bytes, size_t count) {
  std::vector<int16_t> pcm(count / 2);
  for (size_t i = 0; i < pcm.size(); ++i) {
    pcm[i] = static_cast<int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  }
  return pcm;
}

inline std::vector<uint8_t> OwnEncode(G729Codec& codec, const std::vector<int16_t>& pcm) {
  const std::vector<uint8_t> in = PcmBytes(pcm);
  std::vector<uint8_t> bits(pcm.size() / kG729FrameSamples * kG729FrameBytes);
  auto length = static_cast<int32_t>(bits.size());
  codec.Encode(in.data(), static_cast<int32_t>(in.size()), bits.data(), length);
  bits.resize(static_cast<size_t>(length));
  return bits;
}

inline std::vector<int16_t> OwnDecode(G729Codec& codec, const std::vector<uint8_t>& bits) {
  std::vector<uint8_t> out(bits.size() / kG729FrameBytes * kG729FrameSamples * 2);
  auto length = static_cast<int32_t>(out.size());
  codec.Decode(bits.data(), static_cast<int32_t>(bits.size()), out.data(), length);
  return PcmSamples(out.data(), static_cast<size_t>(length));
}

inline std::vector<uint8_t> OwnEncode(const std::vector<int16_t>& pcm) {
  G729Codec codec;
  return OwnEncode(codec, pcm);
}

inline std::vector<int16_t> OwnDecode(const std::vector<uint8_t>& bits) {
  G729Codec codec;
  return OwnDecode(codec, bits);
}

}  // namespace ve::test
