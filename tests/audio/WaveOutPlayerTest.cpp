// WaveOutPlayer over virtual devices: what reaches the device, the volume, the adaptive
// queue's bookkeeping (on a speaker the test plays buffer by buffer) and the device-open
// failure path. Pacing through the sound server is measured in the device loop tests.

#include "audio/WaveOutPlayer.h"

#include "AudioTestSupport.h"

#include <condition_variable>
#include <mutex>

#include "platform/DeviceRegistry.h"
#include "platform/VirtualDevice.h"
#include "platform/WavPcmReader.h"

namespace ve {
namespace {

using Clock = std::chrono::steady_clock;
using test::MakeGap;
using test::MakePcm;
using test::Push;

// A speaker the test drives: each buffer that reaches it waits until the test lets it play,
// and it reports the underruns the test sets. The driver hands a buffer to it only after the
// callback of the one before, so "n buffers arrived" also says the first n - 1 are back.
struct Script {
  std::mutex mutex;
  std::condition_variable changed;
  int allowed = 0, arrived = 0;
  bool interrupted = false;
  std::vector<int16_t> played;
  std::atomic<uint32_t> underruns{0};

  void Release(int buffers) {
    std::lock_guard<std::mutex> guard(mutex);
    allowed += buffers;
    changed.notify_all();
  }
  bool AwaitArrived(int buffers) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(5), [&] { return arrived >= buffers; });
  }
};

class ScriptedPort : public platform::WavePort {
 public:
  explicit ScriptedPort(std::shared_ptr<Script> script) : script(std::move(script)) {}
  int32_t Start() override { return 0; }
  int32_t Transfer(uint8_t* data, uint32_t bytes) override {
    std::unique_lock<std::mutex> lock(script->mutex);
    ++script->arrived;
    script->changed.notify_all();
    script->changed.wait(lock, [&] { return script->allowed > 0 || script->interrupted; });
    if (script->interrupted) return 0;
    --script->allowed;
    const std::vector<int16_t> values = test::Int16Values(data, bytes);
    script->played.insert(script->played.end(), values.begin(), values.end());
    return static_cast<int32_t>(bytes);
  }
  void Interrupt() override {
    std::lock_guard<std::mutex> guard(script->mutex);
    script->interrupted = true;
    script->changed.notify_all();
  }
  void Stop() override {
    std::lock_guard<std::mutex> guard(script->mutex);
    script->interrupted = false;
  }
  platform::DeviceCounters Counters() const override { return {script->underruns.load(), 0, 0}; }

 private:
  std::shared_ptr<Script> script;
};

struct ScriptedSpeaker : platform::VirtualDevice {
  std::shared_ptr<Script> script = std::make_shared<Script>();
  ScriptedSpeaker() : VirtualDevice("scripted") {}
  bool CanPlay() const override { return true; }
  platform::MMRESULT OpenPlayback(const WAVEFORMATEX&, std::unique_ptr<platform::WavePort>* port) override {
    *port = std::make_unique<ScriptedPort>(script);
    return platform::MMSYSERR_NOERROR;
  }
};

// Registers a scripted speaker for the test's time; returns its script.
struct Registered {
  std::shared_ptr<ScriptedSpeaker> speaker = std::make_shared<ScriptedSpeaker>();
  uint32_t id = platform::DeviceRegistry::Instance().Add(speaker);
  Script& script = *speaker->script;
  ~Registered() { voiceengine::RemoveDevice(id); }
};

TEST(WaveOutPlayer, WritesTheFirstSampleOfACycleAndGapMarkersAsZerosAndPlaysOutAtClose) {
  test::TempFile file(".wav");
  uint32_t id = 0;
  ASSERT_EQ(voiceengine::AddWavFilePlaybackDevice("speaker", file.Name(), &id), 0);
  WaveOutPlayer player;
  player.SetDeviceId(id);
  test::CountingSource second;  // pulled in every push cycle; never played
  player.AddSource(&second);
  for (int open = 0; open < 2; ++open) ASSERT_EQ(player.Open(), open == 0 ? 0 : -10);
  std::vector<int16_t> ramp(160);
  for (int i = 0; i < 160; ++i) ramp[i] = static_cast<int16_t>(100 + i);
  Push(player, MakePcm(ramp));
  Push(player, MakeGap(kFormatPcm16, 20));  // 320 zero bytes
  Push(player, MakeGap(kFormatPcm16, 0));  // nothing
  Push(player, MakePcm(std::vector<int16_t>(1600, 7)));  // cut to the 320-byte buffer
  EXPECT_GE(second.produced.load(), 4);
  ASSERT_EQ(player.Close(), 0);  // waits for the queue to play
  player.RemoveSource(&second);
  voiceengine::RemoveDevice(id);
  std::vector<int16_t> expected = ramp;
  expected.resize(320, 0);
  expected.resize(480, 7);
  platform::WavPcmReader::Audio audio;
  ASSERT_EQ(platform::WavPcmReader::ReadFile(file.Name(), &audio), 0);
  EXPECT_EQ(audio.samples, expected);
}

