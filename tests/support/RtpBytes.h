#pragma once

// RTP packets for the receive-side tests: the fixed header.

#include <cstdint>

namespace ve::test {

// Writes the 12-byte RTP header (version 2, no padding, extension or CSRC) into `out`.
void WriteRtpHeader(uint8_t* out, uint8_t payloadType, uint16_t sequence, uint32_t timestamp, uint32_t ssrc,
                    bool marker = false);

}  // namespace ve::test
