// Time per 10 ms frame of our G.729 Annex A encoder and decoder against an independent
// implementation, measured in the same run on the same signal; prints ours/reference ratios.

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "codecs/g729/G729Oracle.h"

namespace {

using ve::test::kG729FrameBytes;
using ve::test::kG729FrameSamples;

// Two seconds of a speech-like signal: harmonics of a gliding 100-220 Hz pitch under a
// syllable-rate envelope, with noise and short pauses. The coder's work per frame hardly
// depends on the signal, but a voiced signal exercises the pitch paths realistically.
const std::vector<int16_t>& Signal() {
  static const std::vector<int16_t> signal = [] {
    std::vector<int16_t> s(16000);
    std::mt19937 random(3);
    std::normal_distribution<double> noise(0.0, 300.0);
    double phase = 0.0;
    for (size_t n = 0; n < s.size(); ++n) {
      const double t = n / 8000.0;
      const double f0 = 160.0 + 60.0 * std::sin(2 * M_PI * 0.7 * t);
      phase += 2 * M_PI * f0 / 8000.0;
      double v = 0.0;
      for (int k = 1; k <= 15; ++k) v += std::sin(k * phase) / k;
      const double envelope = std::max(0.0, std::sin(2 * M_PI * 3.0 * t));
      s[n] = static_cast<int16_t>(std::clamp(6000.0 * envelope * v + noise(random), -32768.0, 32767.0));
    }
    return s;
  }();
  return signal;
}

const std::vector<uint8_t>& Bitstream() {
  static const std::vector<uint8_t> bits = ve::test::OracleEncode(Signal());
  return bits;
}

void BM_EncodeOurs(benchmark::State& state) {
  const std::vector<uint8_t> pcm = ve::test::PcmBytes(Signal());
  ve::G729Codec codec;
  uint8_t frame[kG729FrameBytes];
  size_t at = 0;
  for (auto _ : state) {
    int32_t length = kG729FrameBytes;
    codec.Encode(pcm.data() + at, kG729FrameSamples * 2, frame, length);
    benchmark::DoNotOptimize(frame);
    at += kG729FrameSamples * 2;
    if (at + kG729FrameSamples * 2 > pcm.size()) at = 0;
  }
}

void BM_EncodeReference(benchmark::State& state) {
  const std::vector<int16_t>& pcm = Signal();
  bcg729EncoderChannelContextStruct* encoder = initBcg729EncoderChannel(0);
  uint8_t frame[kG729FrameBytes];
  size_t at = 0;
  for (auto _ : state) {
    uint8_t length = 0;
    bcg729Encoder(encoder, pcm.data() + at, frame, &length);
    benchmark::DoNotOptimize(frame);
    at += kG729FrameSamples;
    if (at + kG729FrameSamples > pcm.size()) at = 0;
  }
  closeBcg729EncoderChannel(encoder);
}

void BM_DecodeOurs(benchmark::State& state) {
  const std::vector<uint8_t>& bits = Bitstream();
  ve::G729Codec codec;
  uint8_t pcm[kG729FrameSamples * 2];
  size_t at = 0;
  for (auto _ : state) {
    int32_t length = sizeof(pcm);
    codec.Decode(bits.data() + at, kG729FrameBytes, pcm, length);
    benchmark::DoNotOptimize(pcm);
    at += kG729FrameBytes;
    if (at + kG729FrameBytes > bits.size()) at = 0;
  }
}

void BM_DecodeReference(benchmark::State& state) {
  const std::vector<uint8_t>& bits = Bitstream();
  bcg729DecoderChannelContextStruct* decoder = initBcg729DecoderChannel();
  int16_t pcm[kG729FrameSamples];
  size_t at = 0;
  for (auto _ : state) {
    bcg729Decoder(decoder, bits.data() + at, kG729FrameBytes, 0, 0, 0, pcm);
    benchmark::DoNotOptimize(pcm);
    at += kG729FrameBytes;
    if (at + kG729FrameBytes > bits.size()) at = 0;
  }
  closeBcg729DecoderChannel(decoder);
}

BENCHMARK(BM_EncodeReference);
BENCHMARK(BM_EncodeOurs);
BENCHMARK(BM_DecodeReference);
BENCHMARK(BM_DecodeOurs);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  struct Collector : benchmark::ConsoleReporter {
    std::map<std::string, double> ns;
    void ReportRuns(const std::vector<Run>& runs) override {
      for (const Run& run : runs) ns[run.benchmark_name()] = run.GetAdjustedCPUTime();
      ConsoleReporter::ReportRuns(runs);
    }
  } reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  for (const char* op : {"Encode", "Decode"}) {
    const double ours = reporter.ns[std::string("BM_") + op + "Ours"];
    const double reference = reporter.ns[std::string("BM_") + op + "Reference"];
    if (ours > 0 && reference > 0) {
      std::printf("%s per 10 ms frame: ours %.2f us, reference %.2f us, ratio %.2fx (goal <= 1.0x)\n", op,
                  ours / 1000.0, reference / 1000.0, ours / reference);
    }
  }
  benchmark::Shutdown();
  return 0;
}
