#include "rtp/RtpAudioSink.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "codecs/FilterTestHelpers.h"
#include "support/LoopbackSocket.h"
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
  NamingSink sink;
};

uint16_t Seq(const Datagram& d) { return ReadU16BE(d.data() + 2); }
uint32_t Ts(const Datagram& d) { return ReadU32BE(d.data() + 4); }
uint32_t Ssrc(const Datagram& d) { return ReadU32BE(d.data() + 8); }
bool Marker(const Datagram& d) { return (d[1] & 0x80) != 0; }
uint8_t Type(const Datagram& d) { return d[1] & 0x7F; }

TEST_F(RtpAudioSinkTest, VoiceGapVoiceRunOnTheWire) {
  Open();
  for (int bytes : {160, 160, 0, 0, 0, 160}) Push(kFormatALaw, bytes);
  std::vector<Datagram> sent = Sent();
  ASSERT_EQ(sent.size(), 4u);  // voice, voice, comfort noise, voice: nothing for the later gaps

  EXPECT_EQ(sent[0][0], 0x80);
  EXPECT_EQ(Ssrc(sent[3]), Ssrc(sent[0]));
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

  // The first packet carries initial sequence + 1 and initial timestamp + its increment.
  const RtpSenderState* state = sink.SenderState();
  EXPECT_EQ(state->PacketCount(), 4u);
  EXPECT_EQ(state->OctetCount(), 160u * 3 + 4);
  EXPECT_EQ(Ts(sent[0]), state->InitialTimestamp() + 160u);
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
  Push(kFormatPcm16, 320);  // no payload type for 16-bit PCM
  Push(kFormatALaw, 600);   // larger than the send buffer
  for (int i = 0; i < 2; ++i) Push(kFormatALaw, 160);
  std::vector<Datagram> sent = Sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_TRUE(Marker(sent[0]));  // still the first voice packet of the talkspurt
  EXPECT_EQ(sink.names.front(), "WAVE_FORMAT 1 (ERROR)");
  EXPECT_EQ(sink.names.size(), 2u);  // the same A-law tag three times is named once
  EXPECT_EQ(Ts(sent[0]), sink.SenderState()->InitialTimestamp() + 20u * 8 + 75u * 8 + 160u);
}

// Also: without an RTCP port there is no RTCP at all.
TEST_F(RtpAudioSinkTest, EveryStartBeginsANewStreamAndNoRtcpWithoutAnRtcpPort) {
  Open();
  EXPECT_EQ(sink.Open(), -10);
  EXPECT_EQ(sink.RtcpReceiverOfCall(), nullptr);
  EXPECT_EQ(sink.SendReport(), -1);
  EXPECT_EQ(sink.PollRtcp(), -1);
  for (int i = 0; i < 2; ++i) Push(kFormatALaw, 160);
  ASSERT_EQ(sink.Close(), 0);
  ASSERT_EQ(sink.Open(), 0);
  EXPECT_EQ(sink.SenderState()->PacketCount(), 0u);
  Push(kFormatALaw, 160);
  std::vector<Datagram> sent = Sent();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_TRUE(Marker(sent[2]));  // the new call's first voice packet
  EXPECT_EQ(sink.names.size(), 2u);  // the codec text is reported again after Close
  EXPECT_TRUE(peerRtcp.ReceiveAll(10).empty());
}

TEST_F(RtpAudioSinkTest, TypeOfServiceReachesTheSocket) {
  EXPECT_EQ(sink.SetTypeOfService(RtpAudioSink::kVoiceTos), 0);
  int value = test::TypeOfService(local.Handle());
  ASSERT_GE(value, 0);
  EXPECT_EQ(value & 0xFC, 0xB8);
}

// The report and BYE go to the peer's RTCP port; PollRtcp reads a BYE that comes back.
TEST_F(RtpAudioSinkTest, ReportAndByeGoToThePeersRtcpPortAndPollReadsABye) {
  Open(peerRtcp.Port());
  EXPECT_EQ(sink.PollRtcp(), -1);  // nothing waiting
  Push(kFormatALaw, 160);
  ASSERT_EQ(sink.SendReport(), 0);
  Datagram report;
  ASSERT_TRUE(peerRtcp.Receive(&report, 1000));
  ASSERT_TRUE(RtcpReceiver::IsValidCompound(report.data(), static_cast<int32_t>(report.size())));
  EXPECT_EQ(report[1], 200);
  EXPECT_EQ(ReadU32BE(report.data() + 4), sink.SenderState()->Ssrc());
  EXPECT_EQ(ReadU32BE(report.data() + 20), 1u);    // packets
  EXPECT_EQ(ReadU32BE(report.data() + 24), 160u);  // octets
  EXPECT_EQ(report[28 + 1], 202);                  // SDES follows the 28-byte SR

  ASSERT_EQ(sink.SendBye(), 0);
  Datagram bye;
  ASSERT_TRUE(peerRtcp.Receive(&bye, 1000));
  sink.RtcpReceiverOfCall()->GetRecord(sink.SenderState()->Ssrc());
  ASSERT_TRUE(peerRtcp.SendTo(localRtcp.Port(), bye));
  ASSERT_EQ(platform::WaitReadable(localRtcp.Handle(), 1000, nullptr), 1);
  EXPECT_EQ(sink.PollRtcp(), 1);
  EXPECT_EQ(sink.RtcpReceiverOfCall()->getTranInfoCount(), 0);
}

TEST_F(RtpAudioSinkTest, ANewCallReplacesTheRtcpObjects) {
  RtpReceiver receiver(0, 0);
  sink.SetRtpReceiver(&receiver);
  sink.SetRemote("127.0.0.1", peer.Port(), peerRtcp.Port());
  sink.SetRemote("127.0.0.1", peer.Port(), peerRtcp.Port());
  // The receive record now reports to the new call's RtcpReceiver.
  std::vector<uint8_t> bytes = {0x80, 8, 0, 1, 0, 0, 0, 0, 0, 0, 0, 5};
  bytes.resize(172);
  RtpPacket* packet = RtpPacket::Parse(bytes.data(), 172);
  receiver.Receive(packet);
  delete packet;
  ASSERT_EQ(sink.RtcpReceiverOfCall()->getTranInfoCount(), 1);
  EXPECT_EQ(sink.RtcpReceiverOfCall()->GetTranInfo(0)->recv, &receiver);
  sink.SetRtpReceiver(nullptr);
  EXPECT_EQ(sink.RtcpReceiverOfCall()->GetTranInfo(0)->recv, nullptr);
}

}  // namespace
}  // namespace ve
