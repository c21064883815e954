#include "rtcp/RtcpReceiver.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "rtcp/NtpTime.h"

namespace ve {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// An RTCP header (version 2, `count`, `type`, length in words) and big-endian 32-bit words.
Bytes Part(uint8_t count, uint8_t type, std::initializer_list<uint32_t> words) {
  Bytes b = {static_cast<uint8_t>(0x80 | count), type, 0, static_cast<uint8_t>(words.size())};
  for (uint32_t v : words) {
    for (int shift = 24; shift >= 0; shift -= 8) b.push_back(static_cast<uint8_t>(v >> shift));
  }
  return b;
}

Bytes SenderReport(uint32_t ssrc, const NtpTime& sent) {
  return Part(0, 200, {ssrc, sent.seconds, sent.fraction, 0, 10, 1600});
}
Bytes Bye(uint32_t ssrc) { return Part(1, 203, {ssrc}); }

// One chunk with a CNAME item, the end item and padding to a word.
Bytes Sdes(uint32_t ssrc, const char* cname) {
  size_t n = std::strlen(cname);
  Bytes b = Join({Part(1, 202, {ssrc}), {1, static_cast<uint8_t>(n)}, Bytes(cname, cname + n)});
  b.resize((b.size() + 4) / 4 * 4, 0);
  b[3] = static_cast<uint8_t>(b.size() / 4 - 1);
  return b;
}

// A heap block of exactly the datagram's size, so the address sanitizer catches any read past
// it (a block of one byte stands for an empty datagram).
std::unique_ptr<uint8_t[]> Exact(const Bytes& b) {
  std::unique_ptr<uint8_t[]> data(new uint8_t[b.empty() ? 1 : b.size()]);
  if (!b.empty()) std::memcpy(data.get(), b.data(), b.size());
  return data;
}

bool Valid(const Bytes& b) { return RtcpReceiver::IsValidCompound(Exact(b).get(), static_cast<int32_t>(b.size())); }
int32_t Read(RtcpReceiver& r, const Bytes& b) { return r.ReadRtcp(Exact(b).get(), static_cast<int32_t>(b.size())); }

TEST(RtcpReceiver, ValidityCheckOfCompoundPackets) {
  Bytes sr = SenderReport(1, NtpTime(5, 0));
  EXPECT_TRUE(Valid(Join({sr, Sdes(1, "a@b"), Bye(1)})));
  EXPECT_FALSE(Valid(Join({Sdes(1, "a@b"), sr})));  // must start with a report
  Bytes shortBy4 = Join({sr, Sdes(1, "a@b")});
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

TEST(RtcpReceiver, SenderReportCreatesARecordWithLsrAndByeRemovesIt) {
  RtcpReceiver receiver(0);
  NtpTime sent = NtpTime::Subtract(NtpTime::Now(), 40);
  EXPECT_EQ(Read(receiver, Join({SenderReport(0xAB, sent), Sdes(0xAB, "user.1@host")})), 0);
  ASSERT_EQ(receiver.getTranInfoCount(), 1);
  RtpTranInfo* record = receiver.GetTranInfo(0);
  EXPECT_EQ(record->ssrc, 0xABu);
  EXPECT_EQ(record->lsr, (sent.seconds << 16) | (sent.fraction >> 16));
  EXPECT_STREQ(record->sdes[0], "user.1@host");
  EXPECT_EQ(receiver.ReportsReceived(), 1);
  EXPECT_GE(receiver.DelayAverage(), 39);
  EXPECT_LE(receiver.DelayAverage(), 200);

  EXPECT_EQ(Read(receiver, Join({SenderReport(8, NtpTime::Now()), Bye(99)})), 1);  // unknown SSRC: no change
  EXPECT_EQ(receiver.getTranInfoCount(), 2);
  EXPECT_EQ(Read(receiver, Join({SenderReport(7, NtpTime::Now()), Sdes(7, "x"), Bye(7), Bye(0xAB)})), 1);
  ASSERT_EQ(receiver.getTranInfoCount(), 1);
  EXPECT_EQ(receiver.GetTranInfo(0)->ssrc, 8u);
}

TEST(RtcpReceiver, ReceiverReportBlocksEachAddARoundTrip) {
  RtcpReceiver receiver(0);
  NtpTime now = NtpTime::Now();
  uint32_t lsr = NtpTime(now.seconds, now.fraction).Middle32();
  // Two blocks (their SSRC is not compared) with DLSR 100 and 300.
  Bytes rr = Part(2, 201, {0x42, 0x1, 0, 0, 0, 0, lsr, 100, 0x1, 0, 0, 0, 0, lsr, 300});
  ASSERT_TRUE(Valid(rr));
  Read(receiver, rr);
  EXPECT_EQ(receiver.ReportsReceived(), 1);
  // Each block: (now - LSR) - DLSR, with now within a few ms of LSR.
  EXPECT_NEAR(receiver.RttSum(), -400, 20);
  EXPECT_EQ(receiver.getTranInfoCount(), 0);  // an RR creates no record
}

TEST(RtcpReceiver, LyingCountsAndLengthsStayInsideTheDatagram) {
  RtcpReceiver receiver(0);
  Bytes sr = SenderReport(1, NtpTime::Now());
  sr[0] = 0x80 | 31;  // 31 report blocks claimed, none present
  Read(receiver, sr);

  Bytes sdes = Sdes(2, "abc");
  sdes[0] = 0x80 | 31;  // 31 chunks claimed, one present
  Read(receiver, sdes);

  Read(receiver, Bytes{0x81, 202, 0, 2, 0, 0, 0, 3, 1, 255, 'a', 'b'});  // item text claims 255 bytes, 2 follow
  Read(receiver, Bytes{0x81, 202, 0, 1, 0, 0, 0, 4});  // chunk ends where its first item type would be
  EXPECT_EQ(Read(receiver, Bytes{0x9F, 203, 0, 1, 0, 0, 0, 5}), 1);  // BYE of 31 SSRCs, one present

  Bytes longLength = SenderReport(6, NtpTime::Now());
  longLength[2] = 0xFF;
  longLength[3] = 0xFF;
  Read(receiver, longLength);
  Bytes zeroLength = {0x80, 200, 0, 0, 0x80, 202, 0, 0, 0x81, 203, 0, 0};
  Read(receiver, zeroLength);
  Read(receiver, Bytes{0x80, 200, 0});
  Read(receiver, Bytes{});
  // The only record that can exist is the SDES one whose text fitted (SSRC 2) and SR 6.
  EXPECT_LE(receiver.getTranInfoCount(), 3);
}

TEST(RtcpReceiver, RecordCountIsBounded) {
  RtcpReceiver receiver(0);
  for (uint32_t ssrc = 1; ssrc <= 200; ++ssrc) Read(receiver, Sdes(ssrc, "n"));
  EXPECT_EQ(static_cast<size_t>(receiver.getTranInfoCount()), RtcpReceiver::kMaxRecords);
  EXPECT_EQ(receiver.GetTranInfo(receiver.getTranInfoCount()), nullptr);
  EXPECT_EQ(receiver.GetTranInfo(0)->ssrc, 1u);  // SSRC order
}

}  // namespace
}  // namespace ve
