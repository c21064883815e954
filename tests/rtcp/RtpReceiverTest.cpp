#include "rtcp/RtpReceiver.h"

#include <gtest/gtest.h>

#include "platform/Socket.h"
#include "support/LoopbackSocket.h"
#include "support/RtcpBytes.h"

namespace ve {
namespace {

constexpr uint32_t kSource = 0x1111;

// Packets first .. last of `ssrc` (timestamps 160 apart, arriving 160 units apart, odd numbers
// `late` units later).
void Hear(RtpReceiver& r, uint32_t first, uint32_t last, uint32_t ssrc = kSource, uint32_t late = 0) {
  for (uint32_t n = first; n <= last; ++n) test::HearRtp(r, static_cast<uint16_t>(n), ssrc, 5000 + 160 * n + late * (n % 2), 160 * n);
}

ReportBlockFigures Block(RtpReceiver& r) {
  ReportBlockFigures figures;
  EXPECT_TRUE(r.NextReportBlock(&figures));
  return figures;
}

// Every figure, in declaration order.
auto Figures(const RtpReceiverStats& s) {
  return std::make_tuple(s.sourceSet, s.ssrc, s.baseSeq, s.maxSeq, s.cycles, s.packetsReceived, s.expected,
                         s.cumulativeLost, s.jitter, s.payloadBytes, s.datagrams, s.datagramBytes);
}
auto Figures(const ReportBlockFigures& f) {
  return std::make_tuple(f.ssrc, f.fractionLost, f.cumulativeLost, f.extendedMax, f.jitter);
}

// A source is counted from the packet that ends its probation (two in sequence).
TEST(RtpReceiver, ProbationThenAnInOrderRunHasNoLoss) {
  RtpReceiver r;
  ReportBlockFigures figures;
  Hear(r, 100, 100);
  EXPECT_FALSE(r.NextReportBlock(&figures));
  Hear(r, 102, 103);  // 102 is out of sequence: probation starts again
  EXPECT_EQ(Figures(r.Stats()), std::make_tuple(true, kSource, uint16_t{103}, uint16_t{103}, 0u, 1u, 1u, int64_t{0}, 0u,
                                                uint64_t{160}, uint64_t{3}, uint64_t{480}));
  Hear(r, 104, 150);
  EXPECT_EQ(Figures(Block(r)), std::make_tuple(kSource, uint8_t{0}, 0, 150u, 0u));
}

// Loss, a duplicate and reordering across the 16-bit wrap, the loss fraction of each report
// interval, and a restart of the sender.
TEST(RtpReceiver, LossDuplicatesReorderingAndRestarts) {
  RtpReceiver r;
  Hear(r, 65400, 65501);  // counting starts at 65401
  Block(r);
  // The next interval, 65502 .. 65535 and 0 .. 17, expects 52 and loses 65510 and 5.
  Hear(r, 65502, 65509);
  Hear(r, 65511, 65536 + 4);
  Hear(r, 65536 + 6, 65536 + 17);
  EXPECT_EQ(Figures(Block(r)), std::make_tuple(kSource, uint8_t{9}, 2, 65536u + 17, 0u));  // 2 * 256 / 52

  // Late packets from before the wrap, a duplicate and a lost one: all count as received, the
  // highest number stays and no wrap is added. 100 numbers back is a jump, not counted.
  for (uint16_t seq : {65534, 17, 5, 18, 65455, 65454}) Hear(r, seq, seq);
  const RtpReceiverStats stats = r.Stats();
  EXPECT_EQ(stats.cycles, 65536u);
  EXPECT_EQ(stats.ExtendedMax(), 65536u + 18);
  EXPECT_EQ(stats.cumulativeLost, -2);  // five received against one new number expected
  EXPECT_EQ(Figures(Block(r)), std::make_tuple(kSource, uint8_t{0}, -2, 65536u + 18, 0u));

  // Far more lost than the 24-bit field holds: the block saturates, the figures do not.
  RtpReceiver sparse;
  Hear(sparse, 0, 1);
  for (uint32_t n = 1; n <= 2800; ++n) Hear(sparse, n * 2999 + 1, n * 2999 + 1);
  EXPECT_EQ(Figures(Block(sparse)), std::make_tuple(kSource, uint8_t{255}, 0x7FFFFF, 2800u * 2999 + 1, 0u));

  // A jump beyond the dropout window is a restart only when the next packet follows on from it;
  // counting then starts afresh, wraps and report intervals included.
  for (uint32_t seq : {30000, 19}) Hear(r, seq, seq);
  EXPECT_EQ(r.Stats().ExtendedMax(), 65536u + 19) << "a jump alone is ignored";
  for (uint32_t seq : {40000, 40001}) Hear(r, seq, seq);
  EXPECT_EQ(std::make_tuple(r.Stats().baseSeq, r.Stats().packetsReceived, r.Stats().cumulativeLost), std::make_tuple(uint16_t{40001}, 1u, int64_t{0}));
  EXPECT_EQ(Figures(Block(r)), std::make_tuple(kSource, uint8_t{0}, 0, 40001u, 0u));
}

// The jitter is the smoothed change of relative transit, in timestamp units scaled by 16; a new
// source starts its own figures once it passed probation.
TEST(RtpReceiver, JitterAndANewSourceThatTakesOver) {
  RtpReceiver r;
  Hear(r, 1, 400, kSource, 40);  // every transit differs from the last by 40 units
  EXPECT_EQ(std::make_tuple(r.Stats().jitter, Block(r).jitter), std::make_tuple(632u, 39u));

  Hear(r, 500, 500, 0xB);
  Hear(r, 501, 502, 0xB);
  EXPECT_EQ(Figures(r.Stats()), std::make_tuple(true, 0xBu, uint16_t{501}, uint16_t{502}, 0u, 2u, 2u, int64_t{0}, 0u,
                                                uint64_t{320}, uint64_t{403}, uint64_t{160 * 403}));
}

// A packet with our own SSRC is a collision: flagged once and signalled; a reset forgets
// every figure, the flag and a source on probation.
TEST(RtpReceiver, OwnSsrcCollidesAndResetForgetsEverything) {
  RtpReceiver r;
  test::LoopbackSocket idle;
  platform::SocketWakeup wakeup;
  r.SetOwnSsrc(0x5EED);
  r.SetCollisionSignal(&wakeup);
  Hear(r, 1, 9, kSource, 40);
  EXPECT_FALSE(r.TakeCollision());
  Hear(r, 10, 10, 0x5EED);
  EXPECT_EQ(platform::WaitReadable(idle.Handle(), -1, &wakeup), 0) << "only the signal ends this wait";
  EXPECT_TRUE(r.TakeCollision());
  EXPECT_FALSE(r.TakeCollision());

  Hear(r, 11, 11, 0x5EED);
  Hear(r, 20, 20, 0xB);  // on probation
  r.Reset();
  EXPECT_FALSE(r.TakeCollision());
  EXPECT_EQ(Figures(r.Stats()), Figures(RtpReceiverStats{}));
  Hear(r, 21, 21, 0xB);
  EXPECT_FALSE(r.Stats().sourceSet) << "the probation begins again";
}

}  // namespace
}  // namespace ve
