// WaveInRecorder over virtual devices: silence gating, the input level, Close under a waiting
// consumer and the device-open failure path; and a player's audio through a device loop back
// into a recorder, over the virtual loopback and the sound server.

#include "audio/WaveInRecorder.h"

#include "AudioTestSupport.h"

#include <future>

#include "audio/WaveOutPlayer.h"
#include "support/TestProcess.h"

namespace ve {
namespace {

// Exposes the producer so that tests pull buffers directly.
class TestRecorder : public WaveInRecorder {
 public:
  AudioSample* Pull() {
    AudioSample* sample = nullptr;
    ProduceSample(&sample);
    return sample;
  }
};

// A virtual microphone: `values` (8 kHz mono) played once, or a 440 Hz tone.
struct Microphone {
  std::unique_ptr<test::TempFile> file;
  uint32_t id = 0;
  explicit Microphone(const std::vector<int16_t>& values)
      : file(std::make_unique<test::TempFile>(test::BuildWav(
            test::FormatChunk(test::MakeLinearFormat(WAVE_FORMAT_PCM, 8000, 1, 16), 16), test::Int16Bytes(values)))) {
    EXPECT_EQ(voiceengine::AddWavFileCaptureDevice("file", file->Name(), false, &id), 0);
  }
  explicit Microphone(int32_t toneAmplitude) {
    EXPECT_EQ(voiceengine::AddToneCaptureDevice("tone", 440, toneAmplitude, &id), 0);
  }
  ~Microphone() { voiceengine::RemoveDevice(id); }
};

TEST(WaveInRecorder, QuietBuffersBecomeGapMarkersAndOneLoudValueKeepsTheBuffer) {
  // Four 20 ms buffers: all within -4..4; one 5 among zeros; one -5 among zeros; silence.
  std::vector<int16_t> values(160 * 4, 0);
  for (int i = 0; i < 160; ++i) values[i] = static_cast<int16_t>(i % 2 ? 4 : -4);
  values[160 + 77] = 5;
  values[320 + 159] = -5;
  Microphone microphone(values);
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
// at the next open only: changes made by others in between are not overwritten later. While
// open, a level acts on what is captured from then on.
TEST(WaveInRecorder, InputLevelStartsAtZeroAndAClosedSettingIsAppliedOnceAtOpen) {
  Microphone microphone(10000);
  TestRecorder recorder;
  recorder.SetDeviceId(microphone.id);
  // The peak of the last of `pulls` buffers of an open, after `whileOpen` (when not 0) is set.
  auto peakOfOpen = [](TestRecorder& r, int pulls = 1, uint32_t whileOpen = 0) {
    EXPECT_EQ(r.Open(), 0);
    if (whileOpen != 0) r.SetVolume(whileOpen);
    int peak = 0;
    for (int k = 0; k < pulls; ++k) {
      AudioSample* sample = r.Pull();
      std::vector<int16_t> values = test::Values(sample);
      peak = values.empty() ? -sample->SilenceMs() : *std::max_element(values.begin(), values.end());
      sample->Release();
    }
    r.Close();
    return peak;
  };
  EXPECT_EQ(peakOfOpen(recorder), -20) << "a 20 ms gap marker";
  recorder.SetVolume(50);
  EXPECT_NEAR(peakOfOpen(recorder), 5000, 30);
  TestRecorder other;
  other.SetDeviceId(microphone.id);
  EXPECT_NEAR(peakOfOpen(other, 10, 100), 10000, 30);
  EXPECT_NEAR(peakOfOpen(recorder), 10000, 30);
}

TEST(WaveInRecorder, CloseWhileAnotherThreadWaitsForABufferReturnsNoSample) {
  Microphone microphone(10000);
  TestRecorder recorder;
  recorder.SetDeviceId(microphone.id);
  recorder.SetVolume(100);
  ASSERT_EQ(recorder.Open(), 0);
  std::atomic<int> samples{0};
  std::promise<void> tookOne;
  std::thread consumer([&] {
    for (;;) {
      AudioSample* sample = nullptr;
      recorder.GiveNextAudioSample(&sample, nullptr);
      if (sample == nullptr) break;
      if (++samples == 8) tookOne.set_value();
      sample->Release();
    }
  });
  // Past the six buffers queued at the open: the consumer now waits on the device.
  tookOne.get_future().wait();
  EXPECT_EQ(recorder.Close(), 0);
  consumer.join();  // it saw no sample and ended
  // Opening again works: every buffer came home. Buffer sizes above the largest, and any
  // change while open, are ignored.
  recorder.SetBufferSize(WaveInRecorder::kMaxBufferSize + 1);
  recorder.SetBufferSize(480);
  ASSERT_EQ(recorder.Open(), 0);
  recorder.SetBufferSize(320);
  for (int k = 0; k < 8; ++k) {
    AudioSample* sample = recorder.Pull();
    EXPECT_EQ(sample->DataSize(), 480);
    sample->Release();
  }
  EXPECT_EQ(recorder.Close(), 0);
}

TEST(WaveInRecorder, DeviceThatDoesNotExistIsRetriedOnceThenRefused) {
  TestRecorder recorder;
  recorder.SetDeviceId(999999);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(recorder.Start(), -30);  // OnThreadStart -10
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
  recorder.Stop();
  EXPECT_EQ(recorder.Pull(), nullptr) << "closed: no buffer to hand out";
}

// The loop through a playback device back into the recorder. Every thread blocks on its
// device, so a loop costs a small part of a core; a polling loop would cost a whole one.
class DeviceLoop : public ::testing::TestWithParam<bool> {};

// Noise after 300 ms of silence comes back whole: each 50 ms block at the lag it is found at,
// which an xrun through the sound server may move.
TEST_P(DeviceLoop, PlayedAudioComesBackIntactAtLittleCpu) {
  std::unique_ptr<test::SoundServerLock> serverLock;
  uint32_t deviceId = platform::WAVE_MAPPER;
  if (GetParam()) {
    std::string why;
    if (test::NoSoundServer(&why)) GTEST_SKIP() << why;
    serverLock = std::make_unique<test::SoundServerLock>();
  } else {
    ASSERT_EQ(voiceengine::AddLoopbackDevice("loop", &deviceId), 0);
  }
  std::vector<int16_t> signal(2400, 0), noise = test::WhiteNoise(6400, 8000, 7);
  signal.insert(signal.end(), noise.begin(), noise.end());
  test::SignalSource source(signal);
  test::CaptureCollector collector;
  WaveOutPlayer player;
  WaveInRecorder recorder;
  player.SetQueueDepth(2);  // as the call's speaker: as few queued as the device needs
  player.SetDeviceId(deviceId);
  player.AddSource(&source);
  recorder.SetVolume(100);
  recorder.SetDeviceId(deviceId);
  recorder.AddListener(&collector);
  const double cpuBefore = test::ProcessCpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(recorder.Start(), 0);
  EXPECT_EQ(player.Start(), 0);
  EXPECT_TRUE(collector.WaitForSamples(75, 5000));
  player.Stop();
  recorder.Stop();
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpu = test::ProcessCpuSeconds() - cpuBefore;
  player.RemoveSource(&source);
  recorder.RemoveListener(&collector);
  if (!GetParam()) voiceengine::RemoveDevice(deviceId);
  const std::vector<int16_t> recorded = collector.Values();
  const int lag = test::BestLag(noise, recorded, 8000);  // where the noise begins
  const double snr = test::SegmentalSnr(noise, recorded, test::TrackLag(noise, recorded, lag, 400, 2000, 100), 400, 100);
  EXPECT_GT(snr, 25.0) << "a few blocks at most damaged";
  EXPECT_LT(cpu / wall, 0.25);
}

INSTANTIATE_TEST_SUITE_P(Devices, DeviceLoop, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? std::string("SoundServer") : std::string("VirtualLoopback");
                         });

}  // namespace
}  // namespace ve
