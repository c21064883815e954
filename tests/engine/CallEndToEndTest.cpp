// Calls between two vecall processes on loopback, with virtual devices: each side speaks a
// generated speech sample and records what it hears. The speech each side sent must arrive at
// the other, aligned by correlation, close to what the sender's equaliser made of it.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "engine/EqualizerSets.h"
#include "platform/Socket.h"
#include "platform/WavPcmReader.h"
#include "support/SignalTools.h"
#include "support/SpeechSynth.h"
#include "support/TestProcess.h"
#include "support/UdpRelay.h"
#include "support/WavWriter.h"

namespace {

using ve::test::ChildProcess;
using ve::test::UdpRelay;

constexpr int kFrame = 160;
constexpr double kActiveRms = 300.0;

// Calls of different tests may run at once (ctest -j): file names carry the process id.
std::string TempPath(const std::string& name) {
  return ::testing::TempDir() + "e2e-" + std::to_string(ve::platform::GetProcessId()) + "-" + name;
}

void WriteWav(const std::string& path, const std::vector<int16_t>& samples) {
  auto bytes = ve::test::BuildWav(ve::test::FormatChunk(ve::test::MakeLinearFormat(1, 8000, 1, 16)),
                                  ve::test::Int16Bytes(samples));
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<std::streamsize>(bytes.size()));
}

std::vector<int16_t> ReadWav(const std::string& path) {
  ve::platform::WavPcmReader::Audio audio;
  if (ve::platform::WavPcmReader::ReadFile(path.c_str(), &audio) != 0) return {};
  return audio.samples;
}

// What the sender's equaliser makes of the speech: the reference the receiver should hear.
std::vector<int16_t> SendEqualized(const std::vector<int16_t>& x) {
  double taps[ve::kEqualizerTaps];
  ve::ExpandEqualizerSet(ve::kSendSetB, taps);
  return ve::test::FirFilter(x, taps, ve::kEqualizerTaps);
}

double FrameRms(const std::vector<int16_t>& x, size_t from) {
  double sum = 0;
  for (size_t i = from; i < from + kFrame && i < x.size(); ++i) sum += double(x[i]) * x[i];
  return std::sqrt(sum / kFrame);
}

