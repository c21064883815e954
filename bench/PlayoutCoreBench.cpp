// The receive-side playout, old and new, side by side on speech: every standard impairment
// scenario with 20 ms packets sends spoken sentences as G.711 A-law RTP, and the same arrivals
// are played through (a) the PlayoutCore and (b) the decoder + SsrcSelectorFilter chain the
// engine uses today. One row per scenario and path: the delay of what was played, how much was
// made up for missing packets, and how close it sounds to what was sent.
//
//   PlayoutCoreBench [--duration-ms=20000] [--only=substring]
//
// Everything runs in virtual time on one thread (arrivals pushed in media-time order, a player
// taking 20 ms whenever the previous 20 ms have played), so the figures repeat exactly.
//
// Measuring: the played audio is cut into 20 ms frames, and each frame that is not silent is
// aligned to the sent speech by normalised cross-correlation within +-10 ms of where the
// previous frame was found; when that fails, a search over the last second of sent speech of
// every sender finds where playing went on (after a dropped piece of audio, or another source),
// and the next speech frame must confirm it. The lag found gives the frame's delay (play time
// minus the time the sender sent that speech) and the reference for its SNR, so a delay that
// moves by time-scaling or by skipping is not counted as an error.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "audio/PlayoutCore.h"
#include "baseline/SsrcSelectorFilter.h"
#include "codecs/G711Codec.h"
#include "framework/AudioSample.h"
#include "framework/AudioSamplePool.h"
#include "framework/AudioSinkListener.h"
#include "framework/AudioSourceListener.h"
#include "rtp/RtpPacket.h"
#include "ImpairmentPlayout.h"
#include "support/ImpairmentScript.h"
#include "support/SpeechSynth.h"

namespace {

using ve::test::Scenario;
using ve::test::Schedule;
using ve::test::ScriptedPacket;

constexpr int kSamplesPerMs = 8;
constexpr int kFrameMs = 20;
constexpr int kFrameSamples = kFrameMs * kSamplesPerMs;
constexpr uint8_t kPayloadPcma = 8;
constexpr uint8_t kComfortNoiseLevel = 70;  // -70 dBov: the sender's background is digital silence
constexpr double kPlayerStartMs = 10;
constexpr double kTailMs = 600;
constexpr uint32_t kClockBaseMs = 100000;  // the core's clock: any monotonic ms value
constexpr double kActiveRms = 100;         // a 20 ms frame quieter than this carries no speech
constexpr double kMuteRms = 30;            // a played frame this quiet stands for speech missing
constexpr int kTrackSamples = 10 * kSamplesPerMs;  // alignment window around the expected position
constexpr double kWideSearchMs = 1000;     // how far back the wide search looks
constexpr double kLockCorrelation = 0.7;   // a frame aligned at least this well counts for delay
constexpr double kRelockCorrelation = 0.8; // the wide search moves the lock only when this sure
constexpr double kSnrMinDb = -10;
constexpr double kSnrMaxDb = 35;

// The speech of one sender, as it went out (A-law coded, zero where the script pauses), indexed
// by the sender's own sample clock; sample i left at startMs + i / 8 / (1 + skew).
struct Talker {
  std::vector<int16_t> speech;
  std::vector<double> energy;  // energy[i]: sum of the squares of speech[0..i)
  double startMs = 0;
  double skew = 0;
  int32_t packetMs = kFrameMs;
  int64_t sentEnd = 0;  // speech after this position was never sent (the run ended)

