// The wave services over virtual devices: buffers come back exactly once, in order; reset and
// close hand back what is queued; the per-channel gain. (The pace of capture is measured by
// the device loop tests.)

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "framework/AudioSample.h"
#include "platform/WaveIn.h"
#include "platform/WaveOut.h"
#include "platform/WaveStream.h"
#include "support/DeviceSignals.h"
#include "voiceengine/Devices.h"

namespace ve::platform {
namespace {

// Records what the device callback delivers.
struct Collector {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<WAVEHDR*> done;
  std::vector<uint32_t> messages;

  static void Callback(WaveStream*, uint32_t message, uintptr_t instance, WAVEHDR* header) {
    auto* self = reinterpret_cast<Collector*>(instance);
    std::lock_guard<std::mutex> guard(self->mutex);
    self->messages.push_back(message);
    if (header != nullptr) self->done.push_back(header);
    self->changed.notify_all();
  }
  bool WaitFor(size_t count, int ms = 3000) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return done.size() >= count; });
  }
  uintptr_t Instance() { return reinterpret_cast<uintptr_t>(this); }
};

WAVEFORMATEX Pcm8k() {
  WAVEFORMATEX format;
  GetStandardFormat(&format, kFormatPcm16);
  return format;
}

struct Buffers {
  static constexpr int kCount = 6;
  static constexpr uint32_t kBytes = 320;
  WAVEHDR headers[kCount];
  uint8_t memory[kCount][kBytes] = {};
  Buffers() {
    for (int i = 0; i < kCount; ++i) {
      headers[i].lpData = memory[i];
      headers[i].dwBufferLength = kBytes;
      headers[i].dwUser = static_cast<uintptr_t>(i);
    }
  }
};

// Adds a tone microphone (its id to `id`) and opens it for capture into `collector`.
HWAVEIN OpenTone(double frequency, int32_t amplitude, Collector& collector, uint32_t* id) {
  EXPECT_EQ(voiceengine::AddToneCaptureDevice("tone", frequency, amplitude, id), 0);
  WAVEFORMATEX format = Pcm8k();
  HWAVEIN device = nullptr;
  EXPECT_EQ(waveInOpen(&device, *id, &format, &Collector::Callback, collector.Instance()), MMSYSERR_NOERROR);
  return device;
}

TEST(WaveStream, ResetAndCloseHandEveryQueuedBufferBackOnce) {
  Collector collector;
  Buffers buffers;
  uint32_t id = 0;
  HWAVEIN device = OpenTone(400, 8000, collector, &id);
  ASSERT_NE(device, nullptr);
  for (auto& header : buffers.headers) {
    waveInPrepareHeader(device, &header);
    waveInAddBuffer(device, &header);
  }
  // A queued buffer cannot be added twice or unprepared.
  EXPECT_EQ(waveInAddBuffer(device, &buffers.headers[0]), WAVERR_STILLPLAYING);
  EXPECT_EQ(waveInUnprepareHeader(device, &buffers.headers[0]), WAVERR_STILLPLAYING);
  EXPECT_FALSE(collector.WaitFor(1, 60)) << "nothing is recorded before Start";
  waveInStart(device);
  ASSERT_TRUE(collector.WaitFor(2));
  // Buffers were queued all along: the device dropped nothing.
  DeviceCounters counters;
  counters.overruns = 99;
  EXPECT_EQ(waveInGetCounters(device, &counters), MMSYSERR_NOERROR);
  EXPECT_EQ(counters.overruns, 0u);
  ASSERT_EQ(waveInReset(device), MMSYSERR_NOERROR);
  {
    // Every buffer is back by the time Reset returns, each exactly once, in queue order.
    std::lock_guard<std::mutex> guard(collector.mutex);
    ASSERT_EQ(collector.done.size(), 6u);
    for (int i = 0; i < 6; ++i) {
      EXPECT_EQ(collector.done[i], &buffers.headers[i]);
      EXPECT_EQ(collector.done[i]->dwFlags & (WHDR_DONE | WHDR_INQUEUE), WHDR_DONE);
    }
  }
  // After a reset nothing is recorded until the next Start; Close returns the queued ones.
  waveInAddBuffer(device, &buffers.headers[0]);
  waveInAddBuffer(device, &buffers.headers[1]);
  EXPECT_FALSE(collector.WaitFor(7, 60));
  ASSERT_EQ(waveInClose(device), MMSYSERR_NOERROR);
  std::lock_guard<std::mutex> guard(collector.mutex);
  EXPECT_EQ(collector.done.size(), 8u);
  ASSERT_FALSE(collector.messages.empty());
  EXPECT_EQ(collector.messages.front(), WIM_OPEN);
  EXPECT_EQ(collector.messages.back(), WIM_CLOSE);
  voiceengine::RemoveDevice(id);
}

TEST(WaveStream, OpenRefusesUnknownDevicesDirectionsAndFormats) {
  Collector collector;
  WAVEFORMATEX format = Pcm8k();
  HWAVEIN device = nullptr;
  EXPECT_EQ(waveInOpen(&device, 0x7FFFFFF0u, &format, &Collector::Callback, 0), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(device, nullptr);
  uint32_t speaker = 0;
  ASSERT_EQ(voiceengine::AddDiscardPlaybackDevice("speaker", &speaker), 0);
  EXPECT_EQ(waveInOpen(&device, speaker, &format, &Collector::Callback, 0), MMSYSERR_BADDEVICEID);
  WAVEFORMATEX alaw;
  GetStandardFormat(&alaw, kFormatALaw);
  EXPECT_EQ(waveOutOpen(&device, speaker, &alaw, &Collector::Callback, 0), WAVERR_BADFORMAT);
  WAVEFORMATEX inconsistent = format;
  inconsistent.nBlockAlign = 4;
  EXPECT_EQ(waveOutOpen(&device, speaker, &inconsistent, &Collector::Callback, 0), WAVERR_BADFORMAT);
  // A removed device is gone from the list and cannot be opened.
  ASSERT_EQ(voiceengine::RemoveDevice(speaker), 0);
  EXPECT_EQ(waveOutOpen(&device, speaker, &format, &Collector::Callback, 0), MMSYSERR_BADDEVICEID);
  for (const auto& entry : voiceengine::ListDevices()) EXPECT_NE(entry.id, speaker);
  EXPECT_EQ(voiceengine::RemoveDevice(speaker), voiceengine::kDeviceBadArgument);
}

TEST(WaveStream, ApplyGainTakesLeftFromTheLowHalfAndRightFromTheHighHalf) {
  WAVEFORMATEX stereo{WAVE_FORMAT_PCM, 2, 8000, 32000, 4, 16, 0};
  int16_t values[4] = {1000, 1000, -32768, 32767};
  WaveStream::ApplyGain(reinterpret_cast<uint8_t*>(values), sizeof values, stereo, 0xFFFF7FFFu);
  EXPECT_EQ(values[0], 499);    // left at half (0x7FFF)
  EXPECT_EQ(values[1], 1000);   // right at unity (0xFFFF)
  EXPECT_EQ(values[2], -16384);
  uint8_t eightBit[2] = {228, 28};  // +100 and -100 around 128
  WAVEFORMATEX mono8{WAVE_FORMAT_PCM, 1, 8000, 8000, 1, 8, 0};
  WaveStream::ApplyGain(eightBit, 2, mono8, 0x00000000u);
  EXPECT_EQ(eightBit[0], 128);
  EXPECT_EQ(eightBit[1], 128);
}

}  // namespace
}  // namespace ve::platform