// A number from the stats JSON by key ("sent_packets"); the first occurrence after `section`.
double JsonNumber(const std::string& json, const std::string& section, const std::string& key) {
  size_t at = json.find("\"" + section + "\"");
  if (at == std::string::npos) return -1e9;
  at = json.find("\"" + key + "\":", at);
  if (at == std::string::npos) return -1e9;
  return std::atof(json.c_str() + at + key.size() + 3);
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

struct Direction {
  double delayMs = 0;       // mouth-to-ear: capture start to playout, both processes' clocks aligned
  double segmentalSnr = 0;  // against the sender's equalised speech, over active speech
  double missingShare = 1;  // active speech frames that arrived silent
  int delayChanges = 0;     // times the delay moved during the call (a rebuffer or a slipped frame)
};

// The delay is followed in blocks of half a second, each within 200 ms of the one before: a
// playout buffer may rebuffer under a scheduling hiccup, which shifts the rest of the call; the
// speech after the shift still has to match the sender's.
constexpr size_t kTrackBlock = 4000;
constexpr int kTrackShift = 1600;

Direction Analyse(const std::vector<int16_t>& sent, const std::string& heardPath, double startOffsetMs) {
  Direction d;
  std::vector<int16_t> heard = ReadWav(heardPath);
  if (heard.empty()) return d;
  std::vector<int16_t> reference = SendEqualized(sent);
  // The delay comes from the first 3 s of speech within 1 s of lag: enough to align, and cheap
  // enough for sanitizer builds.
  std::vector<int16_t> head(reference.begin(), reference.begin() + std::min<size_t>(reference.size(), 24000));
  int lag = ve::test::BestLag(head, heard, std::min<int>(8000, static_cast<int>(heard.size()) - 1));
  d.delayMs = lag / 8.0 + startOffsetMs;
  std::vector<int> lags = ve::test::TrackLag(reference, heard, lag, kTrackBlock, kTrackShift, kActiveRms);
  for (size_t i = 1; i < lags.size(); ++i) d.delayChanges += lags[i] != lags[i - 1] ? 1 : 0;
  d.segmentalSnr = ve::test::SegmentalSnr(reference, heard, lags, kTrackBlock, kActiveRms);
  size_t active = 0, missing = 0;
  for (size_t from = 0; from + kFrame <= reference.size(); from += kFrame) {
    if (FrameRms(reference, from) < kActiveRms) continue;
    ++active;
    const size_t at = from + static_cast<size_t>(lags[std::min(from / kTrackBlock, lags.size() - 1)]);
    if (at + kFrame > heard.size() || FrameRms(heard, at) < kActiveRms / 4) ++missing;
  }
  d.missingShare = active ? double(missing) / double(active) : 1.0;
  return d;
}

struct CallResult {
  Direction aToB, bToA;
  std::string statsA, statsB;
  bool ran = false;
};

// A call of `seconds` between A and B; A's RTP and RTCP to B go through a relay with the
// `impairment` settings when given, and B's to A through one with `back` when given.
CallResult RunCall(const std::string& codec, double seconds, const UdpRelay::Impairment* impairment = nullptr,
                   const UdpRelay::Impairment* back = nullptr) {
  CallResult result;
  std::vector<int16_t> aSays = ve::test::SpeechWithPauses("en-us", seconds - 1.5);
  std::vector<int16_t> bSays = ve::test::SpeechWithPauses("en-gb", seconds - 1.5);
  if (aSays.empty() || bSays.empty()) return result;
  std::string tag = codec + (impairment ? "-impaired" : "");
  std::string aSaysPath = TempPath(tag + "-a-says.wav"), bSaysPath = TempPath(tag + "-b-says.wav");
  WriteWav(aSaysPath, aSays);
  WriteWav(bSaysPath, bSays);
  uint16_t portA = ve::test::FreePortPair(), portB = ve::test::FreePortPair();
  std::unique_ptr<UdpRelay> relay, relayBack;
  uint16_t aSendsTo = portB, bSendsTo = portA;
  if (impairment != nullptr) {
    relay = std::make_unique<UdpRelay>(portB, *impairment);
    aSendsTo = relay->Port();
  }
  if (back != nullptr) {
    relayBack = std::make_unique<UdpRelay>(portA, *back);
    bSendsTo = relayBack->Port();
  }
  std::string statsA = TempPath(tag + "-a.json"), statsB = TempPath(tag + "-b.json");
  std::string heardA = TempPath(tag + "-a-heard.wav"), heardB = TempPath(tag + "-b-heard.wav");
  std::string duration = std::to_string(seconds);
  ChildProcess a({VECALL_PATH, "--local", "127.0.0.1:" + std::to_string(portA), "--remote",
                  "127.0.0.1:" + std::to_string(aSendsTo), "--codec", codec, "--mic", "file:" + aSaysPath,
                  "--speaker", "file:" + heardA, "--duration", duration, "--stats", statsA});
  ChildProcess b({VECALL_PATH, "--local", "127.0.0.1:" + std::to_string(portB), "--remote",
                  "127.0.0.1:" + std::to_string(bSendsTo), "--codec", codec, "--mic", "file:" + bSaysPath,
                  "--speaker", "file:" + heardB, "--duration", duration, "--stats", statsB});
  int exitA = a.Wait(static_cast<int>(seconds) + 60);
  int exitB = b.Wait(static_cast<int>(seconds) + 60);
  EXPECT_EQ(exitA, 0);
  EXPECT_EQ(exitB, 0);
  result.statsA = ReadText(statsA);
  result.statsB = ReadText(statsB);
  // Align the two processes' clocks: the heard file starts when the receiver started, the
  // spoken file when the sender started.
  double aSend = JsonNumber(result.statsA, "timing", "send_start_unix_ms");
  double bSend = JsonNumber(result.statsB, "timing", "send_start_unix_ms");
  double aReceive = JsonNumber(result.statsA, "timing", "receive_start_unix_ms");
  double bReceive = JsonNumber(result.statsB, "timing", "receive_start_unix_ms");
  result.aToB = Analyse(aSays, heardB, bReceive - aSend);
  result.bToA = Analyse(bSays, heardA, aReceive - bSend);
  result.ran = exitA == 0 && exitB == 0;
  std::printf("%s: A->B delay %.0f ms (%d changes), segSNR %.1f dB, missing %.1f%%; B->A delay %.0f ms "
              "(%d changes), segSNR %.1f dB, missing %.1f%%\n",
              tag.c_str(), result.aToB.delayMs, result.aToB.delayChanges, result.aToB.segmentalSnr,
              100 * result.aToB.missingShare, result.bToA.delayMs, result.bToA.delayChanges,
              result.bToA.segmentalSnr, 100 * result.bToA.missingShare);
  for (const auto& path : {aSaysPath, bSaysPath, heardA, heardB, statsA, statsB}) std::remove(path.c_str());
  return result;
}

class CallEndToEnd : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    if (!ve::test::SpeechToolsAvailable()) GTEST_SKIP() << "espeak-ng and sox are needed for test speech";
  }
};

