#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/WaveHeader.h"

// The mixer of an open wave-in device: destination lines (the wave-in destination) fed by
// source lines (microphone, ...), each with volume and mute controls. Volumes use the scale
// 0..65535 and mutes 0/1 whatever the hardware range is.
namespace ve::platform {

constexpr uint32_t MIXERLINE_COMPONENTTYPE_DST_WAVEIN = 7;
constexpr uint32_t MIXERLINE_COMPONENTTYPE_SRC_UNDEFINED = 0x1000;
constexpr uint32_t MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE = 0x1003;
constexpr uint32_t MIXERCONTROL_CONTROLTYPE_VOLUME = 0x50030001;
constexpr uint32_t MIXERCONTROL_CONTROLTYPE_MUTE = 0x20010002;

// mixerGetLineInfo: by destination index, by destination and source index, or by the
// component type of a destination.
constexpr uint32_t MIXER_GETLINEINFOF_DESTINATION = 0;
constexpr uint32_t MIXER_GETLINEINFOF_SOURCE = 1;
constexpr uint32_t MIXER_GETLINEINFOF_COMPONENTTYPE = 3;

struct MIXERLINE {
  uint32_t dwDestination = 0;
  uint32_t dwSource = 0;
  uint32_t dwLineID = 0;
  uint32_t dwComponentType = 0;
  uint32_t cConnections = 0;  // source lines of a destination
  uint32_t cControls = 0;
  char szName[64] = {};
};

struct MIXERCONTROL {
  uint32_t dwControlID = 0;
  uint32_t dwControlType = 0;
};

// One control of a line; the backend decides what it acts on.
class MixerControl {
 public:
  virtual ~MixerControl() = default;
  virtual uint32_t Type() const = 0;
  virtual MMRESULT Get(uint32_t* value) = 0;
  virtual MMRESULT Set(uint32_t value) = 0;
};

// Threads: built by a backend, then used by one thread at a time (the owner of the handle).
class Mixer {
 public:
  // Adds a destination line; returns its index.
  uint32_t AddDestination(uint32_t componentType, const char* name);
  // Adds a source line to destination `destination`; returns its line id.
  uint32_t AddSource(uint32_t destination, uint32_t componentType, const char* name);
  static constexpr uint32_t DestinationLineId(uint32_t destination) { return (destination << 16) | 0xFFFF; }
  // Adds a control to a line (by line id); ignored for an unknown id.
  void AddControl(uint32_t lineId, std::unique_ptr<MixerControl> control);

  MMRESULT GetLineInfo(MIXERLINE* line, uint32_t flags);
  MMRESULT GetLineControl(uint32_t lineId, uint32_t controlType, MIXERCONTROL* out);
  MMRESULT GetControlValue(uint32_t controlId, uint32_t* value);
  MMRESULT SetControlValue(uint32_t controlId, uint32_t value);

 private:
  struct Line {
    MIXERLINE info;
    std::vector<uint32_t> controls;  // indexes into `controls`
  };
  Line* FindLine(uint32_t lineId);

  std::vector<Line> destinations;
  std::vector<std::vector<Line>> sources;  // per destination
  std::vector<std::unique_ptr<MixerControl>> controls;
};

using HMIXER = Mixer*;

// Opens the mixer belonging to an open wave-in device.
MMRESULT mixerOpen(HMIXER* mixer, HWAVEIN device);
MMRESULT mixerGetLineInfo(HMIXER mixer, MIXERLINE* line, uint32_t flags);
// Finds the one control of `controlType` on line `lineId`.
MMRESULT mixerGetLineControls(HMIXER mixer, uint32_t lineId, uint32_t controlType, MIXERCONTROL* control);
MMRESULT mixerGetControlDetails(HMIXER mixer, uint32_t controlId, uint32_t* value);
MMRESULT mixerSetControlDetails(HMIXER mixer, uint32_t controlId, uint32_t value);
MMRESULT mixerClose(HMIXER mixer);

}  // namespace ve::platform
