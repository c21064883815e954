#pragma once

#include <memory>

#include "codecs/FormatDecoder.h"

namespace ve {

// Integer PCM of 8 (unsigned), 16, 24 or 32 bits and IEEE float of 32 or 64 bits, one frame
// per block. Float values outside [-1, 1] are clipped and non-numbers become 0, so nothing
// downstream sees them.
class LinearPcmDecoder : public FormatDecoder {
 public:
  // Null unless the bit depth suits the tag and the block alignment is channels × bytes.
  static std::unique_ptr<FormatDecoder> Create(const FormatView& view);

  void Decode(const uint8_t* in, uint32_t blocks, float* out) override;

 private:
  LinearPcmDecoder(uint16_t channels, uint16_t bits, bool isFloat);

  uint16_t bits;
  bool isFloat;
};

}  // namespace ve
