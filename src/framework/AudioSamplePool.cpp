#include "framework/AudioSamplePool.h"

#include "framework/AudioSample.h"

#include <algorithm>

namespace ve {

namespace {

// Process-wide: the pool, how many Initialize calls it serves, and the lock guarding both.
std::mutex& InstanceLock() {
  static std::mutex instanceLock;
  return instanceLock;
}
AudioSamplePool* instance = nullptr;
int32_t initializeCount = 0;

}  // namespace

AudioSamplePool* AudioSamplePool::Instance() {
  std::lock_guard<std::mutex> guard(InstanceLock());
  if (instance == nullptr) instance = new AudioSamplePool();
  return instance;
}

void AudioSamplePool::Initialize() {
  std::lock_guard<std::mutex> guard(InstanceLock());
  if (initializeCount++ == 0 && instance == nullptr) instance = new AudioSamplePool();
}

void AudioSamplePool::Shutdown() {
  AudioSamplePool* doomed = nullptr;
  {
    std::lock_guard<std::mutex> guard(InstanceLock());
    if (initializeCount == 0) return;
    if (--initializeCount > 0) return;
    doomed = instance;
    instance = nullptr;
  }
  delete doomed;
}

AudioSamplePool::~AudioSamplePool() {
  std::lock_guard<std::mutex> guard(lock);
  std::vector<AudioSample*> doomed(freeList.begin(), freeList.end());
  for (AudioSample* sample : created) {
    std::lock_guard<std::mutex> sampleGuard(sample->lock);
    if (sample->retired) {
      // Retired by a double release: no holder is left, only the pool knows it.
      if (std::find(freeList.begin(), freeList.end(), sample) == freeList.end()) doomed.push_back(sample);
    }
    sample->pool = nullptr;  // still held elsewhere: deletes itself on its last Release
  }
  for (AudioSample* sample : doomed) delete sample;
}

AudioSample* AudioSamplePool::CreateSample() {
  auto* sample = new AudioSample(this);
  created.push_back(sample);
  return sample;
}

int32_t AudioSamplePool::Get(AudioSample** out) {
  AudioSample* sample;
  {
    std::lock_guard<std::mutex> guard(lock);
    if (freeList.empty()) {
      sample = CreateSample();
    } else {
      sample = freeList.front();
      freeList.pop_front();
    }
  }
  {
    std::unique_lock<std::mutex> sampleGuard(sample->lock);
    if (sample->refCount > 0) {
      // Put back while still referenced: leave it to its holders and hand out a fresh one.
      sampleGuard.unlock();
      std::lock_guard<std::mutex> guard(lock);
      sample = CreateSample();
    }
  }
  {
    std::lock_guard<std::mutex> sampleGuard(sample->lock);
    sample->refCount = 1;
  }
  sample->dataSize = 0;
  sample->silenceMs = 0;
  if (out != nullptr) *out = sample;
  return 0;
}

void AudioSamplePool::Put(AudioSample* sample) {
  {
    std::lock_guard<std::mutex> sampleGuard(sample->lock);
    sample->refCount = 0;
  }
  std::lock_guard<std::mutex> guard(lock);
  freeList.push_back(sample);
}

int32_t AudioSamplePool::CreatedCount() {
  std::lock_guard<std::mutex> guard(lock);
  return static_cast<int32_t>(created.size());
}

int32_t AudioSamplePool::FreeCount() {
  std::lock_guard<std::mutex> guard(lock);
  return static_cast<int32_t>(freeList.size());
}

}  // namespace ve
