// The receive-side playout, old and new, side by side on speech: the same arrivals through
// (a) the baseline, each packet decoded on arrival (G711DecoderFilter, G729DecoderFilter) into
// the SsrcSelectorFilter's per-source queues of decoded audio, and (b) the PlayoutCore, which
// keeps the encoded packets and decodes them at playout. Spoken sentences go out as G.711 A-law
// in 20 ms packets through every impairment scenario, and as G.729 in 50 ms packets (five
// frames each) through a few. One row per scenario and path: the delay of what was played, how
// much was made up for missing packets, and how close it sounds to what was sent. Then a
// micro-benchmark of the PlayoutCore's Put and Get.
//
//   PlayoutBench [--duration-ms=20000] [--only=substring] [--no-table] [benchmark flags]
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
// moves by time-scaling or by skipping is not counted as an error. The reference is the speech
// as the codec delivers it on a clean channel (A-law coded, or G.729 decoded without loss).

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "ImpairmentScript.h"
#include "audio/PlayoutCore.h"
#include "baseline/SsrcSelectorFilter.h"
#include "codecs/G711Codec.h"
#include "codecs/G711DecoderFilter.h"
#include "codecs/G729Codec.h"
#include "codecs/G729DecoderFilter.h"
#include "framework/AudioSample.h"
#include "framework/AudioSamplePool.h"
#include "framework/AudioSinkListener.h"
#include "framework/AudioSourceListener.h"
#include "framework/SampleList.h"
#include "rtp/PayloadTypes.h"
#include "rtp/RtpPacket.h"
#include "support/RtpBytes.h"
#include "support/SpeechSynth.h"

