#include "codecs/CodecFilter.h"

#include <gtest/gtest.h>

#include <vector>

#include "codecs/FilterTestHelpers.h"

#include "codecs/G711Codec.h"
#include "codecs/G711DecoderFilter.h"
#include "codecs/G711EncoderFilter.h"
#include "codecs/G723DecoderFilter.h"
#include "codecs/G723EncoderFilter.h"
#include "rtp/RtpPacket.h"

namespace ve {
namespace {

using test::AttachPacket;
using test::Cycle;
using test::MakeGap;

std::vector<uint8_t> Ramp(int32_t samples) {
  std::vector<uint8_t> bytes;
  for (int32_t i = 0; i < samples; ++i) {
    auto v = static_cast<int16_t>(i * 397 - 30000);
    bytes.push_back(static_cast<uint8_t>(v & 0xFF));
    bytes.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
  }
  return bytes;
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
  filter.spy.result = -10;
  filter.spy.length = 0;
  Cycle failed(filter, {test::MakeBytes(kFormatPcm16, Ramp(4))});
  EXPECT_EQ(failed.result, -10);
  EXPECT_EQ(filter.spy.calls, 1);

  filter.spy.result = 0;
  filter.spy.length = 30;
  Cycle ok(filter, {test::MakeBytes(kFormatPcm16, Ramp(4))});
  EXPECT_EQ(ok.result, 0);
  ASSERT_NE(ok.output, nullptr);
  EXPECT_EQ(ok.output->DataSize(), 30);
}

TEST(CodecFilter, G711EncoderFormatFollowsTheLaw) {
  const std::vector<uint8_t> pcm = Ramp(160);
  G711EncoderFilter filter;
  for (bool aLaw : {true, false}) {
    aLaw ? filter.SetALaw() : filter.SetULaw();
    std::vector<uint8_t> datagram;
    AudioSample* input = test::MakeBytes(kFormatPcm16, pcm);
    AttachPacket(input, datagram, 0);
    Cycle cycle(filter, {input});
    EXPECT_EQ(cycle.result, 0);
    ASSERT_NE(cycle.output, nullptr);
    EXPECT_EQ(cycle.output->DataSize(), 160);
    EXPECT_EQ(cycle.output->Format().wFormatTag, aLaw ? WAVE_FORMAT_ALAW : WAVE_FORMAT_MULAW);
    EXPECT_EQ(cycle.output->Packet(), nullptr) << "encoders attach no packet";
    for (int32_t i = 0; i < 160; ++i) {
      auto x = static_cast<int16_t>(pcm[2 * i] | (pcm[2 * i + 1] << 8));
      ASSERT_EQ(cycle.output->Data()[i], aLaw ? G711Codec::LinearToALaw(x) : G711Codec::LinearToULaw(x)) << i;
    }
  }
}

TEST(CodecFilter, G711DecoderAttachesAHeaderOnlyCopyOfThePacketAndRefusesOverlongInput) {
  G711DecoderFilter filter;
  filter.SetALaw();
  std::vector<uint8_t> codes(160);
  for (size_t i = 0; i < codes.size(); ++i) codes[i] = static_cast<uint8_t>(i * 3);
  std::vector<uint8_t> datagram;
  AudioSample* input = test::MakeBytes(kFormatALaw, codes);
  AttachPacket(input, datagram, 8);
  Cycle cycle(filter, {input});
  EXPECT_EQ(cycle.result, 0);
  ASSERT_NE(cycle.output, nullptr);
  EXPECT_EQ(cycle.output->DataSize(), 320);
  EXPECT_EQ(cycle.output->Format().wFormatTag, WAVE_FORMAT_PCM);
  EXPECT_EQ(cycle.output->Format().wBitsPerSample, 16);
  auto* copy = dynamic_cast<RtpPacket*>(cycle.output->Packet());
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->PayloadType(), 8);
  EXPECT_EQ(copy->Ssrc(), 0xCAFEBABEu);
  EXPECT_EQ(copy->Payload(), nullptr);  // the header alone: no pointer into the datagram
  for (int32_t i = 0; i < 160; ++i) {
    auto value = static_cast<int16_t>(cycle.output->Data()[2 * i] | (cycle.output->Data()[2 * i + 1] << 8));
    ASSERT_EQ(value, G711Codec::ALawToLinear(codes[i])) << i;
  }
  Cycle tooLong(filter, {test::MakeBytes(kFormatMuLaw, std::vector<uint8_t>(1601, 0xFF))});
  EXPECT_EQ(tooLong.result, -10);
}

TEST(CodecFilter, G723FiltersLabelTheirOutput) {
  G723EncoderFilter encoder;
  Cycle encoded(encoder, {test::MakeBytes(kFormatPcm16, Ramp(160))});
  EXPECT_EQ(encoded.result, 0);
  ASSERT_NE(encoded.output, nullptr);
  EXPECT_EQ(encoded.output->Format().wFormatTag, WAVE_FORMAT_G723_64);

  G723DecoderFilter decoder;
  std::vector<uint8_t> datagram;
  AudioSample* input = test::MakeBytes(kFormatG723_64, std::vector<uint8_t>(24, 0x11));
  AttachPacket(input, datagram, 4);
  Cycle decoded(decoder, {input});
  EXPECT_EQ(decoded.result, 0);
  ASSERT_NE(decoded.output, nullptr);
  EXPECT_EQ(decoded.output->Format().wFormatTag, WAVE_FORMAT_PCM);
  ASSERT_NE(dynamic_cast<RtpPacket*>(decoded.output->Packet()), nullptr);
}

}  // namespace
}  // namespace ve
