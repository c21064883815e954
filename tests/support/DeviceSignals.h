#pragma once

// Helpers for the audio device tests: a source that hands out a prepared signal, a listener
// that collects what a capture component pushes, levels, and a skip when no sound server is
// configured. Signals, alignment and WAV files come from SignalTools and WavWriter.

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "framework/AudioSource.h"
#include "framework/AudioSourceListener.h"

namespace ve::test {

// Gives `signal` in 8 kHz 16-bit chunks of `chunkBytes` when pulled, then gap markers of the
// chunk's duration. Not paced: the puller's device sets the pace.
class SignalSource : public AudioSource {
 public:
  SignalSource(std::vector<int16_t> signal, int32_t chunkBytes = 320);
 protected:
  int32_t ProduceSample(AudioSample** out) override;

 private:
  const std::vector<int16_t> signal;
  const int32_t chunkBytes;
  size_t position = 0;
};

// Collects the 16-bit audio pushed to it, gap markers as zeros.
class CaptureCollector : public AudioSourceListener {
 public:
  int32_t TakeNextAudioSample(AudioSample* sample, AudioSinkListener* source) override;

  std::vector<int16_t> Values();
  size_t Samples();
  size_t GapMarkers();
  // Waits (bounded) until `count` samples have arrived.
  bool WaitForSamples(size_t count, int timeoutMs);

 private:
  std::mutex mutex;
  std::vector<int16_t> values;
  size_t samples = 0;
  size_t gapMarkers = 0;
};

// Root mean square of values [from, from + count); 0 when out of range.
double Rms(const std::vector<int16_t>& values, size_t from, size_t count);

// True (with the reason in `why`) when the tests that need the sound server must skip.
bool NoSoundServer(std::string* why);

// Holds the sound server for one test: test programs run side by side, and two of them
// playing into the one default sink would hear each other. A file lock in the temporary
// directory, released when this goes away.
class SoundServerLock {
 public:
  SoundServerLock();
  ~SoundServerLock();
  SoundServerLock(const SoundServerLock&) = delete;
  SoundServerLock& operator=(const SoundServerLock&) = delete;

 private:
#ifdef _WIN32
  void* handle;  // the lock file
#else
  int fd;
#endif
};

}  // namespace ve::test
