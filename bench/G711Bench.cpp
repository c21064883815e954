// G.711 encode and decode throughput (samples per second) of G711Codec against spandsp's G.711
// routines on the same speech-like signal, in one run. Prints spandsp time / our time per
// operation after the table: above 1 means ours is faster.

#include <benchmark/benchmark.h>
#include <spandsp.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "codecs/G711Codec.h"

namespace {

constexpr int32_t kSamples = 1600;  // ten 20 ms blocks per iteration
constexpr int32_t kBlock = 160;

// Speech-like: a few drifting tones under a slow envelope, plus low-level noise.
std::vector<int16_t> MakeSignal() {
  std::vector<int16_t> signal(kSamples);
  uint32_t seed = 12345;
  for (int32_t i = 0; i < kSamples; ++i) {
    seed = seed * 1664525u + 1013904223u;
    double envelope = 0.5 + 0.5 * std::sin(i * 0.004);
    double tones = 9000 * std::sin(i * 0.11) + 5000 * std::sin(i * 0.37 + 1.0) + 2000 * std::sin(i * 1.3);
    double noise = static_cast<int32_t>(seed >> 20) - 2048;
    signal[i] = static_cast<int16_t>(envelope * tones + noise);
  }
  return signal;
}

const std::vector<int16_t>& Signal() {
  static const std::vector<int16_t> signal = MakeSignal();
  return signal;
}

std::vector<uint8_t> SignalBytes() {
  std::vector<uint8_t> bytes(kSamples * 2);
  for (int32_t i = 0; i < kSamples; ++i) {
    bytes[2 * i] = static_cast<uint8_t>(Signal()[i] & 0xFF);
    bytes[2 * i + 1] = static_cast<uint8_t>((Signal()[i] >> 8) & 0xFF);
  }
  return bytes;
}

void OursEncode(benchmark::State& state, bool aLaw) {
  ve::G711Codec codec;
  if (aLaw) codec.SetALaw();
  std::vector<uint8_t> in = SignalBytes();
  std::vector<uint8_t> out(kSamples);
  for (auto _ : state) {
    for (int32_t b = 0; b < kSamples; b += kBlock) {
      int32_t length = kBlock;
      codec.Encode(in.data() + 2 * b, 2 * kBlock, out.data() + b, length);
    }
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kSamples);
}

void SpandspEncode(benchmark::State& state, bool aLaw) {
  g711_state_t* s = g711_init(nullptr, aLaw ? G711_ALAW : G711_ULAW);
  std::vector<uint8_t> out(kSamples);
  for (auto _ : state) {
    for (int32_t b = 0; b < kSamples; b += kBlock) g711_encode(s, out.data() + b, Signal().data() + b, kBlock);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  g711_free(s);
  state.SetItemsProcessed(state.iterations() * kSamples);
}

std::vector<uint8_t> Codes(bool aLaw) {
  std::vector<uint8_t> codes(kSamples);
  for (int32_t i = 0; i < kSamples; ++i) {
    codes[i] = aLaw ? ve::G711Codec::LinearToALaw(Signal()[i]) : ve::G711Codec::LinearToULaw(Signal()[i]);
  }
  return codes;
}

void OursDecode(benchmark::State& state, bool aLaw) {
  ve::G711Codec codec;
  if (aLaw) codec.SetALaw();
  std::vector<uint8_t> in = Codes(aLaw);
  std::vector<uint8_t> out(kSamples * 2);
  for (auto _ : state) {
    for (int32_t b = 0; b < kSamples; b += kBlock) {
      int32_t length = 2 * kBlock;
      codec.Decode(in.data() + b, kBlock, out.data() + 2 * b, length);
    }
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kSamples);
}

void SpandspDecode(benchmark::State& state, bool aLaw) {
  g711_state_t* s = g711_init(nullptr, aLaw ? G711_ALAW : G711_ULAW);
  std::vector<uint8_t> in = Codes(aLaw);
  std::vector<int16_t> out(kSamples);
  for (auto _ : state) {
    for (int32_t b = 0; b < kSamples; b += kBlock) g711_decode(s, out.data() + b, in.data() + b, kBlock);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  g711_free(s);
  state.SetItemsProcessed(state.iterations() * kSamples);
}

BENCHMARK_CAPTURE(OursEncode, ALaw, true);
BENCHMARK_CAPTURE(SpandspEncode, ALaw, true);
BENCHMARK_CAPTURE(OursEncode, ULaw, false);
BENCHMARK_CAPTURE(SpandspEncode, ULaw, false);
BENCHMARK_CAPTURE(OursDecode, ALaw, true);
BENCHMARK_CAPTURE(SpandspDecode, ALaw, true);
BENCHMARK_CAPTURE(OursDecode, ULaw, false);
BENCHMARK_CAPTURE(SpandspDecode, ULaw, false);

// Keeps the CPU time per benchmark to print the ratios after the table.
struct Collector : benchmark::ConsoleReporter {
  std::map<std::string, double> ns;
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration) ns[run.benchmark_name()] = run.GetAdjustedCPUTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

int main(int argc, char** argv) {
  // The two coders must agree before their speeds are compared.
  for (bool aLaw : {true, false}) {
    g711_state_t* s = g711_init(nullptr, aLaw ? G711_ALAW : G711_ULAW);
    std::vector<uint8_t> theirs(kSamples);
    g711_encode(s, theirs.data(), Signal().data(), kSamples);
    g711_free(s);
    int32_t differ = 0;
    std::vector<uint8_t> ours = Codes(aLaw);
    for (int32_t i = 0; i < kSamples; ++i) differ += ours[i] != theirs[i];
    std::printf("%s codes differing from spandsp on the bench signal: %d of %d\n", aLaw ? "A-law" : "u-law", differ,
                kSamples);
  }

  benchmark::Initialize(&argc, argv);
  Collector reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  for (const char* op : {"Encode", "Decode"}) {
    for (const char* law : {"ALaw", "ULaw"}) {
      double ours = reporter.ns[std::string("Ours") + op + "/" + law];
      double theirs = reporter.ns[std::string("Spandsp") + op + "/" + law];
      if (ours > 0 && theirs > 0) {
        std::printf("%s %s: spandsp / ours = %.2fx (%.1f vs %.1f Msamples/s)\n", op, law, theirs / ours,
                    kSamples / ours * 1e3, kSamples / theirs * 1e3);
      }
    }
  }
  benchmark::Shutdown();
  return 0;
}
