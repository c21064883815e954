#pragma once

#include <cstddef>
#include <cstdint>

namespace ve::platform {

// Fills `bytes` bytes at `buffer` from the operating system's random source; true when all of
// them were filled. Never blocks, not even early in boot before the system has gathered
// entropy, so it may be called from any thread, audio paths included. Thread-safe.
[[nodiscard]] bool FillRandom(void* buffer, size_t bytes);

// One 32-bit value drawn from FillRandom. Should the system source fail, the value comes from a
// per-process generator seeded from a high-resolution clock, the process id and an address, so
// that two processes started at the same moment still draw different sequences. Thread-safe.
uint32_t Random32();

}  // namespace ve::platform
