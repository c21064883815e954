// Cost per sample of the voice-processing stages on a speech-like signal: the 29-tap FIR of
// the equaliser, the voice activity detector and the level compressor. Each is shown against a
// baseline measured in the same run:
// - FIR: the same filter written plainly, shifting its history by one for every sample;
// - VAD: the summed energy of the signal's first difference (the least such a detector costs);
// - compressor: the same algorithm calling the logarithm for every sample, whose output the
//   table-driven compressor must reproduce exactly (checked before timing).

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "audio/FirFilter.h"
#include "codecs/LevelCompressor.h"
#include "codecs/VoiceActivityDetector.h"

namespace {

constexpr int32_t kSamples = 1600;  // ten 20 ms blocks per iteration
constexpr int32_t kBlock = 160;
constexpr int32_t kTaps = 29;

// The equaliser's send set, symmetric about its centre tap.
std::vector<double> Taps() {
  const double half[15] = {0.001554, -0.004377, -0.017541, -0.009891, -0.005435, -0.014788, -0.015432, -0.013299,
                           -0.026527, 0.012746, -0.061046, 0.020939, -0.12897,  -0.165718, 0.853968};
  std::vector<double> taps(kTaps);
  for (int k = 0; k < 15; ++k) taps[k] = taps[kTaps - 1 - k] = half[k];
  return taps;
}

// Loud talk spurts with pauses of low noise, so the compressor and the detector both switch.
std::vector<int16_t> MakeSignal() {
  std::vector<int16_t> signal(kSamples);
  uint32_t seed = 99;
  for (int32_t i = 0; i < kSamples; ++i) {
    seed = seed * 1664525u + 1013904223u;
    bool talking = (i / 400) % 2 == 0;
    double tones = 20000 * std::sin(i * 0.13) + 9000 * std::sin(i * 0.41 + 0.5);
    double noise = static_cast<int32_t>(seed >> 22) - 512;
    signal[i] = static_cast<int16_t>(std::clamp((talking ? tones : 0.0) + noise, -32768.0, 32767.0));
  }
  return signal;
}

const std::vector<int16_t>& Signal() {
  static const std::vector<int16_t> signal = MakeSignal();
  return signal;
}

void Fir(benchmark::State& state) {
  const std::vector<double> taps = Taps();
  ve::FirFilter16 fir(taps.data(), kTaps);
  std::vector<int16_t> out(kSamples);
  for (auto _ : state) {
    for (int32_t b = 0; b < kSamples; b += kBlock) fir.Process(Signal().data() + b, out.data() + b, kBlock);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kSamples);
}

// The plain form: history newest first, shifted by one for every input.
void BaselineFirShifting(benchmark::State& state) {
  const std::vector<double> taps = Taps();
  std::vector<int32_t> history(kTaps, 0);
  std::vector<int16_t> out(kSamples);
  for (auto _ : state) {
    for (int32_t i = 0; i < kSamples; ++i) {
      for (int32_t k = kTaps - 1; k > 0; --k) history[k] = history[k - 1];
      history[0] = Signal()[i];
      double y = 0.0;
      for (int32_t k = 0; k < kTaps; ++k) y += history[k] * taps[k];
      out[i] = static_cast<int16_t>(std::clamp(y, -32768.0, 32767.0));
    }
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kSamples);
}

void Vad(benchmark::State& state) {
  ve::VoiceActivityDetector detector;
  detector.Reset();
  int32_t silent = 0;
  for (auto _ : state) {
    for (int32_t b = 0; b < kSamples; b += kBlock) silent += detector.IsSilent(Signal().data() + b, kBlock);
    benchmark::DoNotOptimize(silent);
  }
  state.SetItemsProcessed(state.iterations() * kSamples);
}

// The energy of the first difference, summed: what any such detector must at least compute.
void BaselineDifferenceEnergy(benchmark::State& state) {
  const int16_t* s = Signal().data();
  for (auto _ : state) {
    int64_t energy = 0;
    for (int32_t i = 1; i < kSamples; ++i) {
      const int32_t d = s[i] - s[i - 1];
      energy += d * d;
    }
    benchmark::DoNotOptimize(energy);
  }
  state.SetItemsProcessed(state.iterations() * kSamples);
}

// The compressor as written first: the logarithm computed for every sample.
class LogPerSampleCompressor {
 public:
  LogPerSampleCompressor(double t, double inc, double dec) : threshold(t), lossIncrement(inc), lossDecrement(dec) {}
  void Process(int16_t* samples, int32_t count) {
    for (int32_t i = 0; i < count; ++i) {
      const int32_t s = samples[i];
      const double level = 20.0 * std::log10((s < 0 ? -s : s) / 32768.0) + 3.1415926536;
      const double over = level - threshold;
      if (over <= g) {
        if (lastOvershoot <= g) step = lossDecrement;
        g += step;
        if (g <= kFloor) g = kFloor;
      } else {
        lastOvershoot = over;
        step = lossIncrement;
        g += step;
      }
      if (g > kFloor) samples[i] = static_cast<int16_t>(s * std::pow(10.0, -g / 20.0));
    }
  }

