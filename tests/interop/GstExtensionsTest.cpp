// vecall hears GStreamer send a steady 440 Hz tone in u-law whose every audio packet carries
// header extensions (a 64-bit NTP time and a transport-wide sequence number, written by the
// payloader for the extmap entries of its output caps), with telephone events for one key in
// the same stream: rtpdtmfsrc's packets (payload type 101) join the audio in rtpmux, which
// gives both one SSRC and one sequence space. The tone must be heard without gaps, and without
// clicks or distortion once the playout buffer has settled; the events must be counted as
// received from the heard source, neither played nor called lost nor dropped.
//
// GStreamer runs in this process (GstPipeline): gst-launch-1.0 has no way to start and end a
// telephone event in a running pipeline. Its sink sends every datagram to vecall and a copy to
// this test, which checks that the stream really carries extensions and events.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "GstPipeline.h"
#include "InteropSupport.h"
#include "support/CallAnalysis.h"
#include "support/DeviceSignals.h"
#include "support/TestProcess.h"
#include "support/TestSockets.h"
#include "support/UdpProbe.h"

namespace {

using ve::test::JsonNumber;

constexpr int kToneHz = 440;
constexpr double kToneRms = 0.3 * 32767 / M_SQRT2;  // audiotestsrc's volume=0.3
constexpr int kSampleRate = 8000;
constexpr int kAudioPayloadType = 0;
constexpr int kEventPayloadType = 101;
constexpr int kSendMs = 11000;  // how long GStreamer sends, within vecall's call
// Key 5 pressed for 250 ms every 1.25 s from the first second on (rtpdtmfsrc: type 1 is a
// telephone event, not a tone).
constexpr int kEvents = 8;
constexpr int kFirstEventMs = 1000, kEventEveryMs = 1250, kEventHoldMs = 250;
constexpr const char* kKeyDown = "dtmf-event, type=(int)1, number=(int)5, volume=(int)10, start=(boolean)true";
constexpr const char* kKeyUp = "dtmf-event, type=(int)1, start=(boolean)false";
// The playout settles its delay in the first second (by time-scaling, which in a steady tone
// is a seamless jump of whole periods); clicks and distortion are judged from then on, gaps
// over all of the tone.
constexpr int kSettleMs = 1000;

// Counts the copies of GStreamer's datagrams on a socket and thread of its own. The thread
// alone touches the counts until Finish() has joined it; the test thread does everything else.
class WireTap {
 public:
  ~WireTap() {
    Finish();
    ve::test::CloseUdp(socket);
  }
  void Finish() {
    thread.request_stop();
    if (thread.joinable()) thread.join();
  }

  const int socket = ve::test::OpenLoopbackUdp(0);
  int packets = 0, audio = 0;
  int audioWithExtensions = 0;  // audio packets with a non-empty block of one-byte-form elements
  int eventStarts = 0;          // event packets with the marker bit

 private:
  void Run(const std::stop_token& stop) {
    uint8_t d[2048];
    while (socket >= 0 && !stop.stop_requested()) {
      if (!ve::test::WaitAnyReadable({socket}, 50)) continue;
      for (int got; (got = ve::test::ReceiveNow(socket, d, sizeof(d))) > 0;) {
        if (got < 12 || (d[0] >> 6) != 2) continue;
        ++packets;
        const int payloadType = d[1] & 0x7f;
        if (payloadType == kEventPayloadType && (d[1] & 0x80) != 0) ++eventStarts;
        if (payloadType != kAudioPayloadType) continue;
        ++audio;
        const int at = 12 + 4 * (d[0] & 0x0f);
        if ((d[0] & 0x10) != 0 && got >= at + 4 && d[at] == 0xBE && d[at + 1] == 0xDE && (d[at + 2] | d[at + 3]) != 0) {
          ++audioWithExtensions;
        }
      }
    }
  }

