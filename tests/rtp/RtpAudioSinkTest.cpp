#include "rtp/RtpAudioSink.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "codecs/FilterTestHelpers.h"
#include "support/LoopbackSocket.h"
#include "support/RtcpBytes.h"
#include "support/TestSockets.h"
#include "framework/AudioSample.h"
#include "rtcp/RtcpReceiver.h"
#include "rtcp/RtpReceiver.h"
#include "rtp/ByteOrder.h"
#include "rtp/RtpPacket.h"
#include "rtp/RtpSenderState.h"

namespace ve {
namespace {

using Datagram = std::vector<uint8_t>;

// Records the codec texts the sink reports.
class NamingSink : public RtpAudioSink {
 public:
  std::vector<std::string> names;

 protected:
  int32_t OnCodecName(const char* text) override {
    names.emplace_back(text);
    return 0;
  }
};

class RtpAudioSinkTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(local.Valid() && peer.Valid() && localRtcp.Valid() && peerRtcp.Valid());
    sink.SetRtpSocket(local.Handle());
    sink.SetRtcpSocket(localRtcp.Handle());
  }
  void TearDown() override { sink.Close(); }

  // Pushes one sample of standard format `format`: `bytes` of data, or a 20 ms gap marker when 0.
  void Push(int32_t format, int bytes) {
    std::vector<uint8_t> data(bytes);
    for (int i = 0; i < bytes; ++i) data[i] = static_cast<uint8_t>(i);
    AudioSample* sample = bytes > 0 ? test::MakeBytes(format, data) : test::MakeGap(format, 20);
    sink.TakeNextAudioSample(sample, nullptr);
    sample->Release();
  }
  void Open(uint16_t rtcpPort = 0) {
    sink.SetRemote("127.0.0.1", peer.Port(), rtcpPort);
    ASSERT_EQ(sink.Open(), 0);
  }

  std::vector<Datagram> Sent(int quietMs = 100) { return peer.ReceiveAll(quietMs); }

  test::LoopbackSocket local, peer, localRtcp, peerRtcp;
  RtpReceiver reception;  // outlives the sink, which may point at it
  NamingSink sink;
};

uint16_t Seq(const Datagram& d) { return ReadU16BE(d.data() + 2); }
uint32_t Ts(const Datagram& d) { return ReadU32BE(d.data() + 4); }
uint32_t Ssrc(const Datagram& d) { return ReadU32BE(d.data() + 8); }
bool Marker(const Datagram& d) { return (d[1] & 0x80) != 0; }
uint8_t Type(const Datagram& d) { return d[1] & 0x7F; }

TEST_F(RtpAudioSinkTest, VoiceGapVoiceRunOnTheWire) {
  Open();
  const RtpSenderState::Snapshot start = sink.SenderState()->Read();
  for (int bytes : {160, 160, 0, 0, 0, 160}) Push(kFormatALaw, bytes);
  std::vector<Datagram> sent = Sent();
  ASSERT_EQ(sent.size(), 4u);  // voice, voice, comfort noise, voice: nothing for the later gaps

  EXPECT_EQ(sent[0][0], 0x80);
  EXPECT_EQ(Ssrc(sent[0]), start.ssrc);
  EXPECT_EQ(Ssrc(sent[3]), start.ssrc);
  EXPECT_EQ(sent[0].size(), 172u);
  EXPECT_EQ(sent[0][12 + 5], 5);  // payload copied behind the header
  // Marker on the first packet of each talkspurt only; comfort noise is type 13 with level 100.
  EXPECT_EQ((std::vector<int>{Type(sent[0]), Type(sent[1]), Type(sent[2]), Type(sent[3])}),
            (std::vector<int>{8, 8, 13, 8}));
  EXPECT_EQ((std::vector<bool>{Marker(sent[0]), Marker(sent[1]), Marker(sent[2]), Marker(sent[3])}),
            (std::vector<bool>{true, false, false, true}));
  EXPECT_EQ(Datagram(sent[2].begin() + 12, sent[2].end()), (Datagram{0x64, 0, 0, 0}));
  EXPECT_EQ(static_cast<uint16_t>(Seq(sent[3]) - Seq(sent[0])), 3);
  EXPECT_EQ(Ts(sent[3]) - Ts(sent[1]), 4u * 160u);

  // The first packet carries the next sequence number and the timestamp moved on by its
  // duration; the sender report's counts follow.
  EXPECT_EQ(Seq(sent[0]), static_cast<uint16_t>(start.sequence + 1));
  EXPECT_EQ(Ts(sent[0]), start.timestamp + 160u);
  EXPECT_EQ(sink.SenderState()->PacketCount(), start.packetCount + 4);
  EXPECT_EQ(sink.SenderState()->OctetCount(), start.octetCount + 160u * 3 + 4);
}

