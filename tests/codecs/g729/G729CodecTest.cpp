// G729Codec framing, output bound and per-object state.

#include "codecs/G729Codec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "G729Oracle.h"
#include "codecs/g729/G729Bitstream.h"
#include "support/SignalTools.h"
#include "support/SpeechSynth.h"

namespace ve::test {
namespace {

std::vector<int16_t> TestSpeech() {
  std::vector<int16_t> pcm = SpeechWithPauses("en-us", 2.0);
  if (pcm.empty()) pcm = Sweep(16000, 200.0, 3000.0, 8000.0);
  return pcm;
}

TEST(G729Codec, CodesWholeBlocksAndFramesOnly) {
  G729Codec codec;
  std::vector<uint8_t> pcm = PcmBytes(WhiteNoise(400, 3000.0));
  std::vector<uint8_t> out(4000, 0xEE);

  int32_t length = 3200;
  EXPECT_EQ(codec.Encode(pcm.data(), 800, out.data(), length), 0);
  EXPECT_EQ(length, 50);
  length = 3200;
  EXPECT_EQ(codec.Encode(pcm.data(), 159, out.data(), length), 0);
  EXPECT_EQ(length, 0);
  length = 3200;
  EXPECT_EQ(codec.Encode(pcm.data(), 165, out.data(), length), 0);
  EXPECT_EQ(length, 10);
  length = 3200;
  EXPECT_EQ(codec.Encode(pcm.data(), -160, out.data(), length), 0);
  EXPECT_EQ(length, 0);

  length = 3200;
  EXPECT_EQ(codec.Decode(out.data(), 50, out.data() + 100, length), 0);
  EXPECT_EQ(length, 800);
  length = 3200;
  EXPECT_EQ(codec.Decode(out.data(), 25, out.data() + 100, length), 0);
  EXPECT_EQ(length, 320);
  length = 3200;
  EXPECT_EQ(codec.Decode(out.data(), 9, out.data() + 100, length), 0);
  EXPECT_EQ(length, 0);
}

TEST(G729Codec, NeverWritesPastTheCapacityPassed) {
  G729Codec codec;
  std::vector<uint8_t> frames(300, 0x5A);  // 30 frames
  std::vector<uint8_t> out(4000, 0xEE);
  int32_t length = 3200;
  codec.Decode(frames.data(), 300, out.data(), length);
  EXPECT_EQ(length, 3200);  // 20 frames fit
  for (size_t i = 3200; i < out.size(); ++i) ASSERT_EQ(out[i], 0xEE) << i;

  std::fill(out.begin(), out.end(), 0xEE);
  length = 170;  // room for one frame of PCM only
  codec.Decode(frames.data(), 300, out.data(), length);
  EXPECT_EQ(length, 160);
  for (size_t i = 160; i < out.size(); ++i) ASSERT_EQ(out[i], 0xEE) << i;

  std::vector<uint8_t> pcm = PcmBytes(WhiteNoise(800, 3000.0));
  std::fill(out.begin(), out.end(), 0xEE);
  length = 25;
  codec.Encode(pcm.data(), 1600, out.data(), length);
  EXPECT_EQ(length, 20);
  EXPECT_EQ(out[20], 0xEE);
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

}  // namespace
}  // namespace ve::test
