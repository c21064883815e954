#include "codecs/G711Codec.h"

#include <array>

namespace ve {

namespace {

constexpr int32_t kIndexCount = 16384;  // every 14-bit value x / 4 can take

// The u-law code of a non-negative 14-bit magnitude (0..8192): bias by 33, find the segment
// by the position of the top bit, keep four bits below it, invert all bits.
constexpr uint8_t ULawOfMagnitude(int32_t magnitude) {
  int32_t biased = (magnitude > 8159 ? 8159 : magnitude) + 33;
  int32_t segment = 0;
  for (int32_t limit = 0x3F; biased > limit && segment < 8; limit = (limit << 1) | 1) ++segment;
  if (segment >= 8) return 0x80;  // largest positive code
  return static_cast<uint8_t>(((segment << 4) | ((biased >> (segment + 1)) & 0xF)) ^ 0xFF);
}

// The A-law code of a non-negative 14-bit magnitude, quantised as the 13-bit value
// magnitude / 2: segment by the top bit, four bits below it, even bits inverted.
constexpr uint8_t ALawOfMagnitude(int32_t magnitude) {
  int32_t value = magnitude >> 1;
  int32_t segment = 0;
  for (int32_t limit = 0x1F; value > limit && segment < 8; limit = (limit << 1) | 1) ++segment;
  if (segment >= 8) return 0xAA;  // largest positive code
  int32_t mantissa = segment < 2 ? (value >> 1) & 0xF : (value >> segment) & 0xF;
  return static_cast<uint8_t>(((segment << 4) | mantissa) ^ 0xD5);
}

// Index i holds the code of the sample 4 * v, v being i read as a signed 14-bit value. A
// negative v takes the code of its magnitude with the sign bit cleared.
template <uint8_t (*OfMagnitude)(int32_t)>
constexpr std::array<uint8_t, kIndexCount> MakeEncodeTable() {
  std::array<uint8_t, kIndexCount> table{};
  for (int32_t i = 0; i < kIndexCount; ++i) {
    int32_t v = i < kIndexCount / 2 ? i : i - kIndexCount;
    table[i] = v >= 0 ? OfMagnitude(v) : static_cast<uint8_t>(OfMagnitude(-v) & 0x7F);
  }
  return table;
}

constexpr int16_t ALawValue(uint8_t code) {
  int32_t a = code ^ 0x55;
  int32_t value = (a & 0xF) << 4;
  int32_t segment = (a & 0x70) >> 4;
  if (segment == 0) {
    value += 8;
  } else {
    value = (value + 0x108) << (segment - 1);
  }
  return static_cast<int16_t>((a & 0x80) ? value : -value);
}

constexpr int16_t ULawValue(uint8_t code) {
  int32_t u = ~code & 0xFF;
  int32_t value = (((u & 0xF) << 3) + 0x84) << ((u & 0x70) >> 4);
  return static_cast<int16_t>((u & 0x80) ? 0x84 - value : value - 0x84);
}

template <int16_t (*Value)(uint8_t)>
constexpr std::array<int16_t, 256> MakeDecodeTable() {
  std::array<int16_t, 256> table{};
  for (int32_t code = 0; code < 256; ++code) table[code] = Value(static_cast<uint8_t>(code));
  return table;
}

constexpr std::array<uint8_t, kIndexCount> kLinearToULaw = MakeEncodeTable<ULawOfMagnitude>();
constexpr std::array<uint8_t, kIndexCount> kLinearToALaw = MakeEncodeTable<ALawOfMagnitude>();
constexpr std::array<int16_t, 256> kULawToLinear = MakeDecodeTable<ULawValue>();
constexpr std::array<int16_t, 256> kALawToLinear = MakeDecodeTable<ALawValue>();

inline uint32_t IndexOf(int16_t sample) {
  return static_cast<uint32_t>(sample / 4) & (kIndexCount - 1);  // divides toward zero
}

}  // namespace

uint8_t G711Codec::LinearToALaw(int16_t sample) { return kLinearToALaw[IndexOf(sample)]; }
uint8_t G711Codec::LinearToULaw(int16_t sample) { return kLinearToULaw[IndexOf(sample)]; }
int16_t G711Codec::ALawToLinear(uint8_t code) { return kALawToLinear[code]; }
int16_t G711Codec::ULawToLinear(uint8_t code) { return kULawToLinear[code]; }

int32_t G711Codec::Encode(const uint8_t* in, int32_t inLength, uint8_t* out, int32_t& outLength) {
  const int32_t count = inLength > 0 ? inLength / 2 : 0;
  if (outLength < count) {
    outLength = 0;
    return -10;
  }
  const uint8_t* table = aLaw == 1 ? kLinearToALaw.data() : kLinearToULaw.data();
  for (int32_t i = 0; i < count; ++i) {
    auto sample = static_cast<int16_t>(in[2 * i] | (in[2 * i + 1] << 8));  // little-endian
    out[i] = table[IndexOf(sample)];
  }
  outLength = count;
  return 0;
}

int32_t G711Codec::Decode(const uint8_t* in, int32_t inLength, uint8_t* out, int32_t& outLength) {
  const int32_t count = inLength > 0 ? inLength : 0;
  if (outLength / 2 < count) {
    outLength = 0;
    return -10;
  }
  const int16_t* table = aLaw == 1 ? kALawToLinear.data() : kULawToLinear.data();
  for (int32_t i = 0; i < count; ++i) {
    auto value = static_cast<uint16_t>(table[in[i]]);
    out[2 * i] = static_cast<uint8_t>(value & 0xFF);
    out[2 * i + 1] = static_cast<uint8_t>(value >> 8);
  }
  outLength = 2 * count;
  return 0;
}

}  // namespace ve
