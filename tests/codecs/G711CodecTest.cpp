#include "codecs/G711Codec.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <utility>
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

// Fixed points of both laws, independent of the reference quantisers.
TEST(G711Codec, KnownEncodingsAndDecodings) {
  const struct {
    int16_t x;
    uint8_t ulaw, alaw;
  } encodings[] = {{0, 0xFF, 0xD5},    {4, 0xFE, 0xD5},     {100, 0xF2, 0xD3}, {1000, 0xCE, 0xFA},
                   {32767, 0x80, 0xAA}, {-1, 0xFF, 0xD5},    {-3, 0xFF, 0xD5},  {-4, 0x7E, 0x55},
                   {-100, 0x72, 0x53},  {-1000, 0x4E, 0x7A}, {-32768, 0x00, 0x2A}};
  for (const auto& e : encodings) {
    EXPECT_EQ(G711Codec::LinearToULaw(e.x), e.ulaw) << "u-law " << e.x;
    EXPECT_EQ(G711Codec::LinearToALaw(e.x), e.alaw) << "A-law " << e.x;
  }
  for (auto [code, value] : {std::pair<uint8_t, int16_t>{0xD5, 8}, {0x55, -8}, {0xAA, 32256}, {0x2A, -32256}}) {
    EXPECT_EQ(G711Codec::ALawToLinear(code), value) << "A-law " << int{code};
  }
  for (auto [code, value] : {std::pair<uint8_t, int16_t>{0xFF, 0}, {0x7F, 0}, {0x80, 32124}, {0x00, -32124}}) {
    EXPECT_EQ(G711Codec::ULawToLinear(code), value) << "u-law " << int{code};
  }
}

TEST(G711Codec, EveryInputEncodesLikeTheQuantiserReference) {
  std::vector<uint8_t> in;
  for (int32_t x = -32768; x <= 32767; ++x) {
    in.insert(in.end(), {static_cast<uint8_t>(x), static_cast<uint8_t>(x >> 8)});
  }
  for (bool aLaw : {false, true}) {
    std::vector<uint8_t> out = Code(aLaw, true, in);
    ASSERT_EQ(out.size(), 65536u);
    int32_t mismatches = 0;
    for (int32_t x = -32768; x <= 32767; ++x) {
      uint8_t expected = ReferenceCode(aLaw, x);
      if (out[x + 32768] != expected && ++mismatches <= 5) {
        ADD_FAILURE() << (aLaw ? "A-law " : "u-law ") << x << ": got " << int{out[x + 32768]} << " expected "
                      << int{expected};
      }
    }
    EXPECT_EQ(mismatches, 0);
  }
}

TEST(G711Codec, EveryCodeDecodesToItsReconstructionValueAndReencodesToItself) {
  std::vector<uint8_t> codes(256);
  std::iota(codes.begin(), codes.end(), 0);
  for (bool aLaw : {false, true}) {
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

TEST(G711Codec, CapacityIsCheckedBeforeWriting) {
  G711Codec codec;
  std::vector<uint8_t> pcm(321, 0x10);  // 160 samples and a trailing odd byte
  std::vector<uint8_t> out(3200, 0xEE);

  int32_t length = 159;
  EXPECT_EQ(codec.Encode(pcm.data(), 320, out.data(), length), -10);
  EXPECT_EQ(length, 0);
  EXPECT_EQ(out[0], 0xEE);

  length = 160;
  EXPECT_EQ(codec.Encode(pcm.data(), 321, out.data(), length), 0);
  EXPECT_EQ(length, 160);
  EXPECT_EQ(out[160], 0xEE);

  std::vector<uint8_t> codes(1601, 0xFF);
  length = 3200;
  EXPECT_EQ(codec.Decode(codes.data(), 1600, out.data(), length), 0);
  EXPECT_EQ(length, 3200);
  length = 3200;
  out[0] = 0xEE;
  EXPECT_EQ(codec.Decode(codes.data(), 1601, out.data(), length), -10);
  EXPECT_EQ(length, 0);
  EXPECT_EQ(out[0], 0xEE);
}

}  // namespace
}  // namespace ve
