#include "platform/Mixer.h"

#include <cstring>

#include "platform/WaveStream.h"

namespace ve::platform {

namespace {

// Line ids: destination d is (d << 16) | 0xFFFF, its source s is (d << 16) | s.
constexpr uint32_t kDestinationLine = 0xFFFF;
static_assert((Mixer::DestinationLineId(0) & 0xFFFF) == kDestinationLine);

void CopyName(char (&to)[64], const char* from) {
  std::strncpy(to, from != nullptr ? from : "", sizeof to - 1);
  to[sizeof to - 1] = '\0';
}

}  // namespace

uint32_t Mixer::AddDestination(uint32_t componentType, const char* name) {
  Line line;
  line.info.dwDestination = static_cast<uint32_t>(destinations.size());
  line.info.dwLineID = DestinationLineId(line.info.dwDestination);
  line.info.dwComponentType = componentType;
  CopyName(line.info.szName, name);
  destinations.push_back(line);
  sources.emplace_back();
  return line.info.dwDestination;
}

uint32_t Mixer::AddSource(uint32_t destination, uint32_t componentType, const char* name) {
  if (destination >= destinations.size()) return 0xFFFFFFFFu;
  Line line;
  line.info.dwDestination = destination;
  line.info.dwSource = static_cast<uint32_t>(sources[destination].size());
  line.info.dwLineID = (destination << 16) | line.info.dwSource;
  line.info.dwComponentType = componentType;
  CopyName(line.info.szName, name);
  sources[destination].push_back(line);
  destinations[destination].info.cConnections++;
  return line.info.dwLineID;
}

Mixer::Line* Mixer::FindLine(uint32_t lineId) {
  uint32_t destination = lineId >> 16;
  uint32_t source = lineId & 0xFFFF;
  if (destination >= destinations.size()) return nullptr;
  if (source == kDestinationLine) return &destinations[destination];
  if (source >= sources[destination].size()) return nullptr;
  return &sources[destination][source];
}

void Mixer::AddControl(uint32_t lineId, std::unique_ptr<MixerControl> control) {
  Line* line = FindLine(lineId);
  if (line == nullptr || control == nullptr) return;
  line->controls.push_back(static_cast<uint32_t>(controls.size()));
  line->info.cControls++;
  controls.push_back(std::move(control));
}

MMRESULT Mixer::GetLineInfo(MIXERLINE* line, uint32_t flags) {
  if (line == nullptr) return MMSYSERR_INVALPARAM;
  switch (flags) {
    case MIXER_GETLINEINFOF_DESTINATION:
      if (line->dwDestination >= destinations.size()) return MMSYSERR_INVALPARAM;
      *line = destinations[line->dwDestination].info;
      return MMSYSERR_NOERROR;
    case MIXER_GETLINEINFOF_SOURCE:
      if (line->dwDestination >= destinations.size() ||
          line->dwSource >= sources[line->dwDestination].size()) {
        return MMSYSERR_INVALPARAM;
      }
      *line = sources[line->dwDestination][line->dwSource].info;
      return MMSYSERR_NOERROR;
    case MIXER_GETLINEINFOF_COMPONENTTYPE:
      for (const Line& destination : destinations) {
        if (destination.info.dwComponentType == line->dwComponentType) {
          *line = destination.info;
          return MMSYSERR_NOERROR;
        }
      }
      return MIXERR_INVALLINE;
    default:
      return MMSYSERR_INVALFLAG;
  }
}

MMRESULT Mixer::GetLineControl(uint32_t lineId, uint32_t controlType, MIXERCONTROL* out) {
  Line* line = FindLine(lineId);
  if (line == nullptr || out == nullptr) return MIXERR_INVALLINE;
  for (uint32_t index : line->controls) {
    if (controls[index]->Type() == controlType) {
      out->dwControlID = index;
      out->dwControlType = controlType;
      return MMSYSERR_NOERROR;
    }
  }
  return MIXERR_INVALCONTROL;
}

MMRESULT Mixer::GetControlValue(uint32_t controlId, uint32_t* value) {
  if (controlId >= controls.size() || value == nullptr) return MIXERR_INVALCONTROL;
  return controls[controlId]->Get(value);
}

MMRESULT Mixer::SetControlValue(uint32_t controlId, uint32_t value) {
  if (controlId >= controls.size()) return MIXERR_INVALCONTROL;
  return controls[controlId]->Set(value);
}

MMRESULT mixerOpen(HMIXER* mixer, HWAVEIN device) {
  if (mixer == nullptr) return MMSYSERR_INVALPARAM;
  *mixer = nullptr;
  if (device == nullptr) return MMSYSERR_INVALHANDLE;
  std::unique_ptr<Mixer> opened = device->OpenMixer();
  if (opened == nullptr) return MMSYSERR_NODRIVER;
  *mixer = opened.release();
  return MMSYSERR_NOERROR;
}

MMRESULT mixerGetLineInfo(HMIXER mixer, MIXERLINE* line, uint32_t flags) {
  if (mixer == nullptr) return MMSYSERR_INVALHANDLE;
  return mixer->GetLineInfo(line, flags);
}

MMRESULT mixerGetLineControls(HMIXER mixer, uint32_t lineId, uint32_t controlType, MIXERCONTROL* control) {
  if (mixer == nullptr) return MMSYSERR_INVALHANDLE;
  return mixer->GetLineControl(lineId, controlType, control);
}

MMRESULT mixerGetControlDetails(HMIXER mixer, uint32_t controlId, uint32_t* value) {
  if (mixer == nullptr) return MMSYSERR_INVALHANDLE;
  return mixer->GetControlValue(controlId, value);
}

MMRESULT mixerSetControlDetails(HMIXER mixer, uint32_t controlId, uint32_t value) {
  if (mixer == nullptr) return MMSYSERR_INVALHANDLE;
  return mixer->SetControlValue(controlId, value);
}

MMRESULT mixerClose(HMIXER mixer) {
  if (mixer == nullptr) return MMSYSERR_INVALHANDLE;
  delete mixer;
  return MMSYSERR_NOERROR;
}

}  // namespace ve::platform
