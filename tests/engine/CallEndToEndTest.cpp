// Calls between two vecall processes on loopback, with virtual devices: each side speaks a
// generated speech sample and records what it hears. The speech each side sent must arrive at
// the other, aligned by correlation, close to what the sender's equaliser made of it.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/CallAnalysis.h"
#include "support/SignalTools.h"
#include "support/SpeechSynth.h"
#include "support/TestProcess.h"
#include "support/UdpRelay.h"
#include "support/WavWriter.h"

namespace {

using namespace ve::test;  // call files and statistics, signals, processes, the relay

struct CallResult {
  HeardSpeech aToB, bToA;
  std::string statsA, statsB;
  bool ran = false;
};

// A call of `seconds` between A and B; A's RTP and RTCP to B go through a relay with the
// `impairment` settings when given, and B's to A through one with `back` when given.
CallResult RunCall(const std::string& codec, double seconds, const UdpRelay::Impairment* impairment = nullptr,
                   const UdpRelay::Impairment* back = nullptr) {
  // The sides' files carry this process's id and are removed when the call ends.
  CallResult result;
  CallSide a(codec + "-a", "en-us", seconds - 1.5), b(codec + "-b", "en-gb", seconds - 1.5);
  if (a.says.empty() || b.says.empty()) return result;
  const uint16_t portA = FreePortPair(), portB = FreePortPair();
  const auto relay = impairment ? std::make_unique<UdpRelay>(portB, *impairment) : nullptr;
  const auto relayBack = back ? std::make_unique<UdpRelay>(portA, *back) : nullptr;
  ChildProcess aRuns(a.Command(VECALL_PATH, portA, relay ? relay->Port() : portB, codec, seconds));
  ChildProcess bRuns(b.Command(VECALL_PATH, portB, relayBack ? relayBack->Port() : portA, codec, seconds));
  const int exitA = aRuns.Wait(static_cast<int>(seconds) + 60), exitB = bRuns.Wait(static_cast<int>(seconds) + 60);
  EXPECT_EQ(exitA, 0);
  EXPECT_EQ(exitB, 0);
  result.statsA = a.Stats();
  result.statsB = b.Stats();
  result.aToB = AnalyseHeardSpeech(a, b);
  result.bToA = AnalyseHeardSpeech(b, a);
  result.ran = exitA == 0 && exitB == 0;
  return result;
}

// Sanitizer builds run the whole call several times slower: the figures stay, their tolerance
// widens.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr double kSlack = 3.0;
#elif defined(_WIN32)
// Under Wine the relay in this process adds its own few ms to every forwarded datagram.
constexpr double kSlack = 2.0;
#else
constexpr double kSlack = 1.0;
#endif

class CallEndToEnd : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    if (!SpeechToolsAvailable()) GTEST_SKIP() << "espeak-ng and sox are needed for test speech";
  }
};

// A clean call: the speech arrives whole and in conversational time, at most 80 ms from mouth
// to ear with G.711 and 150 ms with G.729 at any time of the call (asserted with half as much
// again to spare on a busy machine).
TEST_P(CallEndToEnd, SpeechArrivesBothWays) {
  std::string codec = GetParam();
  CallResult call = RunCall(codec, 14.0);
  ASSERT_TRUE(call.ran);
  // G.711 is close to transparent (about 32 dB here); G.729 keeps the speech but not the
  // waveform (about 5.5 dB).
  const double minimumSnr = codec == "g729" ? 2.0 : 20.0;
  const double delayBoundMs = (codec == "g729" ? 150.0 : 80.0) * 1.5 * kSlack;
  for (const HeardSpeech* d : {&call.aToB, &call.bToA}) {
    EXPECT_LT(d->missingShare, 0.10);
    EXPECT_GT(d->segmentalSnr, minimumSnr);
    EXPECT_GT(d->medianDelayMs, 0.0);
    EXPECT_LT(d->maxDelayMs, delayBoundMs);
  }
  for (const std::string* stats : {&call.statsA, &call.statsB}) {
    double sent = JsonNumber(*stats, "rtp", "sent_packets");
    double received = JsonNumber(*stats, "rtp", "received_packets");
    EXPECT_GT(sent, 0);
    EXPECT_GT(received, 0.9 * sent) << "loopback loses nothing; the two sides run equally long";
    EXPECT_EQ(JsonFlag(*stats, "drops", "latched"), std::optional<bool>(false))
        << "each side hears the other from the port it was given";
  }
}

INSTANTIATE_TEST_SUITE_P(Codecs, CallEndToEnd, ::testing::Values("pcma", "pcmu", "g729"));

// Calls through a path with 20 +- 15 ms of jitter, and through one losing 3 % of the packets,
// both ways: the delay follows the jitter, and loss costs no more speech than was lost. The
// jitter is a uniform 0..30 ms per packet, so with 20 ms packets each side's interarrival
// jitter reads about 30 / 3 ms. In G.711 also a path of 40 ms each way for RTP and RTCP: each
// side's round trip is 80 ms, two of our engines in the default layout end up speaking the
// standard one, and a call that loses nothing reports no loss at all.
class ImpairedCall : public CallEndToEnd {};

