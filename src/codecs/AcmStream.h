#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/WaveFormat.h"

#ifndef _WIN32
struct soxr;
#endif

namespace ve {

class FormatDecoder;

// One conversion's buffers: the caller fills pbSrc/cbSrcLength and gets back how much input
// was consumed (cbSrcLengthUsed) and how much output was written to pbDst (cbDstLengthUsed).
// Input left unconsumed is the caller's to carry into the next call.
struct ACMSTREAMHEADER {
  uint32_t cbStruct = 0;
  uint32_t fdwStatus = 0;
  uintptr_t dwUser = 0;
  uint8_t* pbSrc = nullptr;
  uint32_t cbSrcLength = 0;
  uint32_t cbSrcLengthUsed = 0;
  uintptr_t dwSrcUser = 0;
  uint8_t* pbDst = nullptr;
  uint32_t cbDstLength = 0;
  uint32_t cbDstLengthUsed = 0;
  uintptr_t dwDstUser = 0;
  uint32_t dwReservedDriver[10] = {};  // the stream keeps the prepared lengths here
};

// Converts audio in any common WAV coding to 16-bit PCM: integer PCM of 8 to 32 bits, 32- and
// 64-bit float, their WAVE_FORMAT_EXTENSIBLE wrappers, A-law, u-law, IMA ADPCM and Microsoft
// ADPCM, at 4 to 192 kHz with 1 to 8 channels, to 16-bit PCM at 4 to 192 kHz with 1 to 8
// channels. Equal channel counts are kept as they are; otherwise the channels are averaged to
// mono and the mono copied to every destination channel. A rate change goes through a
// band-limited resampler (libsoxr, high quality: flat passband, stopband far below 16-bit
// noise), which streams across calls: what it holds back comes out in later calls. On Windows
// the system's conversion manager does the decoding, mixing and rate change instead, so the
// channel mixing and the resampler's quality are the system's (its converter handles 1 and 2
// channels only), and a format its drivers cannot handle is refused.
//
// Only whole source blocks are consumed; the rest of the input is left for the caller to carry
// over. When the destination buffer fills up, the input is consumed only as far as its output
// fits, and the converted remainder that the resampler still holds comes out first next time.
//
// Results: 0, or a negative code (kInvalidParameter, kNotPossible, kUnprepared).
//
// Threads: one thread at a time per stream (the owner serialises its calls); no lock inside.
class AcmStream {
 public:
  static constexpr uint32_t kOpenNonRealtime = 4;
  static constexpr uint32_t kConvertBlockAlign = 4;
  // The input ends with this call: what the conversion holds back comes out (repeat the call
  // with no new input until it gives nothing).
  static constexpr uint32_t kConvertEnd = 0x20;
  static constexpr uint32_t kStatusDone = 0x00010000;
  static constexpr uint32_t kStatusPrepared = 0x00020000;

  static constexpr int32_t kInvalidParameter = -11;
  static constexpr int32_t kNotPossible = -512;
  static constexpr int32_t kUnprepared = -514;

  static constexpr uint32_t kMinRate = 4000;
  static constexpr uint32_t kMaxRate = 192000;

  // Opens a stream from `source` (`sourceSize` bytes of record, so that an extension such as
  // the extensible sub-format or the ADPCM coefficients can be read safely) to `destination`
  // (an 18-byte record). 0 with `*out` set, or kNotPossible for a pair it cannot convert.
  static int32_t Open(AcmStream** out, const WAVEFORMATEX* source, uint32_t sourceSize,
                      const WAVEFORMATEX* destination, uint32_t flags);
  // Frees the stream; 0.
  static int32_t Close(AcmStream* stream);

  // Checks the header's buffers and records their lengths as the most it may later use.
  int32_t PrepareHeader(ACMSTREAMHEADER* header);
  // Converts what the header's source buffer holds (see above).
  int32_t Convert(ACMSTREAMHEADER* header, uint32_t flags);
  // Requires the lengths to be back at the prepared ones.
  int32_t UnprepareHeader(ACMSTREAMHEADER* header);

  ~AcmStream();
  AcmStream(const AcmStream&) = delete;
  AcmStream& operator=(const AcmStream&) = delete;

 private:
  AcmStream() = default;

#ifdef _WIN32
  struct Prepared;  // the system's headers and buffers behind one of the caller's headers

  Prepared* Find(const ACMSTREAMHEADER* header) const;
  int32_t ConvertOneStep(Prepared& p, ACMSTREAMHEADER* header, bool end);
  int32_t ConvertTwoSteps(Prepared& p, ACMSTREAMHEADER* header, bool end);

  // The system streams (HACMSTREAM). `second` is null when one stream converts the whole way;
  // otherwise `first` decodes to 16-bit PCM at the source's rate and channels (null when the
  // source is that already) and `second` takes that PCM to the destination, in whole pieces.
  void* first = nullptr;
  void* second = nullptr;
  bool firstStarted = false;
  bool secondStarted = false;
  uint32_t srcBlockBytes = 1;
  uint32_t srcFramesPerBlock = 1;
  uint32_t srcRate = 0;
  uint32_t dstRate = 0;
  uint32_t midFrameBytes = 2;  // one frame of the intermediate PCM
  uint32_t dstFrameBytes = 2;
  uint32_t pieceFrames = 1;     // intermediate frames per piece given to `second`
  uint32_t outPieceFrames = 1;  // the destination frames one piece makes
  std::vector<std::unique_ptr<Prepared>> prepared;
#else
  // Writes `frames` frames of `work` (workChannels each) to the destination as 16-bit PCM.
  void Emit(const float* work, size_t frames, uint8_t* dst);
  // Runs the pending work frames through the resampler into the destination until it is
  // full or the resampler has nothing more; returns the frames written. At the `end` of the
  // stream the resampler also gives out what it holds back.
  size_t Resample(uint8_t* dst, size_t spaceFrames, bool end = false);

  std::unique_ptr<FormatDecoder> decoder;
  soxr* resampler = nullptr;  // null when the rates are equal
  uint16_t workChannels = 1;
  uint16_t dstChannels = 1;
  uint32_t blocksPerPiece = 1;
  std::vector<float> decoded;   // one piece of decoded source frames
  std::vector<float> work;      // the piece after channel mixing
  std::vector<float> resampled; // resampler output before it is written out
  size_t pendingOffset = 0;     // work frames not yet taken by the resampler start here
  size_t pendingFrames = 0;
#endif
};

}  // namespace ve
