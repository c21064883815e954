#include "rtcp/RtcpTransmitter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/Socket.h"
#include "rtcp/NtpTime.h"
#include "rtcp/RtcpPacket.h"
#include "rtcp/RtcpReceiver.h"
#include "rtcp/RtpReceiver.h"
#include "rtp/ByteOrder.h"
#include "rtp/RtpPacket.h"
#include "rtp/RtpSenderState.h"
#include "support/ImpairmentScript.h"

namespace ve {
namespace {

// Counts RTP packets of `ssrc` with the given sequence numbers into `receiver`.
void FeedRtp(RtpReceiver& receiver, uint32_t ssrc, const std::vector<uint16_t>& seqs) {
  for (uint16_t seq : seqs) {
    std::vector<uint8_t> d(172);
    test::WriteRtpHeader(d.data(), 8, seq, seq, ssrc);
    std::unique_ptr<RtpPacket> p(RtpPacket::Parse(d.data(), static_cast<int32_t>(d.size())));
    receiver.Receive(p.get());
  }
}

std::vector<uint16_t> Range(uint16_t first, uint16_t last, std::vector<uint16_t> skip = {}) {
  std::vector<uint16_t> out;
  for (uint32_t s = first; s <= last; ++s) {
    if (std::find(skip.begin(), skip.end(), s) == skip.end()) out.push_back(static_cast<uint16_t>(s));
  }
  return out;
}

uint32_t Lost(const uint8_t* block) { return (block[8] << 16) | (block[9] << 8) | block[10]; }

// One end of a call's RTCP: sender state, transmitter, RTCP records and the RTP receive record
// linked to them.
struct End {
  End() : transmitter("127.0.0.1", 5005), records(5005) {
    transmitter.SetSenderState(&state);
    transmitter.SetRtcpReceiver(&records);
    transmitter.BuildCname();
    receiver.SetRtcpReceiver(&records);
  }
  ~End() { receiver.SetRtcpReceiver(nullptr); }
  // A report of this end as the peer's records read it.
  void ReportTo(End& peer) {
    RtcpPacket packet;
    transmitter.AddSR(&packet, 0);
    transmitter.AddSDES(&packet, 0);
    peer.records.ReadRtcp(&packet);
  }

