#include "rtp/RtpSourceGate.h"

#include <gtest/gtest.h>

#include "rtp/RtpPacket.h"
#include "support/RtpBytes.h"

namespace ve {
namespace {

using Verdict = RtpSourceGate::Verdict;
using platform::Ipv4Endpoint;

const Ipv4Endpoint kPeer{platform::InetAddr("127.0.0.1"), 4000}, kPeerOtherPort{kPeer.address, 4100};
const Ipv4Endpoint kElsewhere{platform::InetAddr("127.0.0.2"), 4000};

struct Gate : ::testing::Test {
  RtpSourceGate gate;
  void SetUp() override { gate.SetRemote(kPeer); }

  Verdict Send(const Ipv4Endpoint& from, uint32_t ssrc, uint16_t seq, uint8_t type = 8) {
    std::vector<uint8_t> bytes(12 + 160, 0xD5);
    test::WriteRtpHeader(bytes.data(), type, seq, 160u * seq, ssrc);
    std::unique_ptr<RtpPacket> packet(RtpPacket::Parse(bytes.data(), static_cast<int32_t>(bytes.size())));
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

using Verdicts = std::vector<Verdict>;
constexpr Verdict kPlay = Verdict::kPlay, kCountOnly = Verdict::kCountOnly, kDropped = Verdict::kDropped;

// Two packets in sequence make a source heard; the first is kept and handed out once, first. A
// packet out of sequence starts the probation again and gives up the one kept; a new source
// after that starts its own without giving anything up.
TEST_F(Gate, ProbationKeepsTheFirstPacketAndRestartsOutOfSequence) {
  EXPECT_EQ((Verdicts{Send(kPeer, 0xA, 100), Send(kPeer, 0xA, 102), Send(kPeer, 0xA, 103), Send(kPeer, 0xA, 104), Send(kPeer, 0xB, 7)}),
            (Verdicts{kDropped, kDropped, kPlay, kPlay, kDropped}));
  EXPECT_EQ((std::vector<int>{HeldSequence(), HeldSequence()}), (std::vector<int>{102, -1}));
  EXPECT_EQ(std::make_tuple(gate.DropCount(RtpDrop::kOnProbation), HeardSsrc()), std::make_tuple(1u, 0xAu));
}

// A duplicate (the kept packet included) and a packet of a payload type not played are counted
// only; late packets that are new play, across the wrap too.
TEST_F(Gate, DuplicatesAreCountedOnceAndOtherPayloadTypesOnlyCounted) {
  EXPECT_EQ((Verdicts{Send(kPeer, 0xA, 65534), Send(kPeer, 0xA, 65535), Send(kPeer, 0xA, 65535), Send(kPeer, 0xA, 65534),
                      Send(kPeer, 0xA, 2), Send(kPeer, 0xA, 0), Send(kPeer, 0xA, 0), Send(kPeer, 0xA, 3, 101), Send(kPeer, 0xB, 7, 101)}),
            (Verdicts{kDropped, kPlay, kCountOnly, kCountOnly, kPlay, kPlay, kCountOnly, kCountOnly, kDropped}));
  EXPECT_EQ(std::make_tuple(gate.DropCount(RtpDrop::kDuplicate), gate.DropCount(RtpDrop::kUnknownPayloadType)), std::make_tuple(3u, 1u));
}

// Another port of the peer's address is latched once while nothing valid came from the given
// port; the given port wins as soon as it speaks; strangers never get through.
TEST_F(Gate, LatchOnceAndTheGivenPortWins) {
  EXPECT_EQ((Verdicts{Send(kElsewhere, 0xE, 1), Send(kElsewhere, 0xE, 2), Send(kPeerOtherPort, 0xC, 10), Send(kPeerOtherPort, 0xC, 11)}),
            (Verdicts{kDropped, kDropped, kDropped, kPlay}));
  EXPECT_EQ(std::make_tuple(gate.DropCount(RtpDrop::kWrongSource), gate.Latched(), gate.Latches()), std::make_tuple(2u, true, 1u));
  EXPECT_EQ((Verdicts{Send({kPeer.address, 4200}, 0xD, 1), Send({kPeer.address, 4200}, 0xD, 2), Send(kPeer, 0xA, 50), Send(kPeer, 0xA, 51), Send(kPeerOtherPort, 0xC, 12)}),
            (Verdicts{kDropped, kDropped, kDropped, kPlay, kDropped}));
  EXPECT_EQ(std::make_tuple(HeardSsrc(), gate.Latched(), gate.Latches()), std::make_tuple(0xAu, false, 1u));

  // A new remote starts afresh; with strict checks nothing but the given port is heard.
  gate.SetRemote(kPeer);
  gate.SetLatchAllowed(false);
  EXPECT_EQ((Verdicts{Send(kPeerOtherPort, 0xC, 20), Send(kPeerOtherPort, 0xC, 21)}), (Verdicts{kDropped, kDropped}));
  // Once the given port has sent something valid, another port cannot be latched any more.
  gate.SetRemote(kPeer);
  gate.SetLatchAllowed(true);
  EXPECT_EQ((Verdicts{Send(kPeer, 0xA, 1), Send(kPeerOtherPort, 0xC, 10), Send(kPeerOtherPort, 0xC, 11)}), (Verdicts{kDropped, kDropped, kDropped}));
  EXPECT_EQ(std::make_tuple(HeardSsrc(), gate.Latches()), std::make_tuple(0u, 1u));
}

}  // namespace
}  // namespace ve
