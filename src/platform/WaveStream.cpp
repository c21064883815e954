#include "platform/WaveStream.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "platform/DebugOutput.h"
#include "platform/Thread.h"

namespace ve::platform {

namespace {

// The software mixer's controls act on the stream's input gain and mute.
class InputVolumeControl : public MixerControl {
 public:
  explicit InputVolumeControl(WaveStream* stream) : stream(stream) {}
  uint32_t Type() const override { return MIXERCONTROL_CONTROLTYPE_VOLUME; }
  MMRESULT Get(uint32_t* value) override {
    *value = stream->InputGain();
    return MMSYSERR_NOERROR;
  }
  MMRESULT Set(uint32_t value) override {
    stream->SetInputGain(value);
    return MMSYSERR_NOERROR;
  }

 private:
  WaveStream* stream;
};

class InputMuteControl : public MixerControl {
 public:
  explicit InputMuteControl(WaveStream* stream) : stream(stream) {}
  uint32_t Type() const override { return MIXERCONTROL_CONTROLTYPE_MUTE; }
  MMRESULT Get(uint32_t* value) override {
    *value = stream->InputMute() ? 1 : 0;
    return MMSYSERR_NOERROR;
  }
  MMRESULT Set(uint32_t value) override {
    stream->SetInputMute(value != 0);
    return MMSYSERR_NOERROR;
  }

