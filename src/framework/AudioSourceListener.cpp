#include "framework/AudioSourceListener.h"

#include <cstdint>

#include "platform/Clock.h"
#include "platform/DebugOutput.h"

namespace ve {

namespace {
constexpr uint32_t kMissingOverrideSleepMs = 5000;
}

int32_t AudioSourceListener::TakeNextAudioSample(AudioSample*, AudioSinkListener*) {
  platform::DebugPrintf("AudioSourceListener:%x::TakeNextAudioSample : ERROR : pure virtual function call !!!\n",
                        static_cast<unsigned>(reinterpret_cast<uintptr_t>(this)));
  platform::Sleep(kMissingOverrideSleepMs);
  return 0;
}

}  // namespace ve
