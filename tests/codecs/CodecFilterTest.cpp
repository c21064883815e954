#include "codecs/CodecFilter.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "codecs/FilterTestHelpers.h"
#include "codecs/G711Codec.h"
#include "codecs/G711DecoderFilter.h"
#include "codecs/G711EncoderFilter.h"
#include "codecs/G711PayloadDecoderFilter.h"
#include "rtp/RtpPacket.h"

namespace ve {
namespace {

using test::AttachPacket;
using test::Cycle;
using test::MakeGap;

std::vector<int16_t> Ramp(int32_t samples) {
  std::vector<int16_t> values;
  for (int32_t i = 0; i < samples; ++i) values.push_back(static_cast<int16_t>(i * 397 - 30000));
  return values;
}

// A codec that records its calls and answers with a chosen result and length.
class SpyCodec : public AudioCodec {
 public:
  int32_t calls = 0;
  int32_t result = 0;
  int32_t length = 7;
  int32_t Encode(const uint8_t*, int32_t, uint8_t*, int32_t& outLength) override { return Answer(outLength); }
  int32_t Decode(const uint8_t*, int32_t, uint8_t*, int32_t& outLength) override { return Answer(outLength); }

 private:
  int32_t Answer(int32_t& outLength) {
    ++calls;
    outLength = length;
    return result;
  }
};

class SpyFilter : public CodecFilter {
 public:
  explicit SpyFilter(Operation operation) : CodecFilter(spy, operation, kFormatG729, true) {}
  SpyCodec spy;
};

// A gap marker passes in the output format without a codec call; a decoder keeps its packet.
TEST(CodecFilter, GapMarkerPassesWithoutCallingTheCodec) {
  SpyFilter filter(CodecFilter::Operation::kDecode);
  Cycle cycle(filter, {MakeGap(kFormatPcm16, 20)});
  EXPECT_EQ(cycle.result, 0);
  ASSERT_NE(cycle.output, nullptr);
  EXPECT_EQ(cycle.output->DataSize(), 0);
  EXPECT_EQ(cycle.output->SilenceMs(), 20);
  EXPECT_EQ(cycle.output->Format().wFormatTag, WAVE_FORMAT_G729);
  EXPECT_EQ(filter.spy.calls, 0);

  // A decoder's gap keeps its packet.
  G711DecoderFilter decoder;
  std::vector<uint8_t> datagram;
  AudioSample* input = MakeGap(kFormatMuLaw, 40);
  AttachPacket(input, datagram, 0);
  Cycle decoded(decoder, {input});
  ASSERT_NE(decoded.output, nullptr);
  EXPECT_EQ(decoded.output->SilenceMs(), 40);
  EXPECT_NE(dynamic_cast<RtpPacket*>(decoded.output->Packet()), nullptr);
}

TEST(CodecFilter, CodecResultAndLengthBecomeTheFiltersResultAndSize) {
  SpyFilter filter(CodecFilter::Operation::kEncode);
  for (auto [result, length] : {std::pair{-10, 0}, {0, 30}}) {
    filter.spy.result = result;
    filter.spy.length = length;
    Cycle cycle(filter, {test::MakePcm(Ramp(4))});
    EXPECT_EQ(cycle.result, result);
    ASSERT_NE(cycle.output, nullptr);
    EXPECT_EQ(cycle.output->DataSize(), length);
  }
  EXPECT_EQ(filter.spy.calls, 2);
}

TEST(CodecFilter, G711EncoderFormatFollowsTheLaw) {
  const std::vector<int16_t> pcm = Ramp(160);
  G711EncoderFilter filter;
  for (bool aLaw : {true, false}) {
    aLaw ? filter.SetALaw() : filter.SetULaw();
    std::vector<uint8_t> datagram;
    AudioSample* input = test::MakePcm(pcm);
    AttachPacket(input, datagram, 0);
    Cycle cycle(filter, {input});
    EXPECT_EQ(cycle.result, 0);
    ASSERT_NE(cycle.output, nullptr);
    EXPECT_EQ(cycle.output->DataSize(), 160);
    EXPECT_EQ(cycle.output->Format().wFormatTag, aLaw ? WAVE_FORMAT_ALAW : WAVE_FORMAT_MULAW);
    EXPECT_EQ(cycle.output->Packet(), nullptr) << "encoders attach no packet";
    for (int32_t i = 0; i < 160; ++i) {
      ASSERT_EQ(cycle.output->Data()[i], aLaw ? G711Codec::LinearToALaw(pcm[i]) : G711Codec::LinearToULaw(pcm[i])) << i;
    }
  }
}

TEST(CodecFilter, G711DecoderAttachesAHeaderOnlyCopyOfThePacket) {
  G711DecoderFilter filter;
  filter.SetALaw();
  std::vector<uint8_t> codes(160);
  std::vector<int16_t> values;
  for (size_t i = 0; i < codes.size(); ++i) {
    codes[i] = static_cast<uint8_t>(i * 3);
    values.push_back(G711Codec::ALawToLinear(codes[i]));
  }
  std::vector<uint8_t> datagram;
  AudioSample* input = test::MakeBytes(kFormatALaw, codes);
  AttachPacket(input, datagram, 8);
  Cycle cycle(filter, {input});
  EXPECT_EQ(cycle.result, 0);
  ASSERT_NE(cycle.output, nullptr);
  EXPECT_EQ(cycle.output->Format().wFormatTag, WAVE_FORMAT_PCM);
  EXPECT_EQ(test::Values(cycle.output), values);
  auto* copy = dynamic_cast<RtpPacket*>(cycle.output->Packet());
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->PayloadType(), 8);
  EXPECT_EQ(copy->Ssrc(), 0xCAFEBABEu);
  EXPECT_EQ(copy->Payload(), nullptr);  // the header alone: no pointer into the datagram
}

const std::vector<uint8_t> kCodes = {0x00, 0x2A, 0x55, 0x7F, 0x80, 0xAA, 0xD5, 0xFF};

AudioSample* Payload(std::vector<uint8_t>& datagram, uint8_t payloadType, const std::vector<uint8_t>& bytes) {
  AudioSample* sample = test::MakeBytes(kFormatMuLaw, bytes);
  AttachPacket(sample, datagram, payloadType);
  return sample;
}

TEST(G711PayloadDecoderFilter, PayloadTypeChoosesTheLaw) {
  G711PayloadDecoderFilter filter;
  EXPECT_EQ(filter.LastPayloadType(), -1);
  for (uint8_t payloadType : {0, 8, 0}) {
    std::vector<uint8_t> datagram;
    Cycle cycle(filter, {Payload(datagram, payloadType, kCodes)});
    ASSERT_EQ(cycle.result, 0);
    ASSERT_NE(cycle.output, nullptr);
    EXPECT_EQ(cycle.output->Format().wFormatTag, WAVE_FORMAT_PCM);
    std::vector<int16_t> values = test::Values(cycle.output);
    ASSERT_EQ(values.size(), kCodes.size());
    for (size_t i = 0; i < kCodes.size(); ++i) {
      EXPECT_EQ(values[i], payloadType == 8 ? G711Codec::ALawToLinear(kCodes[i]) : G711Codec::ULawToLinear(kCodes[i]));
    }
    auto* copy = dynamic_cast<RtpPacket*>(cycle.output->Packet());
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->PayloadType(), payloadType);
    EXPECT_EQ(copy->Payload(), nullptr);
    EXPECT_EQ(filter.LastPayloadType(), payloadType);
    EXPECT_STREQ(filter.Description(), payloadType == 8 ? "G.711 ALaw" : "G.711 ULaw");
  }
  filter.Unprepare();
  EXPECT_EQ(filter.LastPayloadType(), -1);
}