TEST_F(RtpAudioSinkTest, PayloadTypesAndStepsByFormat) {
  Open();
  // Format, bytes, payload type, and the timestamp step to the next packet (G.723 30 ms,
  // G.729 20 ms, A-law 80 bytes 10 ms).
  const struct { int32_t format; int bytes; int type; uint32_t step; } cases[] = {
      {kFormatG723_64, 24, 4, 240}, {kFormatG723_53, 20, 4, 160}, {kFormatG729, 20, 18, 160},
      {kFormatMuLaw, 160, 0, 80},   {kFormatALaw, 80, 8, 160},    {kFormatMuLaw, 160, 0, 0}};
  for (const auto& c : cases) Push(c.format, c.bytes);
  std::vector<Datagram> sent = Sent();
  ASSERT_EQ(sent.size(), 6u);
  EXPECT_EQ(sent[0].size(), 36u);
  for (size_t i = 0; i < 6; ++i) EXPECT_EQ(Type(sent[i]), cases[i].type) << i;
  for (size_t i = 0; i < 5; ++i) EXPECT_EQ(Ts(sent[i + 1]) - Ts(sent[i]), cases[i].step) << i;
  EXPECT_EQ(sink.names, (std::vector<std::string>{"G.723 6.4kbps", "G.723 5.3kbps", "G.729", "G.711 ULaw",
                                                   "G.711 ALaw", "G.711 ULaw"}));
}

TEST_F(RtpAudioSinkTest, UnsendableSamplesAreDroppedButKeepTime) {
  Open();
  const uint32_t start = sink.SenderState()->Timestamp();
  Push(kFormatPcm16, 320);  // no payload type for 16-bit PCM
  Push(kFormatALaw, 600);   // larger than the send buffer
  for (int i = 0; i < 2; ++i) Push(kFormatALaw, 160);
  std::vector<Datagram> sent = Sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_TRUE(Marker(sent[0]));  // still the first voice packet of the talkspurt
  EXPECT_EQ(sink.names.front(), "WAVE_FORMAT 1 (ERROR)");
  EXPECT_EQ(sink.names.size(), 2u);  // the same A-law tag three times is named once
  EXPECT_EQ(Ts(sent[0]), start + 20u * 8 + 75u * 8 + 160u);
}

// A stop and start of sending keeps the stream; without an RTCP port there is no RTCP at all.
TEST_F(RtpAudioSinkTest, StopAndStartKeepTheStreamAndNoRtcpWithoutAnRtcpPort) {
  Open();
  EXPECT_EQ(sink.Open(), -10);
  sink.SetCallDirections(true, false);
  EXPECT_FALSE(sink.Rtcp().Running());
  EXPECT_EQ(sink.SendReport(), -1);
  for (int i = 0; i < 2; ++i) Push(kFormatALaw, 160);
  ASSERT_EQ(sink.Close(), 0);
  sink.SetRemote("127.0.0.1", peer.Port(), 0);  // the same remote again
  ASSERT_EQ(sink.Open(), 0);
  Push(kFormatALaw, 160);
  std::vector<Datagram> sent = Sent();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(Ssrc(sent[2]), Ssrc(sent[0]));
  EXPECT_EQ(static_cast<uint16_t>(Seq(sent[2]) - Seq(sent[1])), 1);
  EXPECT_GE(Ts(sent[2]) - Ts(sent[1]), 160u);  // plus the time the stop lasted
  EXPECT_TRUE(Marker(sent[2]));  // a new talkspurt
  EXPECT_EQ(sink.names.size(), 2u);  // the codec text is reported again after Close
  EXPECT_TRUE(peerRtcp.ReceiveAll(10).empty());
  sink.SetCallDirections(false, false);
}

TEST_F(RtpAudioSinkTest, TypeOfServiceReachesTheSocket) {
  EXPECT_EQ(sink.SetTypeOfService(RtpAudioSink::kVoiceTos), 0);
  int value = test::TypeOfService(local.Handle());
  ASSERT_GE(value, 0);
  EXPECT_EQ(value & 0xFC, 0xB8);
}

