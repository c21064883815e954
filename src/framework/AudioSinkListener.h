#pragma once

#include <cstdint>

namespace ve {

class AudioSample;
class AudioSourceListener;

// Gives samples on request. The caller names itself as `sink`; on return `*out` is a sample
// whose reference now belongs to the caller, or null. 0 means success.
class AudioSinkListener {
 public:
  virtual ~AudioSinkListener() = default;
  // Default body for classes that do not override it: reports the missing override on the
  // debug output, sleeps 5000 ms and returns 0 with `*out` untouched.
  virtual int32_t GiveNextAudioSample(AudioSample** out, AudioSourceListener* sink);
};

}  // namespace ve
