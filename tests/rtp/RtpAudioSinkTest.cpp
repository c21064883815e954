#include "rtp/RtpAudioSink.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/LoopbackSocket.h"
#include "framework/AudioSample.h"
#include "framework/AudioSamplePool.h"
#include "rtcp/RtcpReceiver.h"
#include "rtcp/RtcpTransmitter.h"
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

  // Pushes one sample: `bytes` of data in format `tag`, or a gap marker of silenceMs when 0.
  void Push(uint16_t tag, int bytes, int silenceMs = 20) {
    AudioSample* sample = nullptr;
    AudioSamplePool::Instance()->Get(&sample);
    WAVEFORMATEX format{};
    int number = tag == WAVE_FORMAT_ALAW ? kFormatALaw
                 : tag == WAVE_FORMAT_MULAW ? kFormatMuLaw
                 : tag == WAVE_FORMAT_G729 ? kFormatG729
                 : tag == WAVE_FORMAT_G723_53 ? kFormatG723_53
                 : tag == WAVE_FORMAT_G723_64 ? kFormatG723_64
                                              : kFormatPcm16;
    sample->SetFormat(GetStandardFormat(&format, number));
    if (bytes > 0) {
      for (int i = 0; i < bytes; ++i) sample->Data()[i] = static_cast<uint8_t>(i);
      sample->SetDataSize(bytes);
    } else {
      sample->SetDataSize(0);
      sample->SetSilenceMs(silenceMs);
    }
    sink.TakeNextAudioSample(sample, nullptr);
    sample->Release();
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
  sink.SetRemote("127.0.0.1", peer.Port(), 0);
  ASSERT_EQ(sink.Open(), 0);
  Push(WAVE_FORMAT_ALAW, 160);
  Push(WAVE_FORMAT_ALAW, 160);
  Push(WAVE_FORMAT_ALAW, 0);
  Push(WAVE_FORMAT_ALAW, 0);
  Push(WAVE_FORMAT_ALAW, 0);
  Push(WAVE_FORMAT_ALAW, 160);
  std::vector<Datagram> sent = Sent();
  ASSERT_EQ(sent.size(), 4u);  // voice, voice, comfort noise, voice: nothing for the later gaps

  for (const Datagram& d : sent) {
    EXPECT_EQ(d[0], 0x80);
    EXPECT_EQ(Ssrc(d), Ssrc(sent[0]));
  }
  EXPECT_NE(Ssrc(sent[0]), 0u);
  EXPECT_EQ(sent[0].size(), 172u);
  EXPECT_EQ(Type(sent[0]), 8);
  EXPECT_TRUE(Marker(sent[0]));
  EXPECT_FALSE(Marker(sent[1]));
  EXPECT_EQ(sent[0][12 + 5], 5);  // payload copied behind the header

  const Datagram& cn = sent[2];
  ASSERT_EQ(cn.size(), 16u);
  EXPECT_EQ(Type(cn), 13);
  EXPECT_FALSE(Marker(cn));
  EXPECT_EQ(Datagram(cn.begin() + 12, cn.end()), (Datagram{0x64, 0, 0, 0}));

  const Datagram& resumed = sent[3];
  EXPECT_TRUE(Marker(resumed));
  EXPECT_EQ(static_cast<uint16_t>(Seq(sent[1]) - Seq(sent[0])), 1);
  EXPECT_EQ(static_cast<uint16_t>(Seq(resumed) - Seq(sent[1])), 2);
  EXPECT_EQ(Ts(sent[1]) - Ts(sent[0]), 160u);
  EXPECT_EQ(Ts(resumed) - Ts(sent[1]), 4u * 160u);

  // The first packet carries initial sequence + 1 and initial timestamp + its increment.
  const RtpSenderState* state = sink.SenderState();
  EXPECT_EQ(state->PacketCount(), 4u);
  EXPECT_EQ(state->OctetCount(), 160u * 3 + 4);
  EXPECT_EQ(Ts(sent[0]), state->InitialTimestamp() + 160u);
}

