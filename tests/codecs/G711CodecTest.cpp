#include "codecs/G711Codec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <tuple>
#include <vector>

namespace ve {
namespace {

// An independent G.711 reference built from the quantiser's decision and reconstruction
// values: 8 segments of 16 intervals each, searched linearly, with no shifts or bias tricks.
struct Quantiser {
  int32_t decision[128];        // lowest magnitude of each interval
  int32_t reconstruction[128];  // value decoded for each interval
};

// u-law on 14-bit magnitudes: segment s starts at 2^(s+5) - 33 with steps of 2^(s+1); the
// first interval holds 0 alone and decodes to 0.
// A-law on 13-bit magnitudes: the first two segments step by 2 from 0, segment s >= 1 starts
// at 16 * 2^s with steps of 2^s; each interval decodes to its middle.
Quantiser Make(bool aLaw) {
  Quantiser q{};
  for (int32_t n = 0; n < 128; ++n) {
    int32_t segment = n / 16;
    if (aLaw) {
      int32_t step = segment == 0 ? 2 : 1 << segment;
      q.decision[n] = (segment == 0 ? 0 : 16 << segment) + (n % 16) * step;
      q.reconstruction[n] = q.decision[n] + step / 2;
    } else {
      int32_t step = 2 << segment;
      q.decision[n] = (32 << segment) - 33 + (n % 16) * step;
      q.reconstruction[n] = n == 0 ? 0 : q.decision[n] + step / 2;
    }
  }
  return q;
}

const Quantiser& Reference(bool aLaw) {
  static const Quantiser u = Make(false), a = Make(true);
  return aLaw ? a : u;
}

// The code for sample x by the magnitude rule: quantise |x / 4| (for A-law halved again) and
// set the sign by x's sign.
uint8_t ReferenceCode(bool aLaw, int32_t x) {
  const Quantiser& q = Reference(aLaw);
  int32_t v = x / 4;
  int32_t magnitude = (v < 0 ? -v : v) / (aLaw ? 2 : 1);
  int32_t n = 0;
  while (n < 127 && q.decision[n + 1] <= magnitude) ++n;
  if (aLaw) return static_cast<uint8_t>((v < 0 ? n : 0x80 | n) ^ 0x55);
  return static_cast<uint8_t>(v < 0 ? 0x7F - n : 0xFF - n);
}

int32_t ReferenceValue(bool aLaw, uint8_t code) {
  const Quantiser& q = Reference(aLaw);
  if (aLaw) {
    uint8_t a = code ^ 0x55;
    return (a & 0x80 ? 8 : -8) * q.reconstruction[a & 0x7F];
  }
  return (code & 0x80 ? 4 : -4) * q.reconstruction[(code & 0x80 ? 0xFF : 0x7F) - code];
}

// Encodes (2 bytes per sample in) or decodes (1 byte in) all of `in` in one call.
std::vector<uint8_t> Code(bool aLaw, bool encode, const std::vector<uint8_t>& in) {
  G711Codec codec;  // a new codec is in u-law
  if (aLaw) codec.SetALaw();
  std::vector<uint8_t> out(encode ? in.size() / 2 : in.size() * 2);
  auto length = static_cast<int32_t>(out.size());
  auto inLength = static_cast<int32_t>(in.size());
  EXPECT_EQ(encode ? codec.Encode(in.data(), inLength, out.data(), length)
                   : codec.Decode(in.data(), inLength, out.data(), length),
            0);
  EXPECT_EQ(length, static_cast<int32_t>(out.size()));
  return out;
}

// Every input encodes, and every code decodes, like the quantiser reference; every code
// re-encodes to itself.
TEST(G711Codec, EveryInputAndCodeIsCodedLikeTheQuantiserReference) {
  // Fixed points that anchor the reference itself.
  EXPECT_EQ(ReferenceCode(false, -4), 0x7E);
  EXPECT_EQ(ReferenceCode(true, 1000), 0xFA);
  EXPECT_EQ(ReferenceValue(false, 0x80), 32124);
  EXPECT_EQ(ReferenceValue(true, 0xAA), 32256);
  std::vector<uint8_t> in, codes(256);
  for (int32_t x = -32768; x <= 32767; ++x)
    in.insert(in.end(), {static_cast<uint8_t>(x), static_cast<uint8_t>(x >> 8)});
  std::iota(codes.begin(), codes.end(), 0);
  for (bool aLaw : {false, true}) {
    std::vector<uint8_t> out = Code(aLaw, true, in);
    ASSERT_EQ(out.size(), 65536u);
    int32_t mismatches = 0;
    for (int32_t x = -32768; x <= 32767; ++x) {
      if (out[x + 32768] != ReferenceCode(aLaw, x) && ++mismatches <= 5) ADD_FAILURE() << aLaw << " input " << x;
    }
    EXPECT_EQ(mismatches, 0);

    std::vector<uint8_t> values = Code(aLaw, false, codes);
    ASSERT_EQ(values.size(), 512u);
    for (int32_t code = 0; code < 256; ++code) {
      auto value = static_cast<int16_t>(values[2 * code] | (values[2 * code + 1] << 8));
      EXPECT_EQ(value, ReferenceValue(aLaw, static_cast<uint8_t>(code))) << aLaw << " code " << code;
    }
    // u-law has two zeros; the negative one comes back as the positive one.
    std::vector<uint8_t> expected = codes;
    if (!aLaw) expected[0x7F] = 0xFF;
    EXPECT_EQ(Code(aLaw, true, values), expected) << aLaw;
  }
}

// Output that would not fit is refused before anything is written; a trailing odd byte of
// PCM is ignored.
TEST(G711Codec, CapacityIsCheckedBeforeWriting) {
  G711Codec codec;
  const std::vector<uint8_t> in(1601, 0x10);
  for (auto [encode, inLength, capacity, result, written] :
       {std::tuple{true, 320, 159, -10, 0}, {true, 321, 160, 0, 160}, {false, 1600, 3200, 0, 3200},
        {false, 1601, 3201, -10, 0}}) {
    std::vector<uint8_t> out(3300, 0xEE);
    int32_t length = capacity;
    EXPECT_EQ(encode ? codec.Encode(in.data(), inLength, out.data(), length)
                     : codec.Decode(in.data(), inLength, out.data(), length), result) << inLength;
    EXPECT_EQ(length, written) << inLength;
    EXPECT_EQ(std::count(out.begin() + written, out.end(), 0xEE), 3300 - written) << inLength;
  }
}

}  // namespace
}  // namespace ve
