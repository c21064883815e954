#pragma once

#include <cstdint>

#include "platform/CriticalSection.h"
#include "platform/Event.h"

namespace ve::platform {

// Lets the audio threads call an open device without holding a lock across the call, and
// lets the thread that closes the device wait until every such call has ended.
//
// A thread that wants the device enters the gate and gets a pass; while any pass is out the
// device stays open. Close shuts the gate (later entries get an empty pass) and then waits
// for the passes already given out to come back. The gate's lock is held only to count.
//
// Threads: any thread may Enter and use its pass; Open and Close come from the one thread
// that owns the device's transitions, never from a thread that holds a pass.
class DeviceGate {
 public:
  class Pass {
   public:
    Pass(Pass&& other) noexcept : gate(other.gate) { other.gate = nullptr; }
    Pass& operator=(Pass&&) = delete;
    Pass(const Pass&) = delete;
    ~Pass();
    explicit operator bool() const { return gate != nullptr; }

   private:
    friend class DeviceGate;
    explicit Pass(DeviceGate* gate) : gate(gate) {}
    DeviceGate* gate;
  };

  DeviceGate() = default;
  DeviceGate(const DeviceGate&) = delete;
  DeviceGate& operator=(const DeviceGate&) = delete;

  // Opens the gate once the device is open: Enter hands out passes from now on.
  void Open();
  // A pass while the gate is open, an empty one once it is closed.
  [[nodiscard]] Pass Enter();
  // Shuts the gate and returns when every pass given out has come back.
  void Close();
  bool IsOpen();

 private:
  void Leave();

  CriticalSection lock;
  bool open = false;       // under lock
  uint32_t passesOut = 0;  // under lock
  Event drained;
};

}  // namespace ve::platform
