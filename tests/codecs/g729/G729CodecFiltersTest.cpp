// G729EncoderFilter and G729DecoderFilter: byte counts, formats, packet headers and the
// 3200-byte output bound.

#include <gtest/gtest.h>

#include <vector>

#include "G729Oracle.h"
#include "codecs/FilterTestHelpers.h"
#include "codecs/G729DecoderFilter.h"
#include "codecs/G729EncoderFilter.h"
#include "rtp/RtpPacket.h"
#include "support/SignalTools.h"

namespace ve::test {
namespace {

TEST(G729EncoderFilter, EncodesWholeBlocksIntoG729Samples) {
  G729EncoderFilter filter;
  const std::vector<int16_t> pcm = WhiteNoise(400, 5000.0);
  std::vector<uint8_t> bytes = PcmBytes(pcm);
  bytes.resize(165);
  Cycle one(filter, {MakeBytes(kFormatPcm16, bytes)});
  ASSERT_EQ(one.result, 0);
  ASSERT_NE(one.output, nullptr);
  EXPECT_EQ(one.output->DataSize(), 10);
  EXPECT_EQ(one.output->Format().wFormatTag, WAVE_FORMAT_G729);
  EXPECT_EQ(one.output->Packet(), nullptr);

  Cycle five(filter, {MakePcm(pcm)});
  ASSERT_NE(five.output, nullptr);
  EXPECT_EQ(five.output->DataSize(), 50);
  EXPECT_EQ(five.output->DurationMs(), 50);
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
  EXPECT_EQ(cycle.output->DataSize(), 320);
  EXPECT_EQ(cycle.output->Format().wFormatTag, WAVE_FORMAT_PCM);
  EXPECT_EQ(Values(cycle.output), OwnDecode(bits));
  auto* header = dynamic_cast<RtpPacket*>(cycle.output->Packet());
  ASSERT_NE(header, nullptr);
  EXPECT_EQ(header->Sequence(), 0x1234);
  EXPECT_EQ(header->PayloadType(), 18);
}

TEST(G729DecoderFilter, LongPayloadFillsOneSampleAndNoMore) {
  G729DecoderFilter filter;
  Cycle cycle(filter, {MakeBytes(kFormatG729, std::vector<uint8_t>(400, 0x3C))});  // 40 frames
  ASSERT_EQ(cycle.result, 0);
  ASSERT_NE(cycle.output, nullptr);
  EXPECT_EQ(cycle.output->DataSize(), cycle.output->Capacity());
  EXPECT_EQ(cycle.output->DataSize(), 3200);
}

TEST(G729DecoderFilter, GapStaysAGap) {
  G729DecoderFilter filter;
  Cycle cycle(filter, {MakeGap(kFormatG729, 20)});
  ASSERT_NE(cycle.output, nullptr);
  EXPECT_EQ(cycle.output->DataSize(), 0);
  EXPECT_EQ(cycle.output->SilenceMs(), 20);
  EXPECT_EQ(cycle.output->Format().wFormatTag, WAVE_FORMAT_PCM);
}

}  // namespace
}  // namespace ve::test
