// The impairment table of the receive-side playout: every standard scenario is run through a
// fresh SsrcSelectorFilter and one row per scenario is printed. Then a micro-benchmark of a
// queue's Add + Take against a plain heap of the same samples.
//
//   PlayoutBench [--duration-ms=20000] [--speed=2] [--realtime-duration-ms=10000]
//                [--only=substring] [--no-realtime] [--no-table] [benchmark flags]
//
// The first table runs in virtual time (decoder and player interleaved on one thread in media
// time order), so its figures repeat exactly; the second plays one RtpPlayoutQueue directly,
// where an underrun is counted and raises the depth, for comparison; the third runs the decoder
// and player threads in real time, sped up by --speed, and also shows what scheduling adds.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "baseline/RtpPlayoutQueue.h"
#include "baseline/SsrcSelectorFilter.h"
#include "framework/AudioSample.h"
#include "framework/AudioSamplePool.h"
#include "framework/AudioSinkListener.h"
#include "framework/AudioSourceListener.h"
#include "rtp/RtpPacket.h"
// The bench programs do not link the test helper library, so its bench sources are built here.
#include "ImpairmentPlayout.h"
#include "support/ImpairmentScript.h"

namespace {

using ve::AudioSample;
using ve::RtpPlayoutQueue;
using ve::WAVEFORMATEX;
using ve::WAVE_FORMAT_PCM;

constexpr int kBatch = 64;

// Samples of one stream, in a slightly shuffled arrival order (every 8th pair swapped).
std::vector<AudioSample*> MakeStream(int count) {
  std::vector<AudioSample*> samples;
  for (int i = 0; i < count; ++i) {
    samples.push_back(ve::test::MakeDecodedSample(1, static_cast<uint16_t>(i), static_cast<uint32_t>(i) * 160, 20));
  }
  for (int i = 0; i + 1 < count; i += 8) std::swap(samples[static_cast<size_t>(i)], samples[static_cast<size_t>(i + 1)]);
  return samples;
}

// Baseline: the same samples through a binary heap ordered by timestamp, with the reference
// counting a queue does.
void BM_BaselineHeap(benchmark::State& state) {
  std::vector<AudioSample*> samples = MakeStream(kBatch);
  std::vector<std::pair<uint32_t, AudioSample*>> heap;
  heap.reserve(kBatch);
  auto later = [](const auto& a, const auto& b) { return a.first > b.first; };
  for (auto _ : state) {
    for (AudioSample* s : samples) {
      s->AddRef();
      heap.emplace_back(ve::RtpPacketOf(s)->Timestamp(), s);
      std::push_heap(heap.begin(), heap.end(), later);
    }
    while (!heap.empty()) {
      std::pop_heap(heap.begin(), heap.end(), later);
      heap.back().second->Release();
      heap.pop_back();
    }
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
  for (AudioSample* s : samples) s->Release();
}
BENCHMARK(BM_BaselineHeap);

// The playout queue: Add of every sample, then Take until it has handed them all out.
void BM_PlayoutQueueAddTake(benchmark::State& state) {
  std::vector<AudioSample*> samples = MakeStream(kBatch);
  for (auto _ : state) {
    RtpPlayoutQueue queue(1);
    for (AudioSample* s : samples) queue.Add(s);
    for (int i = 0; i < kBatch; ++i) {
      AudioSample* out = nullptr;
      queue.Take(&out);
      if (out != nullptr) out->Release();
    }
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
  for (AudioSample* s : samples) s->Release();
}
BENCHMARK(BM_PlayoutQueueAddTake);

bool TakeFlag(int* argc, char** argv, const char* prefix, std::string* value) {
  size_t length = std::strlen(prefix);
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

// One playout queue played directly, without the selector around it: an empty queue is
// covered by repeats and counted as an underrun instead of being deleted, so its depth can grow
// back. Single-source scenarios only. `lock` stands in for the selector's queuesLock around the
// queue and its counters.
class BareQueuePlayer : public ve::AudioSourceListener, public ve::AudioSinkListener {
 public:
  int32_t TakeNextAudioSample(AudioSample* sample, ve::AudioSinkListener*) override {
    std::lock_guard<std::mutex> guard(lock);
    return queue.Add(sample);
  }
  int32_t GiveNextAudioSample(AudioSample** out, ve::AudioSourceListener*) override {
    {
      std::lock_guard<std::mutex> guard(lock);
      queue.Take(out);
    }
    if (*out == nullptr) {
      ve::AudioSamplePool::Instance()->Get(out);
      WAVEFORMATEX pcm;
      (*out)->SetFormat(ve::GetStandardFormat(&pcm, ve::kFormatPcm16));
      (*out)->SetSilenceMs(20);
    }
    return 0;
  }
  ve::PlayoutStats Stats() {
    std::lock_guard<std::mutex> guard(lock);
    return counters.stats;
  }
  int32_t DepthMs() {
    std::lock_guard<std::mutex> guard(lock);
    return queue.DepthMs();
  }

 private:
  std::mutex lock;
  ve::PlayoutCounters counters;
  RtpPlayoutQueue queue{0, &counters};
};

enum class Subject { kSelector, kBareQueue };

void PrintTable(Subject subject, const ve::test::RunOptions& options, double durationMs, const std::string& only) {
  const char* what = subject == Subject::kSelector ? "through SsrcSelectorFilter" : "one RtpPlayoutQueue alone";
  if (options.virtualTime) {
    std::printf("Impairment table, %s, virtual time (same figures every run): %.0f s of audio per scenario\n", what,
                durationMs / 1000);
  } else {
    std::printf("Impairment table, %s, decoder and player threads at %.1fx real time: %.0f s of audio per "
                "scenario\n",
                what, options.speed, durationMs / 1000);
  }
  std::printf("%s\n", ve::test::FormatHeader().c_str());
  for (const ve::test::Scenario& scenario : ve::test::StandardScenarios(durationMs)) {
    if (!only.empty() && scenario.name.find(only) == std::string::npos) continue;
    ve::test::PlayoutResult result;
    if (subject == Subject::kSelector) {
      ve::SsrcSelectorFilter selector;
      selector.Prepare();
      result = ve::test::RunScenario(scenario, &selector, &selector, options);
      result.AddStats(selector.Stats());
      result.finalDepthMs = selector.CurrentDepthMs();
    } else {
      if (scenario.senders.size() != 1 || scenario.senders[0].ssrcChangeAtMs >= 0) continue;
      BareQueuePlayer player;
      result = ve::test::RunScenario(scenario, &player, &player, options);
      result.AddStats(player.Stats());
      result.finalDepthMs = player.DepthMs();
    }
    std::printf("%s\n", ve::test::FormatRow(result).c_str());
    std::fflush(stdout);
  }
  std::printf("\n");
}

void PrintLegend() {
  std::printf(
      "latAvg/latP95: play time minus send time in ms (20 ms of it is network delay); rep: last sample repeated;\n"
      "dup: a packet played a second time; late/ovfl: dropped on arrival; skip: dropped by depth adaptation;\n"
      "disc: freed with a deleted queue; rst: sender restarts; gapMs/runs: silence inserted while the stream\n"
      "ran and how often audio broke off; drop: current source forgotten (the last one is the end of the\n"
      "stream); dLo/dHi: depth adaptation steps down/up; depth: final target depth (-1: no current source);\n"
      "order: timestamps strictly rising per stream\n\n");
}

}  // namespace

int main(int argc, char** argv) {
  std::string value;
  double speed = 2;
  double durationMs = 20000;
  double realTimeDurationMs = 10000;
  std::string only;
  bool table = true;
  bool realTime = true;
  if (TakeFlag(&argc, argv, "--speed=", &value)) speed = std::max(0.1, std::atof(value.c_str()));
  if (TakeFlag(&argc, argv, "--duration-ms=", &value)) durationMs = std::max(1000.0, std::atof(value.c_str()));
  if (TakeFlag(&argc, argv, "--realtime-duration-ms=", &value)) {
    realTimeDurationMs = std::max(1000.0, std::atof(value.c_str()));
  }
  TakeFlag(&argc, argv, "--only=", &only);
  if (TakeFlag(&argc, argv, "--no-table", &value)) table = false;
  if (TakeFlag(&argc, argv, "--no-realtime", &value)) realTime = false;
  if (table) {
    PrintLegend();
    PrintTable(Subject::kSelector, {.virtualTime = true}, durationMs, only);
    PrintTable(Subject::kBareQueue, {.virtualTime = true}, durationMs, only);
    if (realTime) PrintTable(Subject::kSelector, {.speed = speed}, realTimeDurationMs, only);
  }

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
