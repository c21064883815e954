#include "codecs/G711Codec.h"

#include <gtest/gtest.h>

#include <cstdint>
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
Quantiser MakeULaw() {
  Quantiser q{};
  for (int32_t n = 0; n < 128; ++n) {
    int32_t segment = n / 16;
    int32_t step = 2 << segment;
    q.decision[n] = (32 << segment) - 33 + (n % 16) * step;
    q.reconstruction[n] = n == 0 ? 0 : q.decision[n] + step / 2;
  }
  return q;
}

// A-law on 13-bit magnitudes: the first two segments step by 2 from 0, segment s >= 1 starts
// at 16 * 2^s with steps of 2^s; each interval decodes to its middle.
Quantiser MakeALaw() {
  Quantiser q{};
  for (int32_t n = 0; n < 128; ++n) {
    int32_t segment = n / 16;
    int32_t step = segment == 0 ? 2 : 1 << segment;
    int32_t start = segment == 0 ? 0 : 16 << segment;
    q.decision[n] = start + (n % 16) * step;
    q.reconstruction[n] = q.decision[n] + step / 2;
  }
  return q;
}

int32_t IntervalOf(const Quantiser& q, int32_t magnitude) {
  int32_t n = 0;
  while (n < 127 && q.decision[n + 1] <= magnitude) ++n;
  return n;
}

// The code for sample x by the magnitude rule: quantise |x / 4| and set the sign by x's sign.
uint8_t ReferenceULaw(int32_t x) {
  static const Quantiser q = MakeULaw();
  int32_t v = x / 4;
  int32_t n = IntervalOf(q, v < 0 ? -v : v);
  return static_cast<uint8_t>(v < 0 ? 0x7F - n : 0xFF - n);
}

uint8_t ReferenceALaw(int32_t x) {
  static const Quantiser q = MakeALaw();
  int32_t v = x / 4;
  int32_t n = IntervalOf(q, (v < 0 ? -v : v) / 2);
  return static_cast<uint8_t>((v < 0 ? n : 0x80 | n) ^ 0x55);
}

int32_t ReferenceULawValue(uint8_t code) {
  static const Quantiser q = MakeULaw();
  int32_t value = q.reconstruction[(code & 0x80 ? 0xFF : 0x7F) - code] * 4;
  return code & 0x80 ? value : -value;
}

int32_t ReferenceALawValue(uint8_t code) {
  static const Quantiser q = MakeALaw();
  uint8_t a = code ^ 0x55;
  int32_t value = q.reconstruction[a & 0x7F] * 8;
  return a & 0x80 ? value : -value;
}

uint8_t EncodeOne(G711Codec& codec, int16_t x) {
  uint8_t in[2] = {static_cast<uint8_t>(x & 0xFF), static_cast<uint8_t>((x >> 8) & 0xFF)};
  uint8_t out = 0x5A;
  int32_t length = 1;
  EXPECT_EQ(codec.Encode(in, 2, &out, length), 0);
  EXPECT_EQ(length, 1);
  return out;
}

int16_t DecodeOne(G711Codec& codec, uint8_t code) {
  uint8_t out[2] = {0, 0};
  int32_t length = 2;
  EXPECT_EQ(codec.Decode(&code, 1, out, length), 0);
  EXPECT_EQ(length, 2);
  return static_cast<int16_t>(out[0] | (out[1] << 8));
}

// Fixed points of both laws, independent of the reference quantisers below.
TEST(G711Codec, KnownEncodingsAndDecodings) {
  G711Codec codec;  // a new codec is in u-law
  const struct {
    int16_t x;
    uint8_t code;
  } ulaw[] = {{0, 0xFF},    {4, 0xFE},    {100, 0xF2},   {1000, 0xCE},  {32767, 0x80}, {-1, 0xFF},
              {-2, 0xFF},   {-3, 0xFF},   {-4, 0x7E},    {-100, 0x72},  {-1000, 0x4E}, {-32768, 0x00}},
    alaw[] = {{0, 0xD5},    {100, 0xD3},  {1000, 0xFA},  {32767, 0xAA}, {-1, 0xD5},    {-2, 0xD5},
              {-3, 0xD5},   {-4, 0x55},   {-100, 0x53},  {-1000, 0x7A}, {-32768, 0x2A}};
  for (const auto& e : ulaw) EXPECT_EQ(EncodeOne(codec, e.x), e.code) << "u-law " << e.x;
  codec.SetALaw();
  for (const auto& e : alaw) EXPECT_EQ(EncodeOne(codec, e.x), e.code) << "A-law " << e.x;
  for (auto [code, value] : {std::pair<uint8_t, int16_t>{0xD5, 8}, {0x55, -8}, {0xAA, 32256}, {0x2A, -32256}}) {
    EXPECT_EQ(DecodeOne(codec, code), value) << "A-law " << int{code};
  }
  codec.SetULaw();
  for (auto [code, value] : {std::pair<uint8_t, int16_t>{0xFF, 0}, {0x7F, 0}, {0x80, 32124}, {0x00, -32124}}) {
    EXPECT_EQ(DecodeOne(codec, code), value) << "u-law " << int{code};
  }
}

TEST(G711Codec, EveryInputEncodesLikeTheQuantiserReference) {
  std::vector<uint8_t> in;
  for (int32_t x = -32768; x <= 32767; ++x) {
    in.push_back(static_cast<uint8_t>(x & 0xFF));
    in.push_back(static_cast<uint8_t>((x >> 8) & 0xFF));
  }
  std::vector<uint8_t> out(65536);
  for (bool aLaw : {false, true}) {
    G711Codec codec;
    if (aLaw) codec.SetALaw();
    int32_t length = static_cast<int32_t>(out.size());
    ASSERT_EQ(codec.Encode(in.data(), static_cast<int32_t>(in.size()), out.data(), length), 0);
    ASSERT_EQ(length, 65536);
    int32_t mismatches = 0;
    for (int32_t x = -32768; x <= 32767; ++x) {
      uint8_t expected = aLaw ? ReferenceALaw(x) : ReferenceULaw(x);
      if (out[x + 32768] != expected && ++mismatches <= 5) {
        ADD_FAILURE() << (aLaw ? "A-law " : "u-law ") << x << ": got " << int{out[x + 32768]} << " expected "
                      << int{expected};
      }
    }
    EXPECT_EQ(mismatches, 0);
  }
}

TEST(G711Codec, EveryCodeDecodesToItsReconstructionValueAndReencodesToItself) {
  for (bool aLaw : {false, true}) {
    G711Codec codec;
    if (aLaw) codec.SetALaw();
    for (int32_t code = 0; code < 256; ++code) {
      auto c = static_cast<uint8_t>(code);
      int16_t value = DecodeOne(codec, c);
      EXPECT_EQ(value, aLaw ? ReferenceALawValue(c) : ReferenceULawValue(c)) << aLaw << " code " << code;
      // u-law has two zeros; the negative one comes back as the positive one.
      uint8_t expected = (!aLaw && c == 0x7F) ? 0xFF : c;
      EXPECT_EQ(EncodeOne(codec, value), expected) << aLaw << " code " << code;
    }
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
