#include "support/RtpBytes.h"

namespace ve::test {

void WriteRtpHeader(uint8_t* out, uint8_t payloadType, uint16_t sequence, uint32_t timestamp, uint32_t ssrc,
                    bool marker) {
  out[0] = 0x80;
  out[1] = static_cast<uint8_t>((marker ? 0x80 : 0) | (payloadType & 0x7F));
  out[2] = static_cast<uint8_t>(sequence >> 8);
  out[3] = static_cast<uint8_t>(sequence);
  for (int i = 0; i < 4; ++i) {
    out[4 + i] = static_cast<uint8_t>(timestamp >> (24 - 8 * i));
    out[8 + i] = static_cast<uint8_t>(ssrc >> (24 - 8 * i));
  }
}

}  // namespace ve::test
