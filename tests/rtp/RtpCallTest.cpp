// Both directions of one call at once: the receive thread counts the peer's RTP into the
// reception record, the RTCP thread reads the peer's reports in both layouts (with BYEs that
// hand the record to another source) and reports from the same record, the sending thread
// sends RTP, and the engine thread asks for reports, reads the call figures and moves the call
// between two remote parties; finally the record is detached and deleted while datagrams still
// arrive. Run under ASan and TSan.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "framework/AudioSample.h"
#include "framework/AudioSamplePool.h"
#include "framework/AudioSourceListener.h"
#include "rtcp/NtpTime.h"
#include "rtcp/RtpReceiver.h"
#include "rtp/RtpAudioSink.h"
#include "rtp/RtpAudioSource.h"
#include "support/ImpairmentScript.h"
#include "support/RtcpBytes.h"
#include "support/LoopbackSocket.h"

namespace ve {
namespace {

using Datagram = std::vector<uint8_t>;

class Counter : public AudioSourceListener {
 public:
  int32_t TakeNextAudioSample(AudioSample* sample, AudioSinkListener*) override {
    if (sample != nullptr) ++count;
    return 0;
  }
  std::atomic<int> count{0};
};

Datagram Rtp(uint16_t seq, uint32_t ssrc) {
  Datagram d(172, 0xD5);
  test::WriteRtpHeader(d.data(), 8, seq, 160u * seq, ssrc);
  return d;
}

// A sender report from `ssrc` with one block about `about`, in either layout; the legacy one
// carries the PRIV announcement, and `bye` appends a BYE.
Datagram PeerReport(uint32_t ssrc, uint32_t about, bool standard, bool bye) {
  const NtpTime now = NtpTime::Now();
  Datagram d = standard ? test::SenderReport(ssrc, now.ToStandardWire(), test::StandardBlock(about, 0, 0), 1)
                        : test::Join<uint8_t>({test::SenderReport(ssrc, now, test::LegacyBlock(about, 0, 0), 1),
                                               test::StandardUnderstood(ssrc)});
  return bye ? test::Join<uint8_t>({d, test::Bye(ssrc)}) : d;
}

TEST(RtpCall, SendReceiveAndRtcpThreadsShareTheRecordsSafely) {
  test::LoopbackSocket rtp, rtcp, peerRtp, peerRtcp, otherPeerRtcp;
  ASSERT_TRUE(rtp.Valid() && rtcp.Valid() && peerRtp.Valid() && peerRtcp.Valid() && otherPeerRtcp.Valid());
  auto receiver = std::make_unique<RtpReceiver>();
  RtpAudioSource source;
  RtpAudioSink sink;
  Counter counter;
  source.SetRtpSocket(rtp.Handle());
  source.SetRtpReceiver(receiver.get());
  source.Gate().SetRemote(platform::Ipv4Endpoint{platform::InetAddr("127.0.0.1"), peerRtp.Port()});
  source.AddListener(&counter);
  sink.SetRtpSocket(rtp.Handle());
  sink.SetRtcpSocket(rtcp.Handle());
  sink.SetRtpReceiver(receiver.get());
  sink.SetRemote("127.0.0.1", peerRtp.Port(), peerRtcp.Port());
  sink.SetCallDirections(true, true);
  ASSERT_EQ(source.Start(), 0);
  ASSERT_EQ(sink.Open(), 0);

  std::atomic<bool> peerRunning{true};
  std::thread peer([&] {
    for (uint16_t seq = 0; peerRunning; ++seq) {
      // Two sources by turns; each says BYE when it hands over.
      const uint32_t ssrc = (seq / 20) % 2 == 0 ? 0xAAAA : 0xBBBB;
      peerRtp.SendTo(rtp.Port(), Rtp(seq, ssrc));
      if (seq % 5 == 0) {
        const bool handover = seq % 20 == 15;
        peerRtcp.SendTo(rtcp.Port(), PeerReport(ssrc, sink.SenderState()->Ssrc(), seq % 10 == 0, handover));
      }
      std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
  });

  AudioSample* sample = nullptr;
  AudioSamplePool::Instance()->Get(&sample);
  WAVEFORMATEX format;
  sample->SetFormat(GetStandardFormat(&format, kFormatALaw));
  sample->SetDataSize(160);
  RtpAudioSink::CallFigures figures;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(400);
  for (int i = 0; std::chrono::steady_clock::now() < end; ++i) {
    sink.TakeNextAudioSample(sample, nullptr);
    sink.SendReport();
    sink.ReadCallFigures(&figures, receiver->Stats().ssrc);
    if (i % 25 == 24) {  // a new call, to one remote or the other
      sink.SetRemote("127.0.0.1", peerRtp.Port(), (i / 25) % 2 == 0 ? otherPeerRtcp.Port() : peerRtcp.Port());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

  // The record is detached from both directions and deleted while datagrams still arrive.
  source.SetRtpReceiver(nullptr);
  sink.SetRtpReceiver(nullptr);
  receiver.reset();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  sink.TakeNextAudioSample(sample, nullptr);
  sink.SendReport();

  peerRunning = false;
  peer.join();
  source.StopReceiving();
  source.Stop();
  sink.Close();
  sink.SetCallDirections(false, false);
  sample->Release();
  source.RemoveListener(&counter);
  EXPECT_GT(counter.count.load(), 100);
  EXPECT_FALSE(peerRtp.ReceiveAll(20, 5).empty());
  EXPECT_GT(sink.Rtcp().ReportsSent(), 10u);
}

}  // namespace
}  // namespace ve
