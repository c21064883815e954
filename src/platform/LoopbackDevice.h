#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/VirtualDevice.h"

namespace ve::platform {

// A virtual device whose playback side feeds its capture side: what is played comes out of
// the microphone once it has been played. Both sides run on their own clocks; the capture
// side takes a whole buffer when that much has been played and silence otherwise, so audio
// is delayed, never cut apart. Up to kHoldMs of played audio waits for the capture side;
// older audio is dropped. Each side keeps wall-clock time: a stretch with nothing to play
// goes into the ring as silence, and a stretch nobody captured drops the audio played in it.
//
// Threads: each side is opened once at a time from any thread. `mutex` guards the ring, the
// open flags and the format; the ports call in on their driver threads.
class LoopbackDevice : public VirtualDevice, public std::enable_shared_from_this<LoopbackDevice> {
 public:
  static constexpr uint32_t kHoldMs = 2000;

  explicit LoopbackDevice(std::string name) : VirtualDevice(std::move(name)) {}

  bool CanCapture() const override { return true; }
  bool CanPlay() const override { return true; }
  // MMSYSERR_ALLOCATED when that side is open already; WAVERR_BADFORMAT when the other side is
  // open with another format.
  MMRESULT OpenCapture(const WAVEFORMATEX& format, std::unique_ptr<WavePort>* port) override;
  MMRESULT OpenPlayback(const WAVEFORMATEX& format, std::unique_ptr<WavePort>* port) override;

  // Port side of the device.
  void Played(const uint8_t* data, uint32_t bytes);
  void Capture(uint8_t* data, uint32_t bytes);
  void CloseSide(bool capture);

 private:
  MMRESULT OpenSide(bool capture, const WAVEFORMATEX& format);

  std::mutex mutex;
  bool captureOpen = false;
  bool playbackOpen = false;
  WAVEFORMATEX format{};
  std::vector<uint8_t> ring;
  size_t head = 0;  // oldest byte
  size_t size = 0;
};

}  // namespace ve::platform
