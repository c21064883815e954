#include "platform/VirtualCaptureDevice.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

#include "platform/Resample.h"
#include "platform/VirtualPort.h"

namespace ve::platform {

namespace {

// Writes `count` 16-bit values into device bytes of the port's width (8 or 16 bits).
void Store(uint8_t* out, const int16_t* values, size_t count, uint16_t bits) {
  if (bits == 8) {
    for (size_t i = 0; i < count; ++i) out[i] = static_cast<uint8_t>((values[i] >> 8) + 128);
  } else {
    std::memcpy(out, values, count * 2);
  }
}

class CapturePort : public VirtualPort {
 public:
  CapturePort(const WAVEFORMATEX& format, std::vector<int16_t> audio, bool loop, double frequencyHz,
              int16_t amplitude)
      : VirtualPort(format, true),
        audio(std::move(audio)),
        loop(loop),
        frequencyHz(frequencyHz),
        amplitude(amplitude) {}

 protected:
  void Exchange(uint8_t* data, uint32_t bytes) override {
    const uint32_t width = format.wBitsPerSample / 8;
    const size_t count = bytes / width;
    size_t done = 0;
    while (done < count) {
      size_t n = std::min(count - done, kBlock);
      Generate(block, n);
      Store(data + done * width, block, n, format.wBitsPerSample);
      done += n;
    }
  }

  // Moves the tone or the file on by the dropped time without producing it.
  void Discard(uint64_t frames) override {
    if (frequencyHz > 0) {
      phase = std::fmod(phase + Step() * static_cast<double>(frames), 2 * std::numbers::pi);
      return;
    }
    const uint64_t values = frames * format.nChannels;
    if (loop && !audio.empty()) {
      position = static_cast<size_t>((position + values) % audio.size());
    } else {
      position = static_cast<size_t>(std::min<uint64_t>(audio.size(), position + values));
    }
  }

 private:
  static constexpr size_t kBlock = 256;

  double Step() const { return 2 * std::numbers::pi * frequencyHz / format.nSamplesPerSec; }

  void Generate(int16_t* out, size_t count) {
    if (frequencyHz > 0) {
      const double step = Step();
      for (size_t i = 0; i < count;) {
        int16_t value = static_cast<int16_t>(std::lround(amplitude * std::sin(phase)));
        for (uint16_t c = 0; c < format.nChannels && i < count; ++c) out[i++] = value;
        phase = std::fmod(phase + step, 2 * std::numbers::pi);
      }
      return;
    }
    for (size_t i = 0; i < count; ++i) {
      if (position >= audio.size() && loop && !audio.empty()) position = 0;
      out[i] = position < audio.size() ? audio[position++] : 0;
    }
  }

  const std::vector<int16_t> audio;
  const bool loop;
  const double frequencyHz;
  const int16_t amplitude;
  size_t position = 0;
  double phase = 0;
  int16_t block[kBlock];
};

}  // namespace

std::unique_ptr<VirtualCaptureDevice> VirtualCaptureDevice::Silence(std::string name) {
  return std::unique_ptr<VirtualCaptureDevice>(new VirtualCaptureDevice(std::move(name), Kind::kSilence));
}

std::unique_ptr<VirtualCaptureDevice> VirtualCaptureDevice::Tone(std::string name, double frequencyHz,
                                                                 int16_t amplitude) {
  std::unique_ptr<VirtualCaptureDevice> device(new VirtualCaptureDevice(std::move(name), Kind::kTone));
  device->frequencyHz = frequencyHz;
  device->amplitude = amplitude;
  return device;
}

int32_t VirtualCaptureDevice::FromWavFile(std::string name, const char* path, bool loop,
                                          std::unique_ptr<VirtualCaptureDevice>* out) {
  auto audio = std::make_shared<WavPcmReader::Audio>();
  int32_t result = WavPcmReader::ReadFile(path, audio.get());
  if (result != 0) return result;
  std::unique_ptr<VirtualCaptureDevice> device(new VirtualCaptureDevice(std::move(name), Kind::kFile));
  device->loop = loop;
  device->file = std::move(audio);
  *out = std::move(device);
  return 0;
}

std::vector<int16_t> VirtualCaptureDevice::Convert(const WavPcmReader::Audio& audio, uint16_t channels,
                                                   uint32_t rate) {
  const uint16_t from = audio.channels;
  if (from == 0 || channels == 0) return {};
  const size_t frames = audio.samples.size() / from;
  std::vector<int16_t> mapped;
  if (from == channels) {
    mapped.assign(audio.samples.begin(), audio.samples.begin() + frames * from);
  } else {
    mapped.resize(frames * channels);
    for (size_t f = 0; f < frames; ++f) {
      const int16_t* in = &audio.samples[f * from];
      for (uint16_t c = 0; c < channels; ++c) {
        int32_t value;
        if (channels == 1) {
          int32_t sum = 0;
          for (uint16_t k = 0; k < from; ++k) sum += in[k];
          value = sum / from;
        } else {
          value = in[c % from];
        }
        mapped[f * channels + c] = static_cast<int16_t>(value);
      }
    }
  }
  if (audio.sampleRate == rate || frames == 0) return mapped;
  std::vector<int16_t> resampled;
  if (!ResamplePcm16(mapped, channels, audio.sampleRate, rate, &resampled)) return {};
  return resampled;
}

MMRESULT VirtualCaptureDevice::OpenCapture(const WAVEFORMATEX& format, std::unique_ptr<WavePort>* port) {
  std::vector<int16_t> audio;
  if (kind == Kind::kFile) audio = Convert(*file, format.nChannels, format.nSamplesPerSec);
  double frequency = kind == Kind::kTone ? frequencyHz : 0;
  *port = std::make_unique<CapturePort>(format, std::move(audio), loop, frequency, amplitude);
  return MMSYSERR_NOERROR;
}

}  // namespace ve::platform
