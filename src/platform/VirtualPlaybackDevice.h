#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "platform/VirtualDevice.h"

namespace ve::platform {

// A virtual speaker: discards what it plays, or records it into a WAV file. Each open of a
// recording device starts the file afresh in the opened format; the file is complete when
// the device is closed. The speaker keeps wall-clock time: a stretch in which the owner had
// nothing queued is recorded as silence (an underrun) once audio comes again, so a sample's
// place in the file is the time it was played.
//
// Threads: `mutex` guards `opened` (one playback stream at a time may record).
class VirtualPlaybackDevice : public VirtualDevice, public std::enable_shared_from_this<VirtualPlaybackDevice> {
 public:
  static std::unique_ptr<VirtualPlaybackDevice> Discard(std::string name);
  static std::unique_ptr<VirtualPlaybackDevice> WavRecorder(std::string name, std::string path);

  bool CanPlay() const override { return true; }
  // MMSYSERR_ALLOCATED while a recording device is open; MMSYSERR_ERROR when the file cannot
  // be created.
  MMRESULT OpenPlayback(const WAVEFORMATEX& format, std::unique_ptr<WavePort>* port) override;

  // Called by the recording port when it closes. The device is owned through a shared_ptr so
  // that an open port keeps it alive.
  void Release();

 private:
  VirtualPlaybackDevice(std::string name, std::string path) : VirtualDevice(std::move(name)), path(std::move(path)) {}

  const std::string path;  // empty: discard
  std::mutex mutex;
  bool opened = false;
};

}  // namespace ve::platform
