#include "framework/SampleList.h"

#include "framework/AudioSample.h"

namespace ve {

void SampleList::ReleaseAll() {
  for (const Entry& entry : entries) {
    if (entry.sample != nullptr) entry.sample->Release();
  }
  entries.clear();
}

}  // namespace ve