 private:
  WaveStream* stream;
};

// Scales one value by a gain where 0xFFFF is unity: 0xFFFF + (0xFFFF >> 15) = 0x10000.
inline int32_t Scale(int32_t value, uint32_t gain) {
  int32_t factor = static_cast<int32_t>(gain + (gain >> 15));
  return static_cast<int32_t>((static_cast<int64_t>(value) * factor) >> 16);
}

}  // namespace

WaveStream::WaveStream(Direction direction, std::unique_ptr<WavePort> port, const WAVEFORMATEX& format,
                       WaveCallback callback, uintptr_t instance, std::shared_ptr<InputLevel> level)
    : direction(direction),
      port(std::move(port)),
      format(format),
      callback(callback),
      instance(instance),
      active(direction == Direction::kPlayback),
      level(level != nullptr ? std::move(level) : std::make_shared<InputLevel>()) {}

WaveStream::~WaveStream() { Close(); }

MMRESULT WaveStream::Launch() {
  try {
    driver = std::thread([this] { Run(); });
  } catch (const std::system_error&) {
    return MMSYSERR_NOMEM;
  }
  return MMSYSERR_NOERROR;
}

MMRESULT WaveStream::Prepare(WAVEHDR* header) {
  if (header == nullptr || header->lpData == nullptr || header->dwBufferLength == 0) {
    return MMSYSERR_INVALPARAM;
  }
  std::lock_guard<std::mutex> guard(mutex);
  if (header->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
  header->dwFlags |= WHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT WaveStream::Unprepare(WAVEHDR* header) {
  if (header == nullptr) return MMSYSERR_INVALPARAM;
  std::lock_guard<std::mutex> guard(mutex);
  if (header->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
  header->dwFlags &= ~WHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT WaveStream::Add(WAVEHDR* header) {
  if (header == nullptr) return MMSYSERR_INVALPARAM;
  std::lock_guard<std::mutex> guard(mutex);
  if (closing) return MMSYSERR_INVALHANDLE;
  if (!(header->dwFlags & WHDR_PREPARED)) return WAVERR_UNPREPARED;
  if (header->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
  header->dwFlags = (header->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
  header->dwBytesRecorded = 0;
  queue.push_back(header);
  wake.notify_all();
  return MMSYSERR_NOERROR;
}

MMRESULT WaveStream::Start() {
  std::lock_guard<std::mutex> guard(mutex);
  if (closing) return MMSYSERR_INVALHANDLE;
  active = true;
  wake.notify_all();
  return MMSYSERR_NOERROR;
}

MMRESULT WaveStream::Reset() {
  if (std::this_thread::get_id() == driver.get_id()) return MMSYSERR_ERROR;
  std::unique_lock<std::mutex> lock(mutex);
  if (closing) return MMSYSERR_INVALHANDLE;
  resetRequested = true;
  if (direction == Direction::kCapture) active = false;
  port->Interrupt();
  wake.notify_all();
  resetDone.wait(lock, [this] { return !resetRequested; });
  return MMSYSERR_NOERROR;
}

MMRESULT WaveStream::Close() {
  if (std::this_thread::get_id() == driver.get_id()) return MMSYSERR_ERROR;
  {
    std::lock_guard<std::mutex> guard(mutex);
    if (closed) return MMSYSERR_NOERROR;
    closed = true;
    closing = true;
    port->Interrupt();
    wake.notify_all();
  }
  if (driver.joinable()) driver.join();
  port.reset();
  return MMSYSERR_NOERROR;
}

std::unique_ptr<Mixer> WaveStream::OpenMixer() {
  if (direction != Direction::kCapture) return nullptr;
  std::unique_ptr<Mixer> mixer = port ? port->OpenHardwareMixer() : nullptr;
  if (mixer != nullptr) return mixer;
  mixer = std::make_unique<Mixer>();
  uint32_t destination = mixer->AddDestination(MIXERLINE_COMPONENTTYPE_DST_WAVEIN, "Capture");
  uint32_t microphone = mixer->AddSource(destination, MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE, "Microphone");
  mixer->AddControl(microphone, std::make_unique<InputVolumeControl>(this));
  mixer->AddControl(microphone, std::make_unique<InputMuteControl>(this));
  return mixer;
}

void WaveStream::ApplyGain(uint8_t* data, uint32_t bytes, const WAVEFORMATEX& format, uint32_t word) {
  if (word == 0xFFFFFFFFu || format.wFormatTag != WAVE_FORMAT_PCM || format.nChannels == 0) return;
  const uint32_t gains[2] = {word & 0xFFFF, word >> 16};
  const uint32_t channels = format.nChannels;
  if (format.wBitsPerSample == 16) {
    uint32_t count = bytes / 2;
    for (uint32_t i = 0; i < count; ++i) {
      // Mono uses the left gain; with more channels, even channels the left, odd the right.
      uint32_t gain = channels == 1 ? gains[0] : gains[(i % channels) & 1];
      int16_t value;
      std::memcpy(&value, data + 2 * i, 2);
      value = static_cast<int16_t>(Scale(value, gain));
      std::memcpy(data + 2 * i, &value, 2);
    }
  } else if (format.wBitsPerSample == 8) {
    for (uint32_t i = 0; i < bytes; ++i) {
      uint32_t gain = channels == 1 ? gains[0] : gains[(i % channels) & 1];
      data[i] = static_cast<uint8_t>(Scale(static_cast<int32_t>(data[i]) - 128, gain) + 128);
    }
  }
}

void WaveStream::Deliver(uint32_t message, WAVEHDR* header) {
  if (callback != nullptr) callback(this, message, instance, header);
}

void WaveStream::WaitBufferTime(uint32_t bytes) {
  uint32_t rate = format.nAvgBytesPerSec != 0 ? format.nAvgBytesPerSec : 16000;
  auto duration = std::chrono::microseconds(static_cast<uint64_t>(bytes) * 1000000 / rate);
  std::unique_lock<std::mutex> lock(mutex);
  wake.wait_for(lock, duration, [this] { return resetRequested || closing; });
}

uint32_t WaveStream::Transfer(WAVEHDR* header) {
  const uint32_t length = header->dwBufferLength;
  int32_t moved;
  if (direction == Direction::kCapture) {
    moved = port->Transfer(header->lpData, length);
    if (moved >= 0) {
      uint32_t gain = level->mute ? 0 : level->gain.load();
      ApplyGain(header->lpData, static_cast<uint32_t>(moved), format, gain | (gain << 16));
    }
  } else {
    uint32_t word = volumeWord;
    if (word == 0xFFFFFFFFu) {
      moved = port->Transfer(header->lpData, length);
    } else {
      // The caller's buffer is never changed: the gain goes into a copy, chunk by chunk.
      moved = 0;
      uint32_t align = format.nBlockAlign != 0 ? format.nBlockAlign : 1;
      uint32_t chunk = kScratchBytes - kScratchBytes % align;
      while (static_cast<uint32_t>(moved) < length) {
        uint32_t n = std::min(chunk, length - static_cast<uint32_t>(moved));
        std::memcpy(scratch, header->lpData + moved, n);
        ApplyGain(scratch, n, format, word);
        int32_t r = port->Transfer(scratch, n);
        if (r < 0) {
          if (moved == 0) moved = r;
          break;
        }
        moved += r;
        if (static_cast<uint32_t>(r) < n) break;
      }
    }
  }
  if (moved < 0) {
    if (!reportedError) {
      DebugPrintf("wave device error %d\r\n", moved);
      reportedError = true;
    }
    // A failing device still runs at its pace; capture delivers silence.
    WaitBufferTime(length);
    if (direction == Direction::kCapture) {
      std::memset(header->lpData, format.wBitsPerSample == 8 ? 0x80 : 0, length);
      return length;
    }
    return 0;
  }
  return static_cast<uint32_t>(moved);
}

void WaveStream::ReturnAll(std::unique_lock<std::mutex>& lock) {
  while (!queue.empty()) {
    WAVEHDR* header = queue.front();
    queue.pop_front();
    header->dwFlags = (header->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
    lock.unlock();
    Deliver(direction == Direction::kCapture ? WIM_DATA : WOM_DONE, header);
    lock.lock();
  }
}

void WaveStream::Run() {
  // Drivers run at real-time priority where the system allows it; a refusal is ignored.
  RaiseCurrentThreadPriority();
  const bool capture = direction == Direction::kCapture;
  Deliver(capture ? WIM_OPEN : WOM_OPEN, nullptr);
  std::unique_lock<std::mutex> lock(mutex);
  for (;;) {
    wake.wait(lock, [this] { return closing || resetRequested || (active && !queue.empty()); });
    if (closing || resetRequested) {
      lock.unlock();
      port->Stop();
      portRunning = false;
      lock.lock();
      ReturnAll(lock);
      if (closing) break;
      resetRequested = false;
      resetDone.notify_all();
      continue;
    }
    WAVEHDR* header = queue.front();
    lock.unlock();
    if (!portRunning) {
      port->Start();
      portRunning = true;
    }
    uint32_t moved = Transfer(header);
    lock.lock();
    queue.pop_front();
    header->dwBytesRecorded = capture ? moved : 0;
    header->dwFlags = (header->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
    lock.unlock();
    Deliver(capture ? WIM_DATA : WOM_DONE, header);
    lock.lock();
  }
  // A Reset racing with Close is answered too.
  resetRequested = false;
  resetDone.notify_all();
  lock.unlock();
  Deliver(capture ? WIM_CLOSE : WOM_CLOSE, nullptr);
}

}  // namespace ve::platform