 private:
  static constexpr double kFloor = 1e-20;
  double threshold, lossIncrement, lossDecrement;
  double g = kFloor, lastOvershoot = kFloor, step = kFloor;
};

template <typename Compressor>
void Compress(benchmark::State& state) {
  Compressor compressor(-8.0, 0.075, -0.00075);
  std::vector<int16_t> work(kSamples);
  for (auto _ : state) {
    work = Signal();
    for (int32_t b = 0; b < kSamples; b += kBlock) compressor.Process(work.data() + b, kBlock);
    benchmark::DoNotOptimize(work.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kSamples);
}

BENCHMARK(Fir);
BENCHMARK(BaselineFirShifting);
BENCHMARK(Vad);
BENCHMARK(BaselineDifferenceEnergy);
BENCHMARK_TEMPLATE(Compress, ve::LevelCompressor);
BENCHMARK_TEMPLATE(Compress, LogPerSampleCompressor);

struct Collector : benchmark::ConsoleReporter {
  std::map<std::string, double> ns;
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration) ns[run.benchmark_name()] = run.GetAdjustedCPUTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

// Runs both compressors over many passes of the signal and counts differing outputs.
int32_t CompressorDifferences() {
  ve::LevelCompressor table(-8.0, 0.075, -0.00075);
  LogPerSampleCompressor direct(-8.0, 0.075, -0.00075);
  int32_t differ = 0;
  for (int pass = 0; pass < 50; ++pass) {
    std::vector<int16_t> a = Signal();
    std::vector<int16_t> b = Signal();
    table.Process(a.data(), kSamples);
    direct.Process(b.data(), kSamples);
    for (int32_t i = 0; i < kSamples; ++i) differ += a[i] != b[i];
  }
  return differ;
}

}  // namespace

int main(int argc, char** argv) {
  std::printf("compressor outputs differing from the log-per-sample form: %d of %d\n", CompressorDifferences(),
              50 * kSamples);
  benchmark::Initialize(&argc, argv);
  Collector reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto perSample = [&](const std::string& name) { return reporter.ns[name] / kSamples; };
  const struct {
    const char* label;
    const char* ours;
    const char* baseline;
  } rows[] = {
      {"29-tap FIR", "Fir", "BaselineFirShifting"},
      {"VAD", "Vad", "BaselineDifferenceEnergy"},
      {"compressor", "Compress<ve::LevelCompressor>", "Compress<LogPerSampleCompressor>"},
  };
  for (const auto& row : rows) {
    double ours = perSample(row.ours);
    double baseline = perSample(row.baseline);
    if (ours > 0 && baseline > 0) {
      std::printf("%s: %.2f ns/sample; baseline %s %.2f ns/sample; baseline / ours = %.2fx\n", row.label, ours,
                  row.baseline, baseline, baseline / ours);
    }
  }
  benchmark::Shutdown();
  return 0;
}
