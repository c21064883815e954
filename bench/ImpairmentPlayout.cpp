#include "ImpairmentPlayout.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <map>
#include <thread>
#include <tuple>

#include "framework/AudioSample.h"
#include "framework/AudioSamplePool.h"
#include "framework/AudioSinkListener.h"
#include "framework/AudioSourceListener.h"
#include "rtp/RtpPacket.h"

namespace ve::test {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int32_t kComfortNoiseMs = 20;
constexpr int32_t kPcmBytesPerMs = 16;

// Maps media time onto real time from a common start.
struct Pacer {
  Clock::time_point start;
  double speed;
  void SleepUntil(double mediaMs) const {
    auto at = start + std::chrono::microseconds(static_cast<int64_t>(mediaMs * 1000.0 / speed));
    std::this_thread::sleep_until(at);
  }
};

void Push(const ScriptedPacket& packet, AudioSourceListener* input) {
  AudioSample* sample =
      MakeDecodedSample(packet.ssrc, packet.sequence, packet.timestamp, packet.durationMs, packet.payloadType);
  input->TakeNextAudioSample(sample, nullptr);
  sample->Release();
}

// One request of the player at media time `clock`.
PlayRecord Pull(AudioSinkListener* output, double clock, const RunOptions& options) {
  AudioSample* sample = nullptr;
  output->GiveNextAudioSample(&sample, nullptr);
  PlayRecord record{clock, sample, false, 0, 0, 0, options.emptyPullMs};
  if (sample != nullptr) {
    if (const auto* packet = dynamic_cast<const RtpPacket*>(sample->Packet())) {
      record.audio = packet->PayloadType() != kPayloadComfortNoise;
      record.ssrc = packet->Ssrc();
      record.sequence = packet->Sequence();
      record.timestamp = packet->Timestamp();
    }
    record.durationMs = sample->DataSize() > 0 ? sample->DurationMs() : sample->SilenceMs();
    sample->Release();
  }
  // The device plays what it got before it asks again.
  record.durationMs = std::max(record.durationMs, 1);
  return record;
}

void Feed(const Schedule& schedule, AudioSourceListener* input, const Pacer& pacer) {
  for (const ScriptedPacket& packet : schedule.arrivals) {
    pacer.SleepUntil(packet.arriveMs);
    Push(packet, input);
  }
}

void Play(AudioSinkListener* output, const Pacer& pacer, const RunOptions& options, double endMs,
          std::vector<PlayRecord>* plays) {
  for (double clock = options.playerStartMs; clock < endMs;) {
    pacer.SleepUntil(clock);
    plays->push_back(Pull(output, clock, options));
    clock += plays->back().durationMs;
  }
}

// Both sides on the calling thread in media-time order: every arrival due by a request is
// pushed before it.
void RunInVirtualTime(const Schedule& schedule, AudioSourceListener* input, AudioSinkListener* output,
                      const RunOptions& options, double endMs, std::vector<PlayRecord>* plays) {
  size_t next = 0;
  for (double clock = options.playerStartMs; clock < endMs;) {
    while (next < schedule.arrivals.size() && schedule.arrivals[next].arriveMs <= clock) {
      Push(schedule.arrivals[next++], input);
    }
    plays->push_back(Pull(output, clock, options));
    clock += plays->back().durationMs;
  }
}

double Percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  size_t index = static_cast<size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

}  // namespace

AudioSample* MakeDecodedSample(uint32_t ssrc, uint16_t sequence, uint32_t timestamp, int32_t durationMs,
                               uint8_t payloadType) {
  AudioSample* sample = nullptr;
  AudioSamplePool::Instance()->Get(&sample);
  WAVEFORMATEX pcm;
  sample->SetFormat(GetStandardFormat(&pcm, kFormatPcm16));
  if (payloadType == kPayloadComfortNoise) {
    sample->SetDataSize(0);
    sample->SetSilenceMs(kComfortNoiseMs);
  } else {
    int32_t bytes = std::clamp(durationMs * kPcmBytesPerMs, 0, sample->Capacity());
    std::memset(sample->Data(), 0, static_cast<size_t>(bytes));
    sample->SetDataSize(bytes);
  }
  uint8_t header[RtpPacket::kHeaderBytes];
  WriteRtpHeader(header, payloadType, sequence, timestamp, ssrc);
  RtpPacket parsed(header, RtpPacket::kHeaderBytes);
  sample->SetPacket(parsed.CopyHeader());
  return sample;
}