TEST_F(RtpAudioSinkTest, PayloadTypesAndStepsByFormat) {
  sink.SetRemote("127.0.0.1", peer.Port(), 0);
  ASSERT_EQ(sink.Open(), 0);
  Push(WAVE_FORMAT_G723_64, 24);  // 30 ms
  Push(WAVE_FORMAT_G723_53, 20);
  Push(WAVE_FORMAT_G729, 20);     // 20 ms
  Push(WAVE_FORMAT_MULAW, 160);
  Push(WAVE_FORMAT_ALAW, 80);     // 10 ms
  Push(WAVE_FORMAT_MULAW, 160);
  std::vector<Datagram> sent = Sent();
  ASSERT_EQ(sent.size(), 6u);
  EXPECT_EQ(sent[0].size(), 36u);
  EXPECT_EQ(Type(sent[0]), 4);
  EXPECT_EQ(Type(sent[1]), 4);
  EXPECT_EQ(Type(sent[2]), 18);
  EXPECT_EQ(Type(sent[3]), 0);
  EXPECT_EQ(Type(sent[4]), 8);
  EXPECT_EQ(Ts(sent[1]) - Ts(sent[0]), 240u);
  EXPECT_EQ(Ts(sent[2]) - Ts(sent[1]), 160u);
  EXPECT_EQ(Ts(sent[5]) - Ts(sent[4]), 160u);
  EXPECT_EQ(Ts(sent[4]) - Ts(sent[3]), 80u);
  EXPECT_EQ(sink.names, (std::vector<std::string>{"G.723 6.4kbps", "G.723 5.3kbps", "G.729", "G.711 ULaw",
                                                   "G.711 ALaw", "G.711 ULaw"}));
}

TEST_F(RtpAudioSinkTest, UnsendableSamplesAreDroppedButKeepTime) {
  sink.SetRemote("127.0.0.1", peer.Port(), 0);
  ASSERT_EQ(sink.Open(), 0);
  Push(WAVE_FORMAT_PCM, 320);       // no payload type for 16-bit PCM
  Push(WAVE_FORMAT_ALAW, 600);      // larger than the send buffer
  Push(WAVE_FORMAT_ALAW, 160);
  Push(WAVE_FORMAT_ALAW, 160);
  std::vector<Datagram> sent = Sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].size(), 172u);
  EXPECT_TRUE(Marker(sent[0]));  // still the first voice packet of the talkspurt
  EXPECT_EQ(sink.names.front(), "WAVE_FORMAT 1 (ERROR)");
  EXPECT_EQ(sink.names.size(), 2u);  // the same A-law tag three times is named once
  EXPECT_EQ(Ts(sent[0]), sink.SenderState()->InitialTimestamp() + 20u * 8 + 75u * 8 + 160u);
}

TEST_F(RtpAudioSinkTest, EveryStartBeginsANewStream) {
  sink.SetRemote("127.0.0.1", peer.Port(), 0);
  ASSERT_EQ(sink.Open(), 0);
  EXPECT_EQ(sink.Open(), -10);
  Push(WAVE_FORMAT_ALAW, 160);
  Push(WAVE_FORMAT_ALAW, 160);
  ASSERT_EQ(sink.Close(), 0);
  EXPECT_EQ(sink.SenderState()->PacketCount(), 2u);
  ASSERT_EQ(sink.Open(), 0);
  EXPECT_EQ(sink.SenderState()->PacketCount(), 0u);
  Push(WAVE_FORMAT_ALAW, 160);
  std::vector<Datagram> sent = Sent();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_TRUE(Marker(sent[2]));  // the new call's first voice packet
  EXPECT_EQ(sink.names.size(), 2u);  // the codec text is reported again after Close
}

TEST_F(RtpAudioSinkTest, InvalidSocketSendsNothingButAdvances) {
  sink.SetRtpSocket(platform::kInvalidSocket);
  sink.SetRemote("127.0.0.1", peer.Port(), 0);
  ASSERT_EQ(sink.Open(), 0);
  Push(WAVE_FORMAT_ALAW, 160);
  EXPECT_TRUE(Sent(50).empty());
  EXPECT_EQ(sink.SenderState()->PacketCount(), 1u);
}

TEST_F(RtpAudioSinkTest, TypeOfServiceReachesTheSocket) {
  EXPECT_EQ(sink.SetTypeOfService(RtpAudioSink::kVoiceTos), 0);
  int value = 0;
  socklen_t length = sizeof value;
  ASSERT_EQ(getsockopt(local.Handle(), IPPROTO_IP, IP_TOS, &value, &length), 0);
  EXPECT_EQ(value & 0xFC, 0xB8);
}

