// The RIFF reader on the system's buffered multimedia file services. The project's header
// comes first: the system's headers define their own MMCKINFO, named `::MMCKINFO` here.
#include "platform/RiffFile.h"

#include "platform/win32/WindowsHeaders.h"
#include <mmsystem.h>

namespace ve::platform {

namespace {

HMMIO Handle(void* file) { return static_cast<HMMIO>(file); }

::MMCKINFO ToSystem(const MMCKINFO& ck) {
  ::MMCKINFO out{};
  out.ckid = ck.ckid;
  out.cksize = ck.cksize;
  out.fccType = ck.fccType;
  out.dwDataOffset = ck.dwDataOffset;
  out.dwFlags = 0;
  return out;
}

}  // namespace

RiffFile::~RiffFile() { Close(); }

int32_t RiffFile::Open(const char* fileName) {
  Close();
  if (fileName == nullptr) return -10;
  // The plain file handler is named, so that a '+' in the name is not taken for the marker
  // of an element inside a compound file.
  MMIOINFO info{};
  info.fccIOProc = FOURCC_DOS;
  HMMIO opened = mmioOpenA(const_cast<char*>(fileName), &info, MMIO_READ | MMIO_ALLOCBUF);
  if (opened == nullptr) return -10;
  file = opened;
  LONG size = mmioSeek(opened, 0, SEEK_END);
  if (size < 0 || mmioSeek(opened, 0, SEEK_SET) != 0) {
    Close();
    return -10;
  }
  fileSize = size;
  return 0;
}

int32_t RiffFile::Close() {
  if (file != nullptr) mmioClose(Handle(file), 0);
  file = nullptr;
  fileSize = 0;
  return 0;
}

int64_t RiffFile::Position() {
  if (file == nullptr) return -1;
  // The buffer's state tells the position without a call into the file system.
  MMIOINFO info{};
  if (mmioGetInfo(Handle(file), &info, 0) != MMSYSERR_NOERROR) return -1;
  if (info.pchBuffer == nullptr) return info.lDiskOffset;
  return static_cast<int64_t>(info.lBufOffset) + (info.pchNext - info.pchBuffer);
}

int64_t RiffFile::Seek(int64_t offset) {
  if (file == nullptr || offset < 0 || offset > kMaxOffset) return -1;
  LONG reached = mmioSeek(Handle(file), static_cast<LONG>(offset), SEEK_SET);
  return reached < 0 ? -1 : reached;
}

int32_t RiffFile::Read(void* out, int32_t count) {
  if (file == nullptr || out == nullptr || count < 0) return -1;
  if (count == 0) return 0;
  LONG got = mmioRead(Handle(file), static_cast<HPSTR>(out), count);
  return got < 0 ? -1 : static_cast<int32_t>(got);
}

bool RiffFile::ReadExact(uint8_t* out, int32_t count) { return Read(out, count) == count; }

// The system reads the header (and a RIFF or LIST chunk's form type); the chunk search is
// ours, because the system's own trusts the sizes in the file: its 32-bit offsets wrap, so a
// lying size can send it back to an earlier chunk and round forever.
bool RiffFile::ReadChunkHeader(int64_t offset, uint32_t* id, uint32_t* size, uint32_t* formType) {
  if (Seek(offset) != offset) return false;
  ::MMCKINFO found{};
  if (mmioDescend(Handle(file), &found, nullptr, 0) != MMSYSERR_NOERROR) return false;
  *id = found.ckid;
  *size = found.cksize;
  *formType = found.fccType;
  return true;
}

int32_t RiffFile::Ascend(const MMCKINFO* ck) {
  if (ck == nullptr || file == nullptr) return -10;
  // The system computes the end in 32 bits: it is asked only when that cannot wrap.
  int64_t next = static_cast<int64_t>(ck->dwDataOffset) + ck->cksize + (ck->cksize & 1);
  if (next > kMaxOffset) return -10;
  ::MMCKINFO system = ToSystem(*ck);
  if (mmioAscend(Handle(file), &system, 0) != MMSYSERR_NOERROR) return -10;
  return Position() == next ? 0 : -10;
}

}  // namespace ve::platform
