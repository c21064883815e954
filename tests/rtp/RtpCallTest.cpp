// Both directions of one call at once: the receive thread counts packets (switching sources
// and telling the RTCP records) while the sending thread sends RTP, builds report blocks from
// the same records, reads the peer's RTCP and gets new RTCP objects for a new call; finally the
// receive record is deleted while datagrams still arrive. Run under ASan and TSan.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "framework/AudioSample.h"
#include "framework/AudioSamplePool.h"
#include "framework/AudioSourceListener.h"
#include "rtcp/RtpReceiver.h"
#include "rtp/RtpAudioSink.h"
#include "rtp/RtpAudioSource.h"
#include "support/ImpairmentScript.h"
#include "support/LoopbackSocket.h"

namespace ve {
namespace {

class Counter : public AudioSourceListener {
 public:
  int32_t TakeNextAudioSample(AudioSample* sample, AudioSinkListener*) override {
    if (sample != nullptr) ++count;
    return 0;
  }
  std::atomic<int> count{0};
};

std::vector<uint8_t> Rtp(uint16_t seq, uint32_t ssrc) {
  std::vector<uint8_t> d(172, 0xD5);
  test::WriteRtpHeader(d.data(), 8, seq, 160u * seq, ssrc);
  return d;
}

// An SR with one report block, followed by an empty SDES chunk list.
std::vector<uint8_t> PeerReport(uint32_t ssrc) {
  std::vector<uint8_t> d = {0x81, 200, 0, 13};
  for (int i = 0; i < 4; ++i) d.push_back(uint8_t(ssrc >> (24 - 8 * i)));
  d.resize(56, 0);
  d[28 + 3] = 1;
  return d;
}

TEST(RtpCall, SendAndReceiveThreadsShareTheRecordsSafely) {
  test::LoopbackSocket rtp, rtcp, peerRtp, peerRtcp;
  ASSERT_TRUE(rtp.Valid() && rtcp.Valid() && peerRtp.Valid() && peerRtcp.Valid());
  auto* receiver = new RtpReceiver(0, -1);  // short update: foreign SSRCs take over
  RtpAudioSource source;
  RtpAudioSink sink;
  Counter counter;
  source.SetRtpSocket(rtp.Handle());
  source.SetRtpReceiver(receiver);
  source.AddListener(&counter);
  sink.SetRtpSocket(rtp.Handle());
  sink.SetRtcpSocket(rtcp.Handle());
  sink.SetRtpReceiver(receiver);
  sink.SetRemote("127.0.0.1", peerRtp.Port(), peerRtcp.Port());
  ASSERT_EQ(source.Start(), 0);
  ASSERT_EQ(sink.Open(), 0);

  std::atomic<bool> peerRunning{true};
  std::thread peer([&] {
    uint16_t seq = 0;
    while (peerRunning) {
      uint32_t ssrc = (seq / 6) % 2 == 0 ? 0xAAAA : 0xBBBB;
      peerRtp.SendTo(rtp.Port(), Rtp(seq++, ssrc));
      if (seq % 10 == 0) peerRtcp.SendTo(rtcp.Port(), PeerReport(ssrc));
      std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
  });

  AudioSample* sample = nullptr;
  AudioSamplePool::Instance()->Get(&sample);
  WAVEFORMATEX format;
  sample->SetFormat(GetStandardFormat(&format, kFormatALaw));
  sample->SetDataSize(160);
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(400);
  for (int i = 0; std::chrono::steady_clock::now() < end; ++i) {
    sink.TakeNextAudioSample(sample, nullptr);
    sink.SendReport();
    sink.PollRtcp();
    if (i % 25 == 24) sink.SetRemote("127.0.0.1", peerRtp.Port(), peerRtcp.Port());  // a new call
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

  // The end of the send direction deletes the receive record while datagrams still arrive.
  source.SetRtpReceiver(nullptr);
  sink.SetRtpReceiver(nullptr);
  delete receiver;
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  sink.TakeNextAudioSample(sample, nullptr);
  sink.SendReport();

  peerRunning = false;
  peer.join();
  source.StopReceiving();
  source.Stop();
  sink.Close();
  sample->Release();
  source.RemoveListener(&counter);
  EXPECT_GT(counter.count.load(), 100);
  EXPECT_FALSE(peerRtp.ReceiveAll(20, 5).empty());
}

}  // namespace
}  // namespace ve
