#include "rtp/RtpAudioSource.h"

#include <gtest/gtest.h>

#include <thread>

#include "framework/AudioSample.h"
#include "rtcp/RtpReceiver.h"
#include "rtp/RtpPacket.h"
#include "support/RtpBytes.h"
#include "support/LoopbackSocket.h"
#include "support/TestProcess.h"
#include "support/TestSockets.h"

namespace ve {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Rtp(uint8_t pt, int payload, uint16_t seq, uint32_t ssrc = 0x5555) {
  Bytes d(12);
  test::WriteRtpHeader(d.data(), pt, seq, 160u * seq, ssrc);
  for (int i = 0; i < payload; ++i) d.push_back(static_cast<uint8_t>(i + 1));
  return d;
}

// Polls `done` for at most two seconds: the worker delivers and ends on its own time.
template <typename Condition>
bool Eventually(Condition done) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (!done() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return done();
}

struct RtpAudioSourceTest : testing::Test {
  void SetUp() override {
    source.SetRtpSocket(rx.Handle());
    source.SetRtpReceiver(&receiver);
    source.Gate().SetRemote(platform::Ipv4Endpoint{platform::InetAddr("127.0.0.1"), tx.Port()});
  }
  void TearDown() override { source.Close(); }
  void Send(const Bytes& d) { ASSERT_TRUE(tx.SendTo(rx.Port(), d)); }
  // One pull in poll mode: format tag, data size, silence, payload type, sequence number and
  // first data byte of the sample (a data size of -1 when none came).
  std::tuple<uint16_t, int32_t, int32_t, int, int, int> Pull() {
    platform::WaitReadable(rx.Handle(), 1000, nullptr);
    AudioSample* out = nullptr;
    if (source.GiveNextAudioSample(&out, nullptr) != 0 || out == nullptr) return {0, -1, 0, 0, 0, 0};
    const auto* packet = dynamic_cast<RtpPacket*>(out->Packet());
    const auto seen = std::make_tuple(out->Format().wFormatTag, out->DataSize(), out->SilenceMs(),
                                      packet != nullptr ? packet->PayloadType() : -1,
                                      packet != nullptr ? packet->Sequence() : -1, out->DataSize() > 0 ? out->Data()[0] : 0);
    out->Release();
    return seen;
  }
  test::LoopbackSocket rx, tx;
  RtpReceiver receiver;
  RtpAudioSource source;
};

// What is not the peer's RTP is skipped; the first packet of a source that passed probation is
// played first; each payload type gives its format, and comfort noise a 20 ms gap marker that
// still carries its packet. An empty voice packet is an empty sample, not a gap.
TEST_F(RtpAudioSourceTest, OnlyThePeersPacketsArePlayedInTheFormatOfTheirPayloadType) {
  ASSERT_EQ(source.Open(), 0);
  for (uint16_t seq : {1, 2}) ASSERT_TRUE(rx.SendTo(rx.Port(), Rtp(8, 160, seq, 0x0E0E)));  // our own, come back
  Send(Bytes(11, 0x80));
  Send(Bytes());  // empty
  for (uint8_t type : {96, 19, 0x7F}) Send(Rtp(type, 20, 1));  // payload types the engine does not play
  Send(Rtp(8, 160, 1));
  Send(Rtp(8, 160, 2));
  for (int seq : {1, 2}) EXPECT_EQ(Pull(), std::make_tuple(WAVE_FORMAT_ALAW, 160, 0, 8, seq, 1));
  EXPECT_EQ(std::make_tuple(source.Gate().DropCount(RtpDrop::kMalformed), source.Gate().DropCount(RtpDrop::kUnknownPayloadType)),
            std::make_tuple(2u, 3u));
  const struct { uint8_t pt; int bytes; uint16_t tag; } cases[] = {
      {0, 160, WAVE_FORMAT_MULAW},   {18, 20, WAVE_FORMAT_G729},    {4, 24, WAVE_FORMAT_G723_64},
      {4, 40, WAVE_FORMAT_G723_53}, {4, 48, WAVE_FORMAT_G723_64}, {13, 4, WAVE_FORMAT_PCM}, {8, 0, WAVE_FORMAT_ALAW}};
  uint16_t seq = 3;
  for (const auto& c : cases) {
    Send(Rtp(c.pt, c.bytes, seq));
    const bool noise = c.pt == 13;
    EXPECT_EQ(Pull(), std::make_tuple(c.tag, noise ? 0 : c.bytes, noise ? 20 : 0, c.pt, seq++, noise || c.bytes == 0 ? 0 : 1));
  }
  // Every packet of the source reaches the reception record, and nothing else does.
  EXPECT_EQ(std::make_tuple(receiver.Stats().ssrc, receiver.Stats().maxSeq, receiver.Stats().datagrams),
            std::make_tuple(0x5555u, uint16_t{9}, uint64_t{9}));
  AudioSample* out = nullptr;
  EXPECT_EQ(source.GiveNextAudioSample(&out, nullptr), -10);  // nothing waiting: poll mode returns at once
}

// Stop ends the worker's idle wait and StopReceiving alone ends the worker (a missing wake-up
// leaves it waiting for a datagram that never comes); a stopped source starts again.
TEST_F(RtpAudioSourceTest, WorkerDeliversEveryDatagramAndEitherStopEndsIt) {
  ASSERT_EQ(source.Start(), 0);
  for (uint16_t seq = 1; seq <= 20; ++seq) Send(Rtp(8, 160, seq));
  ASSERT_TRUE(Eventually([&] { return receiver.Stats().packetsReceived == 19; }));  // the first on probation
  EXPECT_EQ(source.Stop(), 0);
  EXPECT_FALSE(source.IsRunning());
  EXPECT_EQ((std::vector<int32_t>{source.Open(), source.Close()}), (std::vector<int32_t>{0, 0})) << "stopped, it may be pulled";

  ASSERT_EQ(source.Start(), 0);
  Send(Rtp(0, 160, 21));
  ASSERT_TRUE(Eventually([&] { return receiver.Stats().packetsReceived == 20; }));
  source.StopReceiving();
  EXPECT_TRUE(Eventually([&] { return !source.IsRunning(); }));
}

// An idle receiving thread must block, not spin: less than 20 ms of CPU in an idle second. The
// host shuts the socket down: the worker ends instead of spinning on a socket that is always
// readable and never has a datagram. (Windows' select does not report a socket shut down for
// receiving as readable: there the worker waits without spinning until stopped.)
TEST_F(RtpAudioSourceTest, IdleReceiverUsesNoCpuAndEndsWithItsSocket) {
  ASSERT_EQ(source.Start(), 0);
  const double before = test::ProcessCpuSeconds();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_LT(test::ProcessCpuSeconds() - before, 0.020);
#ifndef _WIN32
  test::ShutdownReceiving(rx.Handle());
  EXPECT_TRUE(Eventually([&] { return !source.IsRunning(); }));
#endif
}

}  // namespace
}  // namespace ve
