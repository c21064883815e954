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
// this test, which checks that the stream really is what the test claims.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "GstPipeline.h"
#include "InteropSupport.h"
#include "platform/Socket.h"
#include "platform/WavPcmReader.h"
#include "support/TestProcess.h"
#include "support/TestSockets.h"
#include "support/UdpRelay.h"

namespace {

using ve::test::ChildProcess;
using ve::test::GstPipeline;
using ve::test::StatsField;
using ve::test::StatsNumber;

constexpr int kToneHz = 440;
constexpr double kToneRms = 0.3 * 32767 / M_SQRT2;  // audiotestsrc's volume=0.3
constexpr int kSampleRate = 8000;
constexpr int kAudioPayloadType = 0;
constexpr int kEventPayloadType = 101;
constexpr int kSendMs = 11000;    // how long GStreamer sends
constexpr int kCallSeconds = 12;  // vecall's call, started before GStreamer and ending after it
// Key 5 pressed for 250 ms every 1.25 s from the first second on (rtpdtmfsrc: type 1 is a
// telephone event, not a tone).
constexpr int kEvents = 8;
constexpr int kFirstEventMs = 1000, kEventEveryMs = 1250, kEventHoldMs = 250;
constexpr const char* kKeyDown = "dtmf-event, type=(int)1, number=(int)5, volume=(int)10, start=(boolean)true";
constexpr const char* kKeyUp = "dtmf-event, type=(int)1, start=(boolean)false";
// The playout buffer starts 100 ms deep and, while a stream plays smoothly, lowers its depth by
// 20 ms every 2 s down to 40 ms, dropping 20 ms of audio at each step: a click in a steady
// tone, whatever the stream carries. The tone is judged window by window once that is over;
// gaps are looked for over all of it.
constexpr int kSettleMs = 6500;

// The RTP header fields of one datagram GStreamer sent, and when it arrived.
struct WirePacket {
  int payloadType = -1;
  bool marker = false;
  uint16_t sequence = 0;
  uint32_t ssrc = 0;
  bool extension = false;
  uint16_t extensionProfile = 0;  // 0xBEDE: one-byte elements, 0x1000 (and up): two-byte ones
  int extensionWords = 0;
  std::chrono::steady_clock::time_point arrived;
};

// Reads the copies of GStreamer's datagrams on a socket of its own. Its thread alone touches
// `packets` until Packets() has joined it; the test thread does everything else.
class WireTap {
 public:
  WireTap() : socket(ve::test::OpenLoopbackUdp(0)) {
    if (socket >= 0) thread = std::thread([this] { Run(); });
  }
  ~WireTap() {
    Finish();
    ve::test::CloseUdp(socket);
  }
  bool Valid() const { return socket >= 0; }
  uint16_t Port() const { return ve::test::LocalPort(socket); }
  // Everything read; call once the sender has stopped.
  std::vector<WirePacket> Packets() {
    Finish();
    return packets;
  }

 private:
  void Finish() {
    stop = true;
    if (thread.joinable()) thread.join();
  }

  void Run() {
    uint8_t datagram[2048];
    while (!stop) {
      if (!ve::test::WaitAnyReadable({socket}, 50)) continue;
      int got;
      while ((got = ve::test::ReceiveNow(socket, datagram, sizeof(datagram))) > 0) {
        if (got < 12 || (datagram[0] >> 6) != 2) continue;
        WirePacket packet;
        packet.arrived = std::chrono::steady_clock::now();
        packet.payloadType = datagram[1] & 0x7f;
        packet.marker = (datagram[1] & 0x80) != 0;
        packet.sequence = static_cast<uint16_t>(datagram[2] << 8 | datagram[3]);
        packet.ssrc = static_cast<uint32_t>(datagram[8]) << 24 | datagram[9] << 16 | datagram[10] << 8 | datagram[11];
        packet.extension = (datagram[0] & 0x10) != 0;
        const int at = 12 + 4 * (datagram[0] & 0x0f);
        if (packet.extension && got >= at + 4) {
          packet.extensionProfile = static_cast<uint16_t>(datagram[at] << 8 | datagram[at + 1]);
          packet.extensionWords = datagram[at + 2] << 8 | datagram[at + 3];
        }
        packets.push_back(packet);
      }
    }
  }

