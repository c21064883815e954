#include "rtp/RtpPacket.h"

#include <gtest/gtest.h>

#include "support/RtpBytes.h"

namespace ve {
namespace {

using Bytes = std::vector<uint8_t>;

// A version-2 datagram with `flags` in its first byte, `csrcs` zeroed CSRC words and `payload`
// bytes of 0xAB, the last one `last` when given.
Bytes Datagram(int payload, int csrcs = 0, uint8_t flags = 0, int last = -1) {
  Bytes d(12 + 4 * csrcs, 0);
  test::WriteRtpHeader(d.data(), 8, 0xF234, 0xF1020304, 0xA1B2C3D4, true);
  d[0] |= static_cast<uint8_t>(flags | csrcs);
  d.insert(d.end(), payload, 0xAB);
  if (last >= 0) d.back() = static_cast<uint8_t>(last);
  return d;
}
std::unique_ptr<RtpPacket> Parse(const Bytes& d, int32_t length = -1) {
  return std::unique_ptr<RtpPacket>(RtpPacket::Parse(d.data(), length < 0 ? static_cast<int32_t>(d.size()) : length));
}
// One CSRC, then a header extension whose head claims `words` words, of which two follow.
Bytes Extended(uint8_t words) {
  Bytes d = Datagram(28, 1, 0x10);
  const uint8_t head[4] = {0xBE, 0xDE, 0x00, words};
  std::copy(head, head + 4, d.begin() + 16);
  d[28] = 0x42;
  return d;
}

TEST(RtpPacket, MalformedDatagramsAreRejected) {
  const Bytes d = Datagram(20);
  for (int32_t length : {11, 0, -5}) EXPECT_EQ(RtpPacket::Parse(d.data(), length), nullptr) << length;
  EXPECT_EQ(RtpPacket::Parse(nullptr, 12), nullptr);
  for (uint8_t first : {0x50, 0x00, 0x40, 0xC0}) {
    Bytes other = d;
    other[0] = first;
    EXPECT_EQ(Parse(other), nullptr) << "first byte " << int(first);
  }
  EXPECT_EQ(Parse(Datagram(0, 15), 71), nullptr) << "the CSRC list runs past the end";
  EXPECT_EQ(Parse(Extended(7)), nullptr) << "28 bytes of extension claimed, 24 follow";
  EXPECT_EQ(Parse(Extended(2), 18), nullptr) << "not even the extension's head";
  EXPECT_EQ(Parse(Datagram(148, 0, 0x20, 200)), nullptr) << "more padding than the datagram holds";
  EXPECT_EQ(Parse(Datagram(8, 0, 0x20, 9)), nullptr);
}

// The CSRC list, a header extension and padding are skipped: header length, payload and
// padding count of each shape.
TEST(RtpPacket, HeaderPartsAndPaddingAreSkipped) {
  const struct { Bytes d; int32_t header, payload, padding; } cases[] = {
      {Datagram(160, 1), 16, 160, 0},         {Datagram(0, 15), 72, 0, 0},
      {Extended(2), 28, 16, 0},               {Datagram(148, 0, 0x20, 4), 12, 144, 4},
      {Datagram(148, 0, 0x20, 0), 12, 148, 0}, {Datagram(8, 0, 0x20, 8), 12, 0, 8}};
  for (const auto& c : cases) {
    const auto packet = Parse(c.d);
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(std::make_tuple(packet->HeaderLength(), packet->PayloadUsage(), packet->PaddingCount(), packet->CsrcCount()),
              std::make_tuple(c.header, c.payload, c.padding, (c.d[0] & 0x0F)));
    EXPECT_EQ(packet->Payload(), c.d.data() + c.header);
    EXPECT_EQ(packet->Extension(), c.header == 28);
  }
  EXPECT_EQ(Parse(Extended(2))->Payload()[0], 0x42);
  EXPECT_EQ(Parse(Extended(2), 28)->PayloadUsage(), 0) << "an extension that ends the datagram";
}

TEST(RtpPacket, FieldsComeOutInHostOrderAndTheHeaderCopyKeepsThemWithoutPointers) {
  Bytes d = Datagram(160, 1);
  std::unique_ptr<RtpPacket> copy(Parse(d)->CopyHeader());
  d.assign(d.size(), 0xEE);  // the source datagram is overwritten: the copy must not care
  EXPECT_EQ(std::make_tuple(copy->Version(), copy->Marker(), copy->PayloadType(), copy->Sequence(), copy->Timestamp(),
                            copy->Ssrc(), copy->HeaderLength(), copy->PayloadUsage(), copy->PaddingCount(), copy->Payload()),
            std::make_tuple(2, true, 8, 0xF234, 0xF1020304u, 0xA1B2C3D4u, 16, 0, 0, nullptr));
}

}  // namespace
}  // namespace ve
