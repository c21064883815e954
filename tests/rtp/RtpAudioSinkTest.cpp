#include "rtp/RtpAudioSink.h"

#include <gtest/gtest.h>

#include <thread>

#include "codecs/FilterTestHelpers.h"
#include "rtp/PayloadTypes.h"
#include "support/LoopbackSocket.h"
#include "support/RtcpBytes.h"
#include "support/TestSockets.h"

namespace ve {
namespace {

using Datagram = std::vector<uint8_t>;

// Records the codec texts the sink reports.
struct NamingSink : RtpAudioSink {
  int32_t OnCodecName(const char* text) override {
    names.emplace_back(text);
    return 0;
  }
  std::vector<std::string> names;
};

// Payload type, marker, sequence number, timestamp and SSRC of a sent datagram.
auto Header(const Datagram& d) {
  return std::make_tuple(d[1] & 0x7F, (d[1] & 0x80) != 0, ReadU16BE(d.data() + 2), ReadU32BE(d.data() + 4),
                         ReadU32BE(d.data() + 8));
}

struct RtpAudioSinkTest : testing::Test {
  void SetUp() override {
    sink.SetRtpSocket(local.Handle());
    sink.SetRtcpSocket(localRtcp.Handle());
  }
  void TearDown() override { sink.Close(); }
  // Pushes one sample of standard format `format`: `bytes` of data 0, 1, 2 ..., or a 20 ms gap
  // marker when 0.
  void Push(int32_t format, int bytes) {
    Datagram data(bytes);
    for (int i = 0; i < bytes; ++i) data[i] = static_cast<uint8_t>(i);
    AudioSample* sample = bytes > 0 ? test::MakeBytes(format, data) : test::MakeGap(format, 20);
    sink.TakeNextAudioSample(sample, nullptr);
    sample->Release();
  }
  void Open(uint16_t rtcpPort = 0) {
    sink.SetRemote("127.0.0.1", peer.Port(), rtcpPort);
    ASSERT_EQ(sink.Open(), 0);
  }
  RtpAudioSink::CallFigures Figures(uint32_t heard = 0) {
    RtpAudioSink::CallFigures figures;
    sink.ReadCallFigures(&figures, heard);
    return figures;
  }
  test::LoopbackSocket local, peer, localRtcp, peerRtcp;
  RtpReceiver reception;  // outlives the sink, which may point at it
  NamingSink sink;
};

TEST_F(RtpAudioSinkTest, VoiceGapVoiceRunOnTheWire) {
  EXPECT_EQ(sink.SetTypeOfService(RtpAudioSink::kVoiceTos), 0);
  EXPECT_EQ(test::TypeOfService(local.Handle()) & 0xFC, 0xB8);
  Open();
  const RtpSenderState::Snapshot start = sink.SenderState()->Read();
  for (int bytes : {160, 160, 0, 0, 0, 160}) Push(kFormatALaw, bytes);
  const std::vector<Datagram> sent = peer.ReceiveAll(100);
  ASSERT_EQ(sent.size(), 4u);  // voice, voice, comfort noise, voice: nothing for the later gaps
  // The marker starts each talkspurt; comfort noise is type 13 with level 100; the timestamp
  // moves on by every sample's duration, the gaps without a packet included.
  const auto header = [&](int type, bool marker, int packet, uint32_t units) {
    return std::make_tuple(type, marker, static_cast<uint16_t>(start.sequence + packet), start.timestamp + units, start.ssrc);
  };
  EXPECT_EQ(Header(sent[0]), header(8, true, 1, 160));
  EXPECT_EQ(Header(sent[1]), header(8, false, 2, 320));
  EXPECT_EQ(Header(sent[2]), header(13, false, 3, 480));
  EXPECT_EQ(Header(sent[3]), header(8, true, 4, 960));
  EXPECT_EQ(std::make_tuple(sent[0][0], sent[0].size(), sent[0][12 + 5]), std::make_tuple(uint8_t{0x80}, size_t{172}, uint8_t{5}));
  EXPECT_EQ(Datagram(sent[2].begin() + 12, sent[2].end()), (Datagram{0x64, 0, 0, 0}));
  // The sender report's counts and the call figures count the same packets.
  EXPECT_EQ(std::make_tuple(sink.SenderState()->PacketCount(), sink.SenderState()->OctetCount(), Figures().packetsSent,
                            Figures().payloadBytesSent),
            std::make_tuple(start.packetCount + 4, start.octetCount + 484, uint64_t{4}, uint64_t{484}));

  // A stop and start of sending keeps the stream: the next sequence number, a timestamp moved on
  // by the time the stop lasted, a new talkspurt and the codec named again. Without an RTCP
  // port there is no RTCP at all.
  EXPECT_EQ(sink.Open(), -10);
  sink.SetCallDirections(true, false);
  EXPECT_EQ(std::make_tuple(sink.Rtcp().Running(), sink.SendReport()), std::make_tuple(false, -1));
  ASSERT_EQ(sink.Close(), 0);
  sink.SetRemote("127.0.0.1", peer.Port(), 0);  // the same remote again
  ASSERT_EQ(sink.Open(), 0);
  Push(kFormatALaw, 160);
  const std::vector<Datagram> resumed = peer.ReceiveAll(100);
  ASSERT_EQ(resumed.size(), 1u);
  const auto [type, marker, seq, ts, ssrc] = Header(resumed[0]);
  EXPECT_EQ(std::make_tuple(type, marker, seq, ssrc), std::make_tuple(8, true, static_cast<uint16_t>(start.sequence + 5), start.ssrc));
  EXPECT_GE(ts - start.timestamp, 1120u);
  EXPECT_EQ(std::make_tuple(sink.names.size(), peerRtcp.ReceiveAll(10).empty(), Figures().packetsSent, Figures().payloadBytesSent),
            std::make_tuple(size_t{2}, true, uint64_t{1}, uint64_t{160}));  // the call figures count from the start
}

// Each format's payload type, and the timestamp step of its packet: G.723 30 ms, G.729 20 ms,
// A-law 8 bytes 1 ms (timed by its data, not as a gap). Samples that cannot be sent (no payload
// type for 16-bit PCM, larger than the send buffer) still move the time on.
TEST_F(RtpAudioSinkTest, PayloadTypesAndStepsByFormat) {
  Open();
  const uint32_t start = sink.SenderState()->Timestamp();
  Push(kFormatPcm16, 320);
  Push(kFormatALaw, 600);
  const struct { int32_t format; int bytes, type; uint32_t step; } cases[] = {
      {kFormatG723_64, 24, 4, 240}, {kFormatG723_53, 20, 4, 240}, {kFormatG729, 20, 18, 160}, {kFormatALaw, 8, 8, 8}};
  for (const auto& c : cases) Push(c.format, c.bytes);
  const std::vector<Datagram> sent = peer.ReceiveAll(100);
  ASSERT_EQ(sent.size(), 4u);
  // Still the first voice packet of the talkspurt, its time moved on by the two not sent.
  EXPECT_EQ(std::make_tuple(std::get<1>(Header(sent[0])), std::get<3>(Header(sent[0]))), std::make_tuple(true, start + 20u * 8 + 75u * 8 + 240u));
  for (size_t i = 1; i < 4; ++i) {
    EXPECT_EQ(std::make_tuple(std::get<0>(Header(sent[i])), sent[i].size(), std::get<3>(Header(sent[i])) - std::get<3>(Header(sent[i - 1]))),
              std::make_tuple(cases[i].type, static_cast<size_t>(12 + cases[i].bytes), cases[i].step)) << i;
  }
  EXPECT_EQ(sink.names, (std::vector<std::string>{"WAVE_FORMAT 1 (ERROR)", "G.711 ALaw", "G.723 6.4kbps", "G.723 5.3kbps", "G.729", "G.711 ALaw"}));
  EXPECT_EQ(PayloadTypeOfFormatTag(kFormatPcm16, nullptr), -1);
}

// The report goes to the peer's RTCP port; the peer's answer reaches the call figures.
TEST_F(RtpAudioSinkTest, ReportToThePeerAndItsAnswerInTheCallFigures) {
  Open(peerRtcp.Port());
  sink.SetCallDirections(true, false);
  Push(kFormatALaw, 160);
  ASSERT_EQ(sink.SendReport(), 0);
  Datagram report;
  ASSERT_TRUE(peerRtcp.Receive(&report, 1000));
  const uint32_t ssrc = sink.SenderState()->Ssrc();
  EXPECT_EQ(std::make_tuple(report[1], ReadU32BE(report.data() + 4), ReadU32BE(report.data() + 20), ReadU32BE(report.data() + 24)),
            std::make_tuple(uint8_t{200}, ssrc, 1u, 160u));  // one packet of 160 bytes
  EXPECT_LT(ReadU32BE(report.data() + 8), 0x80000000u);  // legacy until the peer is known

  // A standard receiver report about our stream, echoing that SR, with the peer's CNAME.
  const uint32_t lsr = (ReadU32BE(report.data() + 8) << 16) | (ReadU32BE(report.data() + 12) >> 16);
  ASSERT_TRUE(peerRtcp.SendTo(localRtcp.Port(), test::Join({test::ReceiverReport(0x0E0E, test::StandardBlock(ssrc, lsr, 0, 10, 3), 1),
                                                            test::Cname(0x0E0E, "peer@host")})));
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (Figures().rttMs < 0 && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const RtpAudioSink::CallFigures figures = Figures(0x0E0E);
  EXPECT_GE(figures.rttMs, 0);
  EXPECT_EQ(std::make_tuple(figures.reportsReceived, figures.peerReported, figures.peerFractionLost,
                            figures.peerCumulativeLost, figures.peerJitterMs, std::string(figures.remoteCname)),
            std::make_tuple(1, true, uint8_t{10}, 3, 10.0, std::string("peer@host")));
  EXPECT_EQ(std::make_tuple(figures.peerDialect, figures.sendDialect, figures.localSsrc),
            std::make_tuple(RtcpDialect::kStandard, RtcpDialect::kStandard, ssrc));
  EXPECT_EQ(std::make_tuple(figures.reportsSent > 0, Figures(0x0F0F).peerDialect), std::make_tuple(true, RtcpDialect::kStandard));
  ASSERT_EQ(sink.SendBye(), 0);
  ASSERT_TRUE(peerRtcp.Receive(&report, 1000));
  EXPECT_GE(ReadU32BE(report.data() + 8), 0x80000000u);  // now in the standard layout
}

// Another remote party, even one that differs by its address only, is another stream: a BYE to
// the old one, a new SSRC and the old peer's reception figures forgotten. The same remote again
// changes nothing.
TEST_F(RtpAudioSinkTest, AnotherRemoteStartsANewStream) {
  sink.SetRtpReceiver(&reception);
  Open(peerRtcp.Port());
  sink.SetCallDirections(true, true);
  for (uint16_t seq = 1; seq <= 3; ++seq) test::HearRtp(reception, seq, 0x77);
  const uint32_t first = sink.SenderState()->Ssrc();
  sink.SetRemote("127.0.0.1", peer.Port(), peerRtcp.Port());
  EXPECT_EQ(std::make_tuple(sink.SenderState()->Ssrc(), reception.Stats().sourceSet), std::make_tuple(first, true));

  // The new remote's packets go to its address, none to this host's port.
  sink.SetRemote("127.0.0.2", peer.Port(), peerRtcp.Port());
  EXPECT_EQ(std::make_tuple(sink.SenderState()->Ssrc() != first, reception.Stats().sourceSet), std::make_tuple(true, false));
  Push(kFormatALaw, 160);
  EXPECT_TRUE(peer.ReceiveAll(50).empty());
  const std::vector<Datagram> rtcp = peerRtcp.ReceiveAll(100);
  EXPECT_TRUE(std::any_of(rtcp.begin(), rtcp.end(), [&](const Datagram& d) {
    return test::FindPart(d, 203) >= 0 && ReadU32BE(d.data() + test::FindPart(d, 203) + 4) == first;
  }));
}

}  // namespace
}  // namespace ve
