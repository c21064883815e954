#include "rtcp/RtcpTransmitter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/Socket.h"
#include "rtcp/NtpTime.h"
#include "rtcp/RtcpPacket.h"
#include "rtcp/RtcpReceiver.h"
#include "rtcp/RtpReceiver.h"
#include "rtp/ByteOrder.h"
#include "rtp/RtpSenderState.h"
#include "support/RtcpBytes.h"

namespace ve {
namespace {

const NtpTime kT(1780000000u, 0x40000000u);

// One end of a call's RTCP: its sender state, reception record and RTCP records, and the
// transmitter that reports from them.
struct End {
  End() { records.SetOwnSsrc(state.Ssrc()); }

  // Packets first .. last of `ssrc` (20 ms apart, every other one 40 units late), less `lost`.
  void Hear(uint32_t ssrc, uint32_t first, uint32_t last, const std::vector<uint32_t>& lost = {}) {
    for (uint32_t n = first; n <= last; ++n) {
      if (std::find(lost.begin(), lost.end(), n) == lost.end()) {
        test::HearRtp(reception, static_cast<uint16_t>(n), ssrc, 160 * n + 40 * (n % 2), 160u * n);
      }
    }
  }
  int32_t Read(RtcpPacket& packet, const NtpTime& now) {
    return records.ReadRtcp(packet.GetPacketData(), packet.GetTotalUsage(), now);
  }