TEST_P(CallEndToEnd, SpeechArrivesBothWays) {
  std::string codec = GetParam();
  CallResult call = RunCall(codec, 4.5);
  ASSERT_TRUE(call.ran);
  // G.711 is close to transparent (about 32 dB here); G.729 keeps the speech but not the
  // waveform (about 5.5 dB).
  double minimumSnr = codec == "g729" ? 2.0 : 20.0;
  for (const Direction* d : {&call.aToB, &call.bToA}) {
    EXPECT_LT(d->missingShare, 0.10);
    EXPECT_GT(d->segmentalSnr, minimumSnr);
    EXPECT_GT(d->delayMs, 0.0);
    EXPECT_LT(d->delayMs, 1000.0);
  }
  for (const std::string* stats : {&call.statsA, &call.statsB}) {
    double sent = JsonNumber(*stats, "rtp", "sent_packets");
    double received = JsonNumber(*stats, "rtp", "received_packets");
    EXPECT_GT(sent, 0);
    EXPECT_GT(received, 0.9 * sent) << "loopback loses nothing; the two sides run equally long";
  }
}

INSTANTIATE_TEST_SUITE_P(Codecs, CallEndToEnd, ::testing::Values("pcma", "pcmu", "g729"));

// Sanitizer builds run the whole call several times slower: the figures stay, their tolerance
// widens.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr double kSlack = 3.0;
#else
constexpr double kSlack = 1.0;
#endif

std::string JsonText(const std::string& json, const std::string& key) {
  size_t at = json.find("\"" + key + "\":\"");
  if (at == std::string::npos) return "";
  at += key.size() + 4;
  return json.substr(at, json.find('"', at) - at);
}

// 40 ms each way for RTP and RTCP: each side's round trip is 80 ms. Two of our engines in the
// default layout end up speaking the standard one, and a clean call reports no loss at all.
TEST_F(CallEndToEnd, RtcpGivesTheRoundTripThroughADelayingPath) {
  UdpRelay::Impairment delay;
  delay.baseDelayMs = 40;
  delay.rtcpDelayMs = 40;
  CallResult call = RunCall("pcma", 12.0, &delay, &delay);
  ASSERT_TRUE(call.ran);
  for (const std::string* stats : {&call.statsA, &call.statsB}) {
    std::printf("rtcp: %s\n", stats->substr(stats->find("\"rtcp\""), 330).c_str());
    EXPECT_GE(JsonNumber(*stats, "rtcp", "sent_reports"), 2);
    EXPECT_EQ(JsonText(*stats, "send_dialect"), "standard");
    EXPECT_EQ(JsonText(*stats, "peer_dialect"), "standard");
    EXPECT_EQ(JsonNumber(*stats, "rtp", "lost"), 0);
    EXPECT_EQ(JsonNumber(*stats, "rtcp", "peer_reported_lost"), 0);
    EXPECT_NEAR(JsonNumber(*stats, "rtcp", "rtt_ms"), 80.0, 10.0 * kSlack);
  }
}

