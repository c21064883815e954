#pragma once

#include <cstdint>

namespace ve::platform {

// Suspends the calling thread for at least ms milliseconds.
void Sleep(uint32_t ms);

// Milliseconds on a monotonic clock; wraps around after 2^32 ms like a 32-bit tick counter.
uint32_t GetTickCount();

// The wall-clock time as 100-nanosecond intervals since 1 January 1601 (UTC).
uint64_t GetSystemTimeAsFileTime();

}  // namespace ve::platform
