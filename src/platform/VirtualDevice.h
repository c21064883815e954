#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/WaveFormat.h"
#include "platform/WaveHeader.h"
#include "platform/WavePort.h"

namespace ve::platform {

// A device that exists only in software, registered by the host or used as the default when
// the machine has no sound device. Each open yields a port paced in real time.
//
// Threads: Open* may come from any thread; each device guards its own state.
class VirtualDevice {
 public:
  explicit VirtualDevice(std::string name) : name(std::move(name)) {}
  virtual ~VirtualDevice() = default;
  VirtualDevice(const VirtualDevice&) = delete;
  VirtualDevice& operator=(const VirtualDevice&) = delete;

  const std::string& Name() const { return name; }
  virtual bool CanCapture() const { return false; }
  virtual bool CanPlay() const { return false; }
  // MMSYSERR_BADDEVICEID when the device has no such direction.
  virtual MMRESULT OpenCapture(const WAVEFORMATEX& format, std::unique_ptr<WavePort>* port);
  virtual MMRESULT OpenPlayback(const WAVEFORMATEX& format, std::unique_ptr<WavePort>* port);

 private:
  const std::string name;
};

}  // namespace ve::platform