// Comfort noise passes four bytes and a gap keeps its length and header; neither changes the
// law in use.
TEST(G711PayloadDecoderFilter, ComfortNoiseAndGapsKeepTheLastType) {
  G711PayloadDecoderFilter filter;
  std::vector<uint8_t> first;
  Cycle alaw(filter, {Payload(first, 8, kCodes)});
  ASSERT_EQ(filter.LastPayloadType(), 8);

  std::vector<uint8_t> datagram;
  Cycle noise(filter, {Payload(datagram, 13, {0x40, 0x01, 0x02, 0x03, 0x04, 0x05})});
  EXPECT_EQ(noise.result, 0);
  ASSERT_NE(noise.output, nullptr);
  ASSERT_EQ(noise.output->DataSize(), 4);
  EXPECT_EQ(std::vector<uint8_t>(noise.output->Data(), noise.output->Data() + 4),
            (std::vector<uint8_t>{0x40, 0x01, 0x02, 0x03}));
  EXPECT_EQ(filter.LastPayloadType(), 8);

  std::vector<uint8_t> gapDatagram;
  AudioSample* gap = test::MakeGap(kFormatALaw, 20);
  AttachPacket(gap, gapDatagram, 0);
  Cycle gapCycle(filter, {gap});
  EXPECT_EQ(gapCycle.result, 0);
  ASSERT_NE(gapCycle.output, nullptr);
  EXPECT_EQ(gapCycle.output->SilenceMs(), 20);
  EXPECT_NE(dynamic_cast<RtpPacket*>(gapCycle.output->Packet()), nullptr);
  EXPECT_EQ(filter.LastPayloadType(), 8) << "a gap says nothing about the payload type";
}

TEST(G711PayloadDecoderFilter, FailuresLeaveNoDecodedOutput) {
  G711PayloadDecoderFilter filter;
  std::vector<uint8_t> datagram;
  Cycle unknown(filter, {Payload(datagram, 9, kCodes)});
  EXPECT_EQ(unknown.result, -10);
  EXPECT_EQ(filter.LastPayloadType(), 9);
  EXPECT_STREQ(filter.Description(), "Unknown Type 9 (ERROR)");

  Cycle noPacket(filter, {test::MakeBytes(kFormatMuLaw, kCodes)});
  EXPECT_EQ(noPacket.result, -20);

  std::vector<uint8_t> big;
  Cycle tooLong(filter, {Payload(big, 0, std::vector<uint8_t>(1601, 0xFF))});
  EXPECT_EQ(tooLong.result, -10);
}

}  // namespace
}  // namespace ve