  std::jthread thread{[this](std::stop_token stop) { Run(stop); }};  // made last: it reads the socket
};

// How a steady tone came through, one measure for each fault. The tone runs from the first to
// the last 20 ms frame at half the loudest frame's level (and at least kToneRms / 4), less
// 200 ms at the start (the playout buffer filling) and 100 ms at the end (draining).
struct HeardTone {
  double seconds = 0;         // its length
  double quietShare = 1;      // gaps: its 20 ms frames below a quarter of their median level
  double worstToneShare = 1;  // clicks: from kSettleMs on, the lowest share of a 100 ms window's
                              // energy at the tone
  double distortionDb = 0;    // distortion: there, the energy away from the tone against all
};

HeardTone AnalyseTone(const std::vector<int16_t>& x) {
  constexpr size_t kFrame = kSampleRate / 50;   // 20 ms
  constexpr size_t kWindow = kSampleRate / 10;  // 100 ms: exactly 44 periods of the tone
  HeardTone tone;
  std::vector<double> rms;
  for (size_t at = 0; at + kFrame <= x.size(); at += kFrame) rms.push_back(ve::test::Rms(x, at, kFrame));
  if (rms.empty()) return tone;
  const double level = std::max(*std::max_element(rms.begin(), rms.end()) / 2, kToneRms / 4);
  size_t onset = 0, last = rms.size() - 1;
  while (onset < rms.size() && rms[onset] < level) ++onset;
  while (last > onset && rms[last] < level) --last;
  if (onset == rms.size() || last < onset + 10 + 5 + 50) return tone;  // under a second of tone
  last -= 5;
  std::vector<double> span(rms.begin() + static_cast<long>(onset) + 10, rms.begin() + static_cast<long>(last) + 1);
  tone.seconds = static_cast<double>(span.size()) * 0.02;
  std::vector<double> sorted = span;
  std::nth_element(sorted.begin(), sorted.begin() + static_cast<long>(sorted.size() / 2), sorted.end());
  const double median = sorted[sorted.size() / 2];
  const auto quiet = std::count_if(span.begin(), span.end(), [&](double r) { return r < median / 4; });
  tone.quietShare = static_cast<double>(quiet) / static_cast<double>(span.size());

  // Goertzel's recurrence at the tone over each window: the energy of its 440 Hz component,
  // which is 2 |X|^2 / N for a frequency on the window's bin grid. The windows overlap by half,
  // so a click on one's edge lies inside the next. A tone longer than 9.9 s leaves more than 8 s
  // to judge.
  const double coefficient = 2.0 * std::cos(2.0 * M_PI * kToneHz / kSampleRate);
  double allEnergy = 0, awayEnergy = 0;
  const size_t judgedFrom = onset * kFrame + kSettleMs * kSampleRate / 1000;
  for (size_t at = judgedFrom; at + kWindow <= (last + 1) * kFrame; at += kWindow / 2) {
    double s1 = 0, s2 = 0, energy = 0;
    for (size_t i = at; i < at + kWindow; ++i) {
      const double s0 = x[i] + coefficient * s1 - s2;
      s2 = s1;
      s1 = s0;
      energy += static_cast<double>(x[i]) * x[i];
    }
    const double toneEnergy = std::min(energy, 2.0 * (s1 * s1 + s2 * s2 - coefficient * s1 * s2) / kWindow);
    tone.worstToneShare = std::min(tone.worstToneShare, energy > 0 ? toneEnergy / energy : 0);
    allEnergy += energy;
    awayEnergy += energy - toneEnergy;
  }
  tone.distortionDb = allEnergy > 0 ? 10.0 * std::log10(std::max(awayEnergy / allEnergy, 1e-12)) : 0;
  return tone;
}

using GstreamerStream = ve::test::GstCall;

TEST_F(GstreamerStream, ToneWithHeaderExtensionsAndTelephoneEventsIsHeardCleanly) {
  const std::string heardPath = File("extensions-heard.wav");
  WireTap tap;
  ASSERT_GE(tap.socket, 0);

  // The audio: 20 ms u-law packets with two extensions in the one-byte form. The events:
  // their first and last packets sent three times, as telephone-event senders do. rtpmux, not
  // rtpdtmfmux, which would hold the audio back during an event: the tone goes on, and a gap
  // in it is the receiver's doing. The sink sends each packet as it comes (both sources pace
  // themselves by the clock; a sink that waits for each packet's time holds the audio behind
  // an event packet, which is stamped ahead, back by up to 140 ms), from GStreamer's RTP port,
  // the one vecall expects the peer on. vecall's RTCP goes to a udpsrc that swallows it, whose
  // sink must not hold the pipeline's start back until the first report arrives.
  ve::test::GstPipeline gst(
      "rtpmux name=mux ! multiudpsink name=out sync=false clients=127.0.0.1:" + std::to_string(vecallPort) +
      ",127.0.0.1:" + std::to_string(ve::test::LocalPort(tap.socket)) +
      " bind-address=127.0.0.1 bind-port=" + std::to_string(gstPort) +
      " audiotestsrc is-live=true freq=" + std::to_string(kToneHz) +
      " volume=0.3 samplesperbuffer=160 ! audio/x-raw,rate=8000,channels=1 ! mulawenc"
      " ! rtppcmupay pt=0 min-ptime=20000000 max-ptime=20000000"
      " ! application/x-rtp,extmap-1=(string)urn:ietf:params:rtp-hdrext:ntp-64,"
      "extmap-3=(string)http://www.ietf.org/id/draft-holmer-rmcat-transport-wide-cc-extensions-01 ! mux.sink_0"
      " rtpdtmfsrc pt=" + std::to_string(kEventPayloadType) + " packet-redundancy=3 ! mux.sink_1"
      " udpsrc address=127.0.0.1 port=" + std::to_string(gstPort + 1) + " ! fakesink sync=false async=false");
  ASSERT_EQ(gst.Error(), "");

  ve::test::ChildProcess vecall(Vecall(gstPort, "silence", "file:" + heardPath));
  ASSERT_TRUE(vecall.Started());
  // GStreamer starts once vecall has bound its RTP port (the system's socket table shows it),
  // so that vecall receives all it sends.
  ASSERT_TRUE(ve::test::WaitUntil([&] { return ve::test::ReadReceiveQueue(vecallPort).known; }, 10))
      << "vecall did not bind its RTP port within 10 s";
  ASSERT_TRUE(gst.Play());
  const auto started = std::chrono::steady_clock::now();
  int eventsSent = 0;
  for (int event = 0; event < kEvents; ++event) {
    const int at = kFirstEventMs + event * kEventEveryMs;
    std::this_thread::sleep_until(started + std::chrono::milliseconds(at));
    const bool pressed = gst.SendUpstream("out", kKeyDown);
    std::this_thread::sleep_until(started + std::chrono::milliseconds(at + kEventHoldMs));
    eventsSent += pressed && gst.SendUpstream("out", kKeyUp) ? 1 : 0;
  }
  std::this_thread::sleep_until(started + std::chrono::milliseconds(kSendMs));
  gst.Stop();
  EXPECT_EQ(eventsSent, kEvents) << "rtpdtmfsrc did not take an event";
  EXPECT_EQ(vecall.Wait(kCallSeconds + 20), 0);

  // What went out. A wrong SSRC, payload type or sequence number on the events shows in
  // vecall's drops and loss below.
  tap.Finish();
  ASSERT_GT(tap.audio, 0) << "GStreamer sent no audio";
  ASSERT_EQ(tap.audioWithExtensions, tap.audio) << "audio went out without header extensions";
  ASSERT_GE(tap.eventStarts, kEvents) << "fewer telephone events went out than were sent";

  // What vecall counted. The reception figures count a source from the packet that ends its
  // probation, the second.
  const std::string stats = ve::test::ReadText(statsPath);
  ASSERT_FALSE(stats.empty()) << "vecall wrote no statistics";
  EXPECT_EQ(JsonNumber(stats, "rtp", "received_packets"), tap.packets - 1) << "the reception figures miss packets";
  EXPECT_EQ(JsonNumber(stats, "rtp", "lost"), 0) << "events were taken for loss";
  for (const char* drop : {"wrong_source", "malformed", "unknown_payload_type", "on_probation", "duplicate"}) {
    EXPECT_EQ(JsonNumber(stats, "drops", drop), 0) << "packets dropped as " << drop;
  }

  // What vecall played.
  const HeardTone tone = AnalyseTone(ve::test::ReadWavSamples(heardPath));
  EXPECT_GT(tone.seconds, 0.9 * kSendMs / 1000.0) << "the tone was heard for too short a time";
  EXPECT_LT(tone.quietShare, 0.02) << "gaps in the tone";
  EXPECT_GT(tone.worstToneShare, 0.9) << "a window where the tone does not dominate: a gap, a click or noise";
  EXPECT_LT(tone.distortionDb, -25.0) << "energy away from the tone";
}

}  // namespace
