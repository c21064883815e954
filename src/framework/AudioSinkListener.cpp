#include "framework/AudioSinkListener.h"

#include <cstdint>

#include "platform/Clock.h"
#include "platform/DebugOutput.h"

namespace ve {

namespace {
constexpr uint32_t kMissingOverrideSleepMs = 5000;
}

int32_t AudioSinkListener::GiveNextAudioSample(AudioSample**, AudioSourceListener*) {
  platform::DebugPrintf("AudioSinkListener:%x::GiveNextAudioSample : ERROR : pure virtual function call !!!\n",
                        static_cast<unsigned>(reinterpret_cast<uintptr_t>(this)));
  platform::Sleep(kMissingOverrideSleepMs);
  return 0;
}

}  // namespace ve