void PlayoutResult::AddStats(const PlayoutStats& stats) {
  lateDropped += stats.lateDropped;
  overflowDropped += stats.overflowDropped;
  skipped += stats.skipped;
  discarded += stats.discarded;
  restarts += stats.restarts;
  rebuffers += stats.rebuffers;
  currentDropped += stats.currentDropped;
  depthLowered += stats.depthLowered;
  depthRaised += stats.depthRaised;
}

PlayoutResult RunScenario(const Scenario& scenario, AudioSourceListener* input, AudioSinkListener* output,
                          const RunOptions& options) {
  Schedule schedule = BuildSchedule(scenario);
  double lastArrival = schedule.arrivals.empty() ? 0 : schedule.arrivals.back().arriveMs;
  double endMs = std::max(lastArrival, scenario.durationMs) + options.tailMs;
  std::vector<PlayRecord> plays;
  plays.reserve(static_cast<size_t>(endMs / 10) + 16);

  if (options.virtualTime) {
    RunInVirtualTime(schedule, input, output, options, endMs, &plays);
  } else {
    Pacer pacer{Clock::now(), options.speed > 0 ? options.speed : 1};
    std::thread decoder([&] { Feed(schedule, input, pacer); });
    std::thread player([&] { Play(output, pacer, options, endMs, &plays); });
    decoder.join();
    player.join();
  }
  return Measure(scenario, schedule, plays);
}

PlayoutResult Measure(const Scenario& scenario, const Schedule& schedule, const std::vector<PlayRecord>& plays) {
  PlayoutResult result;
  result.name = scenario.name;
  result.sent = static_cast<int64_t>(schedule.sent.size());
  result.arrived = static_cast<int64_t>(schedule.arrivals.size());

  std::map<std::tuple<uint32_t, uint16_t, uint32_t>, size_t> byHeader;
  for (size_t i = 0; i < schedule.sent.size(); ++i) {
    const ScriptedPacket& p = schedule.sent[i];
    byHeader.emplace(std::make_tuple(p.ssrc, p.sequence, p.timestamp), i);
  }
  std::vector<bool> playedOnce(schedule.sent.size(), false);
  struct StreamPosition {
    int32_t epoch = -1;
    uint32_t timestamp = 0;
  };
  std::vector<StreamPosition> positions(scenario.senders.size());
  std::vector<double> latencies;

  // Silence after the last arrival is the end of the stream, not a fault.
  const double streamEndMs = schedule.arrivals.empty() ? 0 : schedule.arrivals.back().arriveMs;
  const PlayRecord* previous = nullptr;
  for (const PlayRecord& play : plays) {
    if (!play.audio) {
      if (result.firstAudioMs >= 0 && play.atMs < streamEndMs) {
        ++result.gapMarkers;
        result.gapMs += play.durationMs;
        if (previous != nullptr && previous->audio) ++result.gapRuns;
      }
      previous = &play;
      continue;
    }
    bool again = previous != nullptr && previous->audio && previous->sample == play.sample &&
                 previous->sequence == play.sequence && previous->timestamp == play.timestamp;
    previous = &play;
    if (result.firstAudioMs < 0) result.firstAudioMs = play.atMs;
    if (again) {
      ++result.repeated;
      continue;
    }
    if (std::find(result.playedSsrcs.begin(), result.playedSsrcs.end(), play.ssrc) == result.playedSsrcs.end()) {
      result.playedSsrcs.push_back(play.ssrc);
    }
    auto found = byHeader.find(std::make_tuple(play.ssrc, play.sequence, play.timestamp));
    if (found == byHeader.end()) {
      result.inOrder = false;  // played something never sent
      continue;
    }
    const ScriptedPacket& sent = schedule.sent[found->second];
    if (playedOnce[found->second]) {
      ++result.playedAgain;
    } else {
      playedOnce[found->second] = true;
      ++result.played;
      latencies.push_back(play.atMs - sent.sendMs);
    }
    StreamPosition& position = positions[static_cast<size_t>(sent.sender)];
    if (sent.epoch < position.epoch ||
        (sent.epoch == position.epoch && static_cast<int32_t>(sent.timestamp - position.timestamp) <= 0)) {
      result.inOrder = false;
    }
    position.epoch = sent.epoch;
    position.timestamp = sent.timestamp;
  }
  result.plays = plays;
  if (!latencies.empty()) {
    double sum = 0;
    for (double latency : latencies) sum += latency;
    result.latencyMeanMs = sum / static_cast<double>(latencies.size());
    result.latencyP95Ms = Percentile(latencies, 0.95);
  }
  return result;
}