TEST(WaveOutPlayer, VolumeScalesWhatIsPlayedOnlyWhileOpenAndAReopenWorks) {
  Registered speaker;
  WaveOutPlayer player;
  player.SetDeviceId(speaker.id);
  player.SetVolume(10);  // closed: ignored, also at the next open
  int written = 0;
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(player.Open(), 0);
    for (uint32_t level : {100u, 50u, 150u, 0u}) {
      if (level != 100) player.SetVolume(level);  // 50: v = 32767 in both halves; 150 acts as 100
      Push(player, MakePcm(std::vector<int16_t>(160, 10000)));
      ASSERT_TRUE(speaker.script.AwaitArrived(++written));  // the level it plays at is taken now
      speaker.script.Release(1);
    }
    ASSERT_EQ(player.Close(), 0);
  }
  const std::vector<int16_t> played = speaker.script.played;
  ASSERT_EQ(played.size(), 8u * 160);
  for (size_t at : {0u, 640u}) {
    EXPECT_EQ(played[at], 10000);
    EXPECT_NEAR(played[at + 160], 5000, 2);
    EXPECT_EQ(played[at + 320], 10000);
    EXPECT_EQ(played[at + 480], 0);
  }
}

// The queue starts at the smallest depth; each time the device runs dry (the last buffer came
// back with none queued, or the device counted one more underrun than the player) it grows
// by a buffer up to the buffer count, and 300 writes without one give a buffer back, down to
// the smallest depth. Buffers handed back at a close are no underrun.
TEST(WaveOutPlayer, AdaptiveQueueFollowsTheUnderruns) {
  Registered speaker;
  WaveOutPlayer player;
  player.SetDeviceId(speaker.id);
  player.SetBufferCount(5);
  player.SetQueueDepth(2);
  ASSERT_EQ(player.Open(), 0);
  EXPECT_EQ(player.QueueDepth(), 2u);
  auto write = [&] { Push(player, MakePcm(std::vector<int16_t>(160, 1000))); };
  write();
  write();
  speaker.script.Release(2);  // the device plays both and runs dry
  const auto start = Clock::now();
  while (player.Underruns() == 0 && Clock::now() - start < std::chrono::seconds(5)) std::this_thread::yield();
  ASSERT_EQ(player.Underruns(), 1u);
  ASSERT_EQ(player.QueueDepth(), 3u);
  // The device's own count: the same one again, one that the player saw itself, then new ones.
  for (uint32_t device : {1u, 1u, 2u, 3u, 4u}) {
    speaker.script.underruns = device;
    write();
    ASSERT_EQ(player.Underruns(), std::max(device, 1u));
    ASSERT_EQ(player.QueueDepth(), std::min(device + 2, 5u)) << "device count " << device;
  }
  speaker.script.Release(3);  // two stay queued: the device never runs dry from here
  for (int writes = 1; writes <= 1200; ++writes) {
    speaker.script.Release(1);
    write();
    if (writes == 299 || writes == 300) {
      EXPECT_EQ(player.QueueDepth(), writes == 299 ? 5u : 4u);
    }
  }
  EXPECT_EQ(player.QueueDepth(), 2u);
  EXPECT_EQ(player.Underruns(), 4u);
  ASSERT_EQ(player.Close(), 0);  // the two queued never play: handed back after the wait
  EXPECT_EQ(player.Underruns(), 4u);
}

TEST(WaveOutPlayer, DeviceThatDoesNotExistIsRetriedOnceThenRefused) {
  WaveOutPlayer player;
  player.SetDeviceId(999999);
  auto start = Clock::now();
  EXPECT_EQ(player.Start(), -40);  // OnThreadStart -10
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(1000));
  // The player stays closed, so the push cycle finds no free header and reports -10.
  player.Stop();
  AudioSample* sample = MakePcm(std::vector<int16_t>(160, 1));
  EXPECT_EQ(player.TakeNextAudioSample(sample, nullptr), -10);
  sample->Release();
}

}  // namespace
}  // namespace ve
