// A call between vecall and GStreamer's rtpbin (gst-launch-1.0) through two delaying relays on
// loopback: vecall -> relay -> GStreamer and GStreamer -> relay -> vecall, each holding RTP and
// RTCP back by 40 ms. Both sides must see a round trip of 80 ms: vecall from GStreamer's report
// blocks about its stream, GStreamer from vecall's blocks about GStreamer's stream (read from
// GStreamer's debug log). A wrong delay-since-last-report, or an NTP time the peer cannot match
// its own reports to, shows as a round trip far from 80 ms on one side or the other.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "InteropSupport.h"
#include "platform/Socket.h"
#include "support/TestProcess.h"
#include "support/UdpRelay.h"

namespace {

using ve::test::ChildProcess;
using ve::test::FindProgram;
using ve::test::ReadTextFile;
using ve::test::RemovedAtExit;
using ve::test::StatsField;
using ve::test::StatsNumber;
using ve::test::UdpRelay;

constexpr int kCallSeconds = 12;
constexpr int kPacketsPerSecond = 50;  // G.711 in 20 ms packets
constexpr int kOneWayDelayMs = 40;

// What GStreamer made of the last report block vecall sent about its stream that answers one
// of its sender reports (a last-report time that is not zero).
struct GstView {
  int blocks = 0;           // blocks from vecall's SSRC GStreamer processed
  double roundTripMs = -1;  // from the last answering block
  int reportedLost = -1;    // cumulative loss that block states
};

// rtpbin's session logs each report block it processes ("got RB packet: SSRC <reporter>, FL ..,
// PL <lost>, .. LSR hhhh:llll, DLSR ..") and right after it the round trip it derives from it
// ("round trip hhhh:llll", in 1/65536 s).
GstView ReadGstLog(const std::string& log, uint32_t vecallSsrc) {
  static const std::regex block(
      R"(got RB packet: SSRC ([0-9a-f]{8}), FL\s*[0-9a-f]+, PL (-?\d+),.*LSR ([0-9a-f]{4}):([0-9a-f]{4}))");
  static const std::regex trip(R"(round trip ([0-9a-f]{4}):([0-9a-f]{4}))");
  GstView view;
  std::stringstream lines(log);
  std::string line;
  bool answering = false;
  int lost = -1;
  while (std::getline(lines, line)) {
    std::smatch m;
    if (std::regex_search(line, m, block)) {
      answering = std::stoul(m[1], nullptr, 16) == vecallSsrc;
      if (answering) ++view.blocks;
      answering = answering && (m[3] != "0000" || m[4] != "0000");
      lost = std::stoi(m[2]);
    } else if (answering && std::regex_search(line, m, trip)) {
      uint32_t units = (std::stoul(m[1], nullptr, 16) << 16) | std::stoul(m[2], nullptr, 16);
      view.roundTripMs = units * 1000.0 / 65536.0;
      view.reportedLost = lost;
      answering = false;
    }
  }
  return view;
}

TEST(GstreamerCall, BothSidesMeasureTheRoundTripThroughADelayingPath) {
  const std::string gstLaunch = FindProgram("gst-launch-1.0");
  if (gstLaunch.empty()) GTEST_SKIP() << "gst-launch-1.0 is not installed (make deps installs it)";
  const std::string env = FindProgram("env");
  ASSERT_FALSE(env.empty());

  const std::string tag = ::testing::TempDir() + "gst-relay-" + std::to_string(ve::platform::GetProcessId());
  const std::string statsPath = tag + "-vecall.json", gstLogPath = tag + "-gst.log";
  RemovedAtExit files{{statsPath, gstLogPath}};

  // Each side binds its own pair; each sends to the relay in front of the other.
  const uint16_t vecallPort = ve::test::FreePortPair(), gstPort = ve::test::FreePortPair();
  ASSERT_NE(vecallPort, 0);
  ASSERT_NE(gstPort, 0);
  UdpRelay::Impairment delay;
  delay.baseDelayMs = kOneWayDelayMs;
  delay.rtcpDelayMs = kOneWayDelayMs;
  UdpRelay toGst(gstPort, delay), toVecall(vecallPort, delay);
  ASSERT_TRUE(toGst.Valid());
  ASSERT_TRUE(toVecall.Valid());

  // The pipeline of scripts/rtcp-interop.sh: a 20 ms u-law tone out, the call's stream in and
  // decoded; RTCP leaves from a port of the udpsink's choosing. Its debug log goes to a file:
  // the sockets it binds and the report blocks it processes. env sets that up and becomes
  // gst-launch in the same process, so the interrupt at the end reaches gst-launch.
  const std::string rtpTo = std::to_string(toVecall.Port()), rtcpTo = std::to_string(toVecall.Port() + 1);
  ChildProcess gst({env, "GST_DEBUG=rtpsource:5,udpsrc:5", "GST_DEBUG_FILE=" + gstLogPath, "GST_DEBUG_NO_COLOR=1",
                    gstLaunch, "-q", "-e", "rtpbin", "name=rtpbin",
                    "audiotestsrc", "is-live=true", "freq=330", "volume=0.3", "samplesperbuffer=160", "!",
                    "audio/x-raw,rate=8000,channels=1", "!", "mulawenc", "!",
                    "rtppcmupay", "min-ptime=20000000", "max-ptime=20000000", "!", "rtpbin.send_rtp_sink_0",
                    "rtpbin.send_rtp_src_0", "!", "udpsink", "host=127.0.0.1", "port=" + rtpTo,
                    "rtpbin.send_rtcp_src_0", "!", "udpsink", "host=127.0.0.1", "port=" + rtcpTo, "sync=false",
                    "async=false",
                    "udpsrc", "address=127.0.0.1", "port=" + std::to_string(gstPort),
                    "caps=application/x-rtp,media=audio,clock-rate=8000,encoding-name=PCMU,payload=0", "!",
                    "rtpbin.recv_rtp_sink_0",
                    "udpsrc", "address=127.0.0.1", "port=" + std::to_string(gstPort + 1), "!",
                    "rtpbin.recv_rtcp_sink_0",
                    "rtpbin.", "!", "rtppcmudepay", "!", "mulawdec", "!", "fakesink"});
  ASSERT_TRUE(gst.Started());
  // vecall starts once GStreamer has bound both of its ports, however slow its start (a first
  // run builds the plugin registry), so that the call runs both ways for its whole length.
  // GStreamer's pipeline sends its first RTP packet only once the call's stream reaches it.
  const std::string bound = "bound, on port " + std::to_string(gstPort + 1);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (ReadTextFile(gstLogPath).find(bound) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_NE(ReadTextFile(gstLogPath).find(bound), std::string::npos) << "GStreamer did not open its ports within 30 s";

  ChildProcess vecall({VECALL_PATH, "--local", "127.0.0.1:" + std::to_string(vecallPort), "--remote",
                       "127.0.0.1:" + std::to_string(toGst.Port()), "--codec", "pcmu", "--mic", "tone:440",
                       "--speaker", "null", "--duration", std::to_string(kCallSeconds), "--stats", statsPath});
  EXPECT_EQ(vecall.Wait(kCallSeconds + 30), 0);
  // gst-launch -e turns the interrupt into an end of stream and exits 0 once it has gone
  // through the pipeline.
  EXPECT_TRUE(gst.Interrupt());
  EXPECT_EQ(gst.Wait(10), 0) << "gst-launch did not end cleanly on an interrupt";

  const std::string stats = ReadTextFile(statsPath);
  ASSERT_FALSE(stats.empty()) << "vecall wrote no statistics";
  const double rtt = StatsNumber(stats, "rtcp", "rtt_ms");
  const double received = StatsNumber(stats, "rtp", "received_packets");
  const auto vecallSsrc = static_cast<uint32_t>(std::stoul("0" + StatsField(stats, "rtcp", "local_ssrc")));
  const GstView gstView = ReadGstLog(ReadTextFile(gstLogPath), vecallSsrc);
  std::printf("vecall: rtt %.1f ms, send/peer layout %s/%s, received %.0f packets; GStreamer: round trip %.1f ms "
              "from %d blocks, last one states %d lost; relays: RTP %u/%u, RTCP %u/%u (to GStreamer/to vecall)\n",
              rtt, StatsField(stats, "rtcp", "send_dialect").c_str(), StatsField(stats, "rtcp", "peer_dialect").c_str(),
              received, gstView.roundTripMs, gstView.blocks, gstView.reportedLost, toGst.Forwarded(),
              toVecall.Forwarded(), toGst.RtcpForwarded(), toVecall.RtcpForwarded());

  EXPECT_NEAR(rtt, 2.0 * kOneWayDelayMs, 10.0);
  EXPECT_EQ(StatsField(stats, "rtcp", "send_dialect"), "standard");
  EXPECT_EQ(StatsField(stats, "rtcp", "peer_dialect"), "standard");
  EXPECT_GT(received, 0.9 * kCallSeconds * kPacketsPerSecond);
  EXPECT_NEAR(gstView.roundTripMs, 2.0 * kOneWayDelayMs, 10.0) << "GStreamer's round trip from vecall's blocks";
  EXPECT_EQ(gstView.reportedLost, 0) << "the loss vecall's last block states, as GStreamer reads it";
}

}  // namespace
