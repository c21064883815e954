#include "rtp/RtpPacket.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "support/ImpairmentScript.h"

namespace ve {
namespace {

// A version-2 datagram: header fields, `csrcs` zeroed CSRC words, `payload` bytes of 0xAB.
std::vector<uint8_t> Datagram(int payloadBytes, uint8_t pt = 8, uint16_t seq = 0x1234, uint32_t ts = 0x01020304,
                              uint32_t ssrc = 0xA1B2C3D4, int csrcs = 0) {
  std::vector<uint8_t> d(12 + 4 * csrcs, 0);
  test::WriteRtpHeader(d.data(), pt, seq, ts, ssrc);
  d[0] |= static_cast<uint8_t>(csrcs);
  d.insert(d.end(), payloadBytes, 0xAB);
  return d;
}

std::unique_ptr<RtpPacket> Parse(const std::vector<uint8_t>& d) {
  return std::unique_ptr<RtpPacket>(RtpPacket::Parse(d.data(), static_cast<int32_t>(d.size())));
}

TEST(RtpPacket, ShortDatagramsAndOtherVersionsAreRejected) {
  auto d = Datagram(20);
  for (int32_t length : {11, 0, -5}) EXPECT_EQ(RtpPacket::Parse(d.data(), length), nullptr) << length;
  EXPECT_EQ(RtpPacket::Parse(nullptr, 12), nullptr);
  for (uint8_t v : {0x50, 0x00, 0x40, 0xC0}) {
    d[0] = v;
    EXPECT_EQ(Parse(d), nullptr) << "first byte " << int(v);
  }
}

// A header extension (after the CSRCs) is skipped; one that runs past the datagram refuses it.
TEST(RtpPacket, HeaderExtensionIsSkipped) {
  auto d = Datagram(28, 8, 1, 2, 3, 1);  // one CSRC, then 4 + 8 bytes of extension, 16 of payload
  d[0] |= 0x10;
  const uint8_t extension[4] = {0xBE, 0xDE, 0x00, 0x02};
  std::copy(extension, extension + 4, d.begin() + 16);
  d[28] = 0x42;
  auto packet = Parse(d);
  ASSERT_NE(packet, nullptr);
  EXPECT_TRUE(packet->Extension());
  EXPECT_EQ(packet->HeaderLength(), 28);
  EXPECT_EQ(packet->PayloadUsage(), 16);
  EXPECT_EQ(packet->Payload()[0], 0x42);
  d[19] = 0x07;  // 28 bytes of extension claimed, 24 follow
  EXPECT_EQ(Parse(d), nullptr);
  d.resize(18);  // not even the extension's head
  EXPECT_EQ(Parse(d), nullptr);
}

TEST(RtpPacket, FieldsComeOutInHostOrderAndTheHeaderCopyKeepsThemWithoutPointers) {
  auto d = Datagram(160, 8, 0xF234, 0xF1020304, 0xA1B2C3D4, 1);
  d[1] |= 0x80;  // marker
  auto packet = Parse(d);
  ASSERT_NE(packet, nullptr);
  EXPECT_EQ(packet->Payload(), d.data() + 16);
  EXPECT_EQ(packet->PayloadUsage(), 160);
  std::unique_ptr<RtpPacket> copy(packet->CopyHeader());
  for (const RtpPacket* p : {packet.get(), copy.get()}) {
    EXPECT_EQ(p->Version(), 2);
    EXPECT_TRUE(p->Marker());
    EXPECT_EQ(p->PayloadType(), 8);
    EXPECT_EQ(p->Sequence(), 0xF234);
    EXPECT_EQ(p->Timestamp(), 0xF1020304u);
    EXPECT_EQ(p->Ssrc(), 0xA1B2C3D4u);
    EXPECT_EQ(p->HeaderLength(), 16);
  }
  packet.reset();
  d.assign(d.size(), 0xEE);  // the source datagram is overwritten: the copy must not care
  EXPECT_EQ(copy->Sequence(), 0xF234);
  EXPECT_EQ(copy->Payload(), nullptr);
}

TEST(RtpPacket, CsrcListMustFitAndIsSkipped) {
  auto d = Datagram(0, 0, 1, 2, 3, 15);
  ASSERT_EQ(d.size(), 72u);
  EXPECT_EQ(RtpPacket::Parse(d.data(), 71), nullptr);
  auto packet = Parse(d);
  ASSERT_NE(packet, nullptr);
  EXPECT_EQ(packet->CsrcCount(), 15);
  EXPECT_EQ(packet->HeaderLength(), 72);
  EXPECT_EQ(packet->PayloadUsage(), 0);
}

TEST(RtpPacket, PaddingIsCheckedAndSubtracted) {
  auto d = Datagram(148);  // 160 bytes in all
  d[0] |= 0x20;
  d.back() = 200;  // more padding than the datagram holds
  EXPECT_EQ(Parse(d), nullptr);

  d.back() = 0;  // a zero count is accepted and removes nothing
  auto packet = Parse(d);
  ASSERT_NE(packet, nullptr);
  EXPECT_EQ(packet->PayloadUsage(), 148);

  d.back() = 4;
  packet = Parse(d);
  ASSERT_NE(packet, nullptr);
  EXPECT_EQ(packet->PaddingCount(), 4);
  EXPECT_EQ(packet->PayloadUsage(), 144);

  // Padding that exactly fills the packet behind the header leaves an empty payload.
  auto onlyPadding = Datagram(8);
  onlyPadding[0] |= 0x20;
  onlyPadding.back() = 8;
  packet = Parse(onlyPadding);
  ASSERT_NE(packet, nullptr);
  EXPECT_EQ(packet->PayloadUsage(), 0);
  onlyPadding.back() = 9;
  EXPECT_EQ(Parse(onlyPadding), nullptr);
}

}  // namespace
}  // namespace ve
