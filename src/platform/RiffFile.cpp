#include "platform/RiffFile.h"

#include <algorithm>

namespace ve::platform {

// The search goes one chunk per step and trusts no size in the file: every step is checked in
// 64 bits against the end of the parent (or of the file) and moves forward by at least one
// chunk header, so a lying size can neither wrap back onto an earlier chunk nor run past the
// end. Each system only reads the header at the current step.
int32_t RiffFile::Descend(MMCKINFO* ck, const MMCKINFO* parent, uint32_t flags) {
  if (ck == nullptr || !IsOpen()) return -10;
  int64_t end = fileSize;
  if (parent != nullptr) {
    end = std::min(end, static_cast<int64_t>(parent->dwDataOffset) + parent->cksize);
  }
  int64_t cursor = Position();
  if (cursor < 0) return -10;
  for (;;) {
    const int64_t contents = cursor + kChunkHeaderBytes;
    if (contents > end || contents > kMaxOffset) return -10;
    uint32_t id = 0, size = 0, formType = 0;
    if (!ReadChunkHeader(cursor, &id, &size, &formType)) return -10;

    const bool hasFormType = id == kFourCCRiff || id == kFourCCList;
    bool match = true;
    if ((flags & kFindRiff) != 0) {
      match = id == kFourCCRiff;
    } else if ((flags & kFindChunk) != 0) {
      match = id == ck->ckid;
    }
    if (match && hasFormType) {
      if (contents + kFormTypeBytes > end) return -10;
      if ((flags & kFindRiff) != 0 && formType != ck->fccType) match = false;
    }
    if (match) {
      const int64_t at = contents + (hasFormType ? kFormTypeBytes : 0);
      if (Seek(at) != at) return -10;
      ck->ckid = id;
      ck->cksize = size;
      ck->fccType = hasFormType ? formType : 0;
      ck->dwDataOffset = static_cast<uint32_t>(contents);
      ck->dwFlags = 0;
      return 0;  // the position is at the contents, past the form type if there is one
    }
    // Chunks are padded to an even length.
    cursor = contents + size + (size & 1);
  }
}

}  // namespace ve::platform
