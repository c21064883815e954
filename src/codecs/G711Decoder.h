#pragma once

#include <memory>

#include "codecs/FormatDecoder.h"

namespace ve {

// A-law and u-law, one byte per sample, through the G.711 tables of G711Codec.
class G711Decoder : public FormatDecoder {
 public:
  // Null unless the block alignment is one byte per channel and the bit depth is 8 (or left
  // at 0 by the old short format record).
  static std::unique_ptr<FormatDecoder> Create(const FormatView& view);

  void Decode(const uint8_t* in, uint32_t blocks, float* out) override;

 private:
  G711Decoder(uint16_t channels, bool aLaw);

  bool aLaw;
};

}  // namespace ve
