#include "platform/RiffFile.h"

namespace ve::platform {

namespace {

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

bool RiffFile::ReadChunkHeader(int64_t offset, uint32_t* id, uint32_t* size, uint32_t* formType) {
  uint8_t header[kChunkHeaderBytes + kFormTypeBytes];
  if (Seek(offset) < 0 || !ReadExact(header, kChunkHeaderBytes)) return false;
  *id = ReadU32LE(header);
  *size = ReadU32LE(header + 4);
  const bool hasFormType = *id == kFourCCRiff || *id == kFourCCList;
  *formType = hasFormType && ReadExact(header + kChunkHeaderBytes, kFormTypeBytes)
                  ? ReadU32LE(header + kChunkHeaderBytes)
                  : 0;
  return true;
}

int32_t RiffFile::Ascend(const MMCKINFO* ck) {
  if (ck == nullptr) return -10;
  int64_t next = static_cast<int64_t>(ck->dwDataOffset) + ck->cksize + (ck->cksize & 1);
  return Seek(next) < 0 ? -10 : 0;
}

}  // namespace ve::platform
