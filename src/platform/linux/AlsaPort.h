#pragma once

#include <alsa/asoundlib.h>
#include <poll.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/WaveFormat.h"
#include "platform/WaveHeader.h"
#include "platform/WavePort.h"

namespace ve::platform {

// A stream on an ALSA PCM device. The device is opened non-blocking and the driver thread
// sleeps in poll() on the device's descriptors and on an eventfd that Interrupt writes, so a
// reset ends a blocked read or write at once. Periods are 10 ms; playback keeps 160 ms in the
// device (a loaded machine then still does not underrun), capture up to 500 ms. An xrun is
// recovered, and the transfer goes on; xruns (-EPIPE) are counted.
//
// Threads: Start/Transfer/Stop on the driver thread; Interrupt (eventfd write) and
// OpenHardwareMixer from any thread; `xruns` is atomic.
class AlsaPort : public WavePort {
 public:
  ~AlsaPort() override;

  // Opens `deviceName` ("default", "hw:0", ...) for the direction and format.
  static MMRESULT Open(const std::string& deviceName, bool capture, const WAVEFORMATEX& format,
                       std::unique_ptr<WavePort>* port);

  int32_t Start() override;
  int32_t Transfer(uint8_t* data, uint32_t bytes) override;
  void Interrupt() override;
  void Stop() override;
  std::unique_ptr<Mixer> OpenHardwareMixer() override;
  // Playback: xruns as underruns; capture: xruns as overruns (the audio lost is not known).
  DeviceCounters Counters() const override;

 private:
  AlsaPort(snd_pcm_t* pcm, bool capture, const WAVEFORMATEX& format, int wakeFd);
  enum class Wait { kReady, kInterrupted, kFailed };
  // Waits for the device or the eventfd.
  Wait WaitReady();
  // False when the device cannot be brought back.
  bool Recover(int error);

  snd_pcm_t* pcm;
  const bool capture;
  const WAVEFORMATEX format;
  const int wakeFd;
  int card = -1;  // the sound card behind the device, -1 for none
  std::vector<pollfd> fds;
  std::atomic<uint32_t> xruns{0};
};

}  // namespace ve::platform
