#include "platform/VirtualDevice.h"

namespace ve::platform {

MMRESULT VirtualDevice::OpenCapture(const WAVEFORMATEX&, std::unique_ptr<WavePort>*) {
  return MMSYSERR_BADDEVICEID;
}

MMRESULT VirtualDevice::OpenPlayback(const WAVEFORMATEX&, std::unique_ptr<WavePort>*) {
  return MMSYSERR_BADDEVICEID;
}

}  // namespace ve::platform
