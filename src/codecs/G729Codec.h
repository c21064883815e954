#pragma once

#include <cstdint>

#include "codecs/AudioCodec.h"
#include "codecs/g729/G729Decoder.h"
#include "codecs/g729/G729Encoder.h"

namespace ve {

// G.729 Annex A at 8 kbit/s: each 10 ms block of 80 little-endian 16-bit samples (160 bytes)
// becomes one 10-byte frame in the RTP payload layout, and back. Each codec object has its own
// encoder and decoder state, freshly initialised at construction, so calls and engines never
// share coder state. Nothing is allocated per frame.
//
// Output is bounded by the capacity passed in `outLength`: only as many whole blocks or frames
// are coded as fit; a trailing partial block or frame is ignored. Encode and Decode always
// return 0.
//
// Threads: Encode and Decode touch disjoint state, so one thread may encode while another
// decodes; two threads must not both encode (or both decode) on one object. No lock.
class G729Codec : public AudioCodec {
 public:
  static constexpr int32_t kBlockBytes = 160;
  static constexpr int32_t kFrameBytes = 10;

  G729Codec() = default;
  ~G729Codec() override = default;

  int32_t Encode(const uint8_t* in, int32_t inLength, uint8_t* out, int32_t& outLength) override;
  int32_t Decode(const uint8_t* in, int32_t inLength, uint8_t* out, int32_t& outLength) override;

 private:
  g729::G729Encoder encoder;
  g729::G729Decoder decoder;
};

}  // namespace ve
