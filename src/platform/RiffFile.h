#pragma once

#include <cstdint>
#ifndef _WIN32
#include <fstream>
#endif

namespace ve::platform {

// Packs four characters into a chunk identifier as they appear in the file ("RIFF", "fmt ").
constexpr uint32_t MakeFourCC(char a, char b, char c, char d) {
  return static_cast<uint32_t>(static_cast<uint8_t>(a)) | (static_cast<uint32_t>(static_cast<uint8_t>(b)) << 8) |
         (static_cast<uint32_t>(static_cast<uint8_t>(c)) << 16) |
         (static_cast<uint32_t>(static_cast<uint8_t>(d)) << 24);
}

constexpr uint32_t kFourCCRiff = MakeFourCC('R', 'I', 'F', 'F');
constexpr uint32_t kFourCCList = MakeFourCC('L', 'I', 'S', 'T');
constexpr uint32_t kFourCCWave = MakeFourCC('W', 'A', 'V', 'E');
constexpr uint32_t kFourCCFmt = MakeFourCC('f', 'm', 't', ' ');
constexpr uint32_t kFourCCData = MakeFourCC('d', 'a', 't', 'a');

// One chunk found by RiffFile::Descend: its identifier, the size its header states, the form
// type of a RIFF chunk, and the file offset of its contents (for a RIFF chunk, of the form type).
struct MMCKINFO {
  uint32_t ckid = 0;
  uint32_t cksize = 0;
  uint32_t fccType = 0;
  uint32_t dwDataOffset = 0;
  uint32_t dwFlags = 0;
};

// A RIFF file opened for buffered, read-only access: descend into chunks, read their bytes,
// ascend out of them and seek. Chunk sizes come from the file and are not trusted: every
// search stops at the end of the enclosing chunk or of the file, whichever comes first, and
// each step moves forward by at least one chunk header, so no file makes a search loop.
//
// Threads: one thread at a time; the owner serialises its calls.
class RiffFile {
 public:
  // Descend flags: find a RIFF chunk whose form type is ck->fccType, or a chunk whose
  // identifier is ck->ckid. With neither, the chunk at the current position is taken.
  static constexpr uint32_t kFindRiff = 0x20;
  static constexpr uint32_t kFindChunk = 0x10;

  RiffFile() = default;
  ~RiffFile();
  RiffFile(const RiffFile&) = delete;
  RiffFile& operator=(const RiffFile&) = delete;

  // Opens `fileName` for buffered reading. 0, or -10 when it cannot be opened.
  int32_t Open(const char* fileName);
#ifdef _WIN32
  bool IsOpen() const { return file != nullptr; }
#else
  bool IsOpen() const { return stream.is_open(); }
#endif
  // 0 also when nothing is open.
  int32_t Close();

  // The position of the next byte to be read, counted from the start of the file; -1 when
  // nothing is open.
  int64_t Position();
  int64_t FileSize() const { return fileSize; }

  // Finds a chunk from the current position, within `parent` (or the whole file when null),
  // and leaves the position at its contents (after the form type for a RIFF chunk). 0 and
  // `ck` filled, or -10 when no such chunk lies there.
  int32_t Descend(MMCKINFO* ck, const MMCKINFO* parent, uint32_t flags);
  // Moves the position past the end of `ck` and its pad byte. 0, or -10 when it cannot.
  int32_t Ascend(const MMCKINFO* ck);

  // Reads up to `count` bytes: the number read, 0 at the end of the file, -1 on an error.
  int32_t Read(void* buffer, int32_t count);
  // Moves the position to `offset` from the start of the file: the new position, or -1.
  int64_t Seek(int64_t offset);

 private:
  static constexpr int64_t kChunkHeaderBytes = 8;
  static constexpr int64_t kFormTypeBytes = 4;
#ifdef _WIN32
  // The system's file offsets are signed 32-bit: no chunk beyond them can be reached.
  static constexpr int64_t kMaxOffset = 0x7FFFFFFF;
#else
  // Chunk offsets are 32-bit in the file format and in MMCKINFO.
  static constexpr int64_t kMaxOffset = 0xFFFFFFFF;
#endif

  // Reads exactly `count` bytes or fails.
  bool ReadExact(uint8_t* buffer, int32_t count);
  // Reads the header of the chunk at `offset`: its identifier and stated size, and for a RIFF
  // or LIST chunk the form type after it when the file holds one (0 otherwise). The position
  // is left anywhere. false when no header can be read there.
  bool ReadChunkHeader(int64_t offset, uint32_t* id, uint32_t* size, uint32_t* formType);

#ifdef _WIN32
  void* file = nullptr;  // the system's buffered file (HMMIO)
  int64_t fileSize = 0;
#else
  std::ifstream stream;
  int64_t fileSize = 0;
  int64_t position = 0;  // kept here: asking the stream costs a system call
  char buffer[8192];
#endif
};

}  // namespace ve::platform
