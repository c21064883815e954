#include "rtcp/RtpReceiver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "support/RtcpBytes.h"

namespace ve {
namespace {

constexpr uint32_t kSource = 0x1111;

// Feeds RTP packets with explicit arrival times: G.711 packets whose timestamps step 160 per
// sequence number and which arrive 20 ms (160 units) apart, unless told otherwise.
class Feeder {
 public:
  explicit Feeder(RtpReceiver& receiver) : receiver(receiver) {}

  void Packet(uint16_t seq, uint32_t ssrc = kSource, uint32_t timestamp = 0, uint32_t arrivalUnits = 0) {
    clockMs += 20;
    test::HearRtp(receiver, seq, ssrc, arrivalUnits != 0 ? arrivalUnits : clockMs * 8, timestamp);
  }
  void Run(uint32_t first, uint32_t last, uint32_t ssrc = kSource, const std::vector<uint32_t>& skip = {}) {
    for (uint32_t n = first; n <= last; ++n) {
      if (std::find(skip.begin(), skip.end(), n) == skip.end()) Packet(static_cast<uint16_t>(n), ssrc);
    }
  }
  // Silence of the line: the clock moves on without packets.
  void Quiet(uint32_t ms) { clockMs += ms; }

  RtpReceiver& receiver;
  uint32_t clockMs = 1000;
};

ReportBlockFigures Block(RtpReceiver& receiver) {
  ReportBlockFigures figures;
  EXPECT_TRUE(receiver.NextReportBlock(&figures));
  return figures;
}

// The first packet of a source is on probation; the second in sequence starts it, and an
// in-order run then reports exactly what it received.
TEST(RtpReceiver, ProbationThenAnInOrderRunHasNoLoss) {
  RtpReceiver receiver;
  Feeder feed(receiver);
  ReportBlockFigures figures;
  feed.Packet(100);
  EXPECT_FALSE(receiver.Stats().sourceSet);
  EXPECT_FALSE(receiver.NextReportBlock(&figures));
  feed.Packet(102);  // out of sequence: probation starts again
  EXPECT_FALSE(receiver.Stats().sourceSet);
  feed.Packet(103);
  RtpReceiverStats stats = receiver.Stats();
  ASSERT_TRUE(stats.sourceSet);
  EXPECT_EQ(stats.ssrc, kSource);
  EXPECT_EQ(stats.packetsReceived, 1u);
  EXPECT_EQ(stats.expected, 1u);

  feed.Run(104, 150);
  stats = receiver.Stats();
  EXPECT_EQ(stats.expected, stats.packetsReceived);
  EXPECT_EQ(stats.cumulativeLost, 0);
  EXPECT_EQ(stats.datagrams, 50u);  // every packet handed in, probation included
  figures = Block(receiver);
  EXPECT_EQ(figures.ssrc, kSource);
  EXPECT_EQ(figures.cumulativeLost, 0);
  EXPECT_EQ(figures.fractionLost, 0);
  EXPECT_EQ(figures.extendedMax, 150u);
}

// Loss, a duplicate and reordering across the 16-bit wrap, and the loss fraction of each
// report interval.
TEST(RtpReceiver, LossDuplicatesAndReorderingAcrossAWrap) {
  RtpReceiver receiver;
  Feeder feed(receiver);
  feed.Run(65400, 65401);  // probation: counting starts at 65401
  Block(receiver);
  feed.Run(65402, 65501);
  // The next interval, 65502 .. 65535 and 0 .. 17, expects 52 and loses 65510 and 5.
  Block(receiver);
  feed.Run(65502, 65536 + 17, kSource, {65510, 65536 + 5});
  RtpReceiverStats stats = receiver.Stats();
  EXPECT_EQ(stats.cycles, 65536u);
  EXPECT_EQ(stats.maxSeq, 17);
  EXPECT_EQ(stats.ExtendedMax(), 65536u + 17);
  EXPECT_EQ(stats.cumulativeLost, 2);
  ReportBlockFigures figures = Block(receiver);
  EXPECT_EQ(figures.fractionLost, 9);  // 2 of 52: 2 * 256 / 52
  EXPECT_EQ(figures.cumulativeLost, 2);
  EXPECT_EQ(figures.extendedMax, 65536u + 17);

  // A late packet from before the wrap and a duplicate: both count as received, the highest
  // sequence stays and no wrap is added; a late arrival of a lost one lowers the loss.
  feed.Packet(65534);
  feed.Packet(17);
  feed.Packet(5);
  feed.Packet(18);
  stats = receiver.Stats();
  EXPECT_EQ(stats.cycles, 65536u);
  EXPECT_EQ(stats.ExtendedMax(), 65536u + 18);
  EXPECT_EQ(stats.cumulativeLost, -1);  // four received against one new number expected
  figures = Block(receiver);
  EXPECT_EQ(figures.fractionLost, 0);
  EXPECT_EQ(figures.cumulativeLost, -1);
}

// A jump beyond the dropout window is a restart only when the next packet follows on from it.
TEST(RtpReceiver, LargeJumpRestartsOnlyWhenConfirmed) {
  RtpReceiver receiver;
  Feeder feed(receiver);
  feed.Run(1, 20);
  feed.Packet(30000);  // alone: ignored
  feed.Packet(21);
  RtpReceiverStats stats = receiver.Stats();
  EXPECT_EQ(stats.maxSeq, 21);
  EXPECT_EQ(stats.cumulativeLost, 0);
  feed.Packet(40000);
  feed.Packet(40001);  // confirmed: the sender restarted
  stats = receiver.Stats();
  EXPECT_EQ(stats.baseSeq, 40001);
  EXPECT_EQ(stats.maxSeq, 40001);
  EXPECT_EQ(stats.packetsReceived, 1u);
  EXPECT_EQ(stats.cumulativeLost, 0);
}

// The jitter is the smoothed change of relative transit, in timestamp units scaled by 16.
TEST(RtpReceiver, JitterFollowsTheTransitVariation) {
  RtpReceiver steady;
  Feeder even(steady);
  for (uint16_t seq = 1; seq <= 100; ++seq) even.Packet(seq, kSource, 160u * seq, 5000u + 160u * seq);
  EXPECT_EQ(steady.Stats().jitter, 0u);

  // Every other packet arrives 40 units late: each transit differs from the last by 40.
  RtpReceiver varying;
  Feeder uneven(varying);
  for (uint16_t seq = 1; seq <= 400; ++seq) uneven.Packet(seq, kSource, 160u * seq, 5000u + 160u * seq + 40u * (seq % 2));
  ReportBlockFigures figures = Block(varying);
  EXPECT_GE(figures.jitter, 38u);
  EXPECT_LE(figures.jitter, 40u);
  EXPECT_NEAR(varying.Stats().JitterMs(), 5.0, 0.25);
}

// The receive path hands in the heard source only, so a new SSRC is followed as soon as it has
// passed probation (a BYE forgetting one on probation is in the RtcpReceiver tests).
TEST(RtpReceiver, NewSourceTakesOverOnceItPassedProbation) {
  RtpReceiver receiver;
  Feeder feed(receiver);
  feed.Run(1, 10, 0xA);
  feed.Packet(500, 0xB);
  EXPECT_EQ(receiver.Stats().ssrc, 0xAu) << "one packet is not yet a source";
  feed.Packet(501, 0xB);
  RtpReceiverStats stats = receiver.Stats();
  EXPECT_EQ(stats.ssrc, 0xBu);
  EXPECT_EQ(stats.maxSeq, 501);
  EXPECT_EQ(stats.packetsReceived, 1u);
  EXPECT_EQ(stats.cumulativeLost, 0);
}

// A packet carrying our own SSRC is flagged once; the next call starts afresh.
TEST(RtpReceiver, OwnSsrcIsACollision) {
  RtpReceiver receiver;
  Feeder feed(receiver);
  receiver.SetOwnSsrc(0x5EED);
  feed.Run(1, 3);
  EXPECT_FALSE(receiver.TakeCollision());
  feed.Packet(4, 0x5EED);
  feed.Packet(5, 0x5EED);
  EXPECT_TRUE(receiver.TakeCollision());
  EXPECT_FALSE(receiver.TakeCollision());
  receiver.Reset();
  EXPECT_FALSE(receiver.Stats().sourceSet);
  EXPECT_EQ(receiver.Stats().datagrams, 0u);
}

}  // namespace
}  // namespace ve
