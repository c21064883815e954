#include "rtp/RtpSourceGate.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "platform/Socket.h"
#include "rtp/RtpPacket.h"
#include "support/ImpairmentScript.h"

namespace {

using ve::RtpDrop;
using ve::RtpSourceGate;
using Verdict = RtpSourceGate::Verdict;
using ve::platform::Ipv4Endpoint;

const Ipv4Endpoint kPeer{ve::platform::InetAddr("127.0.0.1"), 4000};
const Ipv4Endpoint kPeerOtherPort{ve::platform::InetAddr("127.0.0.1"), 4100};
const Ipv4Endpoint kElsewhere{ve::platform::InetAddr("127.0.0.2"), 4000};

struct Gate : ::testing::Test {
  RtpSourceGate gate;
  void SetUp() override { gate.SetRemote(kPeer); }

  Verdict Send(const Ipv4Endpoint& from, uint32_t ssrc, uint16_t seq, uint8_t type = 8) {
    std::vector<uint8_t> bytes(12 + 160, 0xD5);
    ve::test::WriteRtpHeader(bytes.data(), type, seq, 160u * seq, ssrc);
    std::unique_ptr<ve::RtpPacket> packet(ve::RtpPacket::Parse(bytes.data(), static_cast<int32_t>(bytes.size())));
    return gate.Judge(*packet, bytes.data(), static_cast<int32_t>(bytes.size()), from);
  }
  // The sequence number of the kept probation packet, or -1 when none is kept.
  int HeldSequence() {
    uint8_t held[RtpSourceGate::kHeldBytes];
    int32_t length = gate.TakeHeld(held, sizeof held);
    return length >= 12 ? (held[2] << 8) | held[3] : -1;
  }
  uint32_t HeardSsrc() {
    uint32_t ssrc = 0;
    return gate.Heard(&ssrc, nullptr) ? ssrc : 0;
  }
};

// Two packets in sequence make a source heard; the first is kept and handed out first.
TEST_F(Gate, ProbationKeepsTheFirstPacketAndRestartsOutOfSequence) {
  EXPECT_EQ(Send(kPeer, 0xA, 100), Verdict::kDropped);
  EXPECT_EQ(Send(kPeer, 0xA, 102), Verdict::kDropped) << "out of sequence: probation starts again";
  EXPECT_EQ(gate.DropCount(RtpDrop::kOnProbation), 1u) << "the packet kept first is given up";
  EXPECT_EQ(Send(kPeer, 0xA, 103), Verdict::kPlay);
  EXPECT_EQ(HeldSequence(), 102);
  EXPECT_EQ(HeldSequence(), -1) << "handed out once";
  EXPECT_EQ(HeardSsrc(), 0xAu);
  EXPECT_EQ(Send(kPeer, 0xA, 104), Verdict::kPlay);
}

TEST_F(Gate, DuplicatesAreCountedOnceAndOtherPayloadTypesOnlyCounted) {
  Send(kPeer, 0xA, 65534);
  ASSERT_EQ(Send(kPeer, 0xA, 65535), Verdict::kPlay);
  EXPECT_EQ(Send(kPeer, 0xA, 65535), Verdict::kCountOnly) << "a duplicate";
  EXPECT_EQ(Send(kPeer, 0xA, 65534), Verdict::kCountOnly) << "the kept packet came already";
  EXPECT_EQ(Send(kPeer, 0xA, 2), Verdict::kPlay) << "across the wrap";
  EXPECT_EQ(Send(kPeer, 0xA, 0), Verdict::kPlay) << "late but new";
  EXPECT_EQ(Send(kPeer, 0xA, 0), Verdict::kCountOnly);
  EXPECT_EQ(gate.DropCount(RtpDrop::kDuplicate), 3u);
  EXPECT_EQ(Send(kPeer, 0xA, 3, 101), Verdict::kCountOnly) << "a telephone event of the heard source";
  EXPECT_EQ(Send(kPeer, 0xB, 7, 101), Verdict::kDropped);
  EXPECT_EQ(gate.DropCount(RtpDrop::kUnknownPayloadType), 1u);
}

// Another port of the peer's address is latched while nothing valid came from the given port;
// the given port wins as soon as it speaks; strangers never get through.
TEST_F(Gate, LatchOnceAndTheGivenPortWins) {
  EXPECT_EQ(Send(kElsewhere, 0xE, 1), Verdict::kDropped);
  EXPECT_EQ(Send(kElsewhere, 0xE, 2), Verdict::kDropped);
  EXPECT_EQ(gate.DropCount(RtpDrop::kWrongSource), 2u);

  Send(kPeerOtherPort, 0xC, 10);
  ASSERT_EQ(Send(kPeerOtherPort, 0xC, 11), Verdict::kPlay);
  EXPECT_TRUE(gate.Latched());
  EXPECT_EQ(gate.Latches(), 1u);
  const Ipv4Endpoint thirdPort{kPeer.address, 4200};
  Send(thirdPort, 0xD, 1);
  EXPECT_EQ(Send(thirdPort, 0xD, 2), Verdict::kDropped) << "never a second latched source";

  Send(kPeer, 0xA, 50);
  EXPECT_EQ(Send(kPeer, 0xA, 51), Verdict::kPlay);
  EXPECT_EQ(HeardSsrc(), 0xAu);
  EXPECT_FALSE(gate.Latched());
  EXPECT_EQ(Send(kPeerOtherPort, 0xC, 12), Verdict::kDropped) << "the latched source is not heard any more";

  // A new remote starts afresh; with strict checks nothing but the given port is heard.
  gate.SetRemote(kPeer);
  gate.SetLatchAllowed(false);
  Send(kPeerOtherPort, 0xC, 20);
  EXPECT_EQ(Send(kPeerOtherPort, 0xC, 21), Verdict::kDropped);
  EXPECT_EQ(HeardSsrc(), 0u);
}

// Once the given port has sent something valid, another port cannot be latched any more.
TEST_F(Gate, NoLatchAfterThePeerSpoke) {
  Send(kPeer, 0xA, 1);
  Send(kPeerOtherPort, 0xC, 10);
  EXPECT_EQ(Send(kPeerOtherPort, 0xC, 11), Verdict::kDropped);
  EXPECT_EQ(gate.Latches(), 0u);
}

}  // namespace
