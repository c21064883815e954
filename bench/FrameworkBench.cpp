// Cost of moving one 20 ms sample through a source -> 3 filters -> sink chain with the
// framework's push cycle, against a baseline that does the same copying work with plain calls.
// Reports the framework/baseline ratio and the pool's created count (it must stay small).

#include <benchmark/benchmark.h>

#include <cstring>

#include "framework/AudioFilter.h"
#include "framework/AudioSample.h"
#include "framework/AudioSamplePool.h"
#include "framework/VolumeFilter.h"

namespace {

using namespace ve;

constexpr int kFrameBytes = 320;

// Copies its input into a new pooled sample, as codec and equaliser stages do.
class CopyFilter : public AudioFilter {
 public:
  int32_t Transform(SampleList* inputs, AudioSample** out) override {
    AudioSample* in = inputs->First();
    if (in == nullptr) return 0;
    AudioSample* sample = nullptr;
    AudioSamplePool::Instance()->Get(&sample);
    sample->SetFormat(&in->Format());
    std::memcpy(sample->Data(), in->Data(), in->DataSize());
    sample->SetDataSize(in->DataSize());
    *out = sample;
    return 0;
  }
};

class CountingSink : public AudioSink {
 public:
  int64_t bytes = 0;

 protected:
  int32_t ProcessSamples(SampleList* list) override {
    for (const auto& entry : *list) bytes += entry.sample->DataSize();
    return 0;
  }
};

class PushSource : public AudioSource {
 public:
  void PushOne(AudioSample* sample) { PushToListeners(sample, nullptr); }
};

void BM_FrameworkChain(benchmark::State& state) {
  PushSource source;
  CopyFilter first, second;
  VolumeFilter volume;
  volume.SetLevel(80);
  CountingSink sink;
  Connect(&source, first.AsSink());
  Connect(first.AsSource(), second.AsSink());
  Connect(second.AsSource(), volume.AsSink());
  Connect(volume.AsSource(), &sink);
  sink.Open();
  WAVEFORMATEX pcm;
  GetStandardFormat(&pcm, kFormatPcm16);
  for (auto _ : state) {
    AudioSample* sample = nullptr;
    AudioSamplePool::Instance()->Get(&sample);
    sample->SetFormat(&pcm);
    std::memset(sample->Data(), 1, kFrameBytes);
    sample->SetDataSize(kFrameBytes);
    source.PushOne(sample);
    sample->Release();
  }
  benchmark::DoNotOptimize(sink.bytes);
  state.counters["pool_created"] = AudioSamplePool::Instance()->CreatedCount();
  state.SetItemsProcessed(state.iterations());
  Disconnect(volume.AsSource(), &sink);
  Disconnect(second.AsSource(), volume.AsSink());
  Disconnect(first.AsSource(), second.AsSink());
  Disconnect(&source, first.AsSink());
}

// The same work without the framework: two copies and an in-place scale of 160 values.
void BM_BaselinePlainCalls(benchmark::State& state) {
  alignas(16) static uint8_t a[kFrameBytes], b[kFrameBytes], c[kFrameBytes];
  int64_t bytes = 0;
  const double gain = 0.64;
  for (auto _ : state) {
    std::memset(a, 1, kFrameBytes);
    std::memcpy(b, a, kFrameBytes);
    std::memcpy(c, b, kFrameBytes);
    for (int i = 0; i < kFrameBytes / 2; ++i) {
      int16_t v;
      std::memcpy(&v, c + 2 * i, 2);
      v = static_cast<int16_t>(gain * v);
      std::memcpy(c + 2 * i, &v, 2);
    }
    benchmark::DoNotOptimize(c);
    bytes += kFrameBytes;
  }
  benchmark::DoNotOptimize(bytes);
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_BaselinePlainCalls);
BENCHMARK(BM_FrameworkChain);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  // Collect both results to print the ratio after the table.
  struct Collector : benchmark::ConsoleReporter {
    double baseline = 0, framework = 0;
    void ReportRuns(const std::vector<Run>& runs) override {
      for (const Run& run : runs) {
        double ns = run.GetAdjustedCPUTime();
        if (run.benchmark_name().find("Baseline") != std::string::npos) baseline = ns;
        if (run.benchmark_name().find("FrameworkChain") != std::string::npos) framework = ns;
      }
      ConsoleReporter::ReportRuns(runs);
    }
  } reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  if (reporter.baseline > 0) {
    std::printf("framework chain / plain calls: %.2fx (%.0f ns vs %.0f ns per 20 ms sample)\n",
                reporter.framework / reporter.baseline, reporter.framework, reporter.baseline);
  }
  std::printf("pool created count: %d\n", AudioSamplePool::Instance()->CreatedCount());
  benchmark::Shutdown();
  return 0;
}
