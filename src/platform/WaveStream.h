#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/Mixer.h"
#include "platform/WaveHeader.h"
#include "platform/WavePort.h"

namespace ve::platform {

// One open wave device (the object behind HWAVEIN / HWAVEOUT). Buffers queued by the owner
// are moved through the backend's port one after the other by a driver thread, which hands
// every buffer back exactly once through the callback: when it is filled (capture) or played
// (playback), or when Reset or Close returns it unused.
//
// Capture records only between Start and Reset; playback plays whatever is queued. A software
// gain is applied by the stream itself: on playback it is the output volume word (left in the
// low half, right in the high half), on capture the microphone volume and mute of the
// software mixer, used when the port has no mixer of its own.
//
// Threads: the owner calls Prepare/Unprepare/Add/Start/Reset/Close and the gain setters from
// any thread but not from inside the callback (Reset/Close wait for the driver thread). The
// driver thread runs the port and the callbacks. `mutex` guards `queue`, the header flags of
// queued headers, `active`, `resetRequested` and `closing`; the gains are atomics.
class WaveStream {
 public:
  enum class Direction { kCapture, kPlayback };

  // The software microphone level of one capture device. It outlives the streams opened on
  // the device, as a card's mixer setting outlives them.
  struct InputLevel {
    std::atomic<uint32_t> gain{0xFFFF};
    std::atomic<bool> mute{false};
  };

  // `level` is used by capture streams; null gives the stream a level of its own.
  WaveStream(Direction direction, std::unique_ptr<WavePort> port, const WAVEFORMATEX& format,
             WaveCallback callback, uintptr_t instance, std::shared_ptr<InputLevel> level = nullptr);
  // Closes the stream if its owner did not.
  ~WaveStream();
  WaveStream(const WaveStream&) = delete;
  WaveStream& operator=(const WaveStream&) = delete;

  // Starts the driver thread, which sends the open message first.
  MMRESULT Launch();

  MMRESULT Prepare(WAVEHDR* header);
  MMRESULT Unprepare(WAVEHDR* header);
  // Queues a prepared header (capture: to be filled; playback: to be played).
  MMRESULT Add(WAVEHDR* header);
  // Capture: starts recording into the queued buffers.
  MMRESULT Start();
  // Stops the device and returns every queued buffer through the callback before returning;
  // capture then records again only after Start.
  MMRESULT Reset();
  // Returns every queued buffer, sends the close message and ends the driver thread.
  MMRESULT Close();

  // Playback volume word; 0xFFFFFFFF leaves the audio untouched.
  void SetVolumeWord(uint32_t word) { volumeWord = word; }
  uint32_t VolumeWord() const { return volumeWord; }
  // Capture software gain 0..65535 and mute.
  void SetInputGain(uint32_t gain) { level->gain = gain > 0xFFFF ? 0xFFFF : gain; }
  uint32_t InputGain() const { return level->gain; }
  void SetInputMute(bool mute) { level->mute = mute; }
  bool InputMute() const { return level->mute; }

  // Capture only: the port's mixer, or a software mixer (one wave-in destination fed by a
  // microphone line with volume and mute acting on this stream's input gain).
  std::unique_ptr<Mixer> OpenMixer();

  // The port's underruns and dropped capture audio since the open; any thread, until Close.
  DeviceCounters Counters() const { return port != nullptr ? port->Counters() : DeviceCounters{}; }

  Direction GetDirection() const { return direction; }
  const WAVEFORMATEX& Format() const { return format; }

  // Scales PCM audio in place by `word` (left gain in the low 16 bits, right in the high 16
  // bits; 0xFFFF is unity). 8- and 16-bit PCM only; other formats are left as they are.
  static void ApplyGain(uint8_t* data, uint32_t bytes, const WAVEFORMATEX& format, uint32_t word);

 private:
  void Run();
  // Moves one header through the port; returns the bytes moved.
  uint32_t Transfer(WAVEHDR* header);
  // Waits up to `bytes` worth of audio time unless reset or closed; used after a device error
  // so that a failing device still paces its owner.
  void WaitBufferTime(uint32_t bytes);
  // Hands back every queued header (caller holds `lock` on `mutex`; released around callbacks).
  void ReturnAll(std::unique_lock<std::mutex>& lock);
  void Deliver(uint32_t message, WAVEHDR* header);

  static constexpr uint32_t kScratchBytes = 4096;

  const Direction direction;
  std::unique_ptr<WavePort> port;
  const WAVEFORMATEX format;
  const WaveCallback callback;
  const uintptr_t instance;

  std::mutex mutex;
  std::condition_variable wake;
  std::condition_variable resetDone;
  std::deque<WAVEHDR*> queue;
  bool active;
  bool resetRequested = false;
  bool closing = false;
  bool closed = false;
  bool portRunning = false;  // driver thread only
  bool reportedError = false;  // driver thread only
  std::thread driver;

  std::atomic<uint32_t> volumeWord{0xFFFFFFFFu};
  const std::shared_ptr<InputLevel> level;
  uint8_t scratch[kScratchBytes];
};

}  // namespace ve::platform
