#include "platform/RiffFile.h"

#include <algorithm>
#include <limits>

namespace ve::platform {

namespace {

constexpr int64_t kChunkHeaderBytes = 8;
constexpr int64_t kFormTypeBytes = 4;
// Chunk offsets are 32-bit in the file format and in MMCKINFO.
constexpr int64_t kMaxOffset = std::numeric_limits<uint32_t>::max();

uint32_t ReadU32LE(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

RiffFile::~RiffFile() { Close(); }

int32_t RiffFile::Open(const char* fileName) {
  Close();
  if (fileName == nullptr) return -10;
  // The buffer must be installed before the file is opened to take effect.
  stream.rdbuf()->pubsetbuf(buffer, sizeof(buffer));
  stream.open(fileName, std::ios::in | std::ios::binary);
  if (!stream.is_open()) {
    stream.clear();
    return -10;
  }
  stream.seekg(0, std::ios::end);
  std::streamoff size = stream.tellg();
  stream.seekg(0, std::ios::beg);
  if (size < 0 || !stream) {
    Close();
    return -10;
  }
  fileSize = size;
  position = 0;
  return 0;
}

int32_t RiffFile::Close() {
  if (stream.is_open()) stream.close();
  stream.clear();
  fileSize = 0;
  position = 0;
  return 0;
}

int64_t RiffFile::Position() {
  if (!stream.is_open() || stream.bad()) return -1;
  return position;
}

int64_t RiffFile::Seek(int64_t offset) {
  if (!stream.is_open() || stream.bad() || offset < 0) return -1;
  stream.clear();
  stream.seekg(offset, std::ios::beg);
  if (!stream) {
    stream.clear();
    return -1;
  }
  position = offset;
  return offset;
}

int32_t RiffFile::Read(void* out, int32_t count) {
  if (!stream.is_open() || stream.bad() || out == nullptr || count < 0) return -1;
  if (count == 0) return 0;
  stream.clear();
  stream.read(static_cast<char*>(out), count);
  if (stream.bad()) return -1;
  auto got = static_cast<int32_t>(stream.gcount());
  position += got;
  return got;
}

bool RiffFile::ReadExact(uint8_t* out, int32_t count) { return Read(out, count) == count; }

int32_t RiffFile::Descend(MMCKINFO* ck, const MMCKINFO* parent, uint32_t flags) {
  if (ck == nullptr) return -10;
  int64_t end = fileSize;
  if (parent != nullptr) {
    end = std::min(end, static_cast<int64_t>(parent->dwDataOffset) + parent->cksize);
  }
  int64_t cursor = Position();
  if (cursor < 0) return -10;
  for (;;) {
    if (cursor + kChunkHeaderBytes > end) return -10;
    if (Seek(cursor) < 0) return -10;
    uint8_t header[kChunkHeaderBytes];
    if (!ReadExact(header, kChunkHeaderBytes)) return -10;
    uint32_t id = ReadU32LE(header);
    uint32_t size = ReadU32LE(header + 4);
    int64_t contents = cursor + kChunkHeaderBytes;
    if (contents > kMaxOffset) return -10;

    bool hasFormType = id == kFourCCRiff || id == MakeFourCC('L', 'I', 'S', 'T');
    bool match;
    if ((flags & kFindRiff) != 0) {
      match = id == kFourCCRiff;
    } else if ((flags & kFindChunk) != 0) {
      match = id == ck->ckid;
    } else {
      match = true;
    }
    uint32_t formType = 0;
    if (match && hasFormType) {
      uint8_t form[kFormTypeBytes];
      if (contents + kFormTypeBytes > end || !ReadExact(form, kFormTypeBytes)) return -10;
      formType = ReadU32LE(form);
      if ((flags & kFindRiff) != 0 && formType != ck->fccType) match = false;
    }
    if (match) {
      ck->ckid = id;
      ck->cksize = size;
      ck->fccType = formType;
      ck->dwDataOffset = static_cast<uint32_t>(contents);
      ck->dwFlags = 0;
      return 0;  // the position is at the contents, past the form type if there is one
    }
    // Chunks are padded to an even length.
    cursor = contents + size + (size & 1);
  }
}

int32_t RiffFile::Ascend(const MMCKINFO* ck) {
  if (ck == nullptr) return -10;
  int64_t next = static_cast<int64_t>(ck->dwDataOffset) + ck->cksize + (ck->cksize & 1);
  return Seek(next) < 0 ? -10 : 0;
}

}  // namespace ve::platform
