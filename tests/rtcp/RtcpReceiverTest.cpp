#include "rtcp/RtcpReceiver.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "support/RtcpBytes.h"

namespace ve {
namespace {

using namespace test;

constexpr uint32_t kOwn = 0x0A0B0C0D;
// A moment in the year 2026, on the 1970-based clock.
const NtpTime kT(1780000000u, 0x40000000u);

// A heap block of exactly the datagram's size, so the address sanitizer catches any read past
// it (a block of one byte stands for an empty datagram).
std::unique_ptr<uint8_t[]> Exact(const Bytes& b) {
  std::unique_ptr<uint8_t[]> data(new uint8_t[b.empty() ? 1 : b.size()]);
  if (!b.empty()) std::memcpy(data.get(), b.data(), b.size());
  return data;
}

bool Valid(const Bytes& b) { return RtcpReceiver::IsValidCompound(Exact(b).get(), static_cast<int32_t>(b.size())); }
int32_t Read(RtcpReceiver& r, const Bytes& b, const NtpTime& now = kT) {
  return r.ReadRtcp(Exact(b).get(), static_cast<int32_t>(b.size()), now);
}
RtcpDialect Shown(const Bytes& part) {
  return RtcpReceiver::DialectOfReport(Exact(part).get(), static_cast<int32_t>(part.size()));
}
RtpTranInfo Record(const RtcpReceiver& r, uint32_t ssrc) {
  RtpTranInfo record;
  EXPECT_TRUE(r.CopyRecord(ssrc, &record)) << ssrc;
  return record;
}

TEST(RtcpReceiver, ValidityCheckOfCompoundPackets) {
  Bytes sr = SenderReport(1, kT.ToStandardWire());
  EXPECT_TRUE(Valid(Join({sr, Cname(1, "a@b"), Bye(1)})));
  EXPECT_FALSE(Valid(Join({Cname(1, "a@b"), sr})));  // must start with a report
  Bytes shortBy4 = Join({sr, Cname(1, "a@b")});
  shortBy4.resize(shortBy4.size() - 4);
  EXPECT_FALSE(Valid(shortBy4));  // length fields run past the datagram
  EXPECT_FALSE(Valid(Join({sr, Bytes{0, 0}})));  // two stray bytes after the last part
  Bytes padded = sr;
  padded[0] |= 0x20;
  EXPECT_FALSE(Valid(padded));
  EXPECT_FALSE(Valid(Bytes{0x80, 200}));
  Bytes version1 = Join({sr, Bye(1)});
  version1[sr.size()] = 0x41;  // a later part that is not version 2 ends the walk early
  EXPECT_FALSE(Valid(version1));
}

// The SR's time decides when it can; otherwise only an exact block length does.
TEST(RtcpReceiver, DialectOfAReport) {
  const NtpTime zero(0, 0);
  // The SR time: from 1900 (2^31 or more) or from 1970, whatever the blocks look like.
  EXPECT_EQ(Shown(SenderReport(1, kT.ToStandardWire(), LegacyBlock(2, 0, 0), 1)), RtcpDialect::kStandard);
  EXPECT_EQ(Shown(SenderReport(1, kT, StandardBlock(2, 0, 0), 1)), RtcpDialect::kLegacy);
  // No time: the length, with at least one block.
  EXPECT_EQ(Shown(SenderReport(1, zero, StandardBlock(2, 0, 0), 1)), RtcpDialect::kStandard);
  EXPECT_EQ(Shown(SenderReport(1, zero, LegacyBlock(2, 0, 0), 1)), RtcpDialect::kLegacy);
  EXPECT_EQ(Shown(SenderReport(1, zero)), RtcpDialect::kUndecided);
  EXPECT_EQ(Shown(SenderReport(1, zero, Join<uint32_t>({StandardBlock(2, 0, 0), {0, 0}}), 1)), RtcpDialect::kUndecided);

  EXPECT_EQ(Shown(ReceiverReport(1, StandardBlock(2, 0, 0), 1)), RtcpDialect::kStandard);
  EXPECT_EQ(Shown(ReceiverReport(1, LegacyBlock(2, 0, 0), 1)), RtcpDialect::kLegacy);
  // Seven standard blocks are as long as six legacy ones: the count tells them apart.
  Words seven;
  for (int i = 0; i < 7; ++i) seven = Join<uint32_t>({seven, StandardBlock(2, 0, 0)});
  EXPECT_EQ(Shown(ReceiverReport(1, seven, 7)), RtcpDialect::kStandard);
  EXPECT_EQ(Shown(ReceiverReport(1, seven, 6)), RtcpDialect::kLegacy);
  EXPECT_EQ(Shown(ReceiverReport(1, {}, 0)), RtcpDialect::kUndecided);
  EXPECT_EQ(Shown(ReceiverReport(1, StandardBlock(2, 0, 0), 2)), RtcpDialect::kUndecided);
  EXPECT_EQ(Shown(ReceiverReport(1, LegacyBlock(2, 0, 0), 0)), RtcpDialect::kUndecided);
}

// The round trip comes only from blocks about our SSRC that echo a sender report we sent, with
// the delay since that report in the block's own units.
TEST(RtcpReceiver, RoundTripFromBlocksAboutUsInEitherLayout) {
  RtcpReceiver receiver;
  receiver.SetOwnSsrc(kOwn);
  const uint32_t standardLsr = kT.ToStandardWire().Middle32();
  const uint32_t legacyLsr = kT.Middle32();
  receiver.NoteSenderReportSent(standardLsr, kT);
  receiver.NoteSenderReportSent(legacyLsr, kT);
  const NtpTime later = NtpTime::Add(kT, 800);

  // The peer held our report 0.5 s: the round trip is the other 300 ms.
  Read(receiver, ReceiverReport(0x51, StandardBlock(kOwn, standardLsr, 0x8000), 1), later);
  EXPECT_EQ(receiver.RttSamples(), 1);
  EXPECT_NEAR(receiver.RttLast(), 300, 1);
  Read(receiver, ReceiverReport(0x52, LegacyBlock(kOwn, legacyLsr, 500), 1), later);
  EXPECT_EQ(receiver.RttSamples(), 2);
  EXPECT_EQ(receiver.RttLast(), 300);
  EXPECT_NEAR(receiver.RttAverage(), 300, 1);

  // What each peer said about our stream, in ms.
  RtpTranInfo standard = Record(receiver, 0x51);
  EXPECT_TRUE(standard.reportedAboutUs);
  EXPECT_EQ(standard.dialect, RtcpDialect::kStandard);
  EXPECT_EQ(standard.fractionLost, 3);
  EXPECT_EQ(standard.cumulativeLost, 7);
  EXPECT_DOUBLE_EQ(standard.jitterMs, 10.0);  // 80 units of the 8 kHz clock
  RtpTranInfo legacy = Record(receiver, 0x52);
  EXPECT_EQ(legacy.dialect, RtcpDialect::kLegacy);
  EXPECT_EQ(legacy.cumulativeLost, 7);
  EXPECT_DOUBLE_EQ(legacy.jitterMs, 10.0);

  // None of these gives a sample: a block about someone else, an LSR we never sent, no LSR,
  // and a delay longer than the time since we sent.
  Read(receiver, ReceiverReport(0x53, StandardBlock(kOwn + 1, standardLsr, 0), 1), later);
  Read(receiver, ReceiverReport(0x53, StandardBlock(kOwn, standardLsr + 1, 0), 1), later);
  Read(receiver, ReceiverReport(0x53, StandardBlock(kOwn, 0, 0), 1), later);
  Read(receiver, ReceiverReport(0x54, LegacyBlock(kOwn, legacyLsr, 900), 1), later);
  EXPECT_EQ(receiver.RttSamples(), 2);
}

// A source keeps the layout it was first seen in; a report contradicting it is not read at
// all, unless a legacy source announced that it understands the standard layout.
TEST(RtcpReceiver, LayoutIsKeptPerSourceExceptTheAnnouncedMove) {
  RtcpReceiver receiver;
  receiver.SetOwnSsrc(kOwn);
  const uint32_t lsr = kT.Middle32();
  receiver.NoteSenderReportSent(lsr, kT);
  const NtpTime later = NtpTime::Add(kT, 100);

  // A standard source sending a legacy report, even after a PRIV item.
  Read(receiver, Join({SenderReport(0x5A, NtpTime::Subtract(kT, 20).ToStandardWire()), StandardUnderstood(0x5A)}));
  const uint32_t keptLsr = receiver.LastSenderReport(0x5A, nullptr);
  Read(receiver, SenderReport(0x5A, kT, LegacyBlock(kOwn, lsr, 0), 1), later);
  EXPECT_EQ(receiver.RttSamples(), 0);
  EXPECT_FALSE(Record(receiver, 0x5A).reportedAboutUs);
  EXPECT_EQ(Record(receiver, 0x5A).dialect, RtcpDialect::kStandard);
  EXPECT_EQ(receiver.LastSenderReport(0x5A, nullptr), keptLsr);
  EXPECT_EQ(receiver.DelayAverage(), 20);

  // A legacy source sending a standard report without having announced it.
  Read(receiver, SenderReport(0x1E, kT));
  EXPECT_EQ(receiver.PeerDialect(), RtcpDialect::kLegacy);
  Read(receiver, ReceiverReport(0x1E, StandardBlock(kOwn, lsr, 0), 1), later);
  EXPECT_EQ(receiver.RttSamples(), 0);
  EXPECT_EQ(Record(receiver, 0x1E).dialect, RtcpDialect::kLegacy);
  // Once it has announced it, the move is taken and kept.
  Read(receiver, Join({SenderReport(0x1E, kT), StandardUnderstood(0x1E)}));
  EXPECT_TRUE(Record(receiver, 0x1E).announcesStandard);
  EXPECT_TRUE(receiver.PeerUnderstandsStandard());
  Read(receiver, ReceiverReport(0x1E, StandardBlock(kOwn, lsr, 0), 1), later);
  EXPECT_EQ(receiver.RttSamples(), 1);
  EXPECT_EQ(receiver.RttLast(), 100);
  EXPECT_EQ(Record(receiver, 0x1E).dialect, RtcpDialect::kStandard);
  EXPECT_EQ(receiver.PeerDialect(), RtcpDialect::kStandard);
  Read(receiver, ReceiverReport(0x1E, LegacyBlock(kOwn, lsr, 0), 1), later);
  EXPECT_EQ(receiver.RttSamples(), 1);

  // An undecided source's blocks are not read either.
  Read(receiver, ReceiverReport(0x77, Join<uint32_t>({LegacyBlock(kOwn, lsr, 0), {0}}), 1), later);
  EXPECT_EQ(receiver.RttSamples(), 1);
  EXPECT_EQ(Record(receiver, 0x77).dialect, RtcpDialect::kUndecided);
}

// The SR's time and its arrival are kept for our answer; the one-way delay needs a readable
// SR time.
TEST(RtcpReceiver, SenderReportTimesAndTheOneWayDelay) {
  RtcpReceiver receiver;
  Read(receiver, ReceiverReport(0x60, StandardBlock(2, 0, 0), 1));
  Read(receiver, SenderReport(0x61, NtpTime(0, 0), StandardBlock(2, 0, 0), 1));
  Read(receiver, SenderReport(0x62, NtpTime(0, 0)));
  EXPECT_EQ(receiver.DelayAverage(), -1);
  EXPECT_EQ(receiver.ReportsReceived(), 3);

  const NtpTime legacySent = NtpTime::Subtract(kT, 40);
  const NtpTime standardSent = NtpTime::Subtract(kT, 60).ToStandardWire();
  Read(receiver, Join({SenderReport(0x63, legacySent), Cname(0x63, "user.1@host")}));
  EXPECT_EQ(receiver.DelayAverage(), 40);
  Read(receiver, SenderReport(0x64, standardSent));
  EXPECT_EQ(receiver.DelayAverage(), 50);

  NtpTime arrival(0, 0);
  EXPECT_EQ(receiver.LastSenderReport(0x63, &arrival), legacySent.Middle32());
  EXPECT_EQ(arrival, kT);
  EXPECT_EQ(receiver.LastSenderReport(0x64, nullptr), standardSent.Middle32());
  EXPECT_EQ(receiver.LastSenderReport(0x99, nullptr), 0u);
  EXPECT_STREQ(Record(receiver, 0x63).sdes[0], "user.1@host");
}

// A BYE forgets the source's record and tells the reception record, which forgets a source of
// that SSRC still on probation and tells its listener (the playout) which sources left.
TEST(RtcpReceiver, ByeForgetsTheSource) {
  RtpReceiver reception;
  std::vector<uint32_t> left;
  reception.SetSourceLeftListener([&](uint32_t ssrc) { left.push_back(ssrc); });
  auto feed = [&](uint16_t seq, uint32_t ssrc) { HearRtp(reception, seq, ssrc); };
  feed(1, 0xA);
  feed(2, 0xA);
  feed(3, 0xB);
  ASSERT_EQ(reception.Stats().ssrc, 0xAu);

  RtcpReceiver receiver;
  receiver.SetOwnSsrc(kOwn);
  receiver.SetReception(&reception);
  Read(receiver, SenderReport(0xA, kT));
  Read(receiver, SenderReport(0xB, kT));
  EXPECT_EQ(receiver.RecordCount(), 2);
  EXPECT_EQ(Read(receiver, Join({SenderReport(0xA, kT), Bye(0xA), Bye(0xB)})), 1);
  EXPECT_EQ(receiver.RecordCount(), 0);
  EXPECT_EQ(left, (std::vector<uint32_t>{0xA, 0xB}));
  RtpTranInfo gone;
  EXPECT_FALSE(receiver.CopyRecord(0xA, &gone));
  feed(4, 0xB);
  EXPECT_EQ(reception.Stats().ssrc, 0xAu) << "B's probation began again after its BYE";
  feed(5, 0xB);
  EXPECT_EQ(reception.Stats().ssrc, 0xBu);
}

// Records come only for the senders of reports and for the source we hear: SDES chunks about
// anybody else leave no trace, however many come. Our own SSRC from the peer is a collision.
TEST(RtcpReceiver, RecordsOnlyForReportersAndTheHeardSourceAndOwnSsrcCollides) {
  RtcpReceiver receiver;
  receiver.SetOwnSsrc(kOwn);
  for (uint32_t ssrc = 100; ssrc < 200; ++ssrc) Read(receiver, Join({SenderReport(0x70, kT), Cname(ssrc, "x")}));
  EXPECT_EQ(receiver.RecordCount(), 1);
  receiver.SetHeardSsrc(150);
  Read(receiver, Join({SenderReport(0x70, kT), Cname(150, "peer")}));
  EXPECT_STREQ(Record(receiver, 150).sdes[0], "peer");
  // Silent sources expire.
  receiver.ExpireSilent(NtpTime::Add(kT, 30000), 25000);
  EXPECT_EQ(receiver.RecordCount(), 0);

  // Our own SSRC as a reporter or SDES source is somebody else using it.
  Read(receiver, Join({SenderReport(0x70, kT), Cname(0x70, "x")}));
  EXPECT_FALSE(receiver.TakeCollision());
  Read(receiver, ReceiverReport(kOwn, {}, 0));
  EXPECT_TRUE(receiver.TakeCollision());
  EXPECT_FALSE(receiver.TakeCollision());
  Read(receiver, Join({SenderReport(0x70, kT), Cname(kOwn, "x")}));
  EXPECT_TRUE(receiver.TakeCollision());
  EXPECT_EQ(receiver.RecordCount(), 1);
}

TEST(RtcpReceiver, LyingCountsAndLengthsStayInsideTheDatagram) {
  RtcpReceiver receiver;
  receiver.SetOwnSsrc(kOwn);
  receiver.NoteSenderReportSent(kT.Middle32(), kT);
  // 31 report blocks claimed, one present, in both layouts.
  Read(receiver, SenderReport(1, kT.ToStandardWire(), StandardBlock(kOwn, kT.Middle32(), 0), 31));
  Read(receiver, SenderReport(2, kT, LegacyBlock(kOwn, kT.Middle32(), 0), 31));
  Read(receiver, ReceiverReport(3, StandardBlock(kOwn, kT.Middle32(), 0), 31));

  Bytes sdes = Cname(4, "abc");
  sdes[0] = 0x80 | 31;  // 31 chunks claimed, one present
  Read(receiver, sdes);
  Read(receiver, Bytes{0x81, 202, 0, 2, 0, 0, 0, 5, 1, 255, 'a', 'b'});  // item text claims 255 bytes, 2 follow
  Read(receiver, Bytes{0x81, 202, 0, 1, 0, 0, 0, 6});  // chunk ends where its first item type would be
  Read(receiver, Bytes{0x81, 202, 0, 2, 0, 0, 0, 7, 8, 2, 200, 'x'});  // PRIV prefix longer than its item
  EXPECT_EQ(Read(receiver, Bytes{0x9F, 203, 0, 1, 0, 0, 0, 8}), 1);  // BYE of 31 SSRCs, one present

  Bytes longLength = SenderReport(9, kT, LegacyBlock(kOwn, kT.Middle32(), 0), 1);
  longLength[2] = 0xFF;
  longLength[3] = 0xFF;
  Read(receiver, longLength);
  Read(receiver, Bytes{0x80, 200, 0, 0, 0x80, 202, 0, 0, 0x81, 203, 0, 0});  // zero lengths
  Read(receiver, Bytes{0x80, 200, 0});
  Read(receiver, Bytes{});
  EXPECT_EQ(receiver.RecordCount(), 4);  // reporters 1, 2, 3 and 9; SDES alone makes none
  // The one block present in each SR was read; the RR with the lying count has no layout.
  EXPECT_EQ(receiver.RttSamples(), 3);
}

TEST(RtcpReceiver, RecordCountIsBounded) {
  RtcpReceiver receiver;
  for (uint32_t ssrc = 1; ssrc <= 200; ++ssrc) Read(receiver, Join({SenderReport(ssrc, kT), Cname(ssrc, "n")}));
  EXPECT_EQ(static_cast<size_t>(receiver.RecordCount()), RtcpReceiver::kMaxRecords);
  RtpTranInfo record;
  EXPECT_TRUE(receiver.CopyRecord(1, &record));
  EXPECT_FALSE(receiver.CopyRecord(200, &record));
  receiver.Reset();
  EXPECT_EQ(receiver.RecordCount(), 0);
  EXPECT_EQ(receiver.ReportsReceived(), 0);
  EXPECT_EQ(receiver.DelayAverage(), -1);
}

}  // namespace
}  // namespace ve