namespace {

using ve::bench::Scenario;
using ve::bench::Schedule;
using ve::bench::ScriptedPacket;

constexpr int kSamplesPerMs = 8;
constexpr int kFrameMs = 20;
constexpr int kFrameSamples = kFrameMs * kSamplesPerMs;
using ve::kPayloadG729;
using ve::kPayloadPcma;
constexpr int kG729FrameSamples = 80;
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
constexpr double kSnrToleranceDb = 0.5;  // the core may sound this much worse and still count as even

// How the senders code their speech.
struct Codec {
  const char* name;
  uint8_t payloadType;
  int32_t packetMs;  // of the first sender; the scenario's senders say their own
};
constexpr Codec kG711{"G.711", kPayloadPcma, 20};
constexpr Codec kG729{"G.729", kPayloadG729, 50};

// Delay spikes of a mobile link: every few seconds the path stalls for 200-400 ms and what was
// sent meanwhile arrives at once when it clears.
struct Spikes {
  double firstMs = 3000;
  double everyMinMs = 3000;
  double everyMaxMs = 6000;
  double minMs = 200;
  double maxMs = 400;
};

struct BenchScenario {
  Scenario scenario;
  const Codec* codec;
  bool spikes = false;
};

// The scenarios of the table: every impairment for G.711 in 20 ms packets, the main ones for
// G.729 in 50 ms packets.
std::vector<BenchScenario> Scenarios(double durationMs) {
  std::vector<BenchScenario> scenarios;
  auto add = [&](const Codec& codec, const std::string& name, auto&& configure, bool spikes = false) {
    BenchScenario b{{}, &codec, spikes};
    b.scenario.name = name;
    b.scenario.durationMs = durationMs;
    b.scenario.seed = static_cast<uint32_t>(scenarios.size() + 1);
    ve::bench::SenderScript sender;
    sender.frameMs = codec.packetMs;
    b.scenario.senders.push_back(sender);
    configure(b.scenario);
    scenarios.push_back(b);
  };
  auto none = [](Scenario&) {};
  auto loss = [](Scenario& s) { s.network.randomLoss = 0.05; };
  auto burst = [](Scenario& s) {
    s.network.burstEnter = 0.02;
    s.network.burstLeave = 0.35;
  };
  auto jitter80 = [](Scenario& s) { s.network.uniformJitterMs = 80; };
  auto pareto = [](Scenario& s) { s.network.paretoJitterMs = 15; };
  // Spikes over a path that also jitters a little and loses 1 %.
  auto mobile = [](Scenario& s) {
    s.network.uniformJitterMs = 20;
    s.network.randomLoss = 0.01;
  };
  add(kG711, "clean", none);
  add(kG711, "loss 5%", loss);
  add(kG711, "burst loss", burst);
  add(kG711, "jitter unif 40", [](Scenario& s) { s.network.uniformJitterMs = 40; });
  add(kG711, "jitter unif 80", jitter80);
  add(kG711, "jitter pareto", pareto);
  add(kG711, "reorder 10%", [](Scenario& s) { s.network.reorderRate = 0.10; });
  add(kG711, "duplicate 5%", [](Scenario& s) { s.network.duplicateRate = 0.05; });
  add(kG711, "skew +0.5%", [](Scenario& s) { s.senders[0].skew = 0.005; });
  add(kG711, "skew -0.5%", [](Scenario& s) { s.senders[0].skew = -0.005; });
  add(kG711, "ssrc change", [durationMs](Scenario& s) { s.senders[0].ssrcChangeAtMs = durationMs / 2; });
  add(kG711, "restart", [durationMs](Scenario& s) { s.senders[0].restartAtMs = durationMs / 2; });
  add(kG711, "comfort noise", [](Scenario& s) {
    s.senders[0].talkMs = 2000;
    s.senders[0].silenceMs = 600;
  });
  add(kG711, "two sources 20/50", [](Scenario& s) {
    ve::bench::SenderScript second;
    second.ssrc = 0x0800;
    second.frameMs = 50;
    second.startMs = 7;
    s.senders.push_back(second);
  });
  add(kG711, "mobile spikes", mobile, true);
  add(kG729, "clean", none);
  add(kG729, "loss 5%", loss);
  add(kG729, "burst loss", burst);
  add(kG729, "jitter unif 80", jitter80);
  add(kG729, "jitter pareto", pareto);
  add(kG729, "mobile spikes", mobile, true);
  return scenarios;
}

// Holds back every arrival sent during a spike until the spike clears.
void AddDelaySpikes(const Spikes& spikes, uint32_t seed, Schedule* schedule) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  std::vector<std::pair<double, double>> stalls;  // start and end, in send time
  const double lastSendMs = schedule->sent.empty() ? 0 : schedule->sent.back().sendMs;
  for (double at = spikes.firstMs; at < lastSendMs;
       at += spikes.everyMinMs + (spikes.everyMaxMs - spikes.everyMinMs) * uniform(rng)) {
    stalls.emplace_back(at, at + spikes.minMs + (spikes.maxMs - spikes.minMs) * uniform(rng));
  }
  for (ScriptedPacket& arrival : schedule->arrivals) {
    for (const auto& [start, end] : stalls) {
      if (arrival.sendMs >= start && arrival.sendMs < end) {
        arrival.arriveMs = std::max(arrival.arriveMs, end + (arrival.arriveMs - arrival.sendMs));
      }
    }
  }
  std::stable_sort(schedule->arrivals.begin(), schedule->arrivals.end(),
                   [](const ScriptedPacket& a, const ScriptedPacket& b) { return a.arriveMs < b.arriveMs; });
}

