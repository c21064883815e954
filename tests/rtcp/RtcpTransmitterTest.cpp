#include "rtcp/RtcpTransmitter.h"

#include <gtest/gtest.h>

#include <cstring>

#include "rtcp/RtcpPacket.h"
#include "rtp/RtpSenderState.h"
#include "support/RtcpBytes.h"

namespace ve {
namespace {

const NtpTime kT(1780000000u, 0x40000000u);
constexpr uint32_t kPeer = 0xCAFE;

// One end of a call's RTCP: its sender state, reception record and RTCP records, and the
// transmitter that reports from them.
struct End {
  End() { records.SetOwnSsrc(state.Ssrc()); }
  // Packets first .. last of `ssrc`, 20 ms apart, every other one 40 units late.
  void Hear(uint32_t ssrc, uint32_t first, uint32_t last) {
    for (uint32_t n = first; n <= last; ++n) test::HearRtp(reception, static_cast<uint16_t>(n), ssrc, 160 * n + 40 * (n % 2), 160u * n);
  }
  RtpSenderState state;
  RtpReceiver reception;
  RtcpReceiver records;
  RtcpTransmitter transmitter{&state, &reception, &records};
};

test::Words WordsAt(const uint8_t* p, int count) {
  test::Words words;
  for (int i = 0; i < count; ++i) words.push_back(ReadU32BE(p + 4 * i));
  return words;
}

// Both layouts of the SR and the RR (an undecided layout is written legacy): the header, the sender information and every field of the
// block about the source we hear (LSR and DLSR from its last SR, which came 250 ms ago).
TEST(RtcpTransmitter, ReportLayoutsInBothDialects) {
  for (RtcpDialect dialect : {RtcpDialect::kStandard, RtcpDialect::kLegacy, RtcpDialect::kUndecided}) {
    for (bool senderReport : {true, false}) {
      SCOPED_TRACE(std::string(DialectName(dialect)) + (senderReport ? " SR" : " RR"));
      const bool standard = dialect == RtcpDialect::kStandard;
      End end;
      // 65530 is on probation; then 24 packets 2999 apart: 71952 of 71977 lost, over two wraps.
      end.Hear(kPeer, 65530, 65531);
      for (uint32_t n = 65531 + 2999; n <= 65531 + 24 * 2999; n += 2999) end.Hear(kPeer, n, n);
      for (int i = 0; i < 3; ++i) end.state.Advance(160, 160);
      const NtpTime peerWire = standard ? kT.ToStandardWire() : kT;
      const test::Bytes peerReport = test::SenderReport(kPeer, peerWire);
      end.records.ReadRtcp(peerReport.data(), static_cast<int32_t>(peerReport.size()), NtpTime::Subtract(kT, 250));
      const uint32_t jitter = end.reception.Stats().jitter >> 4;

      RtcpPacket packet;
      const int32_t fixed = senderReport ? 28 : 8;
      const int32_t bytes = fixed + (standard ? 24 : 28);
      ASSERT_EQ(end.transmitter.AddReport(&packet, senderReport, dialect, kT), bytes);
      ASSERT_EQ(packet.GetTotalUsage(), bytes);
      const uint8_t* p = packet.GetPacketData();
      EXPECT_EQ(WordsAt(p, 2), (test::Words{0x81000000u | (senderReport ? 200u : 201u) << 16 | (bytes / 4 - 1),
                                            end.state.Ssrc()}));
      if (senderReport) {
        const NtpTime wire = standard ? kT.ToStandardWire() : kT;
        EXPECT_EQ(WordsAt(p + 8, 5), (test::Words{wire.seconds, wire.fraction, end.state.TimestampAt(kT), 3, 480}));
      }
      const test::Words block = standard ? test::Words{kPeer, 255u << 24 | 71952, 137507, jitter, peerWire.Middle32(),
                                                       250u * 65536 / 1000}
                                         : test::Words{kPeer, 255u << 24, 71952u << 8, 137507, jitter / 8,
                                                       peerWire.Middle32(), 250};
      EXPECT_EQ(WordsAt(p + fixed, standard ? 6 : 7), block);  // jitter in ms when legacy
    }
  }
}

// SDES carries the set items and the PRIV announcement only when asked; BYE its reason.
TEST(RtcpTransmitter, SdesPrivAndByeLayouts) {
  End end;
  end.transmitter.SetItem(RtcpTransmitter::kEmail, "e");
  end.transmitter.SetItem(RtcpTransmitter::kEmail, nullptr);  // cleared: not sent
  end.transmitter.SetItem(RtcpTransmitter::kCname, "me@here");
  end.transmitter.SetItem(RtcpTransmitter::kNote, "n");
  const std::string items = std::string("\x01\x07me@here\x07\x01n");
  // PRIV item: length 20, prefix length 19, then the announcement's text.
  std::string priv = "\x08\x14\x13";
  priv.append(RtcpReceiver::kStandardUnderstood, std::strlen(RtcpReceiver::kStandardUnderstood));
  for (bool announce : {false, true}) {
    RtcpPacket packet;
    std::string all = items;
    if (announce) all.append(priv.data(), priv.size());
    const int32_t bytes = (8 + static_cast<int32_t>(all.size()) + 4) / 4 * 4;  // at least one zero byte ends the list
    ASSERT_EQ(end.transmitter.AddSDES(&packet, 0x1234, announce), bytes);
    test::Bytes expected = test::Join<uint8_t>({{0x81, 202, 0, static_cast<uint8_t>(bytes / 4 - 1), 0, 0, 0x12, 0x34},
                                                test::Bytes(all.begin(), all.end())});
    expected.resize(static_cast<size_t>(bytes), 0);
    EXPECT_EQ(test::Bytes(packet.GetPacketData(), packet.GetPacketData() + bytes), expected);
  }

  RtcpPacket bye;
  ASSERT_EQ(end.transmitter.AddBYE(&bye, 0x1234, "gone"), 16);  // 8 + 1 + 4, padded
  const uint8_t* b = bye.GetPacketData();
  EXPECT_EQ(WordsAt(b, 4), (test::Words{0x81CB0003u, 0x1234u, 0x04676F6Eu, 0x65000000u}));  // 4, "gone", padding
  EXPECT_EQ(end.transmitter.AddBYE(&bye, 0x1234, nullptr), 8);
}

// A part that does not fit the room left in the packet is refused. Without a followed source a
// report has no block; without an SR from it, the block has no LSR and DLSR.
TEST(RtcpTransmitter, PartsThatDoNotFitAreRefused) {
  End end;
  RtcpPacket alone;
  EXPECT_EQ(end.transmitter.AddReport(&alone, false, RtcpDialect::kStandard, kT), 8);
  EXPECT_EQ(alone.GetPacketData()[0], 0x80);
  end.transmitter.SetItem(RtcpTransmitter::kCname, "me@here");
  end.Hear(kPeer, 1, 5);
  RtcpPacket packets[8];
  const int32_t rooms[8] = {19, 20, 39, 44, 15, 16, 55, 56};
  for (int i = 0; i < 8; ++i) packets[i].AllocData(RtcpPacket::kAlloc - rooms[i]);
  EXPECT_EQ(std::make_tuple(end.transmitter.AddSDES(&packets[0], 1, false), end.transmitter.AddSDES(&packets[1], 1, false),
                            end.transmitter.AddSDES(&packets[2], 1, true), end.transmitter.AddSDES(&packets[3], 1, true)),
            std::make_tuple(-1, 20, -1, 40));
  EXPECT_EQ(std::make_tuple(end.transmitter.AddBYE(&packets[4], 1, "gone"), end.transmitter.AddBYE(&packets[5], 1, "gone"),
                            end.transmitter.AddReport(&packets[6], true, RtcpDialect::kLegacy, kT),
                            end.transmitter.AddReport(&packets[7], true, RtcpDialect::kLegacy, kT)),
            std::make_tuple(-1, 16, -1, 56));
  const uint8_t* block = packets[7].GetPacketData() + RtcpPacket::kAlloc - 56 + 28;
  EXPECT_EQ(WordsAt(block + 20, 2), (test::Words{0, 0})) << "no SR heard: no LSR, no DLSR";
}

}  // namespace
}  // namespace ve
