// The virtual devices behind the host's extension API: WAV-file microphones (once, looping,
// converted to the opened format), the rules of the WAV recorder and the loopback, the
// reader's refusal of damaged files, and the devices' wall clock: a starved speaker records
// silence and a microphone nobody reads drops audio, each counted.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <numeric>
#include <thread>

#include "platform/LoopbackDevice.h"
#include "platform/VirtualCaptureDevice.h"
#include "platform/VirtualPort.h"
#include "platform/VirtualPlaybackDevice.h"
#include "platform/WavPcmReader.h"
#include "support/WavWriter.h"
#include "voiceengine/Devices.h"

namespace ve::platform {
namespace {

WAVEFORMATEX Format(uint32_t rate, uint16_t channels, uint16_t bits) {
  return test::MakeLinearFormat(WAVE_FORMAT_PCM, rate, channels, bits);
}

// The 16-bit values of `bytes` captured from a freshly opened port of `device`.
std::vector<int16_t> Capture(VirtualDevice& device, const WAVEFORMATEX& format, uint32_t bytes) {
  std::unique_ptr<WavePort> port;
  EXPECT_EQ(device.OpenCapture(format, &port), MMSYSERR_NOERROR);
  std::vector<uint8_t> buffer(bytes);
  port->Start();
  EXPECT_EQ(port->Transfer(buffer.data(), bytes), static_cast<int32_t>(bytes));
  return test::Int16Values(buffer.data(), buffer.size());
}

using SteadyClock = std::chrono::steady_clock;

double MsSince(SteadyClock::time_point start, SteadyClock::time_point end = SteadyClock::now()) {
  return std::chrono::duration<double, std::milli>(end - start).count();
}

test::Bytes Wav(uint32_t rate, uint16_t channels, const std::vector<int16_t>& values) {
  return test::BuildWav(test::FormatChunk(test::MakeLinearFormat(WAVE_FORMAT_PCM, rate, channels, 16), 16),
                        test::Int16Bytes(values));
}

TEST(VirtualCaptureDevice, FilePlaysOnceThenSilenceOrLoops) {
  test::TempFile file(Wav(8000, 1, {1, 2, 3, 4, 5}));
  std::unique_ptr<VirtualCaptureDevice> once, looping;
  ASSERT_EQ(VirtualCaptureDevice::FromWavFile("once", file.Name(), false, &once), 0);
  ASSERT_EQ(VirtualCaptureDevice::FromWavFile("loop", file.Name(), true, &looping), 0);
  EXPECT_EQ(Capture(*once, Format(8000, 1, 16), 16), (std::vector<int16_t>{1, 2, 3, 4, 5, 0, 0, 0}));
  EXPECT_EQ(Capture(*looping, Format(8000, 1, 16), 16), (std::vector<int16_t>{1, 2, 3, 4, 5, 1, 2, 3}));
  // Every open starts from the beginning.
  EXPECT_EQ(Capture(*once, Format(8000, 1, 16), 4), (std::vector<int16_t>{1, 2}));
  // 8-bit output is centred on 128: values this small are two bytes of 128.
  EXPECT_EQ(static_cast<uint16_t>(Capture(*once, Format(8000, 1, 8), 2)[0]), 0x8080);
}

// A microphone nobody reads keeps recording: the audio of that time is dropped and counted,
// and the next buffer holds the audio of its own time.
TEST(VirtualCaptureDevice, UnreadAudioIsDroppedAndCounted) {
  std::vector<int16_t> ramp(16000);  // two seconds at 8 kHz, each value its own index
  std::iota(ramp.begin(), ramp.end(), int16_t{0});
  test::TempFile file(Wav(8000, 1, ramp));
  std::unique_ptr<VirtualCaptureDevice> device;
  ASSERT_EQ(VirtualCaptureDevice::FromWavFile("ramp", file.Name(), false, &device), 0);
  std::unique_ptr<WavePort> port;
  ASSERT_EQ(device->OpenCapture(Format(8000, 1, 16), &port), MMSYSERR_NOERROR);
  std::vector<int16_t> block(80);  // 10 ms
  auto take = [&] { return port->Transfer(reinterpret_cast<uint8_t*>(block.data()), 160); };
  const SteadyClock::time_point start = SteadyClock::now();
  port->Start();
  for (int i = 0; i < 20; ++i) ASSERT_EQ(take(), 160);
  EXPECT_EQ(block.back(), 1599);
  EXPECT_EQ(port->Counters().overruns, 0u);
  const SteadyClock::time_point idleFrom = SteadyClock::now();
  // Longer than the microphone's ring: the device's wall clock runs on.
  std::this_thread::sleep_for(VirtualPort::kCaptureSlack + std::chrono::milliseconds(200));
  const double idleMs = MsSince(idleFrom);
  ASSERT_EQ(take(), 160);
  // Within a block of the wall clock: the dropped time, and the time of the buffer's audio.
  const DeviceCounters counters = port->Counters();
  EXPECT_EQ(counters.overruns, 1u);
  EXPECT_NEAR(static_cast<double>(counters.droppedCaptureMs), idleMs, 10);
  EXPECT_NEAR(block[0] - 1600, static_cast<double>(counters.droppedCaptureMs) * 8, 8);
  EXPECT_NEAR(block.back() / 8.0, MsSince(start), 10);
  EXPECT_EQ(block.back() - block[0], 79);
}

struct Fit {
  double levelDb;         // of the fitted sine against `amplitude`
  double thdPlusNoiseDb;  // the rest against the sine
};

// Fits a sine of `frequency` to channel 0 of `n` frames from `start`; `n` spans whole periods.
Fit FitSine(const std::vector<int16_t>& pcm, uint16_t channels, double frequency, uint32_t rate, size_t start,
            size_t n, double amplitude) {
  double s = 0, c = 0, energy = 0;
  for (size_t i = 0; i < n; ++i) {
    const double value = pcm[(start + i) * channels];
    s += value * std::sin(2 * M_PI * frequency * i / rate);
    c += value * std::cos(2 * M_PI * frequency * i / rate);
    energy += value * value;
  }
  s *= 2.0 / n;
  c *= 2.0 / n;
  // Over whole periods the sine and cosine are orthogonal: the fitted sine holds this much of
  // the energy, and the rest is distortion and noise.
  const double signal = n * (s * s + c * c) / 2;
  return {20 * std::log10(std::hypot(s, c) / 32767 / amplitude), 10 * std::log10((energy - signal) / signal)};
}

#ifdef _WIN32
// The system's PCM converter picks the nearest source sample, with no filter: measured under
// Wine, a 1 kHz tone gets THD+N of -27.7 dB at 44.1 -> 8 kHz, -19.4 dB at 16 -> 48 kHz and
// -15.6 dB at 11.025 -> 8 kHz. The bar only catches a converter that loses the tone.
constexpr double kThdPlusNoiseDb = -12.0;
#else
constexpr double kThdPlusNoiseDb = -60.0;
#endif

// A file of 200 ms of a 1 kHz tone at half scale, its right channel (if any) silent, opened
// at another rate: the tone keeps its level, purity and length, a mono opening averages the
// channels (half the level), a stereo one keeps the right channel silent.
TEST(VirtualCaptureDevice, FileIsConvertedToTheOpenedFormat) {
  struct Case {
    uint32_t from;
    uint16_t fileChannels;
    uint32_t to;
    uint16_t channels;
    double levelDb;
  };
  for (const Case& c : {Case{44100, 2, 8000, 2, 0.0}, Case{16000, 1, 48000, 1, 0.0}, Case{11025, 1, 8000, 1, 0.0},
                        Case{16000, 2, 8000, 1, -6.02}}) {
    SCOPED_TRACE(std::to_string(c.from) + " -> " + std::to_string(c.to));
    std::vector<int16_t> tone;
    for (uint32_t i = 0; i < c.from / 5; ++i) {
      tone.push_back(static_cast<int16_t>(std::lround(16384 * std::sin(2 * M_PI * 1000 * i / c.from))));
      if (c.fileChannels == 2) tone.push_back(0);
    }
    test::TempFile file(Wav(c.from, c.fileChannels, tone));
    std::unique_ptr<VirtualCaptureDevice> device;
    ASSERT_EQ(VirtualCaptureDevice::FromWavFile("tone", file.Name(), false, &device), 0);
    const std::vector<int16_t> heard = Capture(*device, Format(c.to, c.channels, 16), c.to * c.channels * 2 * 3 / 10);
    const Fit fit = FitSine(heard, c.channels, 1000, c.to, c.to / 20, c.to / 10, 0.5);
    EXPECT_NEAR(fit.levelDb, c.levelDb, 0.5);
    EXPECT_LT(fit.thdPlusNoiseDb, kThdPlusNoiseDb);
    size_t frames = 0, rightPeak = 0;
    for (size_t i = 0; i < heard.size(); i += c.channels) {
      if (std::abs(heard[i]) > 4096) frames = i / c.channels + 1;
      if (c.channels == 2) rightPeak = std::max<size_t>(rightPeak, std::abs(heard[i + 1]));
    }
    EXPECT_NEAR(static_cast<double>(frames), c.to / 5.0, c.to / 100.0) << "200 ms of tone, give or take 10 ms";
    EXPECT_LE(rightPeak, 4u);
  }
}

TEST(VirtualCaptureDevice, DamagedFilesAreRefusedWithTheirCode) {
  using R = WavPcmReader;
  WavPcmReader::Audio audio;
  test::Bytes good = Wav(8000, 1, {1, 2, 3});
  EXPECT_EQ(R::Parse(good.data(), good.size(), &audio), 0);
  EXPECT_EQ(audio.samples.size(), 3u);
  // Cut anywhere inside the header: an error, never a read past the end.
  for (size_t n = 0; n < 44; ++n) EXPECT_NE(R::Parse(good.data(), n, &audio), 0) << n;
  // A data chunk cut short keeps its whole frames.
  EXPECT_EQ(R::Parse(good.data(), good.size() - 1, &audio), 0);
  EXPECT_EQ(audio.samples.size(), 2u);
  test::Bytes alaw = test::BuildWav(test::FormatChunk(test::MakeLinearFormat(WAVE_FORMAT_ALAW, 8000, 1, 8), 16), {1});
  EXPECT_EQ(R::Parse(alaw.data(), alaw.size(), &audio), R::kErrorFormat);
  test::Bytes noData = test::BuildRiff({{"fmt ", test::FormatChunk(test::MakeLinearFormat(1, 8000, 1, 16), 16)}});
  EXPECT_EQ(R::Parse(noData.data(), noData.size(), &audio), R::kErrorNoData);
  test::Bytes lying = test::BuildRiff({{"LIST", {1, 2}, 0x7FFFFFF0}, {"data", {0, 0}}});
  EXPECT_EQ(R::Parse(lying.data(), lying.size(), &audio), R::kErrorNotWave);
  uint32_t id = 0;
  EXPECT_EQ(voiceengine::AddWavFileCaptureDevice("x", "/nonexistent/file.wav", false, &id),
            voiceengine::kDeviceFileUnreadable);
  test::TempFile bad(alaw);
  EXPECT_EQ(voiceengine::AddWavFileCaptureDevice("x", bad.Name(), false, &id), voiceengine::kDeviceFileNotPcmWave);
}

// The WAV recorder and each side of the loopback open once at a time; the loopback's capture
// side takes the playback side's format and hands out whole buffers only. (What the recorder
// writes is checked through the WAV output player's tests.)
TEST(VirtualPlaybackDevice, RecorderAndLoopbackOpenOnceAtATime) {
  test::TempFile file(std::string(".wav"));
  std::shared_ptr<VirtualPlaybackDevice> recorder = VirtualPlaybackDevice::WavRecorder("rec", file.Path());
  auto loopback = std::make_shared<LoopbackDevice>("loop");
  WAVEFORMATEX format = Format(8000, 1, 16);
  std::unique_ptr<WavePort> port, second, out, in;
  ASSERT_EQ(recorder->OpenPlayback(format, &port), MMSYSERR_NOERROR);
  EXPECT_EQ(recorder->OpenPlayback(format, &second), MMSYSERR_ALLOCATED);
  port.reset();
  EXPECT_EQ(recorder->OpenPlayback(format, &second), MMSYSERR_NOERROR);

  ASSERT_EQ(loopback->OpenPlayback(format, &out), MMSYSERR_NOERROR);
  EXPECT_EQ(loopback->OpenPlayback(format, &port), MMSYSERR_ALLOCATED);
  EXPECT_EQ(loopback->OpenCapture(Format(16000, 1, 16), &in), WAVERR_BADFORMAT);
  ASSERT_EQ(loopback->OpenCapture(format, &in), MMSYSERR_NOERROR);
  int16_t played[4] = {1, 2, 3, 4};
  out->Start();
  in->Start();
  out->Transfer(reinterpret_cast<uint8_t*>(played), 4);  // two values played
  int16_t captured[4] = {9, 9, 9, 9};
  // Four values asked for, two available: silence now, the audio is kept, not cut apart.
  in->Transfer(reinterpret_cast<uint8_t*>(captured), 8);
  EXPECT_EQ(captured[0], 0);
  out->Transfer(reinterpret_cast<uint8_t*>(played + 2), 4);
  in->Transfer(reinterpret_cast<uint8_t*>(captured), 8);
  EXPECT_EQ(std::memcmp(captured, played, 8), 0);
}

// The recorder keeps wall-clock time: fed back to back it neither drifts nor counts an
// underrun; starved, it records the silence of the time that passed, counts one underrun and
// plays the later audio at its own time, so the file is as long as the device ran.
TEST(VirtualPlaybackDevice, StarvedRecorderRecordsTheSilenceOfTheGap) {
  test::TempFile file(std::string(".wav"));
  std::shared_ptr<VirtualPlaybackDevice> recorder = VirtualPlaybackDevice::WavRecorder("rec", file.Path());
  std::unique_ptr<WavePort> port;
  ASSERT_EQ(recorder->OpenPlayback(Format(8000, 1, 16), &port), MMSYSERR_NOERROR);
  std::vector<int16_t> block(80, 1000);
  auto play = [&](int blocks, uint32_t frames) {
    for (int i = 0; i < blocks; ++i) {
      ASSERT_EQ(port->Transfer(reinterpret_cast<uint8_t*>(block.data()), 2 * frames), static_cast<int32_t>(2 * frames));
    }
  };
  const SteadyClock::time_point start = SteadyClock::now();
  port->Start();
  play(400, 8);  // 1 ms blocks
  const SteadyClock::time_point idleFrom = SteadyClock::now();
  // Deadlines are absolute: 400 blocks take 400 ms, not 400 ms plus each wake-up's delay.
  EXPECT_NEAR(MsSince(start, idleFrom), 400, 10);
  EXPECT_EQ(port->Counters().underruns, 0u);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the owner has nothing to play
  const double idleMs = MsSince(idleFrom);
  play(10, 80);  // 10 ms blocks
  const double ranMs = MsSince(start);
  EXPECT_EQ(port->Counters().underruns, 1u);
  port.reset();  // completes the file

  WavPcmReader::Audio audio;
  ASSERT_EQ(WavPcmReader::ReadFile(file.Name(), &audio), 0);
  const std::vector<int16_t>& values = audio.samples;
  ASSERT_GT(values.size(), 4000u);
  EXPECT_TRUE(std::all_of(values.begin(), values.begin() + 3200, [](int16_t v) { return v == 1000; }));
  EXPECT_TRUE(std::all_of(values.end() - 800, values.end(), [](int16_t v) { return v == 1000; }));
  const size_t silence = values.size() - 4000;
  EXPECT_TRUE(std::all_of(values.begin() + 3200, values.end() - 800, [](int16_t v) { return v == 0; }));
  EXPECT_NEAR(static_cast<double>(silence) / 8, idleMs, 10);
  EXPECT_NEAR(static_cast<double>(values.size()) / 8, ranMs, 10);
}

}  // namespace
}  // namespace ve::platform
