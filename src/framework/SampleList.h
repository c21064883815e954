#pragma once

#include <cstddef>
#include <vector>

namespace ve {

class AudioSample;
class AudioSinkListener;

// The samples collected in one cycle, in the order they were obtained, each with the source it
// came from. Every entry holds one reference to its sample; ReleaseAll gives them back. The
// list keeps its storage between cycles, so a running chain does not allocate.
class SampleList {
 public:
  struct Entry {
    AudioSample* sample;
    AudioSinkListener* source;
  };

  SampleList() { entries.reserve(8); }

  // Appends an entry; the reference the caller holds passes to the list.
  void Add(AudioSample* sample, AudioSinkListener* source) { entries.push_back({sample, source}); }
  // Releases every sample and empties the list.
  void ReleaseAll();
  // Empties the list without releasing (the references must have been handed on).
  void Clear() { entries.clear(); }

  bool Empty() const { return entries.empty(); }
  size_t Size() const { return entries.size(); }
  const Entry& operator[](size_t i) const { return entries[i]; }
  AudioSample* First() const { return entries.empty() ? nullptr : entries.front().sample; }

  auto begin() const { return entries.begin(); }
  auto end() const { return entries.end(); }

 private:
  std::vector<Entry> entries;
};

}  // namespace ve