  RtpSenderState state;
  RtpReceiver reception;
  RtcpReceiver records;
  RtcpTransmitter transmitter{&state, &reception, &records};
};

constexpr uint32_t kPeer = 0xCAFE;

// A sender report from kPeer as our records see it at `at`, so our block carries LSR and DLSR.
void PeerSenderReport(End& end, const NtpTime& wire, const NtpTime& at) {
  const test::Bytes report = test::SenderReport(kPeer, wire);
  end.records.ReadRtcp(report.data(), static_cast<int32_t>(report.size()), at);
}

// Both layouts of the SR and the RR: sizes, sender information and every field of the block.
TEST(RtcpTransmitter, ReportLayoutsInBothDialects) {
  for (RtcpDialect dialect : {RtcpDialect::kStandard, RtcpDialect::kLegacy}) {
    for (bool senderReport : {true, false}) {
      SCOPED_TRACE(std::string(DialectName(dialect)) + (senderReport ? " SR" : " RR"));
      const bool standard = dialect == RtcpDialect::kStandard;
      End end;
      // 65530 is on probation; 65531 .. 65536 + 46 (52 numbers) less two lost.
      end.Hear(kPeer, 65530, 65536 + 46, {65540, 65541});
      for (int i = 0; i < 3; ++i) end.state.Advance(160, 160);
      const NtpTime peerWire = standard ? kT.ToStandardWire() : kT;
      PeerSenderReport(end, peerWire, NtpTime::Subtract(kT, 250));

      RtcpPacket packet;
      const int32_t fixed = senderReport ? 28 : 8;
      const int32_t blockBytes = standard ? 24 : 28;
      ASSERT_EQ(end.transmitter.AddReport(&packet, senderReport, dialect, kT), fixed + blockBytes);
      ASSERT_EQ(packet.GetTotalUsage(), fixed + blockBytes);
      const uint8_t* p = packet.GetPacketData();
      EXPECT_EQ(p[0], 0x81);
      EXPECT_EQ(p[1], senderReport ? 200 : 201);
      EXPECT_EQ(ReadU16BE(p + 2), (fixed + blockBytes) / 4 - 1);
      EXPECT_EQ(ReadU32BE(p + 4), end.state.Ssrc());
      if (senderReport) {
        const NtpTime wire = standard ? kT.ToStandardWire() : kT;
        EXPECT_EQ(ReadU32BE(p + 8), wire.seconds);
        EXPECT_EQ(ReadU32BE(p + 12), wire.fraction);
        EXPECT_EQ(ReadU32BE(p + 16), end.state.TimestampAt(kT));
        EXPECT_EQ(ReadU32BE(p + 20), 3u);
        EXPECT_EQ(ReadU32BE(p + 24), 480u);
      }

      const uint8_t* block = p + fixed;
      ReportBlockFigures expected;
      {
        End twin;  // the same reception, to learn the figures without using up the interval
        twin.Hear(kPeer, 65530, 65536 + 46, {65540, 65541});
        ASSERT_TRUE(twin.reception.NextReportBlock(&expected));
      }
      ASSERT_GT(expected.jitter, 16u);
      EXPECT_EQ(ReadU32BE(block), kPeer);
      EXPECT_EQ(block[4], 9);  // 2 of 52
      if (standard) {
        EXPECT_EQ((block[5] << 16) | (block[6] << 8) | block[7], 2);
        EXPECT_EQ(ReadU32BE(block + 8), 65536u + 46);
        EXPECT_EQ(ReadU32BE(block + 12), expected.jitter);
        EXPECT_EQ(ReadU32BE(block + 16), peerWire.Middle32());
        EXPECT_EQ(ReadU32BE(block + 20), 250u * 65536 / 1000);
      } else {
        EXPECT_EQ((block[5] | block[6] | block[7] | block[11]), 0);
        EXPECT_EQ((block[8] << 16) | (block[9] << 8) | block[10], 2);
        EXPECT_EQ(ReadU16BE(block + 12), 1);   // wraps
        EXPECT_EQ(ReadU16BE(block + 14), 46);  // highest sequence
        EXPECT_EQ(ReadU32BE(block + 16), expected.jitter / 8);  // ms
        EXPECT_EQ(ReadU32BE(block + 20), peerWire.Middle32());
        EXPECT_EQ(ReadU32BE(block + 24), 250u);
      }
    }
  }
}

// Without a followed source a report has no block; an undecided layout is written legacy.
TEST(RtcpTransmitter, ReportWithoutSourceAndInAnUndecidedLayout) {
  End end;
  RtcpPacket packet;
  EXPECT_EQ(end.transmitter.AddReport(&packet, false, RtcpDialect::kStandard, kT), 8);
  EXPECT_EQ(packet.GetPacketData()[0], 0x80);
  end.Hear(kPeer, 1, 10);
  EXPECT_EQ(end.transmitter.AddReport(&packet, true, RtcpDialect::kUndecided, kT), 28 + 28);
  EXPECT_EQ(ReadU32BE(packet.GetPacketData() + 8 + 8), kT.seconds);  // 1970-based
  EXPECT_EQ(ReadU32BE(packet.GetPacketData() + 8 + 28 + 20), 0u);  // no SR heard: no LSR
  EXPECT_EQ(ReadU32BE(packet.GetPacketData() + 8 + 28 + 24), 0u);
}

// SDES carries the set items and the PRIV announcement only when asked; BYE its reason.
TEST(RtcpTransmitter, SdesPrivAndByeLayouts) {
  End end;
  end.transmitter.SetItem(RtcpTransmitter::kCname, "me@here");  // 7 characters
  RtcpPacket plain;
  ASSERT_EQ(end.transmitter.AddSDES(&plain, 0x1234, false), 20);  // 8 + 2 + 7 + end, padded
  const uint8_t* p = plain.GetPacketData();
  EXPECT_EQ(ReadU32BE(p), 0x81CA0004u);
  EXPECT_EQ(p[17] | p[18] | p[19], 0);

  RtcpPacket announcing;
  const auto prefix = static_cast<int32_t>(std::strlen(RtcpReceiver::kStandardUnderstood));
  const int32_t bytes = end.transmitter.AddSDES(&announcing, 0x1234, true);
  ASSERT_EQ(bytes, (8 + 9 + 3 + prefix + 1 + 3) / 4 * 4);
  const uint8_t* priv = announcing.GetPacketData() + 17;
  EXPECT_EQ(priv[0], 8);
  EXPECT_EQ(priv[1], 1 + prefix);
  EXPECT_EQ(priv[2], prefix);
  EXPECT_EQ(std::memcmp(priv + 3, RtcpReceiver::kStandardUnderstood, static_cast<size_t>(prefix)), 0);
  EXPECT_EQ(priv[3 + prefix], 0);

  RtcpPacket bye;
  ASSERT_EQ(end.transmitter.AddBYE(&bye, 0x1234, "gone"), 16);  // 8 + 1 + 4, padded
  const uint8_t* b = bye.GetPacketData();
  EXPECT_EQ(ReadU32BE(b), 0x81CB0003u);
  EXPECT_EQ(ReadU32BE(b + 4), 0x1234u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(b + 8), 8), std::string("\x04gone\0\0\0", 8));
  EXPECT_EQ(end.transmitter.AddBYE(&bye, 0x1234, nullptr), 8);