TEST_P(ImpairedCall, StaysIntelligibleAndConversational) {
  const std::string codec = GetParam();
  UdpRelay::Impairment jitter;
  jitter.baseDelayMs = 5;
  jitter.jitterMs = 30;
  jitter.seed = 7;
  UdpRelay::Impairment loss;
  loss.lossRate = 0.03;
  loss.seed = 9;
  UdpRelay::Impairment delay;
  delay.baseDelayMs = 40;
  delay.rtcpDelayMs = 40;
  const double cleanBoundMs = codec == "g729" ? 150.0 : 80.0;
  for (const auto& [impairment, extraMs] : {std::pair{&jitter, 35.0}, std::pair{&loss, 0.0}, std::pair{&delay, 40.0}}) {
    if (impairment == &delay && codec != "pcma") continue;
    CallResult call = RunCall(codec, 14.0, impairment, impairment);
    ASSERT_TRUE(call.ran);
    for (const HeardSpeech* d : {&call.aToB, &call.bToA}) {
      EXPECT_LT(d->missingShare, 0.10);
      EXPECT_GT(d->segmentalSnr, 0.0);
      EXPECT_LT(d->medianDelayMs, (cleanBoundMs + extraMs) * 1.5 * kSlack);
    }
    for (const std::string* stats : {&call.statsA, &call.statsB}) {
      if (impairment == &jitter && codec == "pcma") {
        EXPECT_NEAR(JsonNumber(*stats, "rtp", "jitter_ms"), 10.0, 3.0 * kSlack);
      }
      if (impairment == &delay) {
        EXPECT_GE(JsonNumber(*stats, "rtcp", "sent_reports"), 2);
        EXPECT_EQ(JsonText(*stats, "rtcp", "send_dialect"), "standard");
        EXPECT_EQ(JsonText(*stats, "rtcp", "peer_dialect"), "standard");
        EXPECT_EQ(JsonNumber(*stats, "rtp", "lost"), 0);
        EXPECT_EQ(JsonNumber(*stats, "rtcp", "peer_reported_lost"), 0);
        EXPECT_NEAR(JsonNumber(*stats, "rtcp", "rtt_ms"), 80.0, 10.0 * kSlack);
      }
    }
    // Each side hears the other from its relay's port, not the one it was given: both latch.
    EXPECT_EQ(JsonFlag(call.statsB, "drops", "latched"), std::optional<bool>(true));
    EXPECT_EQ(JsonFlag(call.statsA, "drops", "latched"), std::optional<bool>(true));
  }
}

INSTANTIATE_TEST_SUITE_P(Codecs, ImpairedCall, ::testing::Values("pcma", "g729"));

// Power of one frequency in a signal (Goertzel), relative to full scale.
double TonePower(const std::vector<int16_t>& x, double hz) {
  const double w = 2 * M_PI * hz / 8000.0, c = 2 * std::cos(w);
  double s1 = 0, s2 = 0;
  for (int16_t v : x) {
    double s0 = v / 32768.0 + c * s1 - s2;
    s2 = s1;
    s1 = s0;
  }
  double power = s1 * s1 + s2 * s2 - c * s1 * s2;
  return x.empty() ? 0.0 : power / (double(x.size()) * x.size());
}

// A file sent into the call is heard by the other side; one played during the call is heard
// locally, mixed with the call audio. B's call has no set end: an interrupt ends it, with its
// statistics written (Windows children get no interrupt and end at the bound).
TEST_F(CallEndToEnd, FilesJoinTheCall) {
  std::string sendTone = CallTempPath("send-1000.wav"), playTone = CallTempPath("play-500.wav");
  WriteMonoWav(sendTone, Tone(16000, 1000.0, 8000));
  // The local file is music-style 44.1 kHz stereo: converted on the way into the call. Float
  // where our own converter reads it; 16-bit on Windows, whose system converter takes
  // integer PCM only.
#ifdef _WIN32
  constexpr uint16_t kMusicTag = 1, kMusicBits = 16;
#else
  constexpr uint16_t kMusicTag = 3, kMusicBits = 32;
#endif
  WriteFile(playTone, BuildWav(FormatChunk(MakeLinearFormat(kMusicTag, 44100, 2, kMusicBits)),
                               EncodeSamples(Tone(500.0, 44100, 0.25, 88200, 2), kMusicTag, kMusicBits)));
  uint16_t portA = FreePortPair(), portB = FreePortPair();
  std::string heardB = CallTempPath("files-b-heard.wav"), statsB = CallTempPath("files-b.json");
  ChildProcess a({VECALL_PATH, "--local", "127.0.0.1:" + std::to_string(portA), "--remote",
                  "127.0.0.1:" + std::to_string(portB), "--codec", "pcma", "--mic", "silence", "--speaker", "null",
                  "--send-file", sendTone, "--duration", "4"});
  ChildProcess b({VECALL_PATH, "--local", "127.0.0.1:" + std::to_string(portB), "--remote",
                  "127.0.0.1:" + std::to_string(portA), "--codec", "pcma", "--mic", "silence", "--speaker",
                  "file:" + heardB, "--play", playTone, "--duration", "30", "--stats", statsB});
  ASSERT_EQ(a.Wait(60), 0);
  ASSERT_EQ(b.Wait(b.Interrupt() ? 10 : 60), 0);
  EXPECT_GT(JsonNumber(ReadText(statsB), "rtp", "received_packets"), 50);  // the 2 s sent file
  std::vector<int16_t> heard = ReadWavSamples(heardB);
  ASSERT_FALSE(heard.empty());
  double sent = TonePower(heard, 1000.0), played = TonePower(heard, 500.0), other = TonePower(heard, 1700.0);
  EXPECT_GT(sent, 100 * other);
  EXPECT_GT(played, 100 * other);
  for (const auto& path : {sendTone, playTone, heardB, statsB}) std::remove(path.c_str());
}

}  // namespace
