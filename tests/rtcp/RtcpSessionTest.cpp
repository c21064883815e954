#include "rtcp/RtcpSession.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "rtcp/RtpReceiver.h"
#include "rtp/ByteOrder.h"
#include "rtp/RtpSenderState.h"
#include "support/RtcpBytes.h"
#include "support/LoopbackSocket.h"

namespace ve {
namespace {

using Datagram = test::Bytes;
using Clock = std::chrono::steady_clock;

platform::Ipv4Endpoint Loopback(uint16_t port) { return {platform::InetAddr("127.0.0.1"), port}; }

// Polls `done` for at most two seconds: the session thread reads and answers on its own time.
template <typename Condition>
bool Eventually(Condition done) {
  const auto end = Clock::now() + std::chrono::seconds(2);
  while (!done()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

bool Contains(const Datagram& d, const char* text) {
  const size_t n = std::strlen(text);
  for (size_t i = 0; i + n <= d.size(); ++i) {
    if (std::memcmp(d.data() + i, text, n) == 0) return true;
  }
  return false;
}

// Waits for a datagram holding a part of `type`; false when none came within two seconds.
bool ReceivePart(test::LoopbackSocket& socket, uint8_t type, Datagram* out) {
  const auto end = Clock::now() + std::chrono::seconds(2);
  while (Clock::now() < end) {
    if (socket.Receive(out, 200) && test::FindPart(*out, type) >= 0) return true;
  }
  return false;
}

void HearRun(RtpReceiver& reception, uint32_t ssrc, uint16_t first, int count) {
  for (uint16_t seq = first; seq < first + count; ++seq) test::HearRtp(reception, seq, ssrc);
}

TEST(RtcpSession, IntervalBounds) {
  const double rate = RtcpSession::kRtcpBytesPerSecond;
  for (int senders = 0; senders <= 2; ++senders) {
    for (bool weSent : {false, true}) {
      if (weSent && senders == 0) continue;
      // Small reports: the minimum of 2.5 s before the first report and 5 s after, randomised
      // to 0.5 .. 1.5 times and divided by e - 3/2.
      EXPECT_NEAR(RtcpSession::IntervalSeconds(true, 2, senders, weSent, 100, rate, 0.0), 1.026, 0.001);
      EXPECT_NEAR(RtcpSession::IntervalSeconds(true, 2, senders, weSent, 100, rate, 0.999999), 3.078, 0.001);
      EXPECT_NEAR(RtcpSession::IntervalSeconds(false, 2, senders, weSent, 100, rate, 0.0), 2.052, 0.001);
      EXPECT_NEAR(RtcpSession::IntervalSeconds(false, 2, senders, weSent, 100, rate, 0.999999), 6.156, 0.001);
    }
  }
  // Large reports in a larger session: the bandwidth share decides. One sender among ten has
  // a quarter of it to itself; the nine receivers share the rest.
  EXPECT_NEAR(RtcpSession::IntervalSeconds(false, 10, 1, true, 1000, 500, 0.5), 8 / 1.21828, 0.01);
  EXPECT_NEAR(RtcpSession::IntervalSeconds(false, 10, 1, false, 1000, 500, 0.5), 24 / 1.21828, 0.01);
}

// Both ends start in the legacy layout announcing the standard one, and both move to it.
TEST(RtcpSession, TwoAutoSessionsSettleOnTheStandardLayout) {
  test::LoopbackSocket socketA, socketB;
  ASSERT_TRUE(socketA.Valid() && socketB.Valid());
  RtpSenderState stateA, stateB;
  RtpReceiver receptionA, receptionB;
  HearRun(receptionA, stateB.Ssrc(), 100, 10);
  HearRun(receptionB, stateA.Ssrc(), 500, 10);
  RtcpSession a(&stateA, &receptionA);
  RtcpSession b(&stateB, &receptionB);
  a.SetSocket(socketA.Handle());
  a.SetRemote(Loopback(socketB.Port()));
  b.SetSocket(socketB.Handle());
  b.SetRemote(Loopback(socketA.Port()));
  a.SetDirections(true, true);
  b.SetDirections(true, true);
  ASSERT_TRUE(a.Running() && b.Running());
  EXPECT_EQ(a.SendDialect(), RtcpDialect::kLegacy);

  ASSERT_EQ(a.SendReportNow(), 0);
  ASSERT_TRUE(Eventually([&] { return b.SendDialect() == RtcpDialect::kStandard; }));
  EXPECT_EQ(b.Receiver().PeerDialect(), RtcpDialect::kLegacy);
  // B's answer echoes A's first report: A gets a round trip over loopback.
  ASSERT_EQ(b.SendReportNow(), 0);
  ASSERT_TRUE(Eventually([&] { return a.Receiver().RttSamples() == 1; }));
  EXPECT_GE(a.Receiver().RttLast(), 0);
  EXPECT_LT(a.Receiver().RttLast(), 1000);
  EXPECT_EQ(a.Receiver().PeerDialect(), RtcpDialect::kStandard);
  EXPECT_EQ(a.SendDialect(), RtcpDialect::kStandard);
  ASSERT_EQ(a.SendReportNow(), 0);
  ASSERT_TRUE(Eventually([&] { return b.Receiver().PeerDialect() == RtcpDialect::kStandard; }));
  RtpTranInfo aAtB;
  ASSERT_TRUE(b.Receiver().CopyRecord(stateA.Ssrc(), &aAtB));
  EXPECT_EQ(aAtB.dialect, RtcpDialect::kStandard);
}

// A receiver report while only receiving, a sender report while sending, the announcement
// only in the automatic mode, and a BYE when the last direction stops.
TEST(RtcpSession, ReportKindFollowsTheDirectionsAndStoppingSaysBye) {
  test::LoopbackSocket local, peer;
  ASSERT_TRUE(local.Valid() && peer.Valid());
  RtpSenderState state;
  RtcpSession session(&state, nullptr);
  session.SetSocket(local.Handle());
  session.SetDirections(false, true);
  EXPECT_FALSE(session.Running());  // nobody to report to
  EXPECT_EQ(session.SendReportNow(), -1);
  session.SetRemote(Loopback(peer.Port()));
  ASSERT_TRUE(session.Running());

  Datagram d;
  ASSERT_EQ(session.SendReportNow(), 0);
  ASSERT_TRUE(peer.Receive(&d, 2000));
  EXPECT_EQ(d[1], 201);
  EXPECT_EQ(ReadU32BE(d.data() + 4), state.Ssrc());
  EXPECT_TRUE(Contains(d, RtcpReceiver::kStandardUnderstood));
  session.SetMode(RtcpMode::kLegacy);
  ASSERT_EQ(session.SendReportNow(), 0);
  ASSERT_TRUE(peer.Receive(&d, 2000));
  EXPECT_FALSE(Contains(d, RtcpReceiver::kStandardUnderstood));

  session.SetMode(RtcpMode::kStandard);
  session.SetDirections(true, true);
  ASSERT_EQ(session.SendReportNow(), 0);
  ASSERT_TRUE(peer.Receive(&d, 2000));
  EXPECT_EQ(d[1], 200);
  EXPECT_GE(ReadU32BE(d.data() + 8), 0x80000000u);  // NTP seconds from 1900

  const auto before = Clock::now();
  session.SetDirections(false, false);
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - before).count(), 500);
  EXPECT_FALSE(session.Running());
  ASSERT_TRUE(ReceivePart(peer, 203, &d));
  const int bye = test::FindPart(d, 203);
  EXPECT_EQ(d[bye] & 0x1F, 1);
  EXPECT_EQ(ReadU32BE(d.data() + bye + 4), state.Ssrc());
  EXPECT_TRUE(Contains(d, RtcpSession::kByeReason));
}

// The peer reporting with our SSRC: a BYE for it and a new one. RTP seeing the same collision
// at the same time does not change the SSRC a second time.
TEST(RtcpSession, CollisionGetsAByeAndOneNewSsrc) {
  test::LoopbackSocket local, peer;
  ASSERT_TRUE(local.Valid() && peer.Valid());
  RtpSenderState state;
  const uint32_t old = state.Ssrc();
  RtpReceiver reception;
  reception.SetOwnSsrc(old);
  HearRun(reception, old, 1, 1);  // flagged before the session listens for the signal
  RtcpSession session(&state, &reception);
  session.SetSocket(local.Handle());
  session.SetRemote(Loopback(peer.Port()));
  session.SetDirections(false, true);

  ASSERT_TRUE(peer.SendTo(local.Port(), test::ReceiverReport(old)));
  Datagram d;
  ASSERT_TRUE(ReceivePart(peer, 203, &d));
  EXPECT_EQ(ReadU32BE(d.data() + test::FindPart(d, 203) + 4), old);
  ASSERT_TRUE(Eventually([&] { return state.Ssrc() != old; }));
  const uint32_t renewed = state.Ssrc();

  // Wake the thread with an ordinary report; nothing more may follow.
  ASSERT_TRUE(peer.SendTo(local.Port(), test::ReceiverReport(0x1234)));
  ASSERT_TRUE(Eventually([&] { return session.Receiver().ReportsReceived() == 1; }));
  for (const Datagram& later : peer.ReceiveAll(300)) EXPECT_LT(test::FindPart(later, 203), 0);
  EXPECT_EQ(state.Ssrc(), renewed);
  ASSERT_EQ(session.SendReportNow(), 0);
  ASSERT_TRUE(peer.Receive(&d, 2000));
  EXPECT_EQ(ReadU32BE(d.data() + 4), renewed);
}

}  // namespace
}  // namespace ve
