// The wave services over virtual devices: buffers come back exactly once, in order; reset and
// close hand back what is queued; the per-channel gain. (The pace of capture is measured by
// the device loop tests.)

#include <gtest/gtest.h>

#include "WaveCallbackLog.h"
#include "platform/WaveIn.h"
#include "platform/WaveOut.h"
#include "platform/WaveStream.h"
#include "support/WavWriter.h"
#include "voiceengine/Devices.h"

namespace ve::platform {
namespace {

TEST(WaveStream, ResetAndCloseHandEveryQueuedBufferBackOnce) {
  WaveCallbackLog log;
  WaveBuffers buffers(6, 320);
  uint32_t id = 0;
  ASSERT_EQ(voiceengine::AddToneCaptureDevice("tone", 400, 8000, &id), 0);
  const WAVEFORMATEX format = test::MakeLinearFormat(WAVE_FORMAT_PCM, 8000, 1, 16);
  HWAVEIN device = nullptr;
  ASSERT_EQ(waveInOpen(&device, id, &format, &WaveCallbackLog::Callback, log.Instance()), MMSYSERR_NOERROR);
  for (auto& header : buffers.headers) {
    waveInPrepareHeader(device, &header);
    waveInAddBuffer(device, &header);
  }
  // A queued buffer cannot be added twice or unprepared.
  EXPECT_EQ(waveInAddBuffer(device, &buffers.headers[0]), WAVERR_STILLPLAYING);
  EXPECT_EQ(waveInUnprepareHeader(device, &buffers.headers[0]), WAVERR_STILLPLAYING);
  EXPECT_FALSE(log.WaitFor(1, 60)) << "nothing is recorded before Start";
  waveInStart(device);
  ASSERT_TRUE(log.WaitFor(2));
  // Buffers were queued all along: the device dropped nothing.
  DeviceCounters counters;
  counters.overruns = 99;
  EXPECT_EQ(waveInGetCounters(device, &counters), MMSYSERR_NOERROR);
  EXPECT_EQ(counters.overruns, 0u);
  ASSERT_EQ(waveInReset(device), MMSYSERR_NOERROR);
  {
    // Every buffer is back by the time Reset returns, each exactly once, in queue order.
    std::lock_guard<std::mutex> guard(log.mutex);
    ASSERT_EQ(log.headers.size(), 6u);
    for (size_t i = 0; i < 6; ++i) {
      EXPECT_EQ(log.headers[i], &buffers.headers[i]);
      EXPECT_EQ(log.headers[i]->dwFlags & (WHDR_DONE | WHDR_INQUEUE), WHDR_DONE);
    }
  }
  // After a reset nothing is recorded until the next Start; Close returns the queued ones.
  waveInAddBuffer(device, &buffers.headers[0]);
  waveInAddBuffer(device, &buffers.headers[1]);
  EXPECT_FALSE(log.WaitFor(7, 60));
  ASSERT_EQ(waveInClose(device), MMSYSERR_NOERROR);
  std::lock_guard<std::mutex> guard(log.mutex);
  EXPECT_EQ(log.headers.size(), 8u);
  EXPECT_EQ(log.messages.front(), WIM_OPEN);
  EXPECT_EQ(log.messages.back(), WIM_CLOSE);
  voiceengine::RemoveDevice(id);
}

TEST(WaveStream, OpenRefusesUnknownDevicesDirectionsAndFormats) {
  const WAVEFORMATEX format = test::MakeLinearFormat(WAVE_FORMAT_PCM, 8000, 1, 16);
  const WAVEFORMATEX alaw = test::MakeLinearFormat(WAVE_FORMAT_ALAW, 8000, 1, 8);
  WAVEFORMATEX inconsistent = format;
  inconsistent.nBlockAlign = 4;
  HWAVEIN device = nullptr;
  auto callback = &WaveCallbackLog::Callback;
  EXPECT_EQ(waveInOpen(&device, 0x7FFFFFF0u, &format, callback, 0), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(device, nullptr);
  uint32_t speaker = 0;
  ASSERT_EQ(voiceengine::AddDiscardPlaybackDevice("speaker", &speaker), 0);
  EXPECT_EQ(waveInOpen(&device, speaker, &format, callback, 0), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(waveOutOpen(&device, speaker, &alaw, callback, 0), WAVERR_BADFORMAT);
  EXPECT_EQ(waveOutOpen(&device, speaker, &inconsistent, callback, 0), WAVERR_BADFORMAT);
  // A removed device is gone from the list and cannot be opened.
  ASSERT_EQ(voiceengine::RemoveDevice(speaker), 0);
  EXPECT_EQ(waveOutOpen(&device, speaker, &format, callback, 0), MMSYSERR_BADDEVICEID);
  for (const auto& entry : voiceengine::ListDevices()) EXPECT_NE(entry.id, speaker);
  EXPECT_EQ(voiceengine::RemoveDevice(speaker), voiceengine::kDeviceBadArgument);
}

// The gain word holds the left channel's level in its low half and the right's in its high
// half (0xFFFF is unity); 8-bit audio is scaled around its centre of 128.
TEST(WaveStream, ApplyGainTakesLeftFromTheLowHalfAndRightFromTheHighHalf) {
  WAVEFORMATEX stereo{WAVE_FORMAT_PCM, 2, 8000, 32000, 4, 16, 0}, mono8{WAVE_FORMAT_PCM, 1, 8000, 8000, 1, 8, 0};
  int16_t values[4] = {1000, 1000, -32768, 32767};
  WaveStream::ApplyGain(reinterpret_cast<uint8_t*>(values), sizeof values, stereo, 0xFFFF7FFFu);
  EXPECT_EQ(values[0], 499);
  EXPECT_EQ(values[1], 1000);
  EXPECT_EQ(values[2], -16384);
  uint8_t eightBit[2] = {228, 28};  // +100 and -100 around 128
  WaveStream::ApplyGain(eightBit, 2, mono8, 0x00000000u);
  EXPECT_EQ(eightBit[0], 128);
  EXPECT_EQ(eightBit[1], 128);
}

}  // namespace
}  // namespace ve::platform
