// WaveOutPlayer over virtual devices: what reaches the device (recorded into a WAV file),
// the volume and the device-open failure path. Pacing, stopping and the volume through the
// sound server are measured in the device loop tests.

#include "audio/WaveOutPlayer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <iterator>
#include <thread>

#include "codecs/FilterTestHelpers.h"
#include "framework/AudioSample.h"
#include "framework/AudioSource.h"
#include "platform/WavPcmReader.h"
#include "support/DeviceSignals.h"
#include "support/TestComponents.h"
#include "support/WavWriter.h"
#include "voiceengine/Devices.h"

namespace ve {
namespace {

using Clock = std::chrono::steady_clock;
using test::MakeGap;
using test::MakePcm;

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A playback device recording into a temporary WAV file.
struct RecordingSpeaker {
  test::TempFile file{".wav"};
  uint32_t id = 0;
  RecordingSpeaker() { EXPECT_EQ(voiceengine::AddWavFilePlaybackDevice("speaker", file.Name(), &id), 0); }
  ~RecordingSpeaker() { voiceengine::RemoveDevice(id); }
  std::vector<int16_t> Played() {
    platform::WavPcmReader::Audio audio;
    EXPECT_EQ(platform::WavPcmReader::ReadFile(file.Name(), &audio), 0);
    return audio.samples;
  }
};

// Pushes one sample through the opened player's push cycle and drops the caller's reference.
void Play(WaveOutPlayer& player, AudioSample* sample) {
  player.TakeNextAudioSample(sample, nullptr);
  sample->Release();
}

TEST(WaveOutPlayer, WritesTheFirstSampleOfACycleAndGapMarkersAsZeros) {
  RecordingSpeaker speaker;
  WaveOutPlayer player;
  player.SetDeviceId(speaker.id);
  test::CountingSource second;  // pulled in every push cycle; never played
  player.AddSource(&second);
  ASSERT_EQ(player.Open(), 0);
  std::vector<int16_t> ramp(160);
  for (int i = 0; i < 160; ++i) ramp[i] = static_cast<int16_t>(100 + i);
  Play(player, MakePcm(ramp));
  Play(player, MakeGap(kFormatPcm16, 20));  // 320 zero bytes
  Play(player, MakeGap(kFormatPcm16, 0));  // nothing
  Play(player, MakePcm(std::vector<int16_t>(1600, 7)));  // cut to the 320-byte buffer
  EXPECT_GE(second.produced.load(), 4);
  // Closing resets the device, which drops what is still queued: let it play first.
  std::this_thread::sleep_for(std::chrono::milliseconds(120));
  ASSERT_EQ(player.Close(), 0);
  player.RemoveSource(&second);
  std::vector<int16_t> expected = ramp;
  expected.resize(320, 0);
  expected.resize(480, 7);
  EXPECT_EQ(speaker.Played(), expected);
}

TEST(WaveOutPlayer, VolumeScalesBothChannelsOnlyWhileOpen) {
  RecordingSpeaker speaker;
  WaveOutPlayer player;
  player.SetDeviceId(speaker.id);
  player.SetVolume(10);  // closed: ignored, also at the next open
  ASSERT_EQ(player.Open(), 0);
  // The volume acts on what the device plays from then on: each buffer is played before
  // the next change.
  std::vector<int16_t> loud(160, 10000);
  for (uint32_t level : {100u, 50u, 150u, 0u}) {
    if (level != 100) player.SetVolume(level);  // 50: v = 32767 in both halves; 150 acts as 100
    Play(player, MakePcm(loud));
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
  }
  ASSERT_EQ(player.Close(), 0);
  // The speaker keeps wall-clock time, so the pauses between buffers are silence in the
  // file: its audible values are the buffers' in order, and the muted buffer adds none.
  std::vector<int16_t> played = speaker.Played();
  std::vector<int16_t> audible;
  std::copy_if(played.begin(), played.end(), std::back_inserter(audible), [](int16_t v) { return v != 0; });
  ASSERT_EQ(audible.size(), 480u);
  EXPECT_EQ(audible[0], 10000);
  EXPECT_NEAR(audible[160], 5000, 2);
  EXPECT_EQ(audible[320], 10000);
  EXPECT_GE(played.size(), 640u);
}

TEST(WaveOutPlayer, DeviceThatDoesNotExistIsRetriedOnceThenRefused) {
  WaveOutPlayer player;
  player.SetDeviceId(999999);
  auto start = Clock::now();
  EXPECT_EQ(player.Start(), -40);  // OnThreadStart -10
  EXPECT_GE(MsSince(start), 1000);
  // The refused thread ends by itself right after Start returns; the player stays closed, so
  // the push cycle finds no free header and reports -10.
  for (int i = 0; i < 2000 && player.IsRunning(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  AudioSample* sample = MakePcm(std::vector<int16_t>(160, 1));
  EXPECT_EQ(player.TakeNextAudioSample(sample, nullptr), -10);
  sample->Release();
}

// A source that keeps the player waiting once, as a late network or a busy machine would.
class StallingSource : public AudioSource {
 public:
  std::atomic<int32_t> pulls{0};

 protected:
  int32_t ProduceSample(AudioSample** out) override {
    if (++pulls == 20) std::this_thread::sleep_for(std::chrono::milliseconds(150));
    *out = MakePcm(std::vector<int16_t>(160, 1000));
    return 0;
  }
};

// The adaptive queue starts small; the device running dry behind a stalled source counts an
// underrun and the queue grows by a buffer.
TEST(WaveOutPlayer, QueueGrowsWhenTheDeviceRunsDry) {
  RecordingSpeaker speaker;
  WaveOutPlayer player;
  StallingSource source;
  player.SetDeviceId(speaker.id);
  player.SetBufferCount(10);
  player.SetQueueDepth(2);
  player.AddSource(&source);
  ASSERT_EQ(player.Start(), 0);
  EXPECT_EQ(player.QueueDepth(), 2u);
  const auto start = Clock::now();
  while (source.pulls < 40 && MsSince(start) < 5000) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  player.Stop();
  player.RemoveSource(&source);
  EXPECT_GE(player.Underruns(), 1u);
  EXPECT_GE(player.QueueDepth(), 3u);
}

}  // namespace
}  // namespace ve
