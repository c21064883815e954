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

// A codec that records its calls and answers with a chosen result and length.
class SpyCodec : public AudioCodec {
 public:
  int32_t calls = 0, result = 0, length = 7;
  int32_t Encode(const uint8_t*, int32_t, uint8_t*, int32_t& outLength) override { return Answer(outLength); }
  int32_t Decode(const uint8_t*, int32_t, uint8_t*, int32_t& outLength) override { return Answer(outLength); }
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

// A gap marker passes in the output format, with its packet, without a codec call; the
// codec's result and length become the filter's result and output size.
TEST(CodecFilter, GapsSkipTheCodecAndItsResultAndLengthAreTheFilters) {
  SpyFilter filter(CodecFilter::Operation::kDecode);
  std::vector<uint8_t> datagram;
  AudioSample* input = MakeGap(kFormatPcm16, 20);
  AttachPacket(input, datagram, 0);
  Cycle gap(filter, {input});
  EXPECT_EQ(gap.result, 0);
  ASSERT_NE(gap.output, nullptr);
  EXPECT_EQ(gap.output->DataSize(), 0);
  EXPECT_EQ(gap.output->SilenceMs(), 20);
  EXPECT_EQ(gap.output->Format().wFormatTag, WAVE_FORMAT_G729);
  auto* copy = dynamic_cast<RtpPacket*>(gap.output->Packet());
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->Payload(), nullptr);  // the header alone: no pointer into the datagram
  EXPECT_EQ(filter.spy.calls, 0);

  for (auto [result, length] : {std::pair{-10, 0}, {0, 30}}) {
    filter.spy.result = result;
    filter.spy.length = length;
    Cycle cycle(filter, {test::MakePcm({1, 2, 3, 4})});
    EXPECT_EQ(cycle.result, result);
    ASSERT_NE(cycle.output, nullptr);
    EXPECT_EQ(cycle.output->DataSize(), length);
  }
  EXPECT_EQ(filter.spy.calls, 2);
}

TEST(CodecFilter, G711FiltersCodeInTheirLaw) {
  std::vector<int16_t> pcm, expected;
  for (int32_t i = 0; i < 160; ++i) {
    pcm.push_back(static_cast<int16_t>(i * 397 - 30000));
    expected.push_back(G711Codec::ALawToLinear(G711Codec::LinearToALaw(pcm.back())));
  }
  G711EncoderFilter encoder;
  G711DecoderFilter decoder;
  encoder.SetALaw();
  decoder.SetALaw();
  Cycle encoded(encoder, {test::MakePcm(pcm)});
  ASSERT_EQ(encoded.result, 0);
  EXPECT_EQ(encoded.output->Format().wFormatTag, WAVE_FORMAT_ALAW);
  Cycle decoded(decoder, {test::MakeBytes(kFormatALaw, {encoded.output->Data(), encoded.output->Data() + 160})});
  ASSERT_EQ(decoded.result, 0);
  EXPECT_EQ(decoded.output->Format().wFormatTag, WAVE_FORMAT_PCM);
  EXPECT_EQ(test::Values(decoded.output), expected);
}

const std::vector<uint8_t> kCodes = {0x00, 0x2A, 0x55, 0x7F, 0x80, 0xAA, 0xD5, 0xFF};

AudioSample* Payload(std::vector<uint8_t>& datagram, uint8_t payloadType, const std::vector<uint8_t>& bytes) {
  AudioSample* sample = test::MakeBytes(kFormatMuLaw, bytes);
  AttachPacket(sample, datagram, payloadType);
  return sample;
}

// The payload type chooses the law and the description; the output carries a header-only
// copy of the packet. Comfort noise passes four bytes and a gap keeps its length and header;
// neither changes the law in use. Failures give their codes.
TEST(G711PayloadDecoderFilter, PayloadTypeChoosesTheLawComfortNoiseAndGapsKeepIt) {
  G711PayloadDecoderFilter filter;
  EXPECT_EQ(filter.LastPayloadType(), -1);
  for (uint8_t payloadType : {8, 0, 8}) {
    std::vector<uint8_t> datagram;
    Cycle cycle(filter, {Payload(datagram, payloadType, kCodes)});
    ASSERT_EQ(cycle.result, 0);
    std::vector<int16_t> expected;
    for (uint8_t code : kCodes)
      expected.push_back(payloadType == 8 ? G711Codec::ALawToLinear(code) : G711Codec::ULawToLinear(code));
    EXPECT_EQ(test::Values(cycle.output), expected);
    auto* copy = dynamic_cast<RtpPacket*>(cycle.output->Packet());
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->Payload(), nullptr);
    EXPECT_EQ(filter.LastPayloadType(), payloadType);
    EXPECT_STREQ(filter.Description(), payloadType == 8 ? "G.711 ALaw" : "G.711 ULaw");
  }

  std::vector<uint8_t> datagram;
  Cycle noise(filter, {Payload(datagram, 13, {0x40, 0x01, 0x02, 0x03, 0x04, 0x05})});
  EXPECT_EQ(noise.result, 0);
  EXPECT_EQ(std::vector<uint8_t>(noise.output->Data(), noise.output->Data() + noise.output->DataSize()),
            (std::vector<uint8_t>{0x40, 0x01, 0x02, 0x03}));
  std::vector<uint8_t> gapDatagram;
  AudioSample* gap = MakeGap(kFormatALaw, 20);
  AttachPacket(gap, gapDatagram, 0);
  Cycle gapCycle(filter, {gap});
  EXPECT_EQ(gapCycle.result, 0);
  EXPECT_EQ(gapCycle.output->SilenceMs(), 20);
  EXPECT_NE(dynamic_cast<RtpPacket*>(gapCycle.output->Packet()), nullptr);
  EXPECT_EQ(filter.LastPayloadType(), 8);
  filter.Unprepare();
  EXPECT_EQ(filter.LastPayloadType(), -1);

  // Failures: an unknown type, no packet, more than a sample holds.
  std::vector<uint8_t> unknownDatagram, big;
  Cycle unknown(filter, {Payload(unknownDatagram, 9, kCodes)});
  EXPECT_EQ(unknown.result, -10);
  EXPECT_STREQ(filter.Description(), "Unknown Type 9 (ERROR)");
  Cycle noPacket(filter, {test::MakeBytes(kFormatMuLaw, kCodes)});
  EXPECT_EQ(noPacket.result, -20);
  Cycle tooLong(filter, {Payload(big, 0, std::vector<uint8_t>(1601, 0xFF))});
  EXPECT_EQ(tooLong.result, -10);
}

}  // namespace
}  // namespace ve
