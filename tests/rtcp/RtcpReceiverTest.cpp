#include "rtcp/RtcpReceiver.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "rtcp/NtpTime.h"
#include "rtcp/RtcpPacket.h"
#include "support/LoopbackSocket.h"

namespace ve {
namespace {

using Bytes = std::vector<uint8_t>;

void Put32(Bytes& b, std::initializer_list<uint32_t> words) {
  for (uint32_t v : words) {
    for (int shift = 24; shift >= 0; shift -= 8) b.push_back(static_cast<uint8_t>(v >> shift));
  }
}

// An RTCP header for a part of `words` 32-bit words after the header.
void Header(Bytes& b, uint8_t count, uint8_t type, uint16_t words) {
  b.push_back(static_cast<uint8_t>(0x80 | count));
  b.push_back(type);
  b.push_back(static_cast<uint8_t>(words >> 8));
  b.push_back(static_cast<uint8_t>(words));
}

Bytes SenderReport(uint32_t ssrc, const NtpTime& sent) {
  Bytes b;
  Header(b, 0, 200, 6);
  Put32(b, {ssrc, sent.seconds, sent.fraction, 0, 10, 1600});
  return b;
}

Bytes Bye(uint32_t ssrc) {
  Bytes b;
  Header(b, 1, 203, 1);
  Put32(b, {ssrc});
  return b;
}

Bytes Sdes(uint32_t ssrc, const char* cname) {
  Bytes b;
  size_t n = std::strlen(cname);
  Header(b, 1, 202, static_cast<uint16_t>((4 + 2 + n + 1 + 3) / 4));
  Put32(b, {ssrc});
  b.push_back(1);
  b.push_back(static_cast<uint8_t>(n));
  b.insert(b.end(), cname, cname + n);
  b.resize(4 + 4 * (b[3] + (b[2] << 8)), 0);  // the end item, then padding to a word
  return b;
}

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// Copies into a heap block of exactly the datagram's size, so any read past it is caught
// by the address sanitizer.
struct Exact {
  explicit Exact(const Bytes& b) : size(static_cast<int32_t>(b.size())), data(new uint8_t[b.empty() ? 1 : b.size()]) {
    if (!b.empty()) std::memcpy(data.get(), b.data(), b.size());
  }
  int32_t size;
  std::unique_ptr<uint8_t[]> data;
};

bool Valid(const Bytes& b) {
  Exact e(b);
  return RtcpReceiver::IsValidCompound(e.data.get(), e.size);
}

int32_t Read(RtcpReceiver& r, const Bytes& b) {
  Exact e(b);
  return r.ReadRtcp(e.data.get(), e.size);
}

TEST(RtcpReceiver, ValidityCheckOfCompoundPackets) {
  Bytes sr = SenderReport(1, NtpTime(5, 0));
  EXPECT_TRUE(Valid(Join({sr, Sdes(1, "a@b")})));
  EXPECT_TRUE(Valid(Join({sr, Sdes(1, "a@b"), Bye(1)})));
  EXPECT_FALSE(Valid(Join({Sdes(1, "a@b"), sr})));  // must start with a report
  Bytes shortBy4 = Join({sr, Sdes(1, "a@b")});
  shortBy4.resize(shortBy4.size() - 4);
  EXPECT_FALSE(Valid(shortBy4));  // length fields run past the datagram
  Bytes extra = Join({sr, Bytes{0, 0}});
  EXPECT_FALSE(Valid(extra));  // two stray bytes after the last part
  Bytes padded = sr;
  padded[0] |= 0x20;
  EXPECT_FALSE(Valid(padded));
  EXPECT_FALSE(Valid(Bytes{}));
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
  Bytes rr;
  Header(rr, 2, 201, 1 + 2 * 7);
  Put32(rr, {0x42});
  for (uint32_t dlsr : {100u, 300u}) Put32(rr, {0x1, 0, 0, 0, 0, lsr, dlsr});  // block SSRC not compared
  ASSERT_TRUE(Valid(rr));
  Read(receiver, rr);
  EXPECT_EQ(receiver.ReportsReceived(), 1);
  // Each block: (now - LSR) - DLSR, with now within a few ms of LSR.
  EXPECT_NEAR(receiver.RttSum(), -400, 20);
  EXPECT_EQ(receiver.RttAverage(), receiver.RttSum());
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

  Bytes runOff;
  Header(runOff, 1, 202, 2);
  Put32(runOff, {3});
  runOff.insert(runOff.end(), {1, 255, 'a', 'b'});  // item text claims 255 bytes, 2 follow
  Read(receiver, runOff);
  Bytes noEnd;
  Header(noEnd, 1, 202, 1);
  Put32(noEnd, {4});  // chunk ends where its first item type would be
  Read(receiver, noEnd);

  Bytes bye;
  Header(bye, 31, 203, 1);
  Put32(bye, {5});
  EXPECT_EQ(Read(receiver, bye), 1);

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

TEST(RtcpReceiver, RandomBytesNeverReadOutside) {
  RtcpReceiver receiver(0);
  std::mt19937 random(1234);
  for (int i = 0; i < 20000; ++i) {
    Bytes b(random() % 160);
    for (auto& byte : b) byte = static_cast<uint8_t>(random());
    if (!b.empty()) b[0] = static_cast<uint8_t>(0x80 | (b[0] & 0x1F));
    if (b.size() > 1) b[1] = static_cast<uint8_t>(200 + random() % 5);
    Exact e(b);
    RtcpReceiver::IsValidCompound(e.data.get(), e.size);
    receiver.ReadRtcp(e.data.get(), e.size);
  }
  EXPECT_LE(static_cast<size_t>(receiver.getTranInfoCount()), RtcpReceiver::kMaxRecords);
}

TEST(RtcpReceiver, RecordCountIsBounded) {
  RtcpReceiver receiver(0);
  for (uint32_t ssrc = 1; ssrc <= 200; ++ssrc) Read(receiver, Sdes(ssrc, "n"));
  EXPECT_EQ(static_cast<size_t>(receiver.getTranInfoCount()), RtcpReceiver::kMaxRecords);
  EXPECT_EQ(receiver.GetTranInfo(receiver.getTranInfoCount()), nullptr);
  EXPECT_EQ(receiver.GetTranInfo(-1), nullptr);
  EXPECT_EQ(receiver.GetTranInfo(0)->ssrc, 1u);  // SSRC order
}

TEST(RtcpReceiver, GetPacketPollsAndDropsInvalidDatagrams) {
  test::LoopbackSocket mine, peer;
  RtcpReceiver receiver(0);
  EXPECT_EQ(receiver.GetPacket(), nullptr);  // no socket
  receiver.SetSocket(mine.Handle());
  EXPECT_EQ(receiver.GetPacket(), nullptr);  // nothing readable: returns at once

  ASSERT_TRUE(peer.SendTo(mine.Port(), Sdes(1, "starts with SDES")));
  ASSERT_EQ(platform::WaitReadable(mine.Handle(), 1000, nullptr), 1);
  EXPECT_EQ(receiver.GetPacket(), nullptr);

  Bytes good = Join({SenderReport(1, NtpTime::Now()), Sdes(1, "ok")});
  ASSERT_TRUE(peer.SendTo(mine.Port(), good));
  ASSERT_EQ(platform::WaitReadable(mine.Handle(), 1000, nullptr), 1);
  std::unique_ptr<RtcpPacket> packet(receiver.GetPacket());
  ASSERT_NE(packet, nullptr);
  EXPECT_EQ(packet->GetTotalUsage(), static_cast<int32_t>(good.size()));
  EXPECT_EQ(receiver.ReadRtcp(packet.get()), 0);
  EXPECT_EQ(receiver.getTranInfoCount(), 1);
}

}  // namespace
}  // namespace ve
