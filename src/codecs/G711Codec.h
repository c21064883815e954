#pragma once

#include <cstdint>

#include "codecs/AudioCodec.h"

namespace ve {

// G.711 by table look-up: 16-bit linear PCM to 8-bit A-law or u-law codes and back. The law
// flag is 1 for A-law and 0 for u-law; a new codec is in u-law.
//
// Encoding divides each sample by 4 toward zero and looks the 14-bit result up; a negative
// sample takes the code of its magnitude with the sign bit cleared. Decoding yields the
// G.711 reconstruction value scaled to 16 bits.
//
// Threads: used only by the thread driving its filter; no lock.
class G711Codec : public AudioCodec {
 public:
  ~G711Codec() override = default;

  int32_t SetALaw() {
    aLaw = 1;
    return 0;
  }
  int32_t SetULaw() {
    aLaw = 0;
    return 0;
  }
  bool IsALaw() const { return aLaw == 1; }

  // Converts inLength / 2 samples (a trailing odd byte is ignored); -10 with outLength 0 when
  // the capacity passed in outLength is below that.
  int32_t Encode(const uint8_t* in, int32_t inLength, uint8_t* out, int32_t& outLength) override;
  // Converts every code byte into one sample; -10 with outLength 0 when 2 * inLength exceeds
  // the capacity passed in outLength.
  int32_t Decode(const uint8_t* in, int32_t inLength, uint8_t* out, int32_t& outLength) override;

  // Single-value conversions, for callers that do not work on byte buffers.
  static uint8_t LinearToALaw(int16_t sample);
  static uint8_t LinearToULaw(int16_t sample);
  static int16_t ALawToLinear(uint8_t code);
  static int16_t ULawToLinear(uint8_t code);

 private:
  int32_t aLaw = 0;
};

}  // namespace ve