std::string FormatHeader() {
  char line[256];
  std::snprintf(line, sizeof line,
                "%-22s %5s %5s %5s %6s %6s %4s %4s %4s %4s %4s %4s %4s %5s %4s %4s %4s %4s %5s %5s", "scenario",
                "sent", "arrv", "play", "latAvg", "latP95", "rep", "dup", "late", "ovfl", "skip", "disc", "rst",
                "gapMs", "runs", "drop", "dLo", "dHi", "depth", "order");
  return line;
}

std::string FormatRow(const PlayoutResult& r) {
  char line[256];
  std::snprintf(line, sizeof line,
                "%-22.22s %5lld %5lld %5lld %6.1f %6.1f %4lld %4lld %4lld %4lld %4lld %4lld %4lld %5lld %4lld %4lld "
                "%4lld %4lld %5d %5s",
                r.name.c_str(), static_cast<long long>(r.sent), static_cast<long long>(r.arrived),
                static_cast<long long>(r.played), r.latencyMeanMs, r.latencyP95Ms, static_cast<long long>(r.repeated),
                static_cast<long long>(r.playedAgain), static_cast<long long>(r.lateDropped),
                static_cast<long long>(r.overflowDropped), static_cast<long long>(r.skipped),
                static_cast<long long>(r.discarded), static_cast<long long>(r.restarts),
                static_cast<long long>(r.gapMs), static_cast<long long>(r.gapRuns),
                static_cast<long long>(r.currentDropped), static_cast<long long>(r.depthLowered),
                static_cast<long long>(r.depthRaised), r.finalDepthMs, r.inOrder ? "yes" : "NO");
  return line;
}

std::vector<Scenario> StandardScenarios(double durationMs) {
  std::vector<Scenario> scenarios;
  auto add = [&](const std::string& name, int32_t frameMs, auto&& configure) {
    Scenario s;
    s.name = name;
    s.durationMs = durationMs;
    s.seed = static_cast<uint32_t>(scenarios.size() + 1);
    SenderScript sender;
    sender.frameMs = frameMs;
    s.senders.push_back(sender);
    configure(s);
    scenarios.push_back(s);
  };
  auto none = [](Scenario&) {};
  add("clean 20ms", 20, none);
  add("clean 50ms", 50, none);
  add("loss 5% 20ms", 20, [](Scenario& s) { s.network.randomLoss = 0.05; });
  add("loss 5% 50ms", 50, [](Scenario& s) { s.network.randomLoss = 0.05; });
  add("burst loss 20ms", 20, [](Scenario& s) {
    s.network.burstEnter = 0.02;
    s.network.burstLeave = 0.35;
  });
  add("jitter unif 40 20ms", 20, [](Scenario& s) { s.network.uniformJitterMs = 40; });
  add("jitter unif 80 20ms", 20, [](Scenario& s) { s.network.uniformJitterMs = 80; });
  add("jitter unif 80 50ms", 50, [](Scenario& s) { s.network.uniformJitterMs = 80; });
  add("jitter pareto 20ms", 20, [](Scenario& s) { s.network.paretoJitterMs = 15; });
  add("reorder 10% 20ms", 20, [](Scenario& s) { s.network.reorderRate = 0.10; });
  add("duplicate 5% 20ms", 20, [](Scenario& s) { s.network.duplicateRate = 0.05; });
  add("skew +0.5% 20ms", 20, [](Scenario& s) { s.senders[0].skew = 0.005; });
  add("skew -0.5% 20ms", 20, [](Scenario& s) { s.senders[0].skew = -0.005; });
  add("ssrc change 20ms", 20, [durationMs](Scenario& s) { s.senders[0].ssrcChangeAtMs = durationMs / 2; });
  add("restart 20ms", 20, [durationMs](Scenario& s) { s.senders[0].restartAtMs = durationMs / 2; });
  add("comfort noise 20ms", 20, [](Scenario& s) {
    s.senders[0].talkMs = 2000;
    s.senders[0].silenceMs = 600;
  });
  add("two sources 20/50ms", 20, [](Scenario& s) {
    SenderScript second;
    second.ssrc = 0x0800;
    second.frameMs = 50;
    second.startMs = 7;
    s.senders.push_back(second);
  });
  add("mix: loss+jitter", 20, [](Scenario& s) {
    s.network.randomLoss = 0.03;
    s.network.uniformJitterMs = 30;
    s.network.paretoJitterMs = 5;
    s.network.reorderRate = 0.03;
  });
  return scenarios;
}

}  // namespace ve::test
