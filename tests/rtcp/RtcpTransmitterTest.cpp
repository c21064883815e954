#include "rtcp/RtcpTransmitter.h"

#include <gtest/gtest.h>

#include <chrono>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <memory>
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
#include "support/LoopbackSocket.h"

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
// linked to them. With a socket it sends to and reads from `peerPort` on loopback.
struct End {
  explicit End(uint16_t peerPort = 5005, test::LoopbackSocket* socket = nullptr)
      : transmitter("127.0.0.1", peerPort), records(peerPort) {
    if (socket != nullptr) {
      transmitter.SetSocket(socket->Handle());
      records.SetSocket(socket->Handle());
    }
    transmitter.SetSenderState(&state);
    transmitter.SetRtcpReceiver(&records);
    transmitter.BuildCname();
    receiver.SetRtcpReceiver(&records);
  }
  ~End() { receiver.SetRtcpReceiver(nullptr); }
  void SendReport() {
    RtcpPacket packet;
    transmitter.AddSR(&packet, 0);
    transmitter.AddSDES(&packet, 0);
    transmitter.Transmit(&packet);
  }
  // Reads one datagram that is on its way; -2 when none came.
  int32_t Poll(int socket) {
    if (platform::WaitReadable(socket, 1000, nullptr) != 1) return -2;
    std::unique_ptr<RtcpPacket> packet(records.GetPacket());
    return packet != nullptr ? records.ReadRtcp(packet.get()) : -1;
  }

  RtpSenderState state;
  RtcpTransmitter transmitter;
  RtcpReceiver records;
  RtpReceiver receiver{0, -1};
};

TEST(RtcpTransmitter, FirstReportIsDueAfterTheRandomInterval) {
  NtpTime before = NtpTime::Now();
  RtcpTransmitter transmitter("127.0.0.1", 5005);
  int32_t untilDue = NtpTime::DiffMs(transmitter.NextReportTime(), before);
  EXPECT_GE(untilDue, 2500);
  EXPECT_LE(untilDue, 7615 + 5);
  EXPECT_EQ(transmitter.IsReportDue(), 0);
}

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
  EXPECT_EQ(sr[0], 0x81);
  EXPECT_EQ(sr[1], 200);
  EXPECT_EQ(ReadU16BE(sr + 2), 13);
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
  EXPECT_EQ(ReadU32BE(block + 24), 0u);
  EXPECT_TRUE(RtcpReceiver::IsValidCompound(packet.GetPacketData(), packet.GetTotalUsage()));

  // Next interval: one more packet expected, two received (a duplicate): nothing lost.
  FeedRtp(call.receiver, 0xCAFE, {53, 53});
  RtcpPacket second;
  transmitter.AddSR(&second, 0);
  EXPECT_EQ(second.GetPacketData()[28 + 4], 0);
}

TEST(RtcpTransmitter, BlockCarriesTheExtendedSequenceAcrossAWrap) {
  End call;
  FeedRtp(call.receiver, 0x77, Range(65500, 65535));
  FeedRtp(call.receiver, 0x77, Range(0, 63, {7}));
  RtcpPacket packet;
  ASSERT_EQ(call.transmitter.AddSR(&packet, 0), 56);
  const uint8_t* block = packet.GetPacketData() + 28;
  EXPECT_EQ(ReadU16BE(block + 12), 1);   // one wrap
  EXPECT_EQ(ReadU16BE(block + 14), 63);
  EXPECT_EQ(Lost(block), 1u);  // 100 expected, 99 received
  EXPECT_EQ(block[4], 2);      // 256 / 100
}

TEST(RtcpTransmitter, NoBlocksWithoutALinkedFollowingReceiver) {
  End call;
  call.records.GetRecord(0x1234);  // known only from its RTCP
  RtcpPacket packet;
  EXPECT_EQ(call.transmitter.AddSR(&packet, 0), 28);
  EXPECT_EQ(packet.GetCount(), 0);
}

TEST(RtcpTransmitter, BuildersNeedSenderStateAndRefusePaddingAndTheCnameNamesUserProcessAndHost) {
  RtcpTransmitter transmitter("127.0.0.1", 5005);
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

TEST(RtcpTransmitter, RoundTripOnLoopback) {
  test::LoopbackSocket socketA, socketB;
  End a(socketB.Port(), &socketA);
  End b(socketA.Port(), &socketB);
  // B receives A's RTP stream with 2 of 52 packets lost.
  FeedRtp(b.receiver, a.state.Ssrc(), Range(100, 151, {110, 120}));

  a.SendReport();
  ASSERT_EQ(b.Poll(socketB.Handle()), 0);
  RtpTranInfo* aAtB = b.records.GetRecord(a.state.Ssrc());
  ASSERT_NE(aAtB, nullptr);
  EXPECT_NE(aAtB->lsr, 0u);
  EXPECT_STREQ(aAtB->sdes[0], a.transmitter.GetCname());
  EXPECT_EQ(aAtB->recv, &b.receiver);

  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  RtcpPacket reply;
  b.transmitter.AddSR(&reply, 0);
  b.transmitter.AddSDES(&reply, 0);
  const uint8_t* block = reply.GetPacketData() + 28;
  EXPECT_EQ(ReadU32BE(block), a.state.Ssrc());
  EXPECT_EQ(block[4], 9);
  EXPECT_EQ(ReadU32BE(block + 20), aAtB->lsr);
  uint32_t dlsr = ReadU32BE(block + 24);
  EXPECT_GE(dlsr, 29u);
  EXPECT_LE(dlsr, 500u);
  b.transmitter.Transmit(&reply);

  ASSERT_EQ(a.Poll(socketA.Handle()), 0);
  EXPECT_EQ(a.records.ReportsReceived(), 1);
  // Loopback round trip: the 30 ms B held the report are taken off, leaving about 0.
  EXPECT_GE(a.records.RttAverage(), -2);
  EXPECT_LE(a.records.RttAverage(), 50);
  ASSERT_EQ(a.records.getTranInfoCount(), 1);

  // B leaves: its BYE removes B's record at A.
  RtcpPacket bye;
  b.transmitter.AddSR(&bye, 0);
  b.transmitter.AddSDES(&bye, RtcpTransmitter::kCname, 0);
  b.transmitter.AddBYE(&bye, "Ardo Program Ended.", 0);
  b.transmitter.Transmit(&bye);
  ASSERT_EQ(a.Poll(socketA.Handle()), 1);
  EXPECT_EQ(a.records.getTranInfoCount(), 0);
}

}  // namespace
}  // namespace ve
