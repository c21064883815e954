// The system's wave devices on Windows, through the wave services the engine calls: listing,
// playback that hands every buffer back once with a bounded queue, prompt resets and
// interrupts, and the capture mixer.
// Needs wave devices (under Wine: a sound server, see scripts/sound-server.sh); skips without.

#ifdef _WIN32

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "WaveCallbackLog.h"
#include "platform/DeviceRegistry.h"
#include "platform/Mixer.h"
#include "platform/SoundSystem.h"
#include "platform/WaveIn.h"
#include "platform/WaveOut.h"
#include "platform/win32/WinmmMixer.h"
#include "support/DeviceSignals.h"

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <mmsystem.h>
// Here these names are ours: the records (the system's are named by character set) and the
// unsigned result codes.
#undef MIXERLINE
#undef MIXERCONTROL
#undef MMSYSERR_NOERROR
#undef MMSYSERR_BADDEVICEID

namespace ve::platform {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kBytes = 320;  // 20 ms at 8 kHz 16-bit mono

double Ms(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

const ve::WAVEFORMATEX kFormat{1, 1, 8000, 16000, 2, 16, 0};

bool HaveDevices() { return ::waveInGetNumDevs() > 0 && ::waveOutGetNumDevs() > 0; }

#define REQUIRE_DEVICES() \
  if (!HaveDevices()) GTEST_SKIP() << "no wave devices (under Wine: start the sound server)"

// Tests that play, record or set the capture volume hold the default devices alone: other
// test programs running at the same time would hear what is played or lose their level.
#define REQUIRE_DEVICES_ALONE() \
  REQUIRE_DEVICES();            \
  test::SoundServerLock alone

TEST(Winmm, ListsEachDirectionOfTheSystemDevicesAndOpensThem) {
  REQUIRE_DEVICES();
  std::vector<SoundSystem::Device> devices = SoundSystem::List();
  const UINT inputs = ::waveInGetNumDevs(), outputs = ::waveOutGetNumDevs();
  ASSERT_EQ(devices.size(), inputs + outputs);
  for (size_t i = 0; i < devices.size(); ++i) {
    bool input = i < inputs;
    EXPECT_EQ(devices[i].capture, input);
    EXPECT_EQ(devices[i].playback, !input);
    EXPECT_EQ(devices[i].systemId, input ? i : i - inputs);
    EXPECT_FALSE(devices[i].name.empty());
  }
  // Every listed device opens in its own direction only, through the registry's ids.
  for (const DeviceRegistry::Entry& entry : DeviceRegistry::Instance().List()) {
    if (entry.isVirtual) continue;
    HWAVEIN device = nullptr;
    MMRESULT in = waveInOpen(&device, entry.id, &kFormat, nullptr, 0);
    if (in == MMSYSERR_NOERROR) waveInClose(device);
    MMRESULT out = waveOutOpen(&device, entry.id, &kFormat, nullptr, 0);
    if (out == MMSYSERR_NOERROR) waveOutClose(device);
    EXPECT_EQ(in, entry.capture ? MMSYSERR_NOERROR : MMSYSERR_BADDEVICEID) << entry.name;
    EXPECT_EQ(out, entry.playback ? MMSYSERR_NOERROR : MMSYSERR_BADDEVICEID) << entry.name;
  }
}

// Every played buffer comes back once, in order; the last one only once no more than 160 ms
// (plus scheduling slack) was left to play, so the queue is bounded. With the writer blocked on
// a full queue, a reset hands every queued buffer back at once. (That played audio is heard on
// the capture side, and the pace of capture, are measured by the device loop tests.)
TEST(Winmm, PlaybackReturnsBuffersInOrderFromABoundedQueueAndAResetReturnsAllAtOnce) {
  REQUIRE_DEVICES_ALONE();
  WaveCallbackLog played;
  WaveBuffers tone(40, kBytes);  // 800 ms
  HWAVEOUT out = nullptr;
  ASSERT_EQ(waveOutOpen(&out, WAVE_MAPPER, &kFormat, &WaveCallbackLog::Callback, played.Instance()), MMSYSERR_NOERROR);
  const auto start = Clock::now();
  for (auto& header : tone.headers) {
    ASSERT_EQ(waveOutPrepareHeader(out, &header), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutWrite(out, &header), MMSYSERR_NOERROR);
  }
  ASSERT_TRUE(played.WaitFor(40, 3000));
  for (size_t i = 0; i < 40; ++i) EXPECT_EQ(played.headers[i], &tone.headers[i]);
  EXPECT_GT(Ms(start, played.times[39]), 800 - 160 - 60);

  for (auto& header : tone.headers) waveOutWrite(out, &header);
  ASSERT_TRUE(played.WaitFor(41, 3000));
  const auto before = Clock::now();
  ASSERT_EQ(waveOutReset(out), MMSYSERR_NOERROR);
  EXPECT_LT(Ms(before, Clock::now()), 100);
  EXPECT_EQ(played.headers.size(), 80u);
  EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
}

TEST(Winmm, InterruptEndsABlockedTransferFromAnotherThreadAndStopClearsIt) {
  REQUIRE_DEVICES_ALONE();
  for (bool capture : {true, false}) {
    SCOPED_TRACE(capture ? "capture" : "playback");
    std::unique_ptr<WavePort> port;
    ASSERT_EQ(SoundSystem::Open(nullptr, capture, kFormat, &port), MMSYSERR_NOERROR);
    ASSERT_EQ(port->Start(), 0);
    // 2 s in one transfer: playback blocks once its queue is full, capture on the device.
    std::vector<uint8_t> audio(32000);
    int32_t moved = -1;
    Clock::time_point returned;
    std::thread transfer([&] {
      moved = port->Transfer(audio.data(), static_cast<uint32_t>(audio.size()));
      returned = Clock::now();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto interrupted = Clock::now();
    port->Interrupt();
    transfer.join();
    EXPECT_LT(Ms(interrupted, returned), 50);
    EXPECT_GT(moved, 0);
    EXPECT_LT(moved, 32000);
    // Until Stop, every transfer returns at once; after it the port moves audio again.
    EXPECT_EQ(port->Transfer(audio.data(), kBytes), 0);
    port->Stop();
    ASSERT_EQ(port->Start(), 0);
    EXPECT_EQ(port->Transfer(audio.data(), kBytes), static_cast<int32_t>(kBytes));
    port->Stop();
  }
}

// The id of the volume control on the wave-in destination of `mixer`.
uint32_t DestinationVolume(Mixer* mixer) {
  ve::platform::MIXERLINE destination;
  destination.dwComponentType = MIXERLINE_COMPONENTTYPE_DST_WAVEIN;
  EXPECT_EQ(mixer->GetLineInfo(&destination, MIXER_GETLINEINFOF_COMPONENTTYPE), MMSYSERR_NOERROR);
  ve::platform::MIXERCONTROL volume{};
  EXPECT_EQ(mixer->GetLineControl(destination.dwLineID, MIXERCONTROL_CONTROLTYPE_VOLUME, &volume), MMSYSERR_NOERROR);
  return volume.dwControlID;
}

TEST(Winmm, CaptureMixerOfAStreamSetsTheSystemVolumeOfItsDevice) {
  REQUIRE_DEVICES_ALONE();
  // The system's own mixer of the default capture device, opened on a handle of our own...
  ::WAVEFORMATEX format{WAVE_FORMAT_PCM, 1, 8000, 16000, 2, 16, 0};
  ::HWAVEIN system = nullptr;
  ASSERT_EQ(::waveInOpen(&system, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
  std::unique_ptr<Mixer> direct = WinmmMixer::OpenCaptureMixer(system);
  if (direct == nullptr) {
    ::waveInClose(system);
    GTEST_SKIP() << "the capture device has no mixer with a volume";
  }
  // ... sees what the mixer of an engine stream on that device sets, on our 0..65535 scale.
  HWAVEIN stream = nullptr;
  ASSERT_EQ(waveInOpen(&stream, WAVE_MAPPER, &kFormat, nullptr, 0), MMSYSERR_NOERROR);
  HMIXER ours = nullptr;
  ASSERT_EQ(mixerOpen(&ours, stream), MMSYSERR_NOERROR);
  const uint32_t ourVolume = DestinationVolume(ours), directVolume = DestinationVolume(direct.get());
  uint32_t original = 0, value = 0;
  ASSERT_EQ(direct->GetControlValue(directVolume, &original), MMSYSERR_NOERROR);
  for (uint32_t level : {16384u, 65535u, 0u}) {
    ASSERT_EQ(mixerSetControlDetails(ours, ourVolume, level), MMSYSERR_NOERROR);
    ASSERT_EQ(direct->GetControlValue(directVolume, &value), MMSYSERR_NOERROR);
    EXPECT_NEAR(value, level, 2);
  }
  direct->SetControlValue(directVolume, original);
  mixerClose(ours);
  waveInClose(stream);
  direct.reset();
  ::waveInClose(system);
}

}  // namespace
}  // namespace ve::platform

#endif  // _WIN32
