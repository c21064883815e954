#pragma once

#include <cstdint>
#include <memory>

#include "platform/Mixer.h"
#include "platform/WaveHeader.h"

namespace ve::platform {

// One open direction of a device as its backend provides it: the stream's driver thread moves
// audio through it, blocking the way hardware does, and another thread can interrupt a
// blocked transfer.
//
// Threads: Start, Transfer and Stop run on the driver thread only; Interrupt and Counters from
// any thread.
class WavePort {
 public:
  virtual ~WavePort() = default;

  // Begins the device clock (capture starts recording; playback may start on its first data).
  virtual int32_t Start() = 0;
  // Capture: fills `data` with `bytes` of recorded audio. Playback: plays `bytes` from `data`.
  // Blocks until done or interrupted; returns the bytes moved (fewer when interrupted) or a
  // negative device error.
  virtual int32_t Transfer(uint8_t* data, uint32_t bytes) = 0;
  // Makes the current (or next) Transfer return at once; cleared by Stop.
  virtual void Interrupt() = 0;
  // Drops what the device holds, stops its clock and clears an interrupt.
  virtual void Stop() = 0;

  // A capture port on a card with its own mixer elements returns a mixer acting on them (any
  // thread, while the port is open); null lets the stream offer its software gain instead.
  virtual std::unique_ptr<Mixer> OpenHardwareMixer() { return nullptr; }

  // Underruns and dropped capture audio since the port was opened.
  virtual DeviceCounters Counters() const { return {}; }
};

}  // namespace ve::platform
