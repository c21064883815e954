// G729Codec framing, output bound and per-object state; the encoder and decoder filters:
// byte counts, formats, packet headers and 3200-byte output bound.

#include "codecs/G729Codec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <tuple>
#include <vector>

#include "G729Oracle.h"
#include "codecs/FilterTestHelpers.h"
#include "codecs/G729DecoderFilter.h"
#include "codecs/G729EncoderFilter.h"
#include "rtp/RtpPacket.h"
#include "support/SignalTools.h"
#include "support/SpeechSynth.h"

namespace ve::test {
namespace {

std::vector<int16_t> TestSpeech() {
  std::vector<int16_t> pcm = SpeechWithPauses("en-us", 2.0);
  if (pcm.empty()) pcm = Sweep(16000, 200.0, 3000.0, 8000.0);
  return pcm;
}

// Encodes (or decodes) the first `bytes` of `in` into `out`, refilled with 0xEE, with room
// for `capacity` bytes; returns the length written.
int32_t Code(G729Codec& codec, bool encode, const std::vector<uint8_t>& in, int32_t bytes, std::vector<uint8_t>& out,
             int32_t capacity) {
  std::fill(out.begin(), out.end(), 0xEE);
  int32_t length = capacity;
  EXPECT_EQ(encode ? codec.Encode(in.data(), bytes, out.data(), length)
                   : codec.Decode(in.data(), bytes, out.data(), length),
            0);
  return length;
}

TEST(G729Codec, CodesWholeBlocksAndFramesOnly) {
  G729Codec codec;
  const std::vector<uint8_t> pcm = PcmBytes(WhiteNoise(400, 3000.0));
  std::vector<uint8_t> bits(4000), out(4000);
  EXPECT_EQ(Code(codec, true, pcm, 800, bits, 3200), 50);
  EXPECT_EQ(Code(codec, true, pcm, 159, out, 3200), 0);
  EXPECT_EQ(Code(codec, true, pcm, 165, out, 3200), 10);
  EXPECT_EQ(Code(codec, true, pcm, -160, out, 3200), 0);
  EXPECT_EQ(Code(codec, false, bits, 50, out, 3200), 800);
  EXPECT_EQ(Code(codec, false, bits, 25, out, 3200), 320);
  EXPECT_EQ(Code(codec, false, bits, 9, out, 3200), 0);
}

TEST(G729Codec, NeverWritesPastTheCapacityPassed) {
  G729Codec codec;
  const std::vector<uint8_t> frames(300, 0x5A);  // 30 frames
  const std::vector<uint8_t> pcm = PcmBytes(WhiteNoise(800, 3000.0));
  std::vector<uint8_t> out(4000);
  // Room for 20 frames of PCM, for one frame only, and for two frames of bits.
  for (auto [encode, capacity, written] : {std::tuple{false, 3200, 3200}, {false, 170, 160}, {true, 25, 20}}) {
    EXPECT_EQ(Code(codec, encode, encode ? pcm : frames, encode ? 1600 : 300, out, capacity), written);
    for (size_t i = static_cast<size_t>(written); i < out.size(); ++i) ASSERT_EQ(out[i], 0xEE) << capacity << " " << i;
  }
}

// Each codec object carries its own coder state: a new codec starts fresh whatever others
// have done, and constructing or using one does not disturb another's stream.
TEST(G729Codec, StateBelongsToEachObject) {
  const std::vector<int16_t> speech = TestSpeech();
  const std::vector<int16_t> first(speech.begin(), speech.begin() + 8000);
  const std::vector<int16_t> second(speech.begin() + 8000, speech.end());
  const std::vector<uint8_t> fresh = OwnEncode(speech);
  const std::vector<uint8_t> freshSecond = OwnEncode(second);
  const std::vector<int16_t> freshDecoded = OwnDecode(fresh);

  G729Codec a;
  std::vector<uint8_t> bits = OwnEncode(a, first);
  std::vector<int16_t> decoded = OwnDecode(a, std::vector<uint8_t>(fresh.begin(), fresh.begin() + 1000));
  {
    G729Codec b;
    EXPECT_EQ(OwnEncode(b, second), freshSecond);
    OwnDecode(b, freshSecond);
  }
  const std::vector<uint8_t> rest = OwnEncode(a, second);
  bits.insert(bits.end(), rest.begin(), rest.end());
  EXPECT_EQ(bits, fresh);
  const std::vector<int16_t> restDecoded = OwnDecode(a, std::vector<uint8_t>(fresh.begin() + 1000, fresh.end()));
  decoded.insert(decoded.end(), restDecoded.begin(), restDecoded.end());
  EXPECT_EQ(decoded, freshDecoded);
  // Continuing a stream is not the same as starting afresh: state really is carried.
  EXPECT_NE(rest, freshSecond);
}

// Encoder and decoder state are disjoint: one thread may encode while another decodes.
TEST(G729Codec, EncodeAndDecodeMayRunAtOnce) {
  const std::vector<int16_t> speech = TestSpeech();
  const std::vector<uint8_t> bits = OwnEncode(speech);
  const std::vector<int16_t> decoded = OwnDecode(bits);

  G729Codec codec;
  std::vector<uint8_t> encodedConcurrently;
  std::vector<int16_t> decodedConcurrently;
  std::thread encoder([&] {
    for (size_t at = 0; at + 80 <= speech.size(); at += 80) {
      const std::vector<uint8_t> frame =
          OwnEncode(codec, std::vector<int16_t>(speech.begin() + at, speech.begin() + at + 80));
      encodedConcurrently.insert(encodedConcurrently.end(), frame.begin(), frame.end());
    }
  });
  std::thread decoder([&] {
    for (size_t at = 0; at + 10 <= bits.size(); at += 10) {
      const std::vector<int16_t> pcm =
          OwnDecode(codec, std::vector<uint8_t>(bits.begin() + at, bits.begin() + at + 10));
      decodedConcurrently.insert(decodedConcurrently.end(), pcm.begin(), pcm.end());
    }
  });
  encoder.join();
  decoder.join();
  EXPECT_EQ(encodedConcurrently, bits);
  EXPECT_EQ(decodedConcurrently, decoded);
}

TEST(G729EncoderFilter, EncodesWholeBlocksIntoG729Samples) {
  G729EncoderFilter filter;
  Cycle five(filter, {MakePcm(WhiteNoise(400, 5000.0))});
  ASSERT_EQ(five.result, 0);
  ASSERT_NE(five.output, nullptr);
  EXPECT_EQ(five.output->DataSize(), 50);
  EXPECT_EQ(five.output->DurationMs(), 50);
  EXPECT_EQ(five.output->Format().wFormatTag, WAVE_FORMAT_G729);
  EXPECT_EQ(five.output->Packet(), nullptr);
}

TEST(G729DecoderFilter, DecodesFramesWithTheRtpHeaderAttached) {
  G729DecoderFilter filter;
  const std::vector<uint8_t> bits = OracleEncode(WhiteNoise(160, 5000.0));
  std::vector<uint8_t> payload = bits;
  payload.resize(25, 0x11);  // two whole frames and half of a third
  AudioSample* input = MakeBytes(kFormatG729, payload);
  std::vector<uint8_t> datagram;
  AttachPacket(input, datagram, 18);
  Cycle cycle(filter, {input});
  ASSERT_EQ(cycle.result, 0);
  ASSERT_NE(cycle.output, nullptr);
  EXPECT_EQ(cycle.output->Format().wFormatTag, WAVE_FORMAT_PCM);
  EXPECT_EQ(Values(cycle.output), OwnDecode(bits));
  auto* header = dynamic_cast<RtpPacket*>(cycle.output->Packet());
  ASSERT_NE(header, nullptr);
  EXPECT_EQ(header->Sequence(), 0x1234);
  EXPECT_EQ(header->PayloadType(), 18);

  // 40 frames decode to more than one sample holds: the output stops at its 3200 bytes.
  Cycle longer(filter, {MakeBytes(kFormatG729, std::vector<uint8_t>(400, 0x3C))});
  ASSERT_EQ(longer.result, 0);
  ASSERT_NE(longer.output, nullptr);
  EXPECT_EQ(longer.output->DataSize(), longer.output->Capacity());
  EXPECT_EQ(longer.output->DataSize(), 3200);
}

}  // namespace
}  // namespace ve::test