// Each RTP packet delayed by a uniform 0..J ms: the interarrival jitter is about J / 3, and the
// peer's reports say the same of our stream.
TEST_F(CallEndToEnd, JitterOfAUniformlyDelayingPath) {
  UdpRelay::Impairment jitter;
  jitter.jitterMs = 30;
  jitter.seed = 11;
  CallResult call = RunCall("pcma", 8.0, &jitter, &jitter);
  ASSERT_TRUE(call.ran);
  for (const std::string* stats : {&call.statsA, &call.statsB}) {
    std::printf("jitter %.2f ms, peer reports %.2f ms\n", JsonNumber(*stats, "rtp", "jitter_ms"),
                JsonNumber(*stats, "rtcp", "peer_reported_jitter_ms"));
    EXPECT_NEAR(JsonNumber(*stats, "rtp", "jitter_ms"), 10.0, 3.0 * kSlack);
  }
}

TEST_F(CallEndToEnd, StaysIntelligibleThroughLossAndJitter) {
  UdpRelay::Impairment impairment;
  impairment.lossRate = 0.05;
  impairment.jitterMs = 40;
  impairment.seed = 7;
  CallResult call = RunCall("g729", 5.0, &impairment);
  ASSERT_TRUE(call.ran);
  EXPECT_LT(call.aToB.missingShare, 0.20);
  EXPECT_GT(call.aToB.segmentalSnr, 0.0);
  EXPECT_LT(call.bToA.missingShare, 0.10) << "the unimpaired direction";
}

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
// locally, mixed with the call audio.
TEST_F(CallEndToEnd, FilesJoinTheCall) {
  std::string sendTone = TempPath("send-1000.wav"), playTone = TempPath("play-500.wav");
  WriteWav(sendTone, ve::test::Tone(16000, 1000.0, 8000));
  // The local file is music-style 44.1 kHz stereo: converted on the way into the call. Float
  // where our own converter reads it; 16-bit on Windows, whose system converter takes
  // integer PCM only.
#ifdef _WIN32
  constexpr uint16_t kMusicTag = 1, kMusicBits = 16;
#else
  constexpr uint16_t kMusicTag = 3, kMusicBits = 32;
#endif
  auto music = ve::test::BuildWav(
      ve::test::FormatChunk(ve::test::MakeLinearFormat(kMusicTag, 44100, 2, kMusicBits)),
      ve::test::EncodeSamples(ve::test::Tone(500.0, 44100, 0.25, 88200, 2), kMusicTag, kMusicBits));
  std::ofstream(playTone, std::ios::binary).write(reinterpret_cast<const char*>(music.data()),
                                                  static_cast<std::streamsize>(music.size()));
  uint16_t portA = ve::test::FreePortPair(), portB = ve::test::FreePortPair();
  std::string heardB = TempPath("files-b-heard.wav");
  ChildProcess a({VECALL_PATH, "--local", "127.0.0.1:" + std::to_string(portA), "--remote",
                  "127.0.0.1:" + std::to_string(portB), "--codec", "pcma", "--mic", "silence", "--speaker", "null",
                  "--send-file", sendTone, "--duration", "4"});
  ChildProcess b({VECALL_PATH, "--local", "127.0.0.1:" + std::to_string(portB), "--remote",
                  "127.0.0.1:" + std::to_string(portA), "--codec", "pcma", "--mic", "silence", "--speaker",
                  "file:" + heardB, "--play", playTone, "--duration", "4"});
  ASSERT_EQ(a.Wait(60), 0);
  ASSERT_EQ(b.Wait(60), 0);
  std::vector<int16_t> heard = ReadWav(heardB);
  ASSERT_FALSE(heard.empty());
  double sent = TonePower(heard, 1000.0), played = TonePower(heard, 500.0), other = TonePower(heard, 1700.0);
  std::printf("heard by B: 1000 Hz (sent by A) %.2e, 500 Hz (played by B) %.2e, 1700 Hz (neither) %.2e\n", sent,
              played, other);
  EXPECT_GT(sent, 100 * other);
  EXPECT_GT(played, 100 * other);
  for (const auto& path : {sendTone, playTone, heardB}) std::remove(path.c_str());
}

}  // namespace
