#include "rtcp/RtcpReceiver.h"

#include <gtest/gtest.h>

#include "support/RtcpBytes.h"

namespace ve::test {
namespace {

constexpr uint32_t kOwn = 0x0A0B0C0D;
// A moment in the year 2026, on the 1970-based clock, and the middle words of our SR sent then.
const NtpTime kT(1780000000u, 0x40000000u);
const uint32_t kLegacyLsr = kT.Middle32();
const uint32_t kStandardLsr = kT.ToStandardWire().Middle32();

int32_t Size(const Bytes& b) { return static_cast<int32_t>(b.size()); }
bool Valid(const Bytes& b) { return RtcpReceiver::IsValidCompound(b.data(), Size(b)); }
RtcpDialect Shown(const Bytes& part) { return RtcpReceiver::DialectOfReport(part.data(), Size(part)); }

// A receiver with our SSRC that sent SRs at kT in both layouts.
struct RtcpReceiverTest : testing::Test {
  void SetUp() override {
    receiver.SetOwnSsrc(kOwn);
    receiver.NoteSenderReportSent(kStandardLsr, kT);
    receiver.NoteSenderReportSent(kLegacyLsr, kT);
  }
  int32_t Read(const Bytes& b, uint32_t afterMs = 0) {
    return receiver.ReadRtcp(b.data(), Size(b), NtpTime::Add(kT, afterMs));
  }
  bool Has(uint32_t ssrc) { return receiver.CopyRecord(ssrc, &record); }
  RtpTranInfo& Record(uint32_t ssrc) {
    EXPECT_TRUE(Has(ssrc)) << ssrc;
    return record;
  }
  auto Rtt() { return std::make_tuple(receiver.RttSamples(), receiver.RttLast(), receiver.RttAverage()); }
  RtcpReceiver receiver;
  RtpTranInfo record;
};

TEST(RtcpReceiver, ValidityOfCompoundPacketsAndTheLayoutAReportShows) {
  const Bytes sr = SenderReport(1, kT.ToStandardWire());
  EXPECT_TRUE(Valid(Join({sr, Cname(1, "a@b"), Bye(1)})));
  Bytes shortBy4 = Join({sr, Cname(1, "a@b")}), padded = sr, version1 = Join({sr, Bye(1)});
  shortBy4.resize(shortBy4.size() - 4);  // length fields run past the datagram
  padded[0] |= 0x20;
  version1[sr.size()] = 0x41;  // a later part that is not version 2 ends the walk early
  for (const Bytes& b : {Join({Cname(1, "a@b"), sr}), shortBy4, Join({sr, Bytes{0, 0}}), padded, Bytes{0x80, 200}, version1}) {
    EXPECT_FALSE(Valid(b));
  }

  // The SR's time decides when it can: from 1900 (2^31 or more) or from 1970; otherwise only an
  // exact block length does, with at least one block.
  const NtpTime zero(0, 0);
  const Words standard = StandardBlock(2, 0, 0), legacy = LegacyBlock(2, 0, 0);
  // Seven standard blocks are as long as six legacy ones: the count tells them apart.
  const Words seven = Join<uint32_t>({standard, standard, standard, standard, standard, standard, standard});
  EXPECT_EQ((std::vector<RtcpDialect>{Shown(SenderReport(1, NtpTime(0x80000000u, 0), legacy, 1)),
                                      Shown(SenderReport(1, NtpTime(0x7FFFFFFFu, 0), standard, 1)), Shown(SenderReport(1, kT)),
                                      Shown(SenderReport(1, zero, standard, 1)), Shown(SenderReport(1, zero)),
                                      Shown(ReceiverReport(1, standard, 2)), Shown(ReceiverReport(1, seven, 7)),
                                      Shown(ReceiverReport(1, seven, 6))}),
            (std::vector<RtcpDialect>{RtcpDialect::kStandard, RtcpDialect::kLegacy, RtcpDialect::kLegacy, RtcpDialect::kStandard,
                                      RtcpDialect::kUndecided, RtcpDialect::kUndecided, RtcpDialect::kStandard, RtcpDialect::kLegacy}));
}

// The round trip comes only from blocks about our SSRC that echo a sender report we sent, with
// the delay since that report in the block's own units.
TEST_F(RtcpReceiverTest, RoundTripFromBlocksAboutUsInEitherLayout) {
  // The peer held our report 0.5 s: the round trip is the other 300 ms.
  Read(ReceiverReport(0x51, StandardBlock(kOwn, kStandardLsr, 0x8000), 1), 800);
  Read(ReceiverReport(0x52, LegacyBlock(kOwn, kLegacyLsr, 500), 1), 800);
  EXPECT_EQ(std::make_tuple(Rtt(), receiver.PeerUnderstandsStandard()), std::make_tuple(std::make_tuple(2, 300, 300), true));
  // A peer that rounds its delay up by up to 10 ms gives a round trip of 0.
  Read(ReceiverReport(0x53, LegacyBlock(kOwn, kLegacyLsr, 810), 1), 800);
  EXPECT_EQ(Rtt(), std::make_tuple(3, 0, 200));
  // What each peer said about our stream, in ms (the standard jitter is 80 units of 8 kHz).
  for (uint32_t ssrc : {0x51, 0x52}) {
    const RtpTranInfo& r = Record(ssrc);
    EXPECT_EQ(std::make_tuple(r.dialect == RtcpDialect::kStandard, r.reportedAboutUs, r.fractionLost, r.cumulativeLost,
                              r.jitterMs),
              std::make_tuple(ssrc == 0x51, true, uint8_t{3}, 7, 10.0));
  }
  // None of these gives a sample: a block about someone else, an LSR we never sent, no LSR,
  // and a delay more than 10 ms longer than the time since we sent.
  for (const Words& block : {StandardBlock(kOwn + 1, kStandardLsr, 0), StandardBlock(kOwn, kStandardLsr + 1, 0), StandardBlock(kOwn, 0, 0)}) {
    Read(ReceiverReport(0x54, block, 1), 800);
  }
  Read(ReceiverReport(0x55, LegacyBlock(kOwn, kLegacyLsr, 811), 1), 800);
  EXPECT_EQ(Rtt(), std::make_tuple(3, 0, 200));
}

// A source keeps the layout it was first seen in; a report contradicting it is not read at
// all, unless a legacy source announced that it understands the standard layout.
TEST_F(RtcpReceiverTest, LayoutIsKeptPerSourceExceptTheAnnouncedMove) {
  // A standard source sending a legacy report, even after a PRIV item.
  Read(Join({SenderReport(0x5A, NtpTime::Subtract(kT, 20).ToStandardWire()), StandardUnderstood(0x5A)}));
  const uint32_t keptLsr = receiver.LastSenderReport(0x5A, nullptr);
  Read(SenderReport(0x5A, kT, LegacyBlock(kOwn, kLegacyLsr, 0), 1), 100);
  const RtpTranInfo& standard = Record(0x5A);
  EXPECT_EQ(std::make_tuple(receiver.RttSamples(), standard.reportedAboutUs, standard.dialect, standard.lsr),
            std::make_tuple(0, false, RtcpDialect::kStandard, keptLsr));
  EXPECT_EQ(receiver.DelayAverage(), 20);

  // A legacy source sending a standard report without having announced it.
  Read(SenderReport(0x1E, kT));
  EXPECT_EQ(receiver.PeerDialect(), RtcpDialect::kLegacy);
  Read(ReceiverReport(0x1E, StandardBlock(kOwn, kStandardLsr, 0), 1), 100);
  EXPECT_EQ(std::make_tuple(receiver.RttSamples(), Record(0x1E).dialect), std::make_tuple(0, RtcpDialect::kLegacy));
  // Once it has announced it, the move is taken and kept.
  Read(Join({SenderReport(0x1E, kT), StandardUnderstood(0x1E)}));
  EXPECT_TRUE(Record(0x1E).announcesStandard);
  Read(ReceiverReport(0x1E, StandardBlock(kOwn, kStandardLsr, 0), 1), 100);
  EXPECT_EQ(Rtt(), std::make_tuple(1, 100, 100));
  EXPECT_EQ(std::make_tuple(Record(0x1E).dialect, receiver.PeerDialect()),
            std::make_tuple(RtcpDialect::kStandard, RtcpDialect::kStandard));
  Read(ReceiverReport(0x1E, LegacyBlock(kOwn, kLegacyLsr, 0), 1), 100);
  // An undecided source's blocks are not read either.
  Read(ReceiverReport(0x77, Join<uint32_t>({LegacyBlock(kOwn, kLegacyLsr, 0), {0}}), 1), 100);
  EXPECT_EQ(std::make_tuple(receiver.RttSamples(), Record(0x77).dialect), std::make_tuple(1, RtcpDialect::kUndecided));
}

// A BYE forgets the source's record and tells the reception record, which forgets a source of
// that SSRC still on probation and tells its listener (the playout) which sources left. Nobody
// else can end our own stream.
TEST_F(RtcpReceiverTest, ByeForgetsTheSource) {
  RtpReceiver reception;
  std::vector<uint32_t> left;
  reception.SetSourceLeftListener([&](uint32_t ssrc) { left.push_back(ssrc); });
  for (uint16_t seq = 1; seq <= 3; ++seq) HearRtp(reception, seq, seq < 3 ? 0xA : 0xB);
  receiver.SetReception(&reception);
  Read(Join({SenderReport(0xA, kT), SenderReport(0xB, kT)}));
  EXPECT_EQ(std::make_tuple(Read(Join({SenderReport(0xA, kT), Bye(0xA), Bye(kOwn), Bye(0xB)})), Read(SenderReport(0xC, kT))),
            std::make_tuple(1, 0));
  EXPECT_EQ(std::make_tuple(receiver.RecordCount(), Has(0xA), left), std::make_tuple(1, false, std::vector<uint32_t>{0xA, 0xB}));
  HearRtp(reception, 4, 0xB);
  EXPECT_EQ(reception.Stats().ssrc, 0xAu) << "B's probation began again after its BYE";
}

// Records come only for the senders of reports and for the source we hear: SDES chunks about
// anybody else leave no trace, however many come. Silent sources expire. Our own SSRC from the
// peer is a collision.
TEST_F(RtcpReceiverTest, RecordsOnlyForReportersAndTheHeardSourceAndOwnSsrcCollides) {
  for (uint32_t ssrc = 100; ssrc < 200; ++ssrc) Read(Join({SenderReport(0x70, kT), Cname(ssrc, "x")}));
  EXPECT_EQ(receiver.RecordCount(), 1);
  receiver.SetHeardSsrc(150);
  // NOTE, the last item kept, its text "no" filling the chunk to the end of the part.
  Read(Join({SenderReport(0x70, kT), Part(1, 202, {150, 0x07026E6Fu})}));
  EXPECT_STREQ(Record(150).sdes[6], "no");
  // A chunk beyond the part's count is not read.
  Read(Join({SenderReport(0x70, kT), Part(1, 202, {0x70, 0x01016100u, 150, 0x07026E65u})}));
  EXPECT_STREQ(Record(150).sdes[6], "no");
  Read(SenderReport(0x70, kT), 5000);  // refreshes its sender
  receiver.ExpireSilent(NtpTime::Add(kT, 30000), 25000);
  EXPECT_EQ(std::make_tuple(receiver.RecordCount(), Has(0x70)), std::make_tuple(1, true));

  std::vector<bool> collided;
  for (const Bytes& b : {Join({SenderReport(0x70, kT), Cname(0x70, "x")}), ReceiverReport(kOwn), Bytes{}, Join({SenderReport(0x70, kT), Cname(kOwn, "x")})}) {
    Read(b);
    collided.push_back(receiver.TakeCollision());
  }
  EXPECT_EQ(collided, (std::vector<bool>{false, true, false, true}));
  EXPECT_EQ(receiver.RecordCount(), 1);
}

// The table of sources is bounded; a new call forgets every record and figure, the history of
// sent reports included.
TEST_F(RtcpReceiverTest, RecordCountIsBoundedAndResetForgetsEverything) {
  for (uint32_t ssrc = 1; ssrc <= 200; ++ssrc) Read(Join({SenderReport(ssrc, kT), Cname(ssrc, "n")}), 500);
  EXPECT_EQ(std::make_tuple(static_cast<size_t>(receiver.RecordCount()), Has(1), Has(200)),
            std::make_tuple(RtcpReceiver::kMaxRecords, true, false));
  Read(Join({ReceiverReport(1, LegacyBlock(kOwn, kLegacyLsr, 0), 1), StandardUnderstood(1)}), 300);
  Read(ReceiverReport(kOwn));
  ASSERT_EQ(std::make_tuple(Rtt(), receiver.PeerUnderstandsStandard()), std::make_tuple(std::make_tuple(1, 300, 300), true));

  receiver.Reset();
  EXPECT_EQ(std::make_tuple(receiver.RecordCount(), receiver.ReportsReceived(), receiver.DelayAverage(), Rtt(),
                            receiver.PeerDialect(), receiver.PeerUnderstandsStandard(), receiver.TakeCollision()),
            std::make_tuple(0, 0, -1, std::make_tuple(0, -1, -1), RtcpDialect::kUndecided, false, false));
  const Bytes answer = ReceiverReport(1, LegacyBlock(kOwn, kLegacyLsr, 0), 1);
  Read(answer, 100);
  EXPECT_EQ(receiver.RttSamples(), 0) << "the report it answers was sent in the old call";
  receiver.NoteSenderReportSent(kLegacyLsr, kT);
  Read(answer, 100);
  Read(SenderReport(3, NtpTime(0, 0), LegacyBlock(2, 0, 0), 1));  // no time: no delay
  Read(SenderReport(2, NtpTime::Subtract(kT, 40)));
  EXPECT_EQ(std::make_tuple(Rtt(), receiver.DelayAverage()), std::make_tuple(std::make_tuple(1, 100, 100), 40));
}

}  // namespace
}  // namespace ve::test