// The speech of one sender, as it went out (as decoded on a clean channel, zero where the
// script pauses), indexed by the sender's own sample clock; sample i left at
// startMs + i / 8 / (1 + skew).
struct Talker {
  std::vector<int16_t> speech;
  std::vector<uint8_t> g729Frames;  // G.729: every 10 ms of the speech coded, in order
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

// Codes the talker's speech with G.729 in one pass, as the sender's encoder sees it, and
// replaces the speech by what a decoder that receives every frame makes of it.
void CodeG729(Talker* talker) {
  talker->speech.resize(talker->speech.size() / kG729FrameSamples * kG729FrameSamples);
  const size_t frames = talker->speech.size() / kG729FrameSamples;
  talker->g729Frames.assign(frames * ve::G729Codec::kFrameBytes, 0);
  ve::G729Codec encoder;
  ve::G729Codec decoder;
  for (size_t f = 0; f < frames; ++f) {
    auto* pcm = reinterpret_cast<uint8_t*>(talker->speech.data() + f * kG729FrameSamples);
    uint8_t* frame = talker->g729Frames.data() + f * ve::G729Codec::kFrameBytes;
    int32_t length = ve::G729Codec::kFrameBytes;
    (void)encoder.Encode(pcm, ve::G729Codec::kBlockBytes, frame, length);
    length = ve::G729Codec::kBlockBytes;
    (void)decoder.Decode(frame, ve::G729Codec::kFrameBytes, pcm, length);
  }
}

std::vector<Talker> MakeTalkers(const Scenario& scenario, const Codec& codec, bool* spoken) {
  static const char* const kVoices[] = {"en-us", "en-gb"};
  std::vector<Talker> talkers;
  for (size_t i = 0; i < scenario.senders.size(); ++i) {
    const ve::bench::SenderScript& script = scenario.senders[i];
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
      if (codec.payloadType == kPayloadPcma) {
        talker.speech[n] = ve::G711Codec::ALawToLinear(ve::G711Codec::LinearToALaw(talker.speech[n]));
      }
    }
    if (codec.payloadType == kPayloadG729) CodeG729(&talker);
    talker.energy.assign(talker.speech.size() + 1, 0);
    for (size_t n = 0; n < talker.speech.size(); ++n) {
      talker.energy[n + 1] = talker.energy[n] + static_cast<double>(talker.speech[n]) * talker.speech[n];
    }
    talkers.push_back(std::move(talker));
  }
  return talkers;
}

// Appends the payload carrying `samples` of the talker's speech from `first` on: A-law, or
// the G.729 frames coded from them (zero bytes past the end of what was coded).
void AppendPayload(const Codec& codec, const Talker& talker, size_t first, size_t samples, std::vector<uint8_t>* bytes) {
  if (codec.payloadType == kPayloadG729) {
    const size_t frameBytes = static_cast<size_t>(ve::G729Codec::kFrameBytes);
    for (size_t i = first / kG729FrameSamples * frameBytes, n = 0; n < samples / kG729FrameSamples * frameBytes;
         ++i, ++n) {
      bytes->push_back(i < talker.g729Frames.size() ? talker.g729Frames[i] : 0);
    }
    return;
  }
  for (size_t i = first; i < first + samples; ++i) {
    bytes->push_back(ve::G711Codec::LinearToALaw(i < talker.speech.size() ? talker.speech[i] : 0));
  }
}

