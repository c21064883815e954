#include "codecs/G711PayloadDecoderFilter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codecs/FilterTestHelpers.h"
#include "codecs/G711Codec.h"
#include "rtp/RtpPacket.h"

namespace ve {
namespace {

using test::AttachPacket;
using test::Cycle;
using test::MakeBytes;

const std::vector<uint8_t> kCodes = {0x00, 0x2A, 0x55, 0x7F, 0x80, 0xAA, 0xD5, 0xFF};

AudioSample* Payload(std::vector<uint8_t>& datagram, uint8_t payloadType, const std::vector<uint8_t>& bytes) {
  AudioSample* sample = MakeBytes(kFormatMuLaw, bytes);
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
    EXPECT_EQ(std::string(filter.Description()), payloadType == 8 ? "G.711 ALaw" : "G.711 ULaw");
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
  EXPECT_EQ(std::string(filter.Description()), "Unknown Type 9 (ERROR)");

  Cycle noPacket(filter, {MakeBytes(kFormatMuLaw, kCodes)});
  EXPECT_EQ(noPacket.result, -20);

  std::vector<uint8_t> big;
  Cycle tooLong(filter, {Payload(big, 0, std::vector<uint8_t>(1601, 0xFF))});
  EXPECT_EQ(tooLong.result, -10);
}

}  // namespace
}  // namespace ve