  RtpSenderState state;
  RtcpTransmitter transmitter;
  RtcpReceiver records;
  RtpReceiver receiver{0, -1};
};

TEST(RtcpTransmitter, SenderReportWithOneBlock) {
  End call;
  RtpSenderState& state = call.state;
  RtcpTransmitter& transmitter = call.transmitter;
  FeedRtp(call.receiver, 0xCAFE, Range(1, 52, {10, 20}));  // 50 of 52
  transmitter.SetName("abcdefghijklmnopqrstu");  // 21 characters
  std::this_thread::sleep_for(std::chrono::milliseconds(100));

  RtcpPacket packet;
  NtpTime before = NtpTime::Now();
  ASSERT_EQ(transmitter.AddSR(&packet, 0), 4 + 24 + 28);
  ASSERT_EQ(transmitter.AddSDES(&packet, RtcpTransmitter::kName, 0), 36);  // 4 + 4 + 2 + 21 + 2, padded
  const uint8_t* sr = packet.GetPacketData();
  EXPECT_EQ(ReadU16BE(sr), 0x81C8);
  EXPECT_EQ(ReadU32BE(sr + 4), state.Ssrc());
  EXPECT_LE(ReadU32BE(sr + 8) - before.seconds, 1u);
  uint32_t rtpUnits = ReadU32BE(sr + 16) - state.InitialTimestamp();
  EXPECT_GE(rtpUnits, 800u);  // at least 100 ms of the 8 kHz clock
  EXPECT_LE(rtpUnits, 8000u);

  const uint8_t* block = sr + 28;
  EXPECT_EQ(ReadU32BE(block), 0xCAFEu);
  EXPECT_EQ(block[4], 9);  // 2 * 256 / 52
  EXPECT_EQ(Lost(block), 2u);
  EXPECT_EQ(ReadU16BE(block + 14), 52);
  EXPECT_EQ(ReadU32BE(block + 20), 0u);  // no SR from that source yet
  EXPECT_TRUE(RtcpReceiver::IsValidCompound(packet.GetPacketData(), packet.GetTotalUsage()));

  // Next interval: one more packet expected, two received (a duplicate): nothing lost.
  FeedRtp(call.receiver, 0xCAFE, {53, 53});
  RtcpPacket second;
  transmitter.AddSR(&second, 0);
  EXPECT_EQ(second.GetPacketData()[28 + 4], 0);
}

// A record known only from its RTCP, with no receive record following it, gets no block.
TEST(RtcpTransmitter, BlockCarriesTheExtendedSequenceAcrossAWrap) {
  End call;
  call.records.GetRecord(0x1234);
  FeedRtp(call.receiver, 0x77, Range(65500, 65535));
  FeedRtp(call.receiver, 0x77, Range(0, 63, {7}));
  RtcpPacket packet;
  ASSERT_EQ(call.transmitter.AddSR(&packet, 0), 56);
  const uint8_t* block = packet.GetPacketData() + 28;
  EXPECT_EQ(ReadU32BE(block + 12), 0x1003Fu);  // one wrap, 63
  EXPECT_EQ(Lost(block), 1u);  // 100 expected, 99 received
  EXPECT_EQ(block[4], 2);      // 256 / 100
}

// The first report is due after a random interval; the builders need the sender state and
// refuse padding; the CNAME names user, process and host.
TEST(RtcpTransmitter, FirstReportTimeBuilderRefusalsAndTheCname) {
  NtpTime before = NtpTime::Now();
  RtcpTransmitter transmitter("127.0.0.1", 5005);
  int32_t untilDue = NtpTime::DiffMs(transmitter.NextReportTime(), before);
  EXPECT_GE(untilDue, 2500);
  EXPECT_LE(untilDue, 7615 + 5);
  EXPECT_EQ(transmitter.IsReportDue(), 0);
  RtcpPacket packet;
  EXPECT_EQ(transmitter.AddSDES(&packet, 0), -1);
  EXPECT_EQ(transmitter.AddBYE(&packet, "x", 0), -1);
  RtpSenderState state;
  transmitter.SetSenderState(&state);
  EXPECT_EQ(transmitter.AddSR(&packet, 4), -1);
  EXPECT_EQ(packet.GetTotalUsage(), 0);
  EXPECT_EQ(transmitter.AddBYE(&packet, "Ardo Program Ended.", 0), 28);  // 8 + 1 + 19
  EXPECT_EQ(transmitter.AddBYE(&packet, nullptr, 0), 8);

  transmitter.BuildCname();
  char expected[64];
  std::snprintf(expected, sizeof expected, "unknown_user.%u@", platform::GetProcessId());
  EXPECT_EQ(std::string(transmitter.GetCname()).rfind(expected, 0), 0u);
  EXPECT_GT(std::strlen(transmitter.GetCname()), std::strlen(expected));
}

// B answers A's report: its block echoes A's LSR with the time B held it, which A takes off
// the round trip.
TEST(RtcpTransmitter, ReportAnswerCarriesLsrAndDelayAndGivesTheRoundTrip) {
  End a, b;
  FeedRtp(b.receiver, a.state.Ssrc(), Range(100, 151, {110, 120}));
  a.ReportTo(b);
  RtpTranInfo* aAtB = b.records.GetRecord(a.state.Ssrc());
  ASSERT_NE(aAtB, nullptr);
  EXPECT_NE(aAtB->lsr, 0u);
  EXPECT_STREQ(aAtB->sdes[0], a.transmitter.GetCname());

  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  RtcpPacket reply;
  b.transmitter.AddSR(&reply, 0);
  const uint8_t* block = reply.GetPacketData() + 28;
  EXPECT_EQ(ReadU32BE(block), a.state.Ssrc());
  EXPECT_EQ(ReadU32BE(block + 20), aAtB->lsr);
  uint32_t dlsr = ReadU32BE(block + 24);
  EXPECT_GE(dlsr, 29u);
  EXPECT_LE(dlsr, 500u);
  a.records.ReadRtcp(&reply);
  EXPECT_EQ(a.records.ReportsReceived(), 1);
  EXPECT_GE(a.records.RttAverage(), -2);
  EXPECT_LE(a.records.RttAverage(), 50);
}

}  // namespace
}  // namespace ve
