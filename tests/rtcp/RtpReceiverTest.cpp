#include "rtcp/RtpReceiver.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "rtcp/RtcpReceiver.h"
#include "rtp/RtpPacket.h"
#include "support/ImpairmentScript.h"

namespace ve {
namespace {

// One received datagram and the packet parsed over it.
struct Received {
  std::vector<uint8_t> bytes;
  std::unique_ptr<RtpPacket> packet;
};

Received Make(uint16_t seq, uint32_t ts, uint32_t ssrc = 0x1111, int payload = 160, uint8_t pt = 8) {
  Received r;
  r.bytes.assign(12 + payload, 0x55);
  test::WriteRtpHeader(r.bytes.data(), pt, seq, ts, ssrc);
  r.packet.reset(RtpPacket::Parse(r.bytes.data(), static_cast<int32_t>(r.bytes.size())));
  return r;
}

// Feeds packet `seq` of a G.711 stream whose timestamps step 160 per sequence number.
RtpPacket* Feed(RtpReceiver& receiver, uint16_t seq, uint32_t ssrc = 0x1111, uint16_t firstSeq = 0) {
  Received r = Make(seq, 1000u + 160u * static_cast<uint16_t>(seq - firstSeq), ssrc);
  receiver.SetRate(160, 64000);
  receiver.SetSamplesPerPacket(160);
  return receiver.Receive(r.packet.get());
}

uint32_t Expected(const RtpReceiverStats& s) { return s.cycles + s.maxSeq - s.baseSeq + 1; }

TEST(RtpReceiver, FirstPacketSetsTheSourceAndMaxSeqMovesOnlyOnForwardJumps) {
  RtpReceiver receiver(0, 0);
  EXPECT_EQ(receiver.Probation(), -2);
  Received r = Make(1000, 1000, 0xABCD);
  EXPECT_EQ(receiver.Receive(r.packet.get()), r.packet.get());
  RtpReceiverStats s = receiver.Stats();
  EXPECT_EQ(s.ssrc, 0xABCDu);
  EXPECT_EQ(s.probation, 0);
  EXPECT_EQ(s.baseSeq, 1000);
  EXPECT_EQ(s.maxSeq, 999);
  EXPECT_EQ(receiver.BytesReceived(), 160u);

  for (uint16_t seq = 1001; seq <= 1005; ++seq) Feed(receiver, seq, 0xABCD, 1000);
  EXPECT_EQ(receiver.MaxSeq(), 999);
  Feed(receiver, 1007, 0xABCD, 1000);
  EXPECT_EQ(receiver.MaxSeq(), 1006);
  Feed(receiver, 990, 0xABCD, 1000);  // late packets never move it back
  EXPECT_EQ(receiver.MaxSeq(), 1006);
}

TEST(RtpReceiver, UncountablePacketsAreNotCounted) {
  RtpReceiver receiver(0, 0);
  Received tooShort = Make(10, 0, 0x1111, 0);
  EXPECT_EQ(receiver.Receive(tooShort.packet.get()), nullptr);  // no source yet either
  EXPECT_FALSE(receiver.SourceSet());
  Feed(receiver, 11);
  Received comfortNoise = Make(30, 0, 0x1111, 4, 13);
  EXPECT_NE(receiver.Receive(comfortNoise.packet.get()), nullptr);  // counted, but moves maxSeq
  EXPECT_EQ(receiver.MaxSeq(), 30);
  Received huge = Make(31, 0, 0x1111, 1013);
  EXPECT_EQ(receiver.Receive(huge.packet.get()), nullptr);
  EXPECT_EQ(receiver.PacketsReceived(), 2u);
}

// Without the short update a second SSRC is counted into the followed source; with it, the
// fifth packet of the new source takes over.
TEST(RtpReceiver, ShortUpdateSwitchesToANewSourceAndTellsRtcp) {
  RtpReceiver steady(0, 0);
  Feed(steady, 500, 0xA);
  for (uint16_t i = 0; i < 10; ++i) Feed(steady, 9000 + i, 0xB, 9000);
  EXPECT_EQ(steady.Ssrc(), 0xAu);
  EXPECT_EQ(steady.PacketsReceived(), 11u);

  RtcpReceiver rtcp(0);
  RtpReceiver receiver(0, -1);
  receiver.SetRtcpReceiver(&rtcp);
  Feed(receiver, 500, 0xA, 500);
  for (uint16_t i = 0; i < 4; ++i) Feed(receiver, 9000 + i, 0xB, 9000);
  EXPECT_EQ(receiver.Ssrc(), 0xAu);
  EXPECT_EQ(receiver.Probation(), 4);
  Feed(receiver, 9004, 0xB, 9000);
  EXPECT_EQ(receiver.Ssrc(), 0xBu);
  EXPECT_EQ(receiver.PacketsReceived(), 1u);
  EXPECT_EQ(receiver.BaseSeq(), 9004);
  ASSERT_EQ(rtcp.getTranInfoCount(), 1);
  EXPECT_EQ(rtcp.GetTranInfo(0)->ssrc, 0xBu);

  // The source given up stays rejected; its packets are still counted in the statistics.
  Feed(receiver, 501, 0xA, 500);
  EXPECT_EQ(receiver.Ssrc(), 0xBu);
}

TEST(RtpReceiver, LossDuplicatesReorderingAndLatePacketsAcrossAWrap) {
  RtpReceiver receiver(0, -1);
  // 65520 .. 65535, 0 .. 9: 26 numbers; lose 65525 and 3, duplicate 65530, swap 5 and 6.
  std::vector<uint16_t> order;
  for (uint32_t n = 65520; n < 65536 + 10; ++n) {
    auto seq = static_cast<uint16_t>(n);
    if (seq == 65525 || seq == 3 || seq == 5) continue;
    order.push_back(seq);
    if (seq == 65530) order.push_back(seq);
    if (seq == 6) order.push_back(5);
  }
  for (uint16_t seq : order) Feed(receiver, seq, 0x1111, 65520);
  RtpReceiverStats s = receiver.Stats();
  EXPECT_EQ(s.maxSeq, 9);
  EXPECT_EQ(Expected(s), 26u);
  EXPECT_EQ(s.packetsReceived, 25u);  // 24 distinct + 1 duplicate: one counted as lost

  // A late packet from before the wrap steps maxSeq back and the count with it.
  Feed(receiver, 65534, 0x1111, 65520);
  EXPECT_EQ(receiver.Cycles(), 0u);
  Feed(receiver, 10, 0x1111, 65520);
  EXPECT_EQ(receiver.Cycles(), 65536u);
}

TEST(RtpReceiver, JitterIsInMillisecondsOfTheEightKilohertzClock) {
  RtpReceiver receiver(0, 0);
  // Two packets 20 ms apart in media time arriving together: transit differs by 20 ms, so
  // the first jitter step is 20 (scaled by 16: jitter / 16 rises toward 20). "Together" is
  // real time on a possibly loaded machine (or a sanitizer build): a few ms of slack.
  Feed(receiver, 1, 0x1111, 1);
  Feed(receiver, 2, 0x1111, 1);
  int32_t jitter = receiver.Jitter();
  EXPECT_GE(jitter, 14);
  EXPECT_LE(jitter, 22);
  for (uint16_t seq = 3; seq < 200; ++seq) Feed(receiver, seq, 0x1111, 1);
  EXPECT_NEAR(receiver.Jitter() / 16, 20, 5);
}

// A receiver linked later tells the records its source; destroying it clears the records'
// pointer to it.
TEST(RtpReceiver, RtcpRecordsLinkToTheReceiverOnlyWhileItIsTheirs) {
  RtcpReceiver rtcp(0);
  {
    RtpReceiver receiver(0, 0);
    Feed(receiver, 7, 0x77);
    receiver.SetRtcpReceiver(&rtcp);
    ASSERT_EQ(rtcp.getTranInfoCount(), 1);
    EXPECT_EQ(rtcp.GetTranInfo(0)->ssrc, 0x77u);
    EXPECT_EQ(rtcp.GetTranInfo(0)->recv, &receiver);
  }
  ASSERT_EQ(rtcp.getTranInfoCount(), 1);
  EXPECT_EQ(rtcp.GetTranInfo(0)->recv, nullptr);
}

}  // namespace
}  // namespace ve