// The report goes to the peer's RTCP port; the peer's answer reaches the call figures.
TEST_F(RtpAudioSinkTest, ReportToThePeerAndItsAnswerInTheCallFigures) {
  Open(peerRtcp.Port());
  sink.SetCallDirections(true, false);
  Push(kFormatALaw, 160);
  ASSERT_EQ(sink.SendReport(), 0);
  Datagram report;
  ASSERT_TRUE(peerRtcp.Receive(&report, 1000));
  ASSERT_TRUE(RtcpReceiver::IsValidCompound(report.data(), static_cast<int32_t>(report.size())));
  const uint32_t ssrc = sink.SenderState()->Ssrc();
  EXPECT_EQ(report[1], 200);
  EXPECT_EQ(ReadU32BE(report.data() + 4), ssrc);
  EXPECT_LT(ReadU32BE(report.data() + 8), 0x80000000u);  // legacy until the peer is known
  EXPECT_EQ(ReadU32BE(report.data() + 20), 1u);    // packets
  EXPECT_EQ(ReadU32BE(report.data() + 24), 160u);  // octets

  // A standard receiver report about our stream, echoing that SR.
  const uint32_t lsr = (ReadU32BE(report.data() + 8) << 16) | (ReadU32BE(report.data() + 12) >> 16);
  const Datagram answer = test::ReceiverReport(0x0E0E, test::StandardBlock(ssrc, lsr, 0, 10, 3), 1);
  ASSERT_TRUE(peerRtcp.SendTo(localRtcp.Port(), answer));
  RtpAudioSink::CallFigures figures;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  do {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    sink.ReadCallFigures(&figures, 0x0E0E);
  } while (figures.rttMs < 0 && std::chrono::steady_clock::now() < end);
  EXPECT_GE(figures.rttMs, 0);
  EXPECT_LT(figures.rttMs, 1000);
  EXPECT_EQ(figures.reportsReceived, 1);
  EXPECT_TRUE(figures.peerReported);
  EXPECT_EQ(figures.peerFractionLost, 10);
  EXPECT_EQ(figures.peerCumulativeLost, 3);
  EXPECT_EQ(figures.peerDialect, RtcpDialect::kStandard);
  EXPECT_EQ(figures.sendDialect, RtcpDialect::kStandard);
  EXPECT_EQ(figures.localSsrc, ssrc);
  EXPECT_EQ(figures.packetsSent, 1u);

  ASSERT_EQ(sink.SendBye(), 0);
  Datagram bye;
  ASSERT_TRUE(peerRtcp.Receive(&bye, 1000));
  ASSERT_TRUE(RtcpReceiver::IsValidCompound(bye.data(), static_cast<int32_t>(bye.size())));
  EXPECT_GE(ReadU32BE(bye.data() + 8), 0x80000000u);  // now in the standard layout
  sink.SetCallDirections(false, false);
}

// Another remote party is another stream: a BYE to the old one, a new SSRC and the old
// peer's reception figures forgotten. The same remote again changes nothing.
TEST_F(RtpAudioSinkTest, AnotherRemoteStartsANewStream) {
  sink.SetRtpReceiver(&reception);
  Open(peerRtcp.Port());
  sink.SetCallDirections(true, true);
  for (uint16_t seq = 1; seq <= 3; ++seq) test::HearRtp(reception, seq, 0x77);
  ASSERT_TRUE(reception.Stats().sourceSet);
  const uint32_t first = sink.SenderState()->Ssrc();
  sink.SetRemote("127.0.0.1", peer.Port(), peerRtcp.Port());
  EXPECT_EQ(sink.SenderState()->Ssrc(), first);
  EXPECT_TRUE(reception.Stats().sourceSet);

  test::LoopbackSocket otherRtcp;
  sink.SetRemote("127.0.0.1", peer.Port(), otherRtcp.Port());
  EXPECT_NE(sink.SenderState()->Ssrc(), first);
  EXPECT_FALSE(reception.Stats().sourceSet);
  bool byeSeen = false;
  for (const Datagram& d : peerRtcp.ReceiveAll(100)) {
    const int bye = test::FindPart(d, 203);
    byeSeen |= bye >= 0 && ReadU32BE(d.data() + bye + 4) == first;
  }
  EXPECT_TRUE(byeSeen);
  sink.SetCallDirections(false, false);
}

}  // namespace
}  // namespace ve
