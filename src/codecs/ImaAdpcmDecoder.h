#pragma once

#include <memory>

#include "codecs/FormatDecoder.h"

namespace ve {

// IMA ADPCM (tag 0x11), 4 bits per sample. Each block starts with a 4-byte header per channel
// (first sample, step index, a reserved byte); the codes follow in 4-byte groups of eight
// samples, channel after channel, low nibble first.
class ImaAdpcmDecoder : public FormatDecoder {
 public:
  // Null unless the block holds at least the channel headers. Frames per block come from the
  // extension's samples-per-block when it is present and fits the block, otherwise from the
  // block alignment.
  static std::unique_ptr<FormatDecoder> Create(const FormatView& view);

  void Decode(const uint8_t* in, uint32_t blocks, float* out) override;

 private:
  ImaAdpcmDecoder(uint16_t channels, uint32_t blockBytes, uint32_t framesPerBlock);

  void DecodeChannel(const uint8_t* block, uint16_t channel, float* out) const;
};

}  // namespace ve