  double SendMs(int64_t position) const {
    return startMs + static_cast<double>(position) / kSamplesPerMs / (1.0 + skew);
  }
  // The position sent at `sendMs`.
  int64_t PositionAt(double sendMs) const {
    return static_cast<int64_t>(std::floor((sendMs - startMs) * kSamplesPerMs * (1.0 + skew)));
  }
  double FrameEnergy(int64_t position) const {
    return energy[static_cast<size_t>(position + kFrameSamples)] - energy[static_cast<size_t>(position)];
  }
  int64_t LastPosition() const { return std::min<int64_t>(static_cast<int64_t>(speech.size()), sentEnd) - kFrameSamples; }
};

// A voiced stand-in for speech when the speech tools are missing: a glottal pulse train of
// drifting pitch through two resonances that move from syllable to syllable, in 1.6 s phrases
// separated by 400 ms of silence.
std::vector<int16_t> SyntheticSpeech(size_t count, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  std::vector<int16_t> out(count, 0);
  const double rate = 8000;
  double phase = 0;
  double y1[2] = {0, 0};
  double y2[2] = {0, 0};
  double formant[2] = {500, 1500};
  size_t syllableEnd = 0;
  for (size_t i = 0; i < count; ++i) {
    if (i >= syllableEnd) {
      syllableEnd = i + static_cast<size_t>(rate * (0.12 + 0.15 * uniform(rng)));
      formant[0] = 300 + 500 * uniform(rng);
      formant[1] = 900 + 1500 * uniform(rng);
    }
    const double t = static_cast<double>(i) / rate;
    const double inPhrase = std::fmod(t, 2.0);
    if (inPhrase >= 1.6) continue;
    const double pitch = 110 + 25 * std::sin(2 * M_PI * 0.7 * t);
    phase += pitch / rate;
    double excitation = 0;
    if (phase >= 1) {
      phase -= 1;
      excitation = 1;
    }
    excitation += 0.02 * (uniform(rng) - 0.5);
    double value = excitation;
    for (int k = 0; k < 2; ++k) {
      const double r = 0.97;
      const double c = 2 * r * std::cos(2 * M_PI * formant[k] / rate);
      const double y = value + c * y1[k] - r * r * y2[k];
      y2[k] = y1[k];
      y1[k] = y;
      value = y * (1 - r);
    }
    const double envelope = std::sin(M_PI * inPhrase / 1.6);
    out[i] = static_cast<int16_t>(std::clamp(value * 60000 * envelope, -32767.0, 32767.0));
  }
  return out;
}

// Spoken sentences in `voice`, repeated to `count` samples; synthetic speech without the tools.
std::vector<int16_t> SpeechMaterial(const std::string& voice, size_t count, uint32_t seed, bool* spoken) {
  std::vector<int16_t> sentences = ve::test::SpeechWithPauses(voice, 30.0);
  // The sentences end well before 30 s: keep them and one pause after them.
  size_t end = sentences.size();
  while (end > 0 && sentences[end - 1] == 0) --end;
  sentences.resize(std::min(sentences.size(), end + 300 * kSamplesPerMs));
  *spoken = end > 0;
  if (!*spoken) return SyntheticSpeech(count, seed);
  std::vector<int16_t> out;
  out.reserve(count);
  while (out.size() < count) {
    const size_t take = std::min(sentences.size(), count - out.size());
    out.insert(out.end(), sentences.begin(), sentences.begin() + static_cast<std::ptrdiff_t>(take));
  }
  return out;
}

std::vector<Talker> MakeTalkers(const Scenario& scenario, bool* spoken) {
  static const char* const kVoices[] = {"en-us", "en-gb"};
  std::vector<Talker> talkers;
  for (size_t i = 0; i < scenario.senders.size(); ++i) {
    const ve::test::SenderScript& script = scenario.senders[i];
    Talker talker;
    talker.startMs = script.startMs;
    talker.skew = script.skew;
    talker.packetMs = script.frameMs;
    // Room for everything the sender can produce, skew included.
    const size_t count =
        static_cast<size_t>((scenario.durationMs * (1.0 + std::max(0.0, script.skew)) + 1000) * kSamplesPerMs);
    talker.speech = SpeechMaterial(kVoices[i % 2], count, static_cast<uint32_t>(i + 1), spoken);
    const int64_t cycle = script.talkMs + script.silenceMs;
    for (size_t n = 0; n < talker.speech.size(); ++n) {
      // Where the script pauses, the sender sends comfort noise instead of this speech.
      if (script.talkMs > 0 && static_cast<int64_t>(n) / kSamplesPerMs % cycle >= script.talkMs) talker.speech[n] = 0;
      talker.speech[n] = ve::G711Codec::ALawToLinear(ve::G711Codec::LinearToALaw(talker.speech[n]));
    }
    talker.energy.assign(talker.speech.size() + 1, 0);
    for (size_t n = 0; n < talker.speech.size(); ++n) {
      talker.energy[n + 1] = talker.energy[n] + static_cast<double>(talker.speech[n]) * talker.speech[n];
    }
    talkers.push_back(std::move(talker));
  }
  return talkers;
}

// The datagrams of every sent packet (by send index): the speech as A-law, a one-byte
// comfort-noise level for a pause, the marker bit on the first packet of each talk spurt.
// Also notes how far each talker's speech went out.
std::vector<std::vector<uint8_t>> MakeDatagrams(const Schedule& schedule, std::vector<Talker>* talkers,
                                                const Scenario& scenario) {
  std::vector<std::vector<uint8_t>> datagrams(schedule.sent.size());
  std::vector<bool> spurtStarts(talkers->size(), true);
  for (const ScriptedPacket& packet : schedule.sent) {
    const size_t sender = static_cast<size_t>(packet.sender);
    Talker& talker = (*talkers)[sender];
    std::vector<uint8_t>& bytes = datagrams[static_cast<size_t>(packet.index)];
    const bool pause = packet.payloadType == ve::test::kPayloadComfortNoise;
    const uint8_t payloadType = pause ? ve::test::kPayloadComfortNoise : kPayloadPcma;
    const size_t samples = static_cast<size_t>(packet.durationMs * kSamplesPerMs);
    bytes.resize(ve::RtpPacket::kHeaderBytes + (pause ? 1 : samples));
    ve::test::WriteRtpHeader(bytes.data(), payloadType, packet.sequence, packet.timestamp, packet.ssrc,
                             !pause && spurtStarts[sender]);
    spurtStarts[sender] = pause;
    if (pause) {
      bytes[ve::RtpPacket::kHeaderBytes] = kComfortNoiseLevel;
      continue;
    }
    // The packet's place in the sender's media: its send slot times the packet length.
    const double intervalMs = talker.packetMs / (1.0 + scenario.senders[sender].skew);
    const int64_t slot = std::llround((packet.sendMs - talker.startMs) / intervalMs);
    const size_t first = static_cast<size_t>(slot * talker.packetMs * kSamplesPerMs);
    talker.sentEnd = std::max(talker.sentEnd, static_cast<int64_t>(first + samples));
    for (size_t i = 0; i < samples; ++i) {
      const int16_t value = first + i < talker.speech.size() ? talker.speech[first + i] : 0;
      bytes[ve::RtpPacket::kHeaderBytes + i] = ve::G711Codec::LinearToALaw(value);
    }
  }
  return datagrams;
}

// What one path played and counted.
struct PathRun {
  std::vector<int16_t> played;  // from kPlayerStartMs on
  double madeUpMs = 0;          // audio made up for missing packets while the stream ran
  double streamMs = 0;          // played from the first audio to the last arrival
  double adjustedMs = 0;        // audio removed or added to move the delay
  int64_t late = 0;             // packets dropped for coming after their turn
};

double EndMs(const Schedule& schedule, const Scenario& scenario) {
  const double lastArrival = schedule.arrivals.empty() ? 0 : schedule.arrivals.back().arriveMs;
  return std::max(lastArrival, scenario.durationMs) + kTailMs;
}

PathRun RunCore(const Scenario& scenario, const Schedule& schedule,
                const std::vector<std::vector<uint8_t>>& datagrams) {
  PathRun run;
  ve::PlayoutCore core;
  const double lastArrival = schedule.arrivals.empty() ? 0 : schedule.arrivals.back().arriveMs;
  const double endMs = EndMs(schedule, scenario);
  size_t next = 0;
  bool counted = false;
  for (double clock = kPlayerStartMs; clock < endMs; clock += kFrameMs) {
    for (; next < schedule.arrivals.size() && schedule.arrivals[next].arriveMs <= clock; ++next) {
      const ScriptedPacket& arrival = schedule.arrivals[next];
      const std::vector<uint8_t>& bytes = datagrams[static_cast<size_t>(arrival.index)];
      std::unique_ptr<ve::RtpPacket> packet(ve::RtpPacket::Parse(bytes.data(), static_cast<int32_t>(bytes.size())));
      if (packet) core.Put(*packet, kClockBaseMs + static_cast<uint32_t>(arrival.arriveMs));
    }
    // A player taking 20 ms at a time asks for two 10 ms blocks at once.
    const uint32_t nowMs = kClockBaseMs + static_cast<uint32_t>(clock);
    const size_t at = run.played.size();
    run.played.resize(at + kFrameSamples);
    core.Get(run.played.data() + at, nowMs);
    core.Get(run.played.data() + at + ve::PlayoutCore::kBlockSamples, nowMs);
    if (!counted && clock >= lastArrival) {
      // Up to the last arrival: what follows is the end of the stream, not a fault.
      const ve::PlayoutCoreStats stats = core.Stats();
      run.madeUpMs = static_cast<double>(stats.concealedMs);
      run.streamMs = static_cast<double>(stats.playedMs + stats.concealedMs);
      counted = true;
    }
  }
  const ve::PlayoutCoreStats stats = core.Stats();
  run.adjustedMs = static_cast<double>(stats.timeScaledMs);
  run.late = stats.lateFrames;
  return run;
}

// The decoder of the old chain: the packet's A-law as 16-bit PCM (a comfort-noise packet as a
// 20 ms silence), carrying a header copy of the packet.
ve::AudioSample* DecodeForSelector(const ve::RtpPacket& packet) {
  ve::AudioSample* sample = nullptr;
  ve::AudioSamplePool::Instance()->Get(&sample);
  ve::WAVEFORMATEX pcm;
  sample->SetFormat(ve::GetStandardFormat(&pcm, ve::kFormatPcm16));
  if (packet.PayloadType() == ve::test::kPayloadComfortNoise) {
    sample->SetDataSize(0);
    sample->SetSilenceMs(kFrameMs);
  } else {
    const int32_t count = std::min(packet.PayloadUsage(), sample->Capacity() / 2);
    auto* out = reinterpret_cast<int16_t*>(sample->Data());
    for (int32_t i = 0; i < count; ++i) out[i] = ve::G711Codec::ALawToLinear(packet.Payload()[i]);
    sample->SetDataSize(count * 2);
  }
  sample->SetPacket(packet.CopyHeader());
  return sample;
}

PathRun RunSelector(const Scenario& scenario, const Schedule& schedule,
                    const std::vector<std::vector<uint8_t>>& datagrams) {
  PathRun run;
  ve::SsrcSelectorFilter selector;
  selector.Prepare();
  ve::AudioSourceListener* input = &selector;
  ve::AudioSinkListener* output = &selector;
  const double lastArrival = schedule.arrivals.empty() ? 0 : schedule.arrivals.back().arriveMs;
  const double endMs = EndMs(schedule, scenario);
  size_t next = 0;
  bool audioStarted = false;
  bool previousAudio = false;
  uint32_t previousSsrc = 0;
  uint16_t previousSequence = 0;
  uint32_t previousTimestamp = 0;
  for (double clock = kPlayerStartMs; clock < endMs;) {
    for (; next < schedule.arrivals.size() && schedule.arrivals[next].arriveMs <= clock; ++next) {
      const std::vector<uint8_t>& bytes = datagrams[static_cast<size_t>(schedule.arrivals[next].index)];
      std::unique_ptr<ve::RtpPacket> packet(ve::RtpPacket::Parse(bytes.data(), static_cast<int32_t>(bytes.size())));
      if (!packet) continue;
      ve::AudioSample* sample = DecodeForSelector(*packet);
      input->TakeNextAudioSample(sample, nullptr);
      sample->Release();
    }
    ve::AudioSample* sample = nullptr;
    output->GiveNextAudioSample(&sample, nullptr);
    int32_t samples = kFrameSamples;
    bool audio = false;
    bool repeat = false;
    if (sample != nullptr) {
      if (sample->DataSize() > 0) {
        samples = sample->DataSize() / 2;
        const auto* data = reinterpret_cast<const int16_t*>(sample->Data());
        run.played.insert(run.played.end(), data, data + samples);
        if (const auto* packet = dynamic_cast<const ve::RtpPacket*>(sample->Packet())) {
          audio = true;
          repeat = previousAudio && packet->Ssrc() == previousSsrc && packet->Sequence() == previousSequence &&
                   packet->Timestamp() == previousTimestamp;
          previousSsrc = packet->Ssrc();
          previousSequence = packet->Sequence();
          previousTimestamp = packet->Timestamp();
        }
      } else {
        samples = std::max(1, sample->SilenceMs()) * kSamplesPerMs;
        run.played.insert(run.played.end(), static_cast<size_t>(samples), 0);
      }
      sample->Release();
    } else {
      run.played.insert(run.played.end(), static_cast<size_t>(samples), 0);
    }
    const double durationMs = static_cast<double>(samples) / kSamplesPerMs;
    audioStarted = audioStarted || audio;
    if (audioStarted && clock < lastArrival) {
      run.streamMs += durationMs;
      if (repeat) run.madeUpMs += durationMs;
    }
    previousAudio = audio;
    clock += durationMs;
  }
  const ve::PlayoutStats stats = selector.Stats();
  run.adjustedMs = static_cast<double>(stats.skippedMs);
  run.late = stats.lateDropped;
  selector.Unprepare();
  return run;
}

struct Quality {
  double delayMeanMs = 0;
  double delayP95Ms = 0;
  double segmentalSnrDb = 0;
  double mutedShare = 0;    // sent speech frames that played (nearly) silent
  double alignedShare = 0;  // played speech frames found in the sent speech
};

struct Match {
  size_t talker = 0;
  int64_t position = 0;
  double correlation = -1;
};

// The best normalised correlation of `frame` (energy `frameEnergy`) with the talker's speech at
// positions [from, to].
void Search(const Talker& talker, size_t index, const int16_t* frame, double frameEnergy, int64_t from, int64_t to,
            Match* best) {
  from = std::max<int64_t>(from, 0);
  to = std::min(to, talker.LastPosition());
  for (int64_t p = from; p <= to; ++p) {
    const double referenceEnergy = talker.FrameEnergy(p);
    if (referenceEnergy <= 0) continue;
    const int16_t* reference = talker.speech.data() + p;
    double product = 0;
    for (int i = 0; i < kFrameSamples; ++i) product += static_cast<double>(frame[i]) * reference[i];
    const double correlation = product / std::sqrt(referenceEnergy * frameEnergy);
    if (correlation > best->correlation) *best = {index, p, correlation};
  }
}

Quality Measure(const std::vector<int16_t>& played, const std::vector<Talker>& talkers) {
  Quality quality;
  std::vector<double> delays;
  double snrSum = 0;
  int64_t referenceFrames = 0;
  int64_t mutedFrames = 0;
  int64_t speechFrames = 0;
  int64_t alignedFrames = 0;
  bool locked = false;
  Match lock;
  // A new place found by the wide search; it becomes the lock once the next speech frame
  // confirms it, so a concealed frame that happens to resemble other speech moves nothing.
  bool havePending = false;
  Match pending;
  const size_t frames = played.size() / kFrameSamples;
  for (size_t f = 0; f < frames; ++f) {
    const int16_t* frame = played.data() + f * kFrameSamples;
    const double playMs = kPlayerStartMs + static_cast<double>(f) * kFrameMs;
    double frameEnergy = 0;
    for (int i = 0; i < kFrameSamples; ++i) frameEnergy += static_cast<double>(frame[i]) * frame[i];
    const double frameRms = std::sqrt(frameEnergy / kFrameSamples);
    const bool speaking = frameRms >= kActiveRms;
    lock.position += kFrameSamples;
    lock.correlation = -1;
    pending.position += kFrameSamples;
    if (speaking && locked) {
      Match tracked{lock.talker, lock.position, -1};
      Search(talkers[lock.talker], lock.talker, frame, frameEnergy, lock.position - kTrackSamples,
             lock.position + kTrackSamples, &tracked);
      if (tracked.correlation > -1) lock = tracked;
      if (havePending) {
        Match confirmed{pending.talker, pending.position, -1};
        Search(talkers[pending.talker], pending.talker, frame, frameEnergy, pending.position - kTrackSamples,
               pending.position + kTrackSamples, &confirmed);
        if (confirmed.correlation >= kRelockCorrelation && confirmed.correlation > lock.correlation + 0.1) {
          lock = confirmed;
        }
        havePending = false;
      }
    }
    if (speaking && lock.correlation < kLockCorrelation) {
      Match wide;
      for (size_t t = 0; t < talkers.size(); ++t) {
        Search(talkers[t], t, frame, frameEnergy, talkers[t].PositionAt(playMs - kWideSearchMs),
               talkers[t].PositionAt(playMs), &wide);
      }
      if (wide.correlation >= kRelockCorrelation && (!locked || wide.correlation > lock.correlation + 0.1)) {
        if (locked) {
          pending = wide;
          havePending = true;
        } else {
          lock = wide;
          locked = true;
        }
      }
    }
    if (speaking) ++speechFrames;
    if (!locked) continue;
    const Talker& talker = talkers[lock.talker];
    if (lock.position > talker.LastPosition()) continue;
    const double referenceEnergy = talker.FrameEnergy(lock.position);
    const bool referenceSpeaks = std::sqrt(referenceEnergy / kFrameSamples) >= kActiveRms;
    if (speaking && lock.correlation >= kLockCorrelation) {
      ++alignedFrames;
      if (referenceSpeaks) delays.push_back(playMs - talker.SendMs(lock.position));
    }
    if (!referenceSpeaks) continue;
    const int16_t* reference = talker.speech.data() + lock.position;
    double error = 0;
    for (int i = 0; i < kFrameSamples; ++i) {
      const double d = static_cast<double>(frame[i]) - reference[i];
      error += d * d;
    }
    const double snr = error > 0 ? 10 * std::log10(referenceEnergy / error) : kSnrMaxDb;
    snrSum += std::clamp(snr, kSnrMinDb, kSnrMaxDb);
    ++referenceFrames;
    if (frameRms < kMuteRms) ++mutedFrames;
  }
  if (!delays.empty()) {
    double sum = 0;
    for (double d : delays) sum += d;
    quality.delayMeanMs = sum / static_cast<double>(delays.size());
    std::sort(delays.begin(), delays.end());
    quality.delayP95Ms = delays[std::min(delays.size() - 1, static_cast<size_t>(0.95 * static_cast<double>(delays.size() - 1) + 0.5))];
  }
  if (referenceFrames > 0) {
    quality.segmentalSnrDb = snrSum / static_cast<double>(referenceFrames);
    quality.mutedShare = static_cast<double>(mutedFrames) / static_cast<double>(referenceFrames);
  }
  if (speechFrames > 0) quality.alignedShare = static_cast<double>(alignedFrames) / static_cast<double>(speechFrames);
  return quality;
}

void PrintRow(const std::string& scenario, const char* path, const PathRun& run, const Quality& q) {
  const double madeUp = run.streamMs > 0 ? 100.0 * run.madeUpMs / run.streamMs : 0;
  std::printf("%-20.20s %-4s %7.1f %7.1f %6.1f %6.1f %6.0f %5lld %6.1f %6.1f\n", scenario.c_str(), path,
              q.delayMeanMs, q.delayP95Ms, madeUp, 100.0 * q.mutedShare, run.adjustedMs,
              static_cast<long long>(run.late), 100.0 * q.alignedShare, q.segmentalSnrDb);
}

bool TakeFlag(int argc, char** argv, const char* prefix, std::string* value) {
  const size_t length = std::strlen(prefix);
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], prefix, length) == 0) {
      *value = argv[i] + length;
      return true;
    }
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  std::string value;
  double durationMs = 20000;
  std::string only;
  if (TakeFlag(argc, argv, "--duration-ms=", &value)) durationMs = std::max(2000.0, std::atof(value.c_str()));
  TakeFlag(argc, argv, "--only=", &only);

  bool spoken = true;
  bool printedHeader = false;
  for (const Scenario& scenario : ve::test::StandardScenarios(durationMs)) {
    if (!only.empty() && scenario.name.find(only) == std::string::npos) continue;
    // The speech goes out in 20 ms packets; the scenarios built around 50 ms ones are left out
    // (the second source of the two-source scenario keeps its 50 ms packets).
    if (scenario.senders[0].frameMs != kFrameMs) continue;
    const Schedule schedule = ve::test::BuildSchedule(scenario);
    std::vector<Talker> talkers = MakeTalkers(scenario, &spoken);
    const std::vector<std::vector<uint8_t>> datagrams = MakeDatagrams(schedule, &talkers, scenario);
    if (!printedHeader) {
      std::printf("Old and new playout on %s, G.711 A-law, virtual time: %.0f s per scenario\n",
                  spoken ? "spoken sentences" : "synthetic voiced sound (no speech tools)", durationMs / 1000);
      std::printf("%-20s %-4s %7s %7s %6s %6s %6s %5s %6s %6s\n", "scenario", "path", "dlyAvg", "dlyP95", "fill%",
                  "mute%", "adjMs", "late", "algn%", "segSNR");
      printedHeader = true;
    }
    const PathRun old = RunSelector(scenario, schedule, datagrams);
    PrintRow(scenario.name, "old", old, Measure(old.played, talkers));
    const PathRun core = RunCore(scenario, schedule, datagrams);
    PrintRow(scenario.name, "new", core, Measure(core.played, talkers));
    std::fflush(stdout);
  }
  std::printf(
      "\nold: decoder + SsrcSelectorFilter (per-source queues of decoded audio); new: PlayoutCore.\n"
      "dlyAvg/dlyP95: play time minus send time of the played 20 ms frames, in ms (20 ms of it is network\n"
      "delay), each frame aligned to the sent speech within +-10 ms; fill%%: audio made up for missing packets\n"
      "(old: the last block repeated; new: concealment) as a share of what played while the stream ran;\n"
      "mute%%: sent speech frames that played silent; adjMs: audio dropped (old) or time-scaled (new) to move\n"
      "the delay; late: packets dropped for coming after their turn; algn%%: played speech frames found in the\n"
      "sent speech; segSNR: mean segmental SNR in dB over sent speech frames (each clamped to -10..35)\n"
      "against the speech as sent, after the per-frame alignment.\n");
  return 0;
}
