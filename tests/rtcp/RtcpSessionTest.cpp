#include "rtcp/RtcpSession.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "rtp/RtpSenderState.h"
#include "support/LoopbackSocket.h"
#include "support/RtcpBytes.h"

namespace ve {
namespace {

using Datagram = test::Bytes;
using Clock = std::chrono::steady_clock;

platform::Ipv4Endpoint Loopback(uint16_t port) { return {platform::InetAddr("127.0.0.1"), port}; }

// Polls `done` for at most two seconds: the session thread reads and answers on its own time.
template <typename Condition>
bool Eventually(Condition done) {
  const auto end = Clock::now() + std::chrono::seconds(2);
  while (!done() && Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return done();
}

bool Contains(const Datagram& d, const char* text) {
  return std::search(d.begin(), d.end(), text, text + std::strlen(text)) != d.end();
}

// Waits for a datagram holding a part of `type`; false when none came within two seconds.
bool ReceivePart(test::LoopbackSocket& socket, uint8_t type, Datagram* out) {
  const auto end = Clock::now() + std::chrono::seconds(2);
  while (Clock::now() < end) {
    if (socket.Receive(out, 200) && test::FindPart(*out, type) >= 0) return true;
  }
  return false;
}

TEST(RtcpSession, IntervalBounds) {
  // Small reports: the minimum of 2.5 s before the first report and 5 s after, randomised to
  // 0.5 .. 1.5 times and divided by e - 3/2.
  for (double unit : {0.0, 0.999999}) {
    EXPECT_NEAR(RtcpSession::IntervalSeconds(true, 2, 1, true, 100, RtcpSession::kRtcpBytesPerSecond, unit), 2.5 * (unit + 0.5) / 1.21828, 0.001);
    EXPECT_NEAR(RtcpSession::IntervalSeconds(false, 2, 0, false, 100, RtcpSession::kRtcpBytesPerSecond, unit), 5 * (unit + 0.5) / 1.21828, 0.001);
  }
  // Large reports: the bandwidth share decides. One sender among ten has a quarter of it to
  // itself; the nine receivers share the rest; no bandwidth gives the minimum.
  EXPECT_NEAR(RtcpSession::IntervalSeconds(false, 10, 1, true, 1000, 500, 0.5), 8 / 1.21828, 0.01);
  EXPECT_NEAR(RtcpSession::IntervalSeconds(false, 10, 1, false, 1000, 500, 0.5), 24 / 1.21828, 0.01);
  EXPECT_NEAR(RtcpSession::IntervalSeconds(false, 2, 1, true, 100, 0, 0.5), 5 / 1.21828, 0.01);
}

// A receiver report while only receiving, a sender report while sending, the announcement
// only in the automatic mode, and a BYE when the last direction stops.
TEST(RtcpSession, ReportKindFollowsTheDirectionsAndStoppingSaysBye) {
  test::LoopbackSocket local, peer;
  RtpSenderState state;
  RtcpSession session(&state, nullptr);
  session.SetSocket(local.Handle());
  session.SetDirections(false, true);
  EXPECT_FALSE(session.Running());  // nobody to report to
  EXPECT_EQ(session.SendReportNow(), -1);
  session.SetRemote(Loopback(peer.Port()));
  ASSERT_TRUE(session.Running());

  Datagram d;
  for (RtcpMode mode : {RtcpMode::kAuto, RtcpMode::kLegacy, RtcpMode::kStandard}) {
    session.SetMode(mode);
    if (mode == RtcpMode::kStandard) session.SetDirections(true, true);  // sending: a sender report
    ASSERT_EQ(session.SendReportNow(), 0);
    ASSERT_TRUE(peer.Receive(&d, 2000));
    EXPECT_EQ(std::make_tuple(d[1], ReadU32BE(d.data() + 4), Contains(d, RtcpReceiver::kStandardUnderstood)),
              std::make_tuple(static_cast<uint8_t>(mode == RtcpMode::kStandard ? 200 : 201), state.Ssrc(), mode == RtcpMode::kAuto));
  }
  EXPECT_GE(ReadU32BE(d.data() + 8), 0x80000000u);  // NTP seconds from 1900 in the standard layout

  session.SetDirections(false, false);
  EXPECT_FALSE(session.Running());
  ASSERT_TRUE(ReceivePart(peer, 203, &d));
  const int bye = test::FindPart(d, 203);
  EXPECT_EQ(std::make_tuple(d[bye] & 0x1F, ReadU32BE(d.data() + bye + 4)), std::make_tuple(1, state.Ssrc()));
  EXPECT_TRUE(Contains(d, RtcpSession::kByeReason));
}

// Only the peer's compound packets are read: from its port, or from another port of its
// address when they report on our stream (not with strict sources); our own come back unread.
// The peer reporting with our SSRC gets a BYE for it and one new SSRC, also when RTP saw the
// same collision.
TEST(RtcpSession, OnlyThePeersReportsAreReadAndACollisionGetsOneNewSsrc) {
  test::LoopbackSocket local, peer, otherPort;
  RtpSenderState state;
  const uint32_t old = state.Ssrc();
  RtpReceiver reception;
  reception.SetOwnSsrc(old);
  test::HearRtp(reception, 1, old);  // flagged before the session listens for the signal
  for (uint16_t seq : {5, 6}) test::HearRtp(reception, seq, 0x96);  // the peer's source, followed
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

  const Datagram aboutUs = test::ReceiverReport(0x97, test::StandardBlock(renewed, 0, 0), 1);
  for (const Datagram& b : {Datagram{}, test::Bye(7), test::ReceiverReport(0x99, test::StandardBlock(0x1234, 0, 0), 1)}) ASSERT_TRUE(otherPort.SendTo(local.Port(), b));
  ASSERT_TRUE(local.SendTo(local.Port(), test::ReceiverReport(0x98)));
  ASSERT_TRUE(otherPort.SendTo(local.Port(), aboutUs));
  ASSERT_TRUE(peer.SendTo(local.Port(), test::ReceiverReport(0x96)));
  ASSERT_TRUE(Eventually([&] { return session.Receiver().ReportsReceived() == 2; }));
  EXPECT_EQ(std::make_tuple(session.DroppedMalformed(), session.DroppedWrongSource()), std::make_tuple(2u, 1u));
  EXPECT_EQ(session.SendDialect(), RtcpDialect::kStandard) << "the peer's standard report was read";
  for (const Datagram& later : peer.ReceiveAll(300)) EXPECT_LT(test::FindPart(later, 203), 0) << "no second BYE";
  EXPECT_EQ(state.Ssrc(), renewed);
  session.SetStrictSources(true);
  ASSERT_TRUE(otherPort.SendTo(local.Port(), aboutUs));
  ASSERT_TRUE(peer.SendTo(local.Port(), test::ReceiverReport(0x96)));
  ASSERT_TRUE(Eventually([&] { return session.Receiver().ReportsReceived() == 3; }));
  EXPECT_EQ(session.DroppedWrongSource(), 2u);
  ASSERT_EQ(session.SendReportNow(), 0);
  ASSERT_TRUE(peer.Receive(&d, 2000));
  EXPECT_EQ(std::make_tuple(d[0] & 0x1F, ReadU32BE(d.data() + 8)), std::make_tuple(1, 0x96u)) << "a block about the source we hear";
  // A new call: a new SSRC and the old peer's figures forgotten, on both sides.
  session.NewCall(Loopback(otherPort.Port()));
  EXPECT_EQ(std::make_tuple(state.Ssrc() != renewed, session.Receiver().ReportsReceived(), reception.Stats().datagrams, session.Running()),
            std::make_tuple(true, 0, uint64_t{0}, true));
}

}  // namespace
}  // namespace ve
