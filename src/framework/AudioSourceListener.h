#pragma once

#include <cstdint>

namespace ve {

class AudioSample;
class AudioSinkListener;

// Receives pushed samples. The caller pushes `sample` (possibly null) and names itself as
// `source`; the callee takes its own reference if it keeps the sample.
class AudioSourceListener {
 public:
  virtual ~AudioSourceListener() = default;
  // Default body for classes that do not override it: reports the missing override on the
  // debug output, sleeps 5000 ms and returns 0.
  virtual int32_t TakeNextAudioSample(AudioSample* sample, AudioSinkListener* source);
};

}  // namespace ve