  int socket;
  std::atomic<bool> stop{false};
  std::vector<WirePacket> packets;
  std::thread thread;
};

// What the copies show about the stream.
struct WireView {
  int audio = 0, events = 0, others = 0;  // packets by payload type
  int audioWithExtensions = 0;            // audio packets with a non-empty one-byte-form block
  int extensionWords = 0;                 // the first audio packet's block length
  int eventStarts = 0;                    // event packets with the marker bit
  int otherSsrc = 0;                      // packets of an SSRC other than the first packet's
  // The sequence numbers of all packets form one run without gaps or repeats that begins and
  // ends with audio, so the events lie inside the audio's.
  bool oneRun = false;
  double worstAudioGapMs = 0;  // the longest wait between two audio packets
};

WireView ReadWire(const std::vector<WirePacket>& wire) {
  WireView view;
  if (wire.empty()) return view;
  std::vector<int> offsets;  // sequence numbers from the first one sent, across a wrap
  const WirePacket* lastAudio = nullptr;
  for (const WirePacket& packet : wire) {
    if (packet.payloadType == kAudioPayloadType) {
      ++view.audio;
      if (packet.extension && packet.extensionProfile == 0xBEDE && packet.extensionWords > 0) {
        ++view.audioWithExtensions;
      }
      if (view.audio == 1) view.extensionWords = packet.extensionWords;
      if (lastAudio != nullptr) {
        const std::chrono::duration<double, std::milli> gap = packet.arrived - lastAudio->arrived;
        view.worstAudioGapMs = std::max(view.worstAudioGapMs, gap.count());
      }
      lastAudio = &packet;
    } else if (packet.payloadType == kEventPayloadType) {
      ++view.events;
      view.eventStarts += packet.marker ? 1 : 0;
    } else {
      ++view.others;
    }
    view.otherSsrc += packet.ssrc != wire.front().ssrc ? 1 : 0;
    offsets.push_back(static_cast<int16_t>(static_cast<uint16_t>(packet.sequence - wire.front().sequence)));
  }
  const int lowest = *std::min_element(offsets.begin(), offsets.end());
  std::vector<int> owner(wire.size(), -1);  // the payload type at each sequence offset
  for (size_t i = 0; i < wire.size(); ++i) {
    const size_t slot = static_cast<size_t>(offsets[i] - lowest);
    if (slot >= owner.size() || owner[slot] != -1) return view;
    owner[slot] = wire[i].payloadType;
  }
  view.oneRun = owner.front() == kAudioPayloadType && owner.back() == kAudioPayloadType;
  return view;
}

// Whether some process has bound UDP port `port` on 127.0.0.1 (the system's socket table).
bool LoopbackUdpBound(uint16_t port) {
  char local[32];
  std::snprintf(local, sizeof(local), " 0100007F:%04X ", port);
  return ve::test::ReadTextFile("/proc/net/udp").find(local) != std::string::npos;
}

// How a steady tone came through. The tone is taken to run from the first to the last 20 ms
// frame at half the loudest frame's level (and at least kToneRms / 4), less 200 ms at the start
// (the playout buffer filling) and 100 ms at the end (draining).
struct HeardTone {
  double seconds = 0;            // length of the tone
  double quietShare = 1;         // its 20 ms frames below a quarter of the median level
  double judgedSeconds = 0;      // from kSettleMs after its start on
  double worstToneShare = 0;     // there: the lowest share of a 100 ms window's energy at the tone
  double distortionDb = 0;       // there: energy away from the tone against all
  double worstDistortionDb = 0;  // the same in the worst 100 ms window
};

double FrameRms(const std::vector<int16_t>& samples, size_t from, size_t count) {
  double sum = 0;
  for (size_t i = from; i < from + count; ++i) sum += static_cast<double>(samples[i]) * samples[i];
  return std::sqrt(sum / static_cast<double>(count));
}

HeardTone AnalyseTone(const std::vector<int16_t>& samples) {
  constexpr size_t kFrame = kSampleRate / 50;   // 20 ms
  constexpr size_t kWindow = kSampleRate / 10;  // 100 ms: exactly 44 periods of the tone
  HeardTone tone;
  std::vector<double> rms;
  for (size_t at = 0; at + kFrame <= samples.size(); at += kFrame) rms.push_back(FrameRms(samples, at, kFrame));
  if (rms.empty()) return tone;
  const double level = std::max(*std::max_element(rms.begin(), rms.end()) / 2, kToneRms / 4);
  size_t onset = 0, last = rms.size() - 1;
  while (onset < rms.size() && rms[onset] < level) ++onset;
  while (last > onset && rms[last] < level) --last;
  const size_t first = onset + 10;
  if (onset == rms.size() || last < first + 5 + 50) return tone;  // under a second of tone
  last -= 5;
  std::vector<double> span(rms.begin() + static_cast<long>(first), rms.begin() + static_cast<long>(last) + 1);
  std::vector<double> sorted = span;
  std::nth_element(sorted.begin(), sorted.begin() + static_cast<long>(sorted.size() / 2), sorted.end());
  const double median = sorted[sorted.size() / 2];
  size_t quiet = 0;
  for (double level : span) quiet += level < median / 4 ? 1 : 0;
  tone.quietShare = static_cast<double>(quiet) / static_cast<double>(span.size());
  tone.seconds = static_cast<double>(span.size()) * 0.02;

  // Goertzel's recurrence at the tone over each window: the energy of its 440 Hz component,
  // which is 2 |X|^2 / N for a frequency on the window's bin grid.
  const double coefficient = 2.0 * std::cos(2.0 * M_PI * kToneHz / kSampleRate);
  const size_t judgedFrom = onset * kFrame + static_cast<size_t>(kSettleMs) * kSampleRate / 1000;
  double allEnergy = 0, awayEnergy = 0;
  tone.worstToneShare = 1;
  tone.worstDistortionDb = -200;
  for (size_t at = judgedFrom; at + kWindow <= (last + 1) * kFrame; at += kWindow) {
    double s1 = 0, s2 = 0, energy = 0;
    for (size_t i = at; i < at + kWindow; ++i) {
      const double s0 = samples[i] + coefficient * s1 - s2;
      s2 = s1;
      s1 = s0;
      energy += static_cast<double>(samples[i]) * samples[i];
    }
    const double power = s1 * s1 + s2 * s2 - coefficient * s1 * s2;
    const double toneEnergy = std::min(energy, 2.0 * power / kWindow);
    const double share = energy > 0 ? toneEnergy / energy : 0;
    tone.worstToneShare = std::min(tone.worstToneShare, share);
    tone.worstDistortionDb = std::max(tone.worstDistortionDb, 10.0 * std::log10(std::max(1.0 - share, 1e-12)));
    allEnergy += energy;
    awayEnergy += energy - toneEnergy;
    tone.judgedSeconds += 0.1;
  }
  tone.distortionDb = allEnergy > 0 ? 10.0 * std::log10(std::max(awayEnergy / allEnergy, 1e-12)) : 0;
  return tone;
}

TEST(GstreamerStream, ToneWithHeaderExtensionsAndTelephoneEventsIsHeardCleanly) {
  if (ve::test::FindProgram("gst-launch-1.0").empty()) {
    GTEST_SKIP() << "gst-launch-1.0 is not installed (make deps installs it)";
  }
  const std::string tag = ::testing::TempDir() + "gst-extensions-" + std::to_string(ve::platform::GetProcessId());
  const std::string statsPath = tag + "-vecall.json", heardPath = tag + "-heard.wav";
  ve::test::RemovedAtExit files{{statsPath, heardPath}};

  const uint16_t vecallPort = ve::test::FreePortPair(), gstPort = ve::test::FreePortPair();
  ASSERT_NE(vecallPort, 0);
  ASSERT_NE(gstPort, 0);
  WireTap tap;
  ASSERT_TRUE(tap.Valid());

  // The audio: 20 ms u-law packets with two extensions in the one-byte form. The events:
  // their first and last packets sent three times, as telephone-event senders do. rtpmux, not
  // rtpdtmfmux, which would hold the audio back during an event: the tone goes on, and a gap
  // in it is the receiver's doing. The sink sends each packet as it comes (both sources pace
  // themselves by the clock; a sink that waits for each packet's time holds the audio behind
  // an event packet, which is stamped ahead, back by up to 140 ms), from GStreamer's RTP port,
  // the one vecall expects the peer on. vecall's RTCP goes to a udpsrc that swallows it, whose
  // sink must not hold the pipeline's start back until the first report arrives.
  const std::string pipelineText =
      "rtpmux name=mux ! multiudpsink name=out sync=false clients=127.0.0.1:" + std::to_string(vecallPort) +
      ",127.0.0.1:" + std::to_string(tap.Port()) + " bind-address=127.0.0.1 bind-port=" + std::to_string(gstPort) +
      " audiotestsrc is-live=true freq=" + std::to_string(kToneHz) +
      " volume=0.3 samplesperbuffer=160 ! audio/x-raw,rate=8000,channels=1 ! mulawenc"
      " ! rtppcmupay pt=0 min-ptime=20000000 max-ptime=20000000"
      " ! application/x-rtp,extmap-1=(string)urn:ietf:params:rtp-hdrext:ntp-64,"
      "extmap-3=(string)http://www.ietf.org/id/draft-holmer-rmcat-transport-wide-cc-extensions-01 ! mux.sink_0"
      " rtpdtmfsrc pt=" + std::to_string(kEventPayloadType) + " packet-redundancy=3 ! mux.sink_1"
      " udpsrc address=127.0.0.1 port=" + std::to_string(gstPort + 1) + " ! fakesink sync=false async=false";
  GstPipeline gst(pipelineText);
  ASSERT_TRUE(gst.Valid()) << gst.Error();

  ChildProcess vecall({VECALL_PATH, "--local", "127.0.0.1:" + std::to_string(vecallPort), "--remote",
                       "127.0.0.1:" + std::to_string(gstPort), "--codec", "pcmu", "--mic", "silence", "--speaker",
                       "file:" + heardPath, "--duration", std::to_string(kCallSeconds), "--stats", statsPath});
  ASSERT_TRUE(vecall.Started());
  // GStreamer starts once vecall has its RTP port, so that vecall receives all it sends.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!LoopbackUdpBound(vecallPort) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(LoopbackUdpBound(vecallPort)) << "vecall did not bind its RTP port within 10 s";

  ASSERT_TRUE(gst.Play()) << gst.PostedError();
  const auto started = std::chrono::steady_clock::now();
  int eventsSent = 0;
  for (int event = 0; event < kEvents; ++event) {
    const int at = kFirstEventMs + event * kEventEveryMs;
    std::this_thread::sleep_until(started + std::chrono::milliseconds(at));
    const bool pressed = gst.SendUpstream("out", kKeyDown);
    std::this_thread::sleep_until(started + std::chrono::milliseconds(at + kEventHoldMs));
    const bool released = gst.SendUpstream("out", kKeyUp);
    eventsSent += pressed && released ? 1 : 0;
  }
  std::this_thread::sleep_until(started + std::chrono::milliseconds(kSendMs));
  const std::string gstError = gst.PostedError();
  gst.Stop();
  EXPECT_EQ(gstError, "");
  EXPECT_EQ(eventsSent, kEvents) << "rtpdtmfsrc did not take an event";
  EXPECT_EQ(vecall.Wait(kCallSeconds + 20), 0);

  // What went out.
  const std::vector<WirePacket> wire = tap.Packets();
  const WireView view = ReadWire(wire);
  std::printf("wire: %d audio packets, %d with header extensions (%d words in the first), %d event packets "
              "(%d events), %d of another payload type, %d of another SSRC, sequence numbers %s; the longest "
              "wait between audio packets %.1f ms\n",
              view.audio, view.audioWithExtensions, view.extensionWords, view.events, view.eventStarts, view.others,
              view.otherSsrc, view.oneRun ? "one run, events inside" : "not one run", view.worstAudioGapMs);
  ASSERT_GT(view.audio, 0) << "GStreamer sent no audio";
  ASSERT_EQ(view.audioWithExtensions, view.audio) << "audio went out without header extensions";
  ASSERT_GE(view.eventStarts, kEvents) << "fewer telephone events went out than were sent";
  ASSERT_EQ(view.others, 0);
  ASSERT_EQ(view.otherSsrc, 0) << "the events and the audio have different SSRCs";
  ASSERT_TRUE(view.oneRun) << "the events and the audio do not share one sequence space";

  // What vecall counted.
  const std::string stats = ve::test::ReadTextFile(statsPath);
  ASSERT_FALSE(stats.empty()) << "vecall wrote no statistics";
  const double received = StatsNumber(stats, "rtp", "received_packets");
  std::printf("vecall: received %.0f packets, lost %s, jitter %s ms; drops: wrong source %s, malformed %s, "
              "unknown payload type %s, on probation %s, duplicate %s\n",
              received, StatsField(stats, "rtp", "lost").c_str(), StatsField(stats, "rtp", "jitter_ms").c_str(),
              StatsField(stats, "drops", "wrong_source").c_str(), StatsField(stats, "drops", "malformed").c_str(),
              StatsField(stats, "drops", "unknown_payload_type").c_str(),
              StatsField(stats, "drops", "on_probation").c_str(), StatsField(stats, "drops", "duplicate").c_str());
  // The reception figures count a source from the packet that ends its probation, the second.
  EXPECT_EQ(received, static_cast<double>(wire.size() - 1)) << "the reception figures miss audio or events";
  EXPECT_EQ(StatsNumber(stats, "rtp", "lost"), 0) << "events were taken for loss";
  EXPECT_EQ(StatsNumber(stats, "drops", "malformed"), 0) << "packets with header extensions were refused";
  EXPECT_EQ(StatsNumber(stats, "drops", "unknown_payload_type"), 0) << "events were dropped, not counted";
  EXPECT_EQ(StatsNumber(stats, "drops", "wrong_source"), 0);
  EXPECT_EQ(StatsNumber(stats, "drops", "on_probation"), 0);

  // What vecall played.
  ve::platform::WavPcmReader::Audio heard;
  ASSERT_EQ(ve::platform::WavPcmReader::ReadFile(heardPath.c_str(), &heard), 0) << "vecall recorded nothing";
  ASSERT_EQ(heard.sampleRate, static_cast<uint32_t>(kSampleRate));
  ASSERT_EQ(heard.channels, 1);
  const HeardTone tone = AnalyseTone(heard.samples);
  std::printf("heard: %.2f s of tone, %.1f %% of its 20 ms frames quiet; over the %.1f s after the playout settled, "
              "the tone's share of the worst 100 ms window %.4f, distortion %.1f dB overall and %.1f dB in the "
              "worst window\n",
              tone.seconds, 100.0 * tone.quietShare, tone.judgedSeconds, tone.worstToneShare, tone.distortionDb,
              tone.worstDistortionDb);
  // A sender that stalled longer than the playout buffer's depth leaves a gap too: the wait
  // between audio packets on the wire tells.
  char wireNote[96];
  std::snprintf(wireNote, sizeof(wireNote), " (the longest wait between audio packets on the wire: %.1f ms)",
                view.worstAudioGapMs);
  EXPECT_GT(tone.seconds, 0.9 * kSendMs / 1000.0) << "the tone was heard for too short a time";
  EXPECT_LT(tone.quietShare, 0.02) << "gaps in the tone" << wireNote;
  EXPECT_GT(tone.judgedSeconds, 3.0);
  EXPECT_GT(tone.worstToneShare, 0.9) << "a window where the tone does not dominate: a gap, a click or noise"
                                      << wireNote;
  EXPECT_LT(tone.distortionDb, -25.0) << "energy away from the tone";
}

}  // namespace