  // What a receiver makes of them: the announcement only from the second SDES.
  RtcpReceiver reader;
  reader.SetHeardSsrc(0x1234);
  reader.ReadRtcp(p, plain.GetTotalUsage(), kT);
  EXPECT_FALSE(reader.PeerUnderstandsStandard());
  reader.ReadRtcp(announcing.GetPacketData(), announcing.GetTotalUsage(), kT);
  RtpTranInfo record;
  ASSERT_TRUE(reader.CopyRecord(0x1234, &record));
  EXPECT_TRUE(record.announcesStandard);
  EXPECT_STREQ(record.sdes[0], "me@here");
}

TEST(RtcpTransmitter, CompoundReportSdesByeIsValidAndTheCnameNamesTheProcess) {
  End end;
  end.transmitter.BuildCname();
  char expected[64];
  std::snprintf(expected, sizeof expected, "unknown_user.%u@", platform::GetProcessId());
  EXPECT_EQ(std::string(end.transmitter.GetCname()).rfind(expected, 0), 0u);
  EXPECT_GT(std::strlen(end.transmitter.GetCname()), std::strlen(expected));

  end.Hear(kPeer, 1, 5);
  RtcpPacket packet;
  const uint32_t ssrc = end.state.Ssrc();
  ASSERT_GT(end.transmitter.AddReport(&packet, true, RtcpDialect::kStandard, kT), 0);
  ASSERT_GT(end.transmitter.AddSDES(&packet, ssrc, true), 0);
  ASSERT_GT(end.transmitter.AddBYE(&packet, ssrc, "Program ended"), 0);
  EXPECT_TRUE(RtcpReceiver::IsValidCompound(packet.GetPacketData(), packet.GetTotalUsage()));
}

// A's report, answered by B's block about A, gives A the round trip, with B's figures about
// A's stream, in either layout.
TEST(RtcpTransmitter, ReportAndAnswerGiveTheRoundTrip) {
  for (RtcpDialect dialect : {RtcpDialect::kStandard, RtcpDialect::kLegacy}) {
    SCOPED_TRACE(DialectName(dialect));
    End a, b;
    b.Hear(a.state.Ssrc(), 0, 52, {10, 20});  // 0 on probation, then 2 of 52 lost
    RtcpPacket report;
    ASSERT_GT(a.transmitter.AddReport(&report, true, dialect, kT), 0);
    b.Read(report, NtpTime::Add(kT, 100));

    RtcpPacket answer;
    ASSERT_GT(b.transmitter.AddReport(&answer, false, dialect, NtpTime::Add(kT, 400)), 0);
    a.Read(answer, NtpTime::Add(kT, 500));
    EXPECT_EQ(a.records.RttSamples(), 1);
    EXPECT_NEAR(a.records.RttLast(), 200, 1);  // 500 ms less the 300 B held the report
    RtpTranInfo aboutA;
    ASSERT_TRUE(a.records.CopyRecord(b.state.Ssrc(), &aboutA));
    EXPECT_EQ(aboutA.dialect, dialect);
    EXPECT_TRUE(aboutA.reportedAboutUs);
    EXPECT_EQ(aboutA.fractionLost, 9);
    EXPECT_EQ(aboutA.cumulativeLost, 2);
    EXPECT_NEAR(aboutA.jitterMs, b.reception.Stats().JitterMs(), 1.0);
  }
}

}  // namespace
}  // namespace ve