TEST_F(RtpAudioSinkTest, NoRtcpWithoutAnRtcpPort) {
  sink.SetRemote("127.0.0.1", peer.Port(), 0);
  EXPECT_EQ(sink.Transmitter(), nullptr);
  EXPECT_EQ(sink.RtcpReceiverOfCall(), nullptr);
  EXPECT_EQ(sink.SendReport(), -1);
  EXPECT_EQ(sink.SendBye(), -1);
  EXPECT_EQ(sink.PollRtcp(), -1);
  ASSERT_EQ(sink.Open(), 0);
  Push(WAVE_FORMAT_ALAW, 160);
  EXPECT_TRUE(peerRtcp.ReceiveAll(50).empty());
}

TEST_F(RtpAudioSinkTest, ReportAndByeGoToThePeersRtcpPort) {
  sink.SetRemote("127.0.0.1", peer.Port(), peerRtcp.Port());
  ASSERT_EQ(sink.Open(), 0);
  Push(WAVE_FORMAT_ALAW, 160);
  ASSERT_EQ(sink.SendReport(), 0);
  Datagram report;
  ASSERT_TRUE(peerRtcp.Receive(&report, 1000));
  ASSERT_TRUE(RtcpReceiver::IsValidCompound(report.data(), static_cast<int32_t>(report.size())));
  EXPECT_EQ(report[1], 200);
  EXPECT_EQ(ReadU32BE(report.data() + 4), sink.SenderState()->Ssrc());
  EXPECT_EQ(ReadU32BE(report.data() + 20), 1u);    // packets
  EXPECT_EQ(ReadU32BE(report.data() + 24), 160u);  // octets
  EXPECT_EQ(report[28 + 1], 202);                  // SDES follows the 28-byte SR
  std::string cname(reinterpret_cast<const char*>(&report[28 + 10]), report[28 + 9]);
  EXPECT_EQ(cname, sink.Transmitter()->GetCname());
  EXPECT_EQ(cname.rfind("unknown_user.", 0), 0u);

  ASSERT_EQ(sink.SendBye(), 0);
  Datagram bye;
  ASSERT_TRUE(peerRtcp.Receive(&bye, 1000));
  RtcpReceiver reader(0);
  reader.GetRecord(sink.SenderState()->Ssrc());
  EXPECT_EQ(reader.ReadRtcp(bye.data(), static_cast<int32_t>(bye.size())), 1);
  EXPECT_EQ(reader.getTranInfoCount(), 0);
  std::string text(bye.begin(), bye.end());
  EXPECT_NE(text.find("Ardo Program Ended."), std::string::npos);
}

TEST_F(RtpAudioSinkTest, PollRtcpReadsThePeersBye) {
  sink.SetRemote("127.0.0.1", peer.Port(), peerRtcp.Port());
  EXPECT_EQ(sink.PollRtcp(), -1);  // nothing waiting
  // The peer's compound packet: an empty RR, then BYE for SSRC 0x99.
  Datagram rrBye = {0x80, 201, 0, 1, 0, 0, 0, 0x99, 0x81, 203, 0, 1, 0, 0, 0, 0x99};
  sink.RtcpReceiverOfCall()->GetRecord(0x99);
  ASSERT_TRUE(peerRtcp.SendTo(localRtcp.Port(), rrBye));
  ASSERT_EQ(platform::WaitReadable(localRtcp.Handle(), 1000, nullptr), 1);
  EXPECT_EQ(sink.PollRtcp(), 1);
  EXPECT_EQ(sink.RtcpReceiverOfCall()->getTranInfoCount(), 0);
}

TEST_F(RtpAudioSinkTest, ANewCallReplacesTheRtcpObjects) {
  RtpReceiver receiver(0, 0);
  sink.SetRtpReceiver(&receiver);
  sink.SetRemote("127.0.0.1", peer.Port(), peerRtcp.Port());
  RtcpReceiver* first = sink.RtcpReceiverOfCall();
  ASSERT_NE(first, nullptr);
  sink.SetRemote("127.0.0.1", peer.Port(), peerRtcp.Port());
  ASSERT_NE(sink.RtcpReceiverOfCall(), nullptr);
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
