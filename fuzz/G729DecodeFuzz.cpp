// Arbitrary bytes as a G.729 payload: G729Codec::Decode must decode whole frames only, stay
// within the capacity it is given, never read uninitialised state (two fresh decoders agree)
// and keep decoding after any input.
//
// Then the same bytes as a received stream, one 10 ms step at a time: each step's first byte
// picks a speech frame (the next 10 bytes), a SID frame (the next 0 to 3 bytes; only 2 is a
// SID), a lost frame or a frame not sent, and whether the output has room for a block. Every
// call must write one whole block or nothing, as its result says, and two decoders agree.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "codecs/G729Codec.h"

namespace {

constexpr int32_t kCapacity = 3200;  // one pooled sample
constexpr int32_t kBlock = ve::G729Codec::kBlockBytes;
constexpr int kMaxSteps = 1000;

// One step of the stream on `codec`; returns the bytes it consumed after the step byte.
size_t Step(ve::G729Codec& codec, uint8_t op, const uint8_t* data, size_t left, uint8_t* out, int32_t& outLength,
            int32_t& result) {
  outLength = (op & 0x80) ? kBlock - 1 : kBlock;
  switch (op & 3) {
    case 0: {
      const size_t length = left < 10 ? left : 10;
      result = codec.Decode(data, static_cast<int32_t>(length), out, outLength);
      return length;
    }
    case 1: {
      const size_t wanted = (op >> 2) & 3;
      const size_t length = left < wanted ? left : wanted;
      result = codec.DecodeSid(data, static_cast<int32_t>(length), out, outLength);
      return length;
    }
    case 2:
      result = codec.DecodeErased(out, outLength);
      return 0;
    default:
      result = codec.DecodeNoData(out, outLength);
      return 0;
  }
}

void RunStream(const uint8_t* data, size_t size) {
  static uint8_t first[kBlock + 16];
  static uint8_t second[kBlock + 16];
  ve::G729Codec a;
  ve::G729Codec b;
  size_t at = 0;
  for (int steps = 0; at < size && steps < kMaxSteps; ++steps) {
    const uint8_t op = data[at++];
    std::memset(first, 0xA5, sizeof(first));
    std::memset(second, 0x5A, sizeof(second));
    int32_t lengthA = 0, lengthB = 0, resultA = 0, resultB = 0;
    const size_t used = Step(a, op, data + at, size - at, first, lengthA, resultA);
    Step(b, op, data + at, size - at, second, lengthB, resultB);
    at += used;

    const bool room = (op & 0x80) == 0;
    const bool speech = (op & 3) == 0;
    const bool badSid = (op & 3) == 1 && used != 2;
    const int32_t expectedResult = speech ? 0
                                   : badSid ? ve::G729Codec::kDecodeBadSid
                                   : room   ? ve::G729Codec::kDecodeOk
                                            : ve::G729Codec::kDecodeNoRoom;
    const int32_t expectedLength = speech ? (room && used == 10 ? kBlock : 0) : (expectedResult == 0 ? kBlock : 0);
    if (resultA != expectedResult || resultB != expectedResult) std::abort();
    if (lengthA != expectedLength || lengthB != expectedLength) std::abort();
    if (std::memcmp(first, second, static_cast<size_t>(lengthA)) != 0) std::abort();
    for (int32_t i = lengthA; i < kBlock + 16; ++i) {
      if (first[i] != 0xA5) std::abort();
    }
  }
}

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

  RunStream(data, size);
  return 0;
}
