// G729Codec framing, output bound and per-object state; the encoder and decoder filters.

#include "codecs/G729Codec.h"

#include <gtest/gtest.h>

#include <thread>
#include <tuple>
#include <vector>

#include "G729Oracle.h"
#include "codecs/FilterTestHelpers.h"
#include "codecs/G729DecoderFilter.h"
#include "codecs/G729EncoderFilter.h"
#include "support/SignalTools.h"

namespace ve::test {
namespace {

// Long enough for the coder's state to matter, with no outside tools needed.
std::vector<int16_t> TestSignal() { return Sweep(16000, 200.0, 3000.0, 8000.0); }

// A negative length codes nothing, and a capacity that is not a whole number of frames or
// blocks is filled with whole ones only (the rest of the buffer keeps its 0xEE fill).
TEST(G729Codec, CodesNothingForANegativeLengthAndWholeUnitsWithinTheCapacity) {
  G729Codec codec;
  const std::vector<uint8_t> pcm = PcmBytes(WhiteNoise(800, 3000.0)), frames(300, 0x5A);
  for (auto [encode, bytes, capacity, written] :
       {std::tuple{true, -160, 3200, 0}, {true, 1600, 25, 20}, {false, 300, 170, 160}}) {
    std::vector<uint8_t> out(4000, 0xEE);
    int32_t length = capacity;
    EXPECT_EQ(encode ? codec.Encode(pcm.data(), bytes, out.data(), length)
                     : codec.Decode(frames.data(), bytes, out.data(), length), 0);
    EXPECT_EQ(length, written) << bytes;
    for (size_t i = static_cast<size_t>(written); i < out.size(); ++i) ASSERT_EQ(out[i], 0xEE) << bytes << " " << i;
  }
}

// A lost frame, a SID or a frame not sent needs room for one 10 ms block, and a SID is two
// bytes. Refused, the call writes nothing and leaves the decoder as it was: it goes on exactly
// as one that was never asked.
TEST(G729Codec, BlockCallsNeedRoomForOneBlockAndATwoByteSid) {
  const std::vector<uint8_t> bits = OwnEncode(TestSignal());
  const uint8_t sid[3] = {0x5A, 0x3C, 0x00};
  G729Codec asked;
  OwnDecode(asked, std::vector<uint8_t>(bits.begin(), bits.begin() + 500));
  std::vector<uint8_t> out(400, 0xEE);
  const int32_t room = G729Codec::kBlockBytes;
  // Calls 0 and 1: a lost frame, a frame not sent; call n > 1: a SID of n - 2 bytes.
  constexpr int32_t kNoRoom = G729Codec::kDecodeNoRoom, kBadSid = G729Codec::kDecodeBadSid;
  for (auto [expected, capacity, call] : {std::tuple{kNoRoom, room - 1, 0}, {kNoRoom, room - 1, 1},
                                          {kNoRoom, room - 1, 4}, {kBadSid, room, 3}, {kBadSid, room, 5}}) {
    int32_t length = capacity;
    const int32_t result = call == 0 ? asked.DecodeErased(out.data(), length)
                           : call == 1 ? asked.DecodeNoData(out.data(), length)
                                       : asked.DecodeSid(sid, call - 2, out.data(), length);
    EXPECT_EQ(result, expected) << call;
    EXPECT_EQ(length, 0) << call;
  }
  EXPECT_EQ(out, std::vector<uint8_t>(400, 0xEE));

  std::vector<ReceivedFrame> stream = SpeechFrames(bits, {53, 60, 67});
  stream.resize(80);
  stream[70].bytes.assign(sid, sid + 2);
  for (size_t f = 71; f < 80; ++f) stream[f].bytes.clear();
  const std::vector<int16_t> whole = OwnDecode(stream);
  ASSERT_EQ(whole.size(), stream.size() * kG729FrameSamples);
  EXPECT_EQ(OwnDecode(asked, std::vector<ReceivedFrame>(stream.begin() + 50, stream.end())),
            std::vector<int16_t>(whole.begin() + 50 * kG729FrameSamples, whole.end()));
}

TEST(G729Codec, StateBelongsToEachObject) {
  const std::vector<int16_t> speech = TestSignal();
  const std::vector<int16_t> first(speech.begin(), speech.begin() + 8000), second(speech.begin() + 8000, speech.end());
  const std::vector<uint8_t> fresh = OwnEncode(speech), freshSecond = OwnEncode(second);

  G729Codec a;
  std::vector<uint8_t> bits = OwnEncode(a, first);
  std::vector<int16_t> decoded = OwnDecode(a, std::vector<uint8_t>(fresh.begin(), fresh.begin() + 1000));
  {
    G729Codec b;
    EXPECT_EQ(OwnEncode(b, second), freshSecond);
    OwnDecode(b, freshSecond);
  }
  const std::vector<uint8_t> rest = OwnEncode(a, second);
  EXPECT_NE(rest, freshSecond);  // continuing a stream is not starting afresh: state is carried
  bits.insert(bits.end(), rest.begin(), rest.end());
  EXPECT_EQ(bits, fresh);
  const std::vector<int16_t> restDecoded = OwnDecode(a, std::vector<uint8_t>(fresh.begin() + 1000, fresh.end()));
  decoded.insert(decoded.end(), restDecoded.begin(), restDecoded.end());
  EXPECT_EQ(decoded, OwnDecode(fresh));
}

// Encoder and decoder state are disjoint: one thread may encode while another decodes, frame
// by frame, with the same results as each alone.
TEST(G729Codec, EncodeAndDecodeMayRunAtOnce) {
  const std::vector<int16_t> speech = TestSignal();
  const std::vector<uint8_t> bits = OwnEncode(speech);
  G729Codec codec;
  std::vector<uint8_t> encoded;
  std::vector<int16_t> decoded;
  std::thread encoder([&] {
    for (size_t at = 0; at + 80 <= speech.size(); at += 80) {
      const auto frame = OwnEncode(codec, std::vector<int16_t>(speech.begin() + at, speech.begin() + at + 80));
      encoded.insert(encoded.end(), frame.begin(), frame.end());
    }
  });
  for (size_t at = 0; at + 10 <= bits.size(); at += 10) {
    const auto pcm = OwnDecode(codec, std::vector<uint8_t>(bits.begin() + at, bits.begin() + at + 10));
    decoded.insert(decoded.end(), pcm.begin(), pcm.end());
  }
  encoder.join();
  EXPECT_EQ(encoded, bits);
  EXPECT_EQ(decoded, OwnDecode(bits));
}

// The encoder filter codes whole blocks into G.729 samples; the decoder filter's output
// stops at a sample's 3200 bytes.
TEST(G729Filters, EncodeIntoG729SamplesAndDecodeWithinOneSample) {
  G729EncoderFilter encoder;
  Cycle five(encoder, {MakePcm(WhiteNoise(400, 5000.0))});
  ASSERT_EQ(five.result, 0);
  EXPECT_EQ(five.output->DataSize(), 50);
  EXPECT_EQ(five.output->DurationMs(), 50);
  EXPECT_EQ(five.output->Format().wFormatTag, WAVE_FORMAT_G729);

  G729DecoderFilter decoder;
  Cycle longer(decoder, {MakeBytes(kFormatG729, std::vector<uint8_t>(400, 0x3C))});
  ASSERT_EQ(longer.result, 0);
  EXPECT_EQ(longer.output->Format().wFormatTag, WAVE_FORMAT_PCM);
  EXPECT_EQ(longer.output->DataSize(), 3200);
}

}  // namespace
}  // namespace ve::test
