#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "codecs/FormatDecoder.h"

namespace ve {

// Microsoft ADPCM (tag 2), 4 bits per sample. Each block starts with, per channel, a
// predictor index, the initial step, and the second and first samples; the codes follow,
// channels interleaved, high nibble first. Each sample is predicted from the two before it
// with the block's coefficient pair.
class MsAdpcmDecoder : public FormatDecoder {
 public:
  // Null unless the block holds at least the channel headers. The coefficient table comes
  // from the extension when it is there whole, otherwise it is the standard seven pairs
  // (which every common encoder writes).
  static std::unique_ptr<FormatDecoder> Create(const FormatView& view);

  void Decode(const uint8_t* in, uint32_t blocks, float* out) override;

 private:
  struct Coefficients {
    int32_t first;
    int32_t second;
  };

  MsAdpcmDecoder(uint16_t channels, uint32_t blockBytes, uint32_t framesPerBlock, std::vector<Coefficients> table);

  std::vector<Coefficients> coefficients;  // fixed at creation
};

}  // namespace ve
