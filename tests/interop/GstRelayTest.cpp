// A call between vecall and GStreamer's rtpbin (gst-launch-1.0) through two delaying relays on
// loopback: vecall -> relay -> GStreamer and GStreamer -> relay -> vecall, each holding RTP and
// RTCP back by 40 ms. Both sides must see a round trip of 80 ms: vecall from GStreamer's report
// blocks about its stream, GStreamer from vecall's blocks about GStreamer's stream (read from
// GStreamer's debug log). A wrong delay-since-last-report, or an NTP time the peer cannot match
// its own reports to, shows as a round trip far from 80 ms on one side or the other.

#include <gtest/gtest.h>

#include <cstdint>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "InteropSupport.h"
#include "support/CallAnalysis.h"
#include "support/TestProcess.h"
#include "support/UdpRelay.h"

namespace {

using ve::test::JsonNumber;
using ve::test::JsonText;
using ve::test::ReadText;

constexpr int kPacketsPerSecond = 50;  // G.711 in 20 ms packets
constexpr int kOneWayDelayMs = 40;

// What GStreamer made of the last report block from vecall that answers one of its sender
// reports (a last-report time that is not zero): the round trip and the cumulative loss stated.
struct GstView {
  double roundTripMs = -1;
  int reportedLost = -1;
};

// rtpbin's session logs each report block it processes ("got RB packet: SSRC <reporter>, FL ..,
// PL <lost>, .. LSR hhhh:llll, DLSR ..") and right after it the round trip it derives from it
// ("round trip hhhh:llll", in 1/65536 s).
GstView ReadGstLog(const std::string& log, uint32_t vecallSsrc) {
  static const std::regex block(
      R"(got RB packet: SSRC ([0-9a-f]{8}), FL\s*[0-9a-f]+, PL (-?\d+),.*LSR ([0-9a-f]{4}:[0-9a-f]{4}))");
  static const std::regex trip(R"(round trip ([0-9a-f]{4}):([0-9a-f]{4}))");
  GstView view;
  std::stringstream lines(log);
  bool answering = false;
  int lost = -1;
  for (std::string line; std::getline(lines, line);) {
    std::smatch m;
    if (std::regex_search(line, m, block)) {
      answering = std::stoul(m[1], nullptr, 16) == vecallSsrc && m[3] != "0000:0000";
      lost = std::stoi(m[2]);
    } else if (answering && std::regex_search(line, m, trip)) {
      view.roundTripMs = static_cast<double>(std::stoul(m[1], nullptr, 16) << 16 | std::stoul(m[2], nullptr, 16)) *
                         1000.0 / 65536.0;
      view.reportedLost = lost;
      answering = false;
    }
  }
  return view;
}

using GstreamerCall = ve::test::GstCall;

TEST_F(GstreamerCall, BothSidesMeasureTheRoundTripThroughADelayingPath) {
  const std::string gstLogPath = File("relay-gst.log");
  // Each side binds its own pair; each sends to the relay in front of the other.
  ve::test::UdpRelay::Impairment delay;
  delay.baseDelayMs = delay.rtcpDelayMs = kOneWayDelayMs;
  ve::test::UdpRelay toGst(gstPort, delay), toVecall(vecallPort, delay);
  ASSERT_TRUE(toGst.Valid() && toVecall.Valid());

  // The pipeline of scripts/rtcp-interop.sh: a 20 ms u-law tone out, the call's stream in and
  // decoded; RTCP leaves from a port of the udpsink's choosing. Its debug log goes to a file:
  // the sockets it binds and the report blocks it processes. env sets that up and becomes
  // gst-launch in the same process, so the interrupt at the end reaches gst-launch.
  const std::string pipeline =
      "rtpbin name=rtpbin audiotestsrc is-live=true freq=330 volume=0.3 samplesperbuffer=160"
      " ! audio/x-raw,rate=8000,channels=1 ! mulawenc ! rtppcmupay min-ptime=20000000 max-ptime=20000000"
      " ! rtpbin.send_rtp_sink_0 rtpbin.send_rtp_src_0 ! udpsink host=127.0.0.1 port=" +
      std::to_string(toVecall.Port()) + " rtpbin.send_rtcp_src_0 ! udpsink host=127.0.0.1 port=" +
      std::to_string(toVecall.Port() + 1) + " sync=false async=false udpsrc address=127.0.0.1 port=" +
      std::to_string(gstPort) +
      " caps=application/x-rtp,media=audio,clock-rate=8000,encoding-name=PCMU,payload=0 ! rtpbin.recv_rtp_sink_0"
      " udpsrc address=127.0.0.1 port=" + std::to_string(gstPort + 1) +
      " ! rtpbin.recv_rtcp_sink_0 rtpbin. ! rtppcmudepay ! mulawdec ! fakesink";
  std::vector<std::string> args{kEnv, "GST_DEBUG=rtpsource:5,udpsrc:5", "GST_DEBUG_FILE=" + gstLogPath,
                                "GST_DEBUG_NO_COLOR=1", "gst-launch-1.0", "-q", "-e"};
  std::stringstream words(pipeline);  // gst-launch takes the description a word per argument
  for (std::string word; words >> word;) args.push_back(word);
  ve::test::ChildProcess gst(args);
  ASSERT_TRUE(gst.Started());
  // vecall starts once GStreamer has bound both of its ports, however slow its start (a first
  // run builds the plugin registry), so that the call runs both ways for its whole length.
  // GStreamer's pipeline sends its first RTP packet only once the call's stream reaches it.
  const std::string bound = "bound, on port " + std::to_string(gstPort + 1);
  ASSERT_TRUE(ve::test::WaitUntil([&] { return ReadText(gstLogPath).find(bound) != std::string::npos; }, 30))
      << "GStreamer did not open its ports within 30 s";

  ve::test::ChildProcess vecall(Vecall(toGst.Port(), "tone:440", "null"));
  EXPECT_EQ(vecall.Wait(kCallSeconds + 30), 0);
  // gst-launch -e turns the interrupt into an end of stream and exits 0 once it has gone
  // through the pipeline.
  EXPECT_TRUE(gst.Interrupt());
  EXPECT_EQ(gst.Wait(10), 0) << "gst-launch did not end cleanly on an interrupt";

  const std::string stats = ReadText(statsPath);
  ASSERT_FALSE(stats.empty()) << "vecall wrote no statistics";
  const double rtt = JsonNumber(stats, "rtcp", "rtt_ms"), received = JsonNumber(stats, "rtp", "received_packets");
  const auto vecallSsrc = static_cast<uint32_t>(static_cast<int64_t>(JsonNumber(stats, "rtcp", "local_ssrc")));
  const GstView gstView = ReadGstLog(ReadText(gstLogPath), vecallSsrc);
  EXPECT_NEAR(rtt, 2.0 * kOneWayDelayMs, 10.0);
  EXPECT_EQ(JsonText(stats, "rtcp", "send_dialect"), "standard");
  EXPECT_EQ(JsonText(stats, "rtcp", "peer_dialect"), "standard");
  EXPECT_GT(received, 0.9 * kCallSeconds * kPacketsPerSecond);
  EXPECT_NEAR(gstView.roundTripMs, 2.0 * kOneWayDelayMs, 10.0) << "GStreamer's round trip from vecall's blocks";
  EXPECT_EQ(gstView.reportedLost, 0) << "the loss vecall's last block states, as GStreamer reads it";
}

}  // namespace
