// WaveInRecorder over virtual devices (and, in the loop tests, over the sound server):
// silence gating, the input level, Close under a waiting consumer and the device-open failure
// path; in the loop tests also latency, levels, timing and CPU use.

#include "audio/WaveInRecorder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

#include "audio/WaveOutPlayer.h"
#include "codecs/FilterTestHelpers.h"
#include "framework/AudioSample.h"
#include "platform/WaveHeader.h"
#include "support/DeviceSignals.h"
#include "support/SignalTools.h"
#include "support/TestProcess.h"
#include "support/WavWriter.h"
#include "voiceengine/Devices.h"

namespace ve {
namespace {

using Clock = std::chrono::steady_clock;
using test::CaptureCollector;
using test::ProcessCpuSeconds;

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Exposes the producer so that tests pull buffers directly.
class TestRecorder : public WaveInRecorder {
 public:
  AudioSample* Pull() {
    AudioSample* sample = nullptr;
    ProduceSample(&sample);
    return sample;
  }
};

// A virtual microphone playing `values` (8 kHz mono) once.
struct FileMicrophone {
  test::TempFile file;
  uint32_t id = 0;
  explicit FileMicrophone(const std::vector<int16_t>& values)
      : file(test::BuildWav(test::FormatChunk(test::MakeLinearFormat(WAVE_FORMAT_PCM, 8000, 1, 16), 16),
                            test::Int16Bytes(values))) {
    EXPECT_EQ(voiceengine::AddWavFileCaptureDevice("file", file.Name(), false, &id), 0);
  }
  ~FileMicrophone() { voiceengine::RemoveDevice(id); }
};

struct ToneMicrophone {
  uint32_t id = 0;
  explicit ToneMicrophone(int32_t amplitude) {
    EXPECT_EQ(voiceengine::AddToneCaptureDevice("tone", 440, amplitude, &id), 0);
  }
  ~ToneMicrophone() { voiceengine::RemoveDevice(id); }
};

TEST(WaveInRecorder, QuietBuffersBecomeGapMarkersAndOneLoudValueKeepsTheBuffer) {
  // Four 20 ms buffers: all within -4..4; one 5 among zeros; one -5 among zeros; silence.
  std::vector<int16_t> values(160 * 4, 0);
  for (int i = 0; i < 160; ++i) values[i] = static_cast<int16_t>(i % 2 ? 4 : -4);
  values[160 + 77] = 5;
  values[320 + 159] = -5;
  FileMicrophone microphone(values);
  TestRecorder recorder;
  recorder.SetDeviceId(microphone.id);
  recorder.SetVolume(100);
  ASSERT_EQ(recorder.Open(), 0);
  for (int k = 0; k < 3; ++k) {
    AudioSample* sample = recorder.Pull();
    ASSERT_NE(sample, nullptr);
    if (k == 0) {
      EXPECT_EQ(sample->DataSize(), 0);
      EXPECT_EQ(sample->SilenceMs(), 20);
    } else {
      ASSERT_EQ(sample->DataSize(), 320);
      EXPECT_EQ(std::memcmp(sample->Data(), values.data() + 160 * k, 320), 0) << "buffer " << k;
    }
    sample->Release();
  }
  ASSERT_EQ(recorder.Close(), 0);
}

// Level 0, the level after construction, gates everything. A level set while closed is applied
// at the next open only: changes made by others in between are not overwritten later. (Level
// changes while running are measured in the loop tests.)
TEST(WaveInRecorder, InputLevelStartsAtZeroAndAClosedSettingIsAppliedOnceAtOpen) {
  ToneMicrophone microphone(10000);
  TestRecorder recorder;
  recorder.SetDeviceId(microphone.id);
  auto peakOfOpen = [](TestRecorder& r) {
    EXPECT_EQ(r.Open(), 0);
    AudioSample* sample = r.Pull();
    std::vector<int16_t> values = test::Values(sample);
    int peak = values.empty() ? -sample->SilenceMs() : *std::max_element(values.begin(), values.end());
    sample->Release();
    r.Close();
    return peak;
  };
  EXPECT_EQ(peakOfOpen(recorder), -20) << "a 20 ms gap marker";
  recorder.SetVolume(50);
  EXPECT_NEAR(peakOfOpen(recorder), 5000, 30);
  TestRecorder other;
  other.SetDeviceId(microphone.id);
  ASSERT_EQ(other.Open(), 0);
  other.SetVolume(100);
  other.Close();
  EXPECT_NEAR(peakOfOpen(recorder), 10000, 30);
}

TEST(WaveInRecorder, CloseWhileAnotherThreadWaitsForABufferReturnsNoSample) {
  ToneMicrophone microphone(10000);
  TestRecorder recorder;
  recorder.SetDeviceId(microphone.id);
  recorder.SetVolume(100);
  ASSERT_EQ(recorder.Open(), 0);
  std::atomic<int> samples{0};
  std::thread consumer([&] {
    for (;;) {
      AudioSample* sample = nullptr;
      recorder.GiveNextAudioSample(&sample, nullptr);
      if (sample == nullptr) break;
      ++samples;
      sample->Release();
    }
  });
  // The consumer takes the six queued buffers, then waits on the device.
  std::this_thread::sleep_for(std::chrono::milliseconds(70));
  EXPECT_EQ(recorder.Close(), 0);
  consumer.join();  // it saw no sample and ended
  EXPECT_GE(samples.load(), 1);
  // Opening again works: every buffer came home.
  ASSERT_EQ(recorder.Open(), 0);
  recorder.Close();
}

TEST(WaveInRecorder, DeviceThatDoesNotExistIsRetriedOnceThenRefused) {
  TestRecorder recorder;
  recorder.SetDeviceId(999999);
  auto start = Clock::now();
  EXPECT_EQ(recorder.Start(), -30);  // OnThreadStart -10
  EXPECT_GE(MsSince(start), 1000);
  // The refused thread ends by itself right after Start returns.
  for (int i = 0; i < 2000 && recorder.IsRunning(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_FALSE(recorder.IsRunning());
}

// What a loop run gives back: the recorded values, when each recorded buffer arrived and
// when each played chunk was handed to the player (every buffer and chunk holds 160 values).
struct LoopResult {
  std::vector<int16_t> recorded;
  std::vector<Clock::time_point> arrivals;
  std::vector<Clock::time_point> given;
};

// The loop through a playback device back into the recorder: the virtual loopback device,
// and the sound server's default devices over ALSA.
class DeviceLoop : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (GetParam()) {
      std::string why;
      if (test::NoSoundServer(&why)) GTEST_SKIP() << why;
      serverLock = std::make_unique<test::SoundServerLock>();
      deviceId = platform::WAVE_MAPPER;
    } else {
      ASSERT_EQ(voiceengine::AddLoopbackDevice("loop", &loopbackId), 0);
      deviceId = loopbackId;
    }
    recorder.SetVolume(100);
    player.SetQueueDepth(2);  // as the call's speaker: as few queued as the device needs
  }
  void TearDown() override {
    if (loopbackId != 0) voiceengine::RemoveDevice(loopbackId);
  }
  const char* Name() const { return GetParam() ? "sound server" : "virtual loopback"; }

  // Runs `signal` through the player into the recorder for `ms`, calling `during(elapsedMs)`
  // every 20 ms.
  template <typename During>
  LoopResult RunLoop(const std::vector<int16_t>& signal, int ms, During during) {
    test::SignalSource source(signal);
    CaptureCollector collector;
    player.SetDeviceId(deviceId);
    player.AddSource(&source);
    recorder.SetDeviceId(deviceId);
    recorder.AddListener(&collector);
    EXPECT_EQ(recorder.Start(), 0);
    EXPECT_EQ(player.Start(), 0);
    auto start = Clock::now();
    while (MsSince(start) < ms) {
      during(MsSince(start));
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    player.Stop();
    recorder.Stop();
    player.RemoveSource(&source);
    recorder.RemoveListener(&collector);
    LoopResult result{collector.Values(), collector.Arrivals(), {}};
    size_t given = std::min<size_t>(static_cast<size_t>(source.Given()), test::SignalSource::kTimes);
    for (size_t i = 0; i < given; ++i) result.given.push_back(source.GivenAt(i));
    return result;
  }

  std::unique_ptr<test::SoundServerLock> serverLock;
  uint32_t loopbackId = 0;
  uint32_t deviceId = 0;
  WaveInRecorder recorder;
  WaveOutPlayer player;
};

// Finds blocks of `block` values of signal[from...] that come back unchanged (normalised
// correlation above 0.999), each somewhere after the previous block's place: an xrun shifts
// the blocks after it or damages one, but the others still come back whole and in order.
// Returns where each block was found in `recorded` (-1: not found).
std::vector<long> FindBlocks(const std::vector<int16_t>& signal, const std::vector<int16_t>& recorded, size_t from,
                             size_t block, int blocks) {
  std::vector<long> found;
  size_t searchFrom = 0;
  for (int b = 0; b < blocks; ++b) {
    size_t start = from + static_cast<size_t>(b) * block;
    double a = 0;
    for (size_t i = 0; i < block; ++i) a += static_cast<double>(signal[start + i]) * signal[start + i];
    found.push_back(-1);
    // A block comes back within a second of where the previous one ended.
    for (size_t at = searchFrom; at + block <= recorded.size() && at < searchFrom + 8000; ++at) {
      double dot = 0, c = 0;
      for (size_t i = 0; i < block; ++i) {
        dot += static_cast<double>(signal[start + i]) * recorded[at + i];
        c += static_cast<double>(recorded[at + i]) * recorded[at + i];
      }
      if (a > 0 && c > 0 && dot / std::sqrt(a * c) > 0.999) {
        found.back() = static_cast<long>(at);
        searchFrom = at + block;
        break;
      }
    }
  }
  return found;
}

TEST_P(DeviceLoop, PlayedAudioComesBackIntact) {
  // 300 ms of silence, then 1 s of noise.
  std::vector<int16_t> signal(2400, 0), marker = test::WhiteNoise(8000, 8000, 7);
  signal.insert(signal.end(), marker.begin(), marker.end());
  LoopResult loop = RunLoop(signal, 2200, [](double) {});
  std::vector<long> blocks = FindBlocks(signal, loop.recorded, 2400, 400, 20);
  int intact = static_cast<int>(std::count_if(blocks.begin(), blocks.end(), [](long at) { return at >= 0; }));
  // An occasional xrun through the sound server may cost a few blocks, never most of them.
  EXPECT_GE(intact, 16);
  ASSERT_GE(blocks[0], 0);
  // Latency: from handing the first marker chunk to the player to the arrival of the
  // recorded buffer holding its first value.
  size_t buffer = static_cast<size_t>(blocks[0]) / 160;
  ASSERT_LT(buffer, loop.arrivals.size());
  ASSERT_GT(loop.given.size(), 15u);
  double latencyMs = std::chrono::duration<double, std::milli>(loop.arrivals[buffer] - loop.given[15]).count();
  double snr = test::Snr(signal, loop.recorded, static_cast<int>(blocks[0]) - 2400);
  std::printf("[ measured ] %s loop latency %.1f ms, SNR %.1f dB, %d of 20 blocks intact; player queue %u buffers "
              "after %llu underruns\n",
              Name(), latencyMs, snr, intact, player.QueueDepth(), static_cast<unsigned long long>(player.Underruns()));
  EXPECT_GT(latencyMs, 0.0);
  EXPECT_LT(latencyMs, 1000.0);
}

TEST_P(DeviceLoop, InputLevelAndOutputVolumeChangeTheRecordedLevel) {
  std::vector<int16_t> tone = test::Tone(8000 * 6, 400, 8000);
  // Phases of 1.2 s: full; input level 50; input level 0; input level 100 with output
  // volume 25. Input changes act on what is captured from then on, output changes reach
  // the recording one loop latency later: each phase is measured from 0.6 s to 1.0 s.
  int phase = 0;
  std::vector<int16_t> recorded = RunLoop(tone, 4800, [&](double t) {
    if (phase == 0 && t >= 1200) recorder.SetVolume(50), ++phase;
    if (phase == 1 && t >= 2400) recorder.SetVolume(0), ++phase;
    if (phase == 2 && t >= 3600) recorder.SetVolume(100), player.SetVolume(25), ++phase;
  }).recorded;
  // The median over eight 50 ms pieces, so that a gap from an xrun does not count.
  auto level = [&](int index) {
    std::vector<double> pieces;
    for (size_t k = 0; k < 8; ++k) pieces.push_back(test::Rms(recorded, index * 9600 + 4800 + k * 400, 400));
    std::sort(pieces.begin(), pieces.end());
    return (pieces[3] + pieces[4]) / 2;
  };
  double full = level(0), half = level(1), none = level(2), quiet = level(3);
  std::printf("[ measured ] %s rms full %.0f, input 50 %.0f, input 0 %.0f, output 25 %.0f\n", Name(), full, half,
              none, quiet);
  EXPECT_NEAR(full, 8000 / std::sqrt(2.0), 400);
#ifdef _WIN32
  // The system device's input level is its own mixer's: Wine's mixer keeps the value but does
  // not apply it to the recording, so only the virtual devices' level is checked here.
  const bool inputLevelApplies = !GetParam();
#else
  const bool inputLevelApplies = true;
#endif
  if (inputLevelApplies) {
    EXPECT_NEAR(half / full, 0.5, 0.05);
    EXPECT_EQ(none, 0);
  }
  EXPECT_NEAR(quiet / full, 0.25, 0.05);
}

// An idle call: the recorder captures silence and the player plays gap markers for 10 s.
// Every thread blocks on its device, so the pair costs a few percent of a core at most; a
// polling loop would cost a whole one. The capture keeps the device's time: 500 buffers of
// 20 ms take 10 s.
TEST_P(DeviceLoop, IdleCaptureAndPlaybackPairUseLittleCpuAndKeepTime) {
  double before = ProcessCpuSeconds();
  auto start = Clock::now();
  LoopResult loop = RunLoop({}, 10500, [](double) {});
  double wall = MsSince(start) / 1000;
  double cpu = ProcessCpuSeconds() - before;
  std::printf("[ measured ] %s idle pair: %.3f s CPU in %.1f s (%.2f%% of one core)\n", Name(), cpu, wall,
              100 * cpu / wall);
  EXPECT_LT(cpu / wall, 0.2);
  const std::vector<Clock::time_point>& arrivals = loop.arrivals;
  ASSERT_GE(arrivals.size(), 501u);
  double ms = std::chrono::duration<double, std::milli>(arrivals[500] - arrivals[0]).count();
  double worst = 0;
  for (size_t i = 1; i <= 500; ++i) {
    double gap = std::chrono::duration<double, std::milli>(arrivals[i] - arrivals[i - 1]).count();
    worst = std::max(worst, std::abs(gap - 20.0));
  }
  std::printf("[ measured ] %s 500 buffers in %.1f ms, worst deviation from 20 ms %.1f ms\n", Name(), ms, worst);
  EXPECT_NEAR(ms, 10000, 150);
}

INSTANTIATE_TEST_SUITE_P(Devices, DeviceLoop, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? std::string("SoundServer") : std::string("VirtualLoopback");
                         });

}  // namespace
}  // namespace ve