// The datagrams of every sent packet (by send index): the speech as A-law or G.729 frames, a
// one-byte comfort-noise level for a pause, the marker bit on the first packet of each talk
// spurt. Also notes how far each talker's speech went out.
std::vector<std::vector<uint8_t>> MakeDatagrams(const Schedule& schedule, std::vector<Talker>* talkers,
                                                const Scenario& scenario, const Codec& codec) {
  std::vector<std::vector<uint8_t>> datagrams(schedule.sent.size());
  std::vector<bool> spurtStarts(talkers->size(), true);
  for (const ScriptedPacket& packet : schedule.sent) {
    const size_t sender = static_cast<size_t>(packet.sender);
    Talker& talker = (*talkers)[sender];
    std::vector<uint8_t>& bytes = datagrams[static_cast<size_t>(packet.index)];
    const bool pause = packet.payloadType == ve::kPayloadComfortNoise;
    const uint8_t payloadType = pause ? ve::kPayloadComfortNoise : codec.payloadType;
    const size_t samples = static_cast<size_t>(packet.durationMs * kSamplesPerMs);
    bytes.resize(ve::RtpPacket::kHeaderBytes);
    ve::test::WriteRtpHeader(bytes.data(), payloadType, packet.sequence, packet.timestamp, packet.ssrc,
                             !pause && spurtStarts[sender]);
    spurtStarts[sender] = pause;
    if (pause) {
      bytes.push_back(kComfortNoiseLevel);
      continue;
    }
    // The packet's place in the sender's media: its send slot times the packet length.
    const double intervalMs = talker.packetMs / (1.0 + scenario.senders[sender].skew);
    const int64_t slot = std::llround((packet.sendMs - talker.startMs) / intervalMs);
    const size_t first = static_cast<size_t>(slot * talker.packetMs * kSamplesPerMs);
    talker.sentEnd = std::max(talker.sentEnd, static_cast<int64_t>(first + samples));
    AppendPayload(codec, talker, first, samples, &bytes);
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
  // The core's steps of delay change up to the end of the first talk spurt, and in all.
  int64_t earlyDelayChanges = 0;
  int64_t delayChanges = 0;
};

// Hands each packet that has arrived by `clockMs` (from `*next` on) to `take`, parsed.
template <typename Take>
void DeliverArrivals(const Schedule& schedule, const std::vector<std::vector<uint8_t>>& datagrams, double clockMs,
                     size_t* next, Take&& take) {
  for (; *next < schedule.arrivals.size() && schedule.arrivals[*next].arriveMs <= clockMs; ++*next) {
    const ScriptedPacket& arrival = schedule.arrivals[*next];
    const std::vector<uint8_t>& bytes = datagrams[static_cast<size_t>(arrival.index)];
    std::unique_ptr<ve::RtpPacket> packet(ve::RtpPacket::Parse(bytes.data(), static_cast<int32_t>(bytes.size())));
    if (packet) take(*packet, arrival);
  }
}

double EndMs(const Schedule& schedule, const Scenario& scenario) {
  const double lastArrival = schedule.arrivals.empty() ? 0 : schedule.arrivals.back().arriveMs;
  return std::max(lastArrival, scenario.durationMs) + kTailMs;
}

// `firstSpurtEndMs`: when the last packet of the first talk spurt has arrived.
PathRun RunCore(const Scenario& scenario, const Schedule& schedule,
                const std::vector<std::vector<uint8_t>>& datagrams, double firstSpurtEndMs) {
  PathRun run;
  ve::PlayoutCore core;
  const double lastArrival = schedule.arrivals.empty() ? 0 : schedule.arrivals.back().arriveMs;
  const double endMs = EndMs(schedule, scenario);
  size_t next = 0;
  bool counted = false;
  bool firstSpurtCounted = false;
  for (double clock = kPlayerStartMs; clock < endMs; clock += kFrameMs) {
    DeliverArrivals(schedule, datagrams, clock, &next, [&](const ve::RtpPacket& packet, const ScriptedPacket& arrival) {
      core.Put(packet, kClockBaseMs + static_cast<uint32_t>(arrival.arriveMs));
    });
    if (!firstSpurtCounted && clock >= firstSpurtEndMs) {
      run.earlyDelayChanges = core.Stats().delayChanges;
      firstSpurtCounted = true;
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
  run.delayChanges = stats.delayChanges;
  return run;
}

// The decoding stage of the old chain: the packet's payload, carrying the packet parsed over
// its datagram as the receive side hands it on, through the codec's decoder filter, which hands
// on 16-bit PCM carrying a header copy of the packet (a comfort-noise packet becomes a 20 ms
// gap marker).
ve::AudioSample* DecodeForSelector(const std::vector<uint8_t>& datagram, ve::CodecFilter& decoder) {
  ve::RtpPacket* parsed = ve::RtpPacket::Parse(datagram.data(), static_cast<int32_t>(datagram.size()));
  if (parsed == nullptr) return nullptr;
  const ve::RtpPacket& packet = *parsed;
  ve::AudioSample* input = nullptr;
  ve::AudioSamplePool::Instance()->Get(&input);
  input->SetPacket(parsed);
  if (packet.PayloadType() == ve::kPayloadComfortNoise) {
    input->SetDataSize(0);
    input->SetSilenceMs(kFrameMs);
  } else {
    const int32_t count = std::min(packet.PayloadUsage(), input->Capacity());
    std::memcpy(input->Data(), packet.Payload(), static_cast<size_t>(count));
    input->SetDataSize(count);
  }
  ve::SampleList inputs;
  inputs.Add(input, nullptr);
  ve::AudioSample* output = nullptr;
  decoder.Transform(&inputs, &output);
  inputs.ReleaseAll();
  return output;
}

PathRun RunSelector(const Scenario& scenario, const Schedule& schedule,
                    const std::vector<std::vector<uint8_t>>& datagrams, const Codec& codec) {
  PathRun run;
  ve::G711DecoderFilter g711;
  g711.SetALaw();
  ve::G729DecoderFilter g729;
  ve::CodecFilter& decoder = codec.payloadType == kPayloadG729 ? static_cast<ve::CodecFilter&>(g729) : g711;
  ve::SsrcSelectorFilter selector;
  // As the engine sets it up: gap markers of one packet's length.
  selector.SetFrameMs(scenario.senders[0].frameMs);
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
    DeliverArrivals(schedule, datagrams, clock, &next, [&](const ve::RtpPacket&, const ScriptedPacket& arrival) {
      ve::AudioSample* sample = DecodeForSelector(datagrams[static_cast<size_t>(arrival.index)], decoder);
      if (sample == nullptr) return;
      input->TakeNextAudioSample(sample, nullptr);
      sample->Release();
    });
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

// When the last packet of the first sender's first talk spurt arrives: the first pause it
// announces with comfort noise, or else the first 200 ms of quiet after speech in what it says.
double FirstSpurtEndMs(const Talker& talker, const Schedule& schedule) {
  constexpr int kQuietFrames = 10;
  double endSendMs = -1;
  bool spoke = false;
  int quiet = 0;
  for (int64_t p = 0; p <= talker.LastPosition() && endSendMs < 0; p += kFrameSamples) {
    if (std::sqrt(talker.FrameEnergy(p) / kFrameSamples) >= kActiveRms) {
      spoke = true;
      quiet = 0;
    } else if (spoke && ++quiet == kQuietFrames) {
      endSendMs = talker.SendMs(p - (kQuietFrames - 1) * kFrameSamples);
    }
  }
  for (const ScriptedPacket& arrival : schedule.arrivals) {
    if (arrival.sender != 0) continue;
    if (arrival.payloadType == ve::kPayloadComfortNoise || (endSendMs >= 0 && arrival.sendMs >= endSendMs)) {
      return arrival.arriveMs;
    }
  }
  return std::numeric_limits<double>::max();
}

void PrintRow(const BenchScenario& bench, const char* path, const PathRun& run, const Quality& q) {
  const double madeUp = run.streamMs > 0 ? 100.0 * run.madeUpMs / run.streamMs : 0;
  std::printf("%-6s %-18.18s %-4s %7.1f %7.1f %6.1f %6.1f %6.0f %5lld %6.1f %6.1f\n", bench.codec->name,
              bench.scenario.name.c_str(), path, q.delayMeanMs, q.delayP95Ms, madeUp, 100.0 * q.mutedShare,
              run.adjustedMs, static_cast<long long>(run.late), 100.0 * q.alignedShare, q.segmentalSnrDb);
}

// How the core fared against the baseline over one codec's scenarios.
struct Verdict {
  std::string slower;   // scenarios where the core's mean delay is not lower
  std::string noisier;  // scenarios where its segmental SNR is lower by more than the tolerance
  int64_t cleanEarlyChanges = -1;
  int64_t cleanChanges = -1;

  void Add(const BenchScenario& bench, const Quality& old, const Quality& core, const PathRun& coreRun) {
    char figures[96];
    if (core.delayMeanMs >= old.delayMeanMs) {
      std::snprintf(figures, sizeof figures, "%s%s (%.1f vs %.1f ms)", slower.empty() ? "" : ", ",
                    bench.scenario.name.c_str(), core.delayMeanMs, old.delayMeanMs);
      slower += figures;
    }
    if (core.segmentalSnrDb < old.segmentalSnrDb - kSnrToleranceDb) {
      std::snprintf(figures, sizeof figures, "%s%s (%.1f vs %.1f dB)", noisier.empty() ? "" : ", ",
                    bench.scenario.name.c_str(), core.segmentalSnrDb, old.segmentalSnrDb);
      noisier += figures;
    }
    if (bench.scenario.name == "clean") {
      cleanEarlyChanges = coreRun.earlyDelayChanges;
      cleanChanges = coreRun.delayChanges;
    }
  }

  void Print(const Codec& codec) const {
    std::printf("%s: core's mean delay lower than the baseline's on every scenario: %s%s; segmental SNR within "
                "%.1f dB or better on every scenario: %s%s",
                codec.name, slower.empty() ? "yes" : "NO, not on ", slower.c_str(), kSnrToleranceDb,
                noisier.empty() ? "yes" : "NO, not on ", noisier.c_str());
    if (cleanChanges >= 0) {
      std::printf("; clean: %lld delay steps up to the end of the first talk spurt, %lld after it (delay %s after "
                  "the first talk spurt)",
                  static_cast<long long>(cleanEarlyChanges), static_cast<long long>(cleanChanges - cleanEarlyChanges),
                  cleanChanges > cleanEarlyChanges ? "CHANGED" : "unchanged");
    }
    std::printf("\n");
  }
};

// The packets of a stream of `count` packets of the codec carrying `talker`'s speech, in order.
std::vector<std::vector<uint8_t>> MakeStream(const Codec& codec, const Talker& talker, int count) {
  const int32_t samples = codec.packetMs * kSamplesPerMs;
  std::vector<std::vector<uint8_t>> datagrams(static_cast<size_t>(count));
  for (int n = 0; n < count; ++n) {
    std::vector<uint8_t>& bytes = datagrams[static_cast<size_t>(n)];
    bytes.resize(ve::RtpPacket::kHeaderBytes);
    AppendPayload(codec, talker, static_cast<size_t>(n * samples), static_cast<size_t>(samples), &bytes);
    ve::test::WriteRtpHeader(bytes.data(), codec.payloadType, static_cast<uint16_t>(n),
                             static_cast<uint32_t>(n * samples), 1, n == 0);
  }
  return datagrams;
}

// The core's cost per packet: Put of a 20 ms G.711 packet (or a 50 ms G.729 one) as it arrives
// and the Gets that play it, in order, on a clean stream.
void BM_PlayoutCorePutGet(benchmark::State& state) {
  const Codec& codec = state.range(0) == kPayloadG729 ? kG729 : kG711;
  constexpr int kPackets = 50;
  Talker talker;
  talker.speech.resize(static_cast<size_t>(kPackets * codec.packetMs * kSamplesPerMs));
  for (size_t i = 0; i < talker.speech.size(); ++i) {
    talker.speech[i] = static_cast<int16_t>(8000 * std::sin(2 * M_PI * 440 * static_cast<double>(i) / 8000));
  }
  if (codec.payloadType == kPayloadG729) CodeG729(&talker);
  std::vector<std::unique_ptr<ve::RtpPacket>> packets;
  for (const std::vector<uint8_t>& bytes : MakeStream(codec, talker, kPackets)) {
    packets.emplace_back(ve::RtpPacket::Parse(bytes.data(), static_cast<int32_t>(bytes.size())));
  }
  ve::PlayoutCore core;
  int16_t out[ve::PlayoutCore::kBlockSamples];
  uint32_t nowMs = kClockBaseMs;
  for (auto _ : state) {
    core.Reset();
    for (const std::unique_ptr<ve::RtpPacket>& packet : packets) {
      core.Put(*packet, nowMs);
      for (int32_t played = 0; played < codec.packetMs; played += 10) {
        core.Get(out, nowMs);
        nowMs += 10;
      }
    }
    benchmark::DoNotOptimize(out);
  }
  state.SetItemsProcessed(state.iterations() * kPackets);
}
BENCHMARK(BM_PlayoutCorePutGet)->Arg(kPayloadPcma)->Arg(kPayloadG729);

bool TakeFlag(int* argc, char** argv, const char* prefix, std::string* value) {
  const size_t length = std::strlen(prefix);
  for (int i = 1; i < *argc; ++i) {
    if (std::strncmp(argv[i], prefix, length) == 0) {
      *value = argv[i] + length;
      for (int j = i; j + 1 < *argc; ++j) argv[j] = argv[j + 1];
      --*argc;
      return true;
    }
  }
  return false;
}

void PrintTable(double durationMs, const std::string& only) {
  bool spoken = true;
  bool printedHeader = false;
  std::vector<Verdict> verdicts(2);
  const Codec* codecs[] = {&kG711, &kG729};
  for (const BenchScenario& bench : Scenarios(durationMs)) {
    const std::string label = std::string(bench.codec->name) + " " + bench.scenario.name;
    if (!only.empty() && label.find(only) == std::string::npos) continue;
    Schedule schedule = ve::bench::BuildSchedule(bench.scenario);
    if (bench.spikes) AddDelaySpikes(Spikes{}, bench.scenario.seed, &schedule);
    std::vector<Talker> talkers = MakeTalkers(bench.scenario, *bench.codec, &spoken);
    const std::vector<std::vector<uint8_t>> datagrams = MakeDatagrams(schedule, &talkers, bench.scenario, *bench.codec);
    if (!printedHeader) {
      std::printf("Old and new playout on %s, G.711 A-law in 20 ms packets, G.729 in 50 ms packets, virtual time: "
                  "%.0f s per scenario\n",
                  spoken ? "spoken sentences" : "synthetic voiced sound (no speech tools)", durationMs / 1000);
      std::printf("%-6s %-18s %-4s %7s %7s %6s %6s %6s %5s %6s %6s\n", "codec", "scenario", "path", "dlyAvg",
                  "dlyP95", "conc%", "mute%", "adjMs", "late", "algn%", "segSNR");
      printedHeader = true;
    }
    const PathRun old = RunSelector(bench.scenario, schedule, datagrams, *bench.codec);
    const Quality oldQuality = Measure(old.played, talkers);
    PrintRow(bench, "old", old, oldQuality);
    const PathRun core = RunCore(bench.scenario, schedule, datagrams, FirstSpurtEndMs(talkers[0], schedule));
    const Quality coreQuality = Measure(core.played, talkers);
    PrintRow(bench, "new", core, coreQuality);
    verdicts[bench.codec == &kG729 ? 1 : 0].Add(bench, oldQuality, coreQuality, core);
    std::fflush(stdout);
  }
  std::printf(
      "\nold: decoder filter + SsrcSelectorFilter (per-source queues of decoded audio); new: PlayoutCore.\n"
      "dlyAvg/dlyP95: play time minus send time of the played 20 ms frames, in ms (20 ms of it is network\n"
      "delay), each frame aligned to the sent speech within +-10 ms; conc%%: audio made up for missing packets\n"
      "(old: the last block repeated; new: concealment) as a share of what played while the stream ran;\n"
      "mute%%: sent speech frames that played silent; adjMs: audio dropped (old) or time-scaled (new) to move\n"
      "the delay; late: packets dropped for coming after their turn; algn%%: played speech frames found in the\n"
      "sent speech; segSNR: mean segmental SNR in dB over sent speech frames (each clamped to -10..35)\n"
      "against the speech as the codec delivers it on a clean channel, after the per-frame alignment.\n"
      "mobile spikes: 1%% loss, 0-20 ms jitter, and every 3-6 s a 200-400 ms stall after which what was sent\n"
      "meanwhile arrives at once.\n\n");
  for (size_t c = 0; c < verdicts.size(); ++c) verdicts[c].Print(*codecs[c]);
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  std::string value;
  double durationMs = 20000;
  std::string only;
  bool table = true;
  if (TakeFlag(&argc, argv, "--duration-ms=", &value)) durationMs = std::max(2000.0, std::atof(value.c_str()));
  TakeFlag(&argc, argv, "--only=", &only);
  if (TakeFlag(&argc, argv, "--no-table", &value)) table = false;
  if (table) PrintTable(durationMs, only);

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
