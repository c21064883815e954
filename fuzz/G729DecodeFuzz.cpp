// Arbitrary bytes as a G.729 payload: G729Codec::Decode must decode whole frames only, stay
// within the capacity it is given, never read uninitialised state (two fresh decoders agree)
// and keep decoding after any input.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "codecs/G729Codec.h"

namespace {

constexpr int32_t kCapacity = 3200;  // one pooled sample

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static uint8_t first[kCapacity + 16];
  static uint8_t second[kCapacity + 16];
  std::memset(first, 0xA5, sizeof(first));
  std::memset(second, 0x5A, sizeof(second));

  const auto length = static_cast<int32_t>(size > 100000 ? 100000 : size);
  ve::G729Codec a;
  ve::G729Codec b;
  int32_t outA = kCapacity;
  int32_t outB = kCapacity;
  if (a.Decode(data, length, first, outA) != 0 || b.Decode(data, length, second, outB) != 0) std::abort();

  int32_t expected = length / 10 * 160;
  if (expected > kCapacity) expected = kCapacity;
  if (outA != expected || outB != expected) std::abort();
  if (std::memcmp(first, second, static_cast<size_t>(outA)) != 0) std::abort();
  for (int32_t i = kCapacity; i < kCapacity + 16; ++i) {
    if (first[i] != 0xA5) std::abort();
  }
  return 0;
}
