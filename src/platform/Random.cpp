#include "platform/Random.h"

#include <atomic>
#include <chrono>

#include "platform/Socket.h"

namespace ve::platform {

namespace {

// The 64-bit finaliser of a well-known counter-based generator: a bijection that spreads every
// input bit over the whole output, so inputs that differ in one bit give unrelated outputs.
uint64_t Mix64(uint64_t value) {
  value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9ULL;
  value = (value ^ (value >> 27)) * 0x94D049BB133111EBULL;
  return value ^ (value >> 31);
}

uint64_t ClockNanoseconds() {
  return static_cast<uint64_t>(std::chrono::high_resolution_clock::now().time_since_epoch().count());
}

// The fallback's start: the clock, the process id (which tells apart processes started in the
// same clock tick) and the address of a local (which differs between runs where the system
// randomises the stack).
uint64_t FallbackSeed() {
  int local = 0;
  uint64_t address = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&local));
  return Mix64(ClockNanoseconds()) ^ Mix64(address + 0x9E3779B97F4A7C15ULL) ^
         (static_cast<uint64_t>(GetProcessId()) << 32);
}

uint32_t FallbackRandom32() {
  // A Weyl sequence through Mix64: distinct states give distinct outputs, and each draw also
  // takes in the clock, so the sequence does not repeat a run that happened to start alike.
  constexpr uint64_t kGamma = 0x9E3779B97F4A7C15ULL;
  static std::atomic<uint64_t> state{FallbackSeed()};
  uint64_t current = state.fetch_add(kGamma, std::memory_order_relaxed) + kGamma;
  return static_cast<uint32_t>(Mix64(current ^ Mix64(ClockNanoseconds())) >> 32);
}

}  // namespace

uint32_t Random32() {
  uint32_t value = 0;
  if (FillRandom(&value, sizeof value)) return value;
  return FallbackRandom32();
}

}  // namespace ve::platform
