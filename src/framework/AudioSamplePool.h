#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "framework/MediaObject.h"

namespace ve {

class AudioSample;

// The process-wide pool of 3200-byte samples. Samples are created on demand and recycled
// first-in first-out, so the number created stays at the largest number in flight at once.
//
// Initialize/Shutdown are counted: each engine initialises the pool and shuts it down, and the
// pool is deleted by the last Shutdown. Samples still held when the pool goes away delete
// themselves on their last Release.
//
// Threads: every operation is safe from any thread; `lock` guards the free list and the
// record of created samples. The pool lock and a sample's lock are never held together.
class AudioSamplePool : public MediaObject {
 public:
  static AudioSamplePool* Instance();
  static void Initialize();
  static void Shutdown();

  ~AudioSamplePool() override;

  // Always returns 0 with a sample holding one reference, DataSize 0 and SilenceMs 0; its
  // format is whatever its previous user set.
  int32_t Get(AudioSample** out);
  // Returns a sample to the free list; only AudioSample::Release calls it.
  void Put(AudioSample* sample);

  // Samples this pool has constructed, and samples currently on its free list.
  int32_t CreatedCount();
  int32_t FreeCount();

 private:
  AudioSamplePool() = default;
  AudioSample* CreateSample();

  std::mutex lock;
  std::deque<AudioSample*> freeList;
  std::vector<AudioSample*> created;
};

}  // namespace ve
