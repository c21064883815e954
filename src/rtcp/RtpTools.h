#pragma once

#include <cstdint>

namespace ve {

// Bit dumps of RTP and RTCP bytes for debugging. (Sequence and timestamp arithmetic lives in
// rtp/RtpSequence.h.)
//
// Threads: all free functions.

// Debug dumps: each byte as eight '0'/'1' characters on the standard error stream, and after
// every four bytes their hex values on the standard output.
void DumpBytes(const uint8_t* data, int32_t length);
void DumpWord(const uint8_t* word);

}  // namespace ve
