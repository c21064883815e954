#pragma once

#include <cstdint>

namespace ve {

// Sequence-number and timestamp arithmetic of the RTP code, and bit dumps for debugging.
//
// Threads: all free functions.

constexpr uint32_t RTP_SEQ_MOD = 1u << 16;
constexpr uint64_t RTP_TIME_MOD = 1ull << 32;

// a is after b. Near the wrap, a window of 20 numbers on either side counts as after.
bool SeqGreater(uint16_t a, uint16_t b);
// a is after b. Near the wrap, a window of 1600 units on either side counts as after.
bool TimestampGreater(uint32_t a, uint32_t b);

// Debug dumps: each byte as eight '0'/'1' characters on the standard error stream, and after
// every four bytes their hex values on the standard output.
void DumpBytes(const uint8_t* data, int32_t length);
void DumpWord(const uint8_t* word);

}  // namespace ve
