// The converter on the system's audio compression manager. The project's headers come first:
// the system's headers define some of the same names (WAVE_FORMAT_PCM, ...) as macros with the
// same values, and the system's records are named with `::` beside ours in `ve`.
#include "codecs/AcmStream.h"

#include <algorithm>
#include <cstring>

#include "codecs/FormatDecoder.h"

#include "platform/win32/WindowsHeaders.h"
#include <mmsystem.h>
#include <mmreg.h>
#include <msacm.h>

#include "platform/win32/Pcm16Format.h"

namespace ve {

// The class's result codes are the system's, negated.
static_assert(AcmStream::kInvalidParameter == -static_cast<int32_t>(MMSYSERR_INVALPARAM));
static_assert(AcmStream::kNotPossible == -static_cast<int32_t>(ACMERR_NOTPOSSIBLE));
static_assert(AcmStream::kUnprepared == -static_cast<int32_t>(ACMERR_UNPREPARED));

namespace {

bool RateOk(uint32_t rate) { return rate >= AcmStream::kMinRate && rate <= AcmStream::kMaxRate; }

int32_t FromSystem(MMRESULT result) { return result == MMSYSERR_NOERROR ? 0 : -static_cast<int32_t>(result); }

HACMSTREAM Handle(void* stream) { return static_cast<HACMSTREAM>(stream); }

// One system conversion of `srcBytes` into at most `dstBytes` through a prepared header; the
// stream's first conversion carries the start flag, its last (`end`) the end flag, which makes
// the system's converter give out what it holds back.
MMRESULT ConvertCall(void* stream, ::ACMSTREAMHEADER* header, DWORD srcBytes, DWORD dstBytes, bool* started,
                     bool end = false) {
  header->cbSrcLength = srcBytes;
  header->cbDstLength = dstBytes;
  header->cbSrcLengthUsed = 0;
  header->cbDstLengthUsed = 0;
  DWORD flags = ACM_STREAMCONVERTF_BLOCKALIGN | (*started ? 0 : ACM_STREAMCONVERTF_START) |
                (end ? ACM_STREAMCONVERTF_END : 0);
  MMRESULT result = acmStreamConvert(Handle(stream), header, flags);
  if (result == MMSYSERR_NOERROR) *started = true;
  return result;
}

// Extension bytes the system may read behind the 18-byte record.
constexpr size_t kMaxExtraBytes = 1024;

// The standard coefficient pairs of Microsoft ADPCM, for records that do not carry them.
constexpr int16_t kMsAdpcmCoefficients[7][2] = {{256, 0}, {512, -256}, {0, 0}, {192, 64},
                                                {240, 0}, {460, -208}, {392, -232}};

void AppendU16(std::vector<uint8_t>& bytes, uint32_t value) {
  bytes.push_back(static_cast<uint8_t>(value));
  bytes.push_back(static_cast<uint8_t>(value >> 8));
}

// The source record as the system gets it: an extensible wrapper replaced by the plain record
// of what it wraps (the system's converters know the plain tags), the extension cut to what
// the caller's record really holds (cbSize alone is not trusted), the byte rate of the
// fixed-rate codings recomputed (files often carry a wrong one, which the drivers reject),
// and the ADPCM extension the drivers require (samples per block, coefficients) supplied when
// the record lacks it, as the decoders on the other systems assume it.
std::vector<uint8_t> SystemSource(const WAVEFORMATEX* source, uint32_t sourceSize, const FormatView& view,
                                  uint32_t framesPerBlock) {
  std::vector<uint8_t> bytes(sizeof(::WAVEFORMATEX));
  auto* format = reinterpret_cast<::WAVEFORMATEX*>(bytes.data());
  format->wFormatTag = view.tag;
  format->nChannels = view.channels;
  format->nSamplesPerSec = view.rate;
  format->nBlockAlign = view.blockAlign;
  format->wBitsPerSample = view.bits;
  format->nAvgBytesPerSec = source->nAvgBytesPerSec;
  format->cbSize = 0;
  if (view.tag == WAVE_FORMAT_IMA_ADPCM) {
    AppendU16(bytes, framesPerBlock);
  } else if (view.tag == WAVE_FORMAT_ADPCM) {
    size_t extra = std::min<size_t>({source->cbSize, sourceSize - sizeof(WAVEFORMATEX), kMaxExtraBytes});
    const auto* from = reinterpret_cast<const uint8_t*>(source) + sizeof(WAVEFORMATEX);
    uint32_t count = extra >= 4 ? from[2] | (from[3] << 8) : 0;
    AppendU16(bytes, framesPerBlock);
    if (count >= 1 && extra >= 4 + 4 * static_cast<size_t>(count)) {
      bytes.insert(bytes.end(), from + 2, from + 4 + 4 * count);
    } else {
      AppendU16(bytes, 7);
      for (const auto& pair : kMsAdpcmCoefficients) {
        AppendU16(bytes, static_cast<uint16_t>(pair[0]));
        AppendU16(bytes, static_cast<uint16_t>(pair[1]));
      }
    }
  } else {
    format->nAvgBytesPerSec = view.rate * view.blockAlign;
  }
  format = reinterpret_cast<::WAVEFORMATEX*>(bytes.data());
  format->cbSize = static_cast<WORD>(bytes.size() - sizeof(::WAVEFORMATEX));
  if (view.tag == WAVE_FORMAT_IMA_ADPCM || view.tag == WAVE_FORMAT_ADPCM) {
    format->nAvgBytesPerSec = static_cast<DWORD>(static_cast<uint64_t>(view.rate) * view.blockAlign / framesPerBlock);
  }
  return bytes;
}

HACMSTREAM OpenSystem(::WAVEFORMATEX* source, ::WAVEFORMATEX* destination, MMRESULT* result) {
  HACMSTREAM handle = nullptr;
  *result = acmStreamOpen(&handle, nullptr, source, destination, nullptr, 0, 0, ACM_STREAMOPENF_NONREALTIME);
  return *result == MMSYSERR_NOERROR ? handle : nullptr;
}

// Intermediate frames per piece for a rate change: the shortest run of source frames that
// makes a whole number of destination frames. The system's PCM rate converter starts each
// call afresh (measured: the output depends on how the input is split between calls), which
// is exact only when a call begins on such a boundary. Odd rate pairs whose run is longer
// than a tenth of a second get that instead, and a small phase slip between pieces.
uint32_t PieceFrames(uint32_t srcRate, uint32_t dstRate) {
  uint32_t a = srcRate, b = dstRate;
  while (b != 0) {
    uint32_t t = a % b;
    a = b;
    b = t;
  }
  uint32_t run = srcRate / a;
  return run <= srcRate / 10 ? run : std::max<uint32_t>(srcRate / 10, 1);
}

// How much of `available` source bytes, in whole blocks of `blockBytes`, the system expects to
// convert into at most `space` destination bytes. The system is given no more than that: a
// converter that stops because its destination is full may not keep its place exactly (the
// PCM rate converter of some versions then drops or repeats a sample), one that is never
// stopped that way does, so the output does not depend on the destination's size.
DWORD FitSource(void* stream, DWORD available, DWORD space, DWORD blockBytes) {
  DWORD fit = 0;
  if (acmStreamSize(Handle(stream), space, &fit, ACM_STREAMSIZEF_DESTINATION) != MMSYSERR_NOERROR) fit = available;
  fit = std::min(fit, available);
  return fit - fit % blockBytes;
}

}  // namespace

// One of the caller's headers as the system sees it. With one step, `one` is prepared on the
// caller's own buffers. With two, `decode` takes the caller's source into `decoded` (or the
// source is copied as it is), which is appended to `mid`; `resample` takes whole pieces of
// `mid` into `out`, which is copied to the caller's destination, and what does not fit there
// waits in `pending` for the next call.
struct AcmStream::Prepared {
  ACMSTREAMHEADER* owner = nullptr;
  DWORD srcLength = 0;  // as prepared
  DWORD dstLength = 0;
  ::ACMSTREAMHEADER one{};
  ::ACMSTREAMHEADER decode{};
  ::ACMSTREAMHEADER resample{};
  bool decodePrepared = false;
  bool resamplePrepared = false;
  std::vector<uint8_t> decoded;
  std::vector<uint8_t> mid;
  uint32_t midCount = 0;
  std::vector<uint8_t> out;
  std::vector<uint8_t> pending;
};

int32_t AcmStream::Open(AcmStream** out, const WAVEFORMATEX* source, uint32_t sourceSize,
                        const WAVEFORMATEX* destination, uint32_t) {
  if (out == nullptr) return kInvalidParameter;
  *out = nullptr;
  if (source == nullptr || destination == nullptr) return kInvalidParameter;
  // The same formats are accepted as on the other systems: the decoders' checks of the
  // record decide, and only then is the system asked.
  std::unique_ptr<FormatDecoder> decoder = FormatDecoder::Create(source, sourceSize);
  FormatView view;
  const WAVEFORMATEX& dst = *destination;
  if (decoder == nullptr || !FormatDecoder::Parse(source, sourceSize, &view) || !RateOk(view.rate) ||
      dst.wFormatTag != WAVE_FORMAT_PCM || dst.wBitsPerSample != 16 || dst.nChannels == 0 ||
      dst.nChannels > FormatDecoder::kMaxChannels || dst.nBlockAlign != 2 * dst.nChannels ||
      !RateOk(dst.nSamplesPerSec)) {
    return kNotPossible;
  }

  std::unique_ptr<AcmStream> stream(new AcmStream());
  stream->srcBlockBytes = decoder->BlockBytes();
  stream->srcFramesPerBlock = decoder->FramesPerBlock();
  stream->srcRate = view.rate;
  stream->dstRate = dst.nSamplesPerSec;
  stream->dstFrameBytes = 2u * dst.nChannels;
  stream->midFrameBytes = 2u * view.channels;

  // The system's converters handle mono and stereo only (some versions accept more channels
  // and then interleave them wrongly), so more is refused here.
  if (view.channels > 2 || dst.nChannels > 2) return kNotPossible;

  std::vector<uint8_t> sourceBytes = SystemSource(source, sourceSize, view, decoder->FramesPerBlock());
  auto* systemSource = reinterpret_cast<::WAVEFORMATEX*>(sourceBytes.data());
  ::WAVEFORMATEX systemDestination = platform::Pcm16Format(dst.nSamplesPerSec, dst.nChannels);
  bool sourceIsPcm16 = view.tag == WAVE_FORMAT_PCM && view.bits == 16;
  MMRESULT result = ACMERR_NOTPOSSIBLE;
  if (view.rate == dst.nSamplesPerSec) {
    stream->first = OpenSystem(systemSource, &systemDestination, &result);
    if (stream->first != nullptr) {
      *out = stream.release();
      return 0;
    }
    if (result != ACMERR_NOTPOSSIBLE || sourceIsPcm16) return FromSystem(result);
  }
  // Two system streams in a row: a codec's driver usually decodes only to PCM of the same
  // rate and channels and leaves the rate and channel change to the PCM converter, which
  // is given whole pieces (see PieceFrames).
  ::WAVEFORMATEX mid = platform::Pcm16Format(view.rate, view.channels);
  if (!sourceIsPcm16) {
    stream->first = OpenSystem(systemSource, &mid, &result);
    if (stream->first == nullptr) return FromSystem(result);
  }
  stream->second = OpenSystem(&mid, &systemDestination, &result);
  if (stream->second == nullptr) return FromSystem(result);  // the destructor closes `first`
  stream->pieceFrames = PieceFrames(view.rate, dst.nSamplesPerSec);
  stream->outPieceFrames = std::max<uint32_t>(
      1, static_cast<uint32_t>(static_cast<uint64_t>(stream->pieceFrames) * dst.nSamplesPerSec / view.rate));
  if (sourceIsPcm16) stream->srcFramesPerBlock = 1;
  *out = stream.release();
  return 0;
}

int32_t AcmStream::Close(AcmStream* stream) {
  delete stream;
  return 0;
}

AcmStream::~AcmStream() {
  // Headers the owner left prepared are unprepared first: the system refuses to close a
  // stream that still has them.
  for (auto& p : prepared) {
    if (second == nullptr) {
      p->one.cbSrcLength = p->srcLength;
      p->one.cbDstLength = p->dstLength;
      acmStreamUnprepareHeader(Handle(first), &p->one, 0);
    } else {
      p->decode.cbSrcLength = p->srcLength;
      p->decode.cbDstLength = static_cast<DWORD>(p->decoded.size());
      p->resample.cbSrcLength = static_cast<DWORD>(p->mid.size());
      p->resample.cbDstLength = static_cast<DWORD>(p->out.size());
      if (p->decodePrepared) acmStreamUnprepareHeader(Handle(first), &p->decode, 0);
      if (p->resamplePrepared) acmStreamUnprepareHeader(Handle(second), &p->resample, 0);
    }
  }
  if (second != nullptr) acmStreamClose(Handle(second), 0);
  if (first != nullptr) acmStreamClose(Handle(first), 0);
}

AcmStream::Prepared* AcmStream::Find(const ACMSTREAMHEADER* header) const {
  for (const auto& p : prepared) {
    if (p->owner == header) return p.get();
  }
  return nullptr;
}

int32_t AcmStream::PrepareHeader(ACMSTREAMHEADER* header) {
  if (header == nullptr || header->cbStruct != sizeof(ACMSTREAMHEADER) || header->pbSrc == nullptr ||
      header->pbDst == nullptr || header->cbSrcLength == 0 || header->cbDstLength == 0) {
    return kInvalidParameter;
  }
  if (Find(header) != nullptr) {
    // Prepared again: the old system headers go first.
    header->cbSrcLength = header->dwReservedDriver[0];
    header->cbDstLength = header->dwReservedDriver[1];
    UnprepareHeader(header);
  }
  auto p = std::make_unique<Prepared>();
  p->owner = header;
  p->srcLength = header->cbSrcLength;
  p->dstLength = header->cbDstLength;
  MMRESULT result;
  if (second == nullptr) {
    p->one.cbStruct = sizeof(::ACMSTREAMHEADER);
    p->one.pbSrc = header->pbSrc;
    p->one.cbSrcLength = header->cbSrcLength;
    p->one.pbDst = header->pbDst;
    p->one.cbDstLength = header->cbDstLength;
    result = acmStreamPrepareHeader(Handle(first), &p->one, 0);
  } else {
    // `decoded` holds the PCM of a full source buffer; `mid` that, what the previous call
    // left and a piece; `out` what the converter makes of a full `mid`.
    DWORD decodedBytes = header->cbSrcLength;
    result = MMSYSERR_NOERROR;
    if (first != nullptr) {
      result = acmStreamSize(Handle(first), header->cbSrcLength, &decodedBytes, ACM_STREAMSIZEF_SOURCE);
    }
    DWORD outBytes = 0;
    if (result == MMSYSERR_NOERROR) {
      decodedBytes = std::max<DWORD>(decodedBytes, midFrameBytes);
      p->decoded.resize(first != nullptr ? decodedBytes : 0);
      p->mid.resize(2 * static_cast<size_t>(decodedBytes) + static_cast<size_t>(pieceFrames) * midFrameBytes);
      result = acmStreamSize(Handle(second), static_cast<DWORD>(p->mid.size()), &outBytes, ACM_STREAMSIZEF_SOURCE);
    }
    if (result == MMSYSERR_NOERROR) {
      p->out.resize(outBytes + 4 * static_cast<size_t>(dstFrameBytes));  // room for rounding up
      p->pending.reserve(p->out.size());
    }
    if (result == MMSYSERR_NOERROR && first != nullptr) {
      p->decode.cbStruct = sizeof(::ACMSTREAMHEADER);
      p->decode.pbSrc = header->pbSrc;
      p->decode.cbSrcLength = header->cbSrcLength;
      p->decode.pbDst = p->decoded.data();
      p->decode.cbDstLength = decodedBytes;
      result = acmStreamPrepareHeader(Handle(first), &p->decode, 0);
      p->decodePrepared = result == MMSYSERR_NOERROR;
    }
    if (result == MMSYSERR_NOERROR) {
      p->resample.cbStruct = sizeof(::ACMSTREAMHEADER);
      p->resample.pbSrc = p->mid.data();
      p->resample.cbSrcLength = static_cast<DWORD>(p->mid.size());
      p->resample.pbDst = p->out.data();
      p->resample.cbDstLength = static_cast<DWORD>(p->out.size());
      result = acmStreamPrepareHeader(Handle(second), &p->resample, 0);
      p->resamplePrepared = result == MMSYSERR_NOERROR;
    }
    if (result != MMSYSERR_NOERROR && p->decodePrepared) acmStreamUnprepareHeader(Handle(first), &p->decode, 0);
  }
  if (result != MMSYSERR_NOERROR) return FromSystem(result);
  header->dwReservedDriver[0] = header->cbSrcLength;
  header->dwReservedDriver[1] = header->cbDstLength;
  header->fdwStatus = kStatusPrepared;
  prepared.push_back(std::move(p));
  return 0;
}

int32_t AcmStream::UnprepareHeader(ACMSTREAMHEADER* header) {
  if (header == nullptr || header->cbStruct != sizeof(ACMSTREAMHEADER)) return kInvalidParameter;
  Prepared* p = Find(header);
  if ((header->fdwStatus & kStatusPrepared) == 0 || p == nullptr) return kUnprepared;
  if (header->cbSrcLength != header->dwReservedDriver[0] || header->cbDstLength != header->dwReservedDriver[1]) {
    return kInvalidParameter;
  }
  MMRESULT result = MMSYSERR_NOERROR;
  if (second == nullptr) {
    p->one.cbSrcLength = header->cbSrcLength;
    p->one.cbDstLength = header->cbDstLength;
    result = acmStreamUnprepareHeader(Handle(first), &p->one, 0);
  } else {
    MMRESULT decodeResult = MMSYSERR_NOERROR;
    if (p->decodePrepared) {
      p->decode.cbSrcLength = header->cbSrcLength;
      p->decode.cbDstLength = static_cast<DWORD>(p->decoded.size());
      decodeResult = acmStreamUnprepareHeader(Handle(first), &p->decode, 0);
    }
    p->resample.cbSrcLength = static_cast<DWORD>(p->mid.size());
    p->resample.cbDstLength = static_cast<DWORD>(p->out.size());
    result = acmStreamUnprepareHeader(Handle(second), &p->resample, 0);
    if (result == MMSYSERR_NOERROR) result = decodeResult;
  }
  prepared.erase(std::find_if(prepared.begin(), prepared.end(), [p](const auto& q) { return q.get() == p; }));
  header->fdwStatus = 0;
  return FromSystem(result);
}

int32_t AcmStream::Convert(ACMSTREAMHEADER* header, uint32_t flags) {
  if (header == nullptr || header->cbStruct != sizeof(ACMSTREAMHEADER)) return kInvalidParameter;
  Prepared* p = Find(header);
  if ((header->fdwStatus & kStatusPrepared) == 0 || p == nullptr) return kUnprepared;
  if (header->cbSrcLength > header->dwReservedDriver[0] || header->cbDstLength > header->dwReservedDriver[1]) {
    return kInvalidParameter;
  }
  // The system's headers were prepared on these buffers; it cannot follow others.
  if (second == nullptr && (header->pbSrc != p->one.pbSrc || header->pbDst != p->one.pbDst)) {
    return kInvalidParameter;
  }
  if (first != nullptr && second != nullptr && header->pbSrc != p->decode.pbSrc) return kInvalidParameter;
  header->cbSrcLengthUsed = 0;
  header->cbDstLengthUsed = 0;
  const bool end = (flags & kConvertEnd) != 0;
  int32_t result = second == nullptr ? ConvertOneStep(*p, header, end) : ConvertTwoSteps(*p, header, end);
  header->fdwStatus |= kStatusDone;
  return result;
}

int32_t AcmStream::ConvertOneStep(Prepared& p, ACMSTREAMHEADER* header, bool end) {
  // Less than a block or than a destination frame converts nothing; the system is not asked.
  if (header->cbSrcLength < srcBlockBytes || header->cbDstLength < dstFrameBytes) return 0;
  DWORD fit = FitSource(first, header->cbSrcLength, header->cbDstLength, srcBlockBytes);
  if (fit == 0) return 0;  // not even one block's output fits
  MMRESULT result = ConvertCall(first, &p.one, fit, header->cbDstLength, &firstStarted, end && fit == header->cbSrcLength);
  if (result != MMSYSERR_NOERROR) return FromSystem(result);
  header->cbSrcLengthUsed = std::min<uint32_t>(p.one.cbSrcLengthUsed, header->cbSrcLength);
  header->cbDstLengthUsed = std::min<uint32_t>(p.one.cbDstLengthUsed, header->cbDstLength);
  return 0;
}

int32_t AcmStream::ConvertTwoSteps(Prepared& p, ACMSTREAMHEADER* header, bool end) {
  const uint32_t space = header->cbDstLength - header->cbDstLength % dstFrameBytes;
  uint32_t written = 0;
  uint32_t used = 0;

  // What the converter made last time beyond the destination comes first.
  if (!p.pending.empty()) {
    written = std::min<uint32_t>(space, static_cast<uint32_t>(p.pending.size()));
    std::memcpy(header->pbDst, p.pending.data(), written);
    p.pending.erase(p.pending.begin(), p.pending.begin() + written);
  }

  // Decode only while what waits in `mid` will not fill the destination, and only about as
  // many blocks as fill it: the input is consumed as far as its output fits.
  const uint64_t pieceBytes = static_cast<uint64_t>(pieceFrames) * midFrameBytes;
  const uint64_t spaceFrames = (space - written) / dstFrameBytes;
  const uint64_t neededMid = (spaceFrames * srcRate / dstRate + 1) * midFrameBytes + pieceBytes;
  const uint32_t blocks = header->cbSrcLength / srcBlockBytes;
  if (p.pending.empty() && spaceFrames > 0 && blocks > 0 && p.midCount < neededMid) {
    const uint64_t blockMid = static_cast<uint64_t>(srcFramesPerBlock) * midFrameBytes;
    uint64_t wanted = (neededMid - p.midCount + blockMid - 1) / blockMid;
    uint64_t room = (p.mid.size() - p.midCount) / blockMid;
    uint32_t take = static_cast<uint32_t>(std::min<uint64_t>({blocks, wanted, room}));
    if (take > 0 && first == nullptr) {
      used = take * srcBlockBytes;  // already the intermediate PCM
      std::memcpy(p.mid.data() + p.midCount, header->pbSrc, used);
      p.midCount += used;
    } else if (take > 0) {
      MMRESULT result = ConvertCall(first, &p.decode, take * srcBlockBytes, static_cast<DWORD>(p.decoded.size()),
                                    &firstStarted);
      if (result != MMSYSERR_NOERROR) return FromSystem(result);
      uint32_t made = std::min<uint32_t>(p.decode.cbDstLengthUsed, static_cast<uint32_t>(p.mid.size()) - p.midCount);
      std::memcpy(p.mid.data() + p.midCount, p.decoded.data(), made);
      p.midCount += made;
      used = std::min<uint32_t>(p.decode.cbSrcLengthUsed, header->cbSrcLength);
    }
  }
  header->cbSrcLengthUsed = used;

  // Whole pieces that fit the destination, or one piece when none does (its remainder then
  // waits in `pending`). At the end of the stream, once the input and the whole pieces are in,
  // the last part of a piece goes with the end flag.
  uint64_t pieces = p.midCount / pieceBytes;
  const bool last = end && used == blocks * srcBlockBytes && pieces == 0 && p.midCount >= midFrameBytes;
  if (p.pending.empty() && written < space && (pieces > 0 || last)) {
    pieces = std::min<uint64_t>(pieces, std::max<uint64_t>(1, (space - written) / dstFrameBytes / outPieceFrames));
    const uint64_t bytes = last ? p.midCount - p.midCount % midFrameBytes : pieces * pieceBytes;
    MMRESULT result = ConvertCall(second, &p.resample, static_cast<DWORD>(bytes), static_cast<DWORD>(p.out.size()),
                                  &secondStarted, last);
    if (result != MMSYSERR_NOERROR) return FromSystem(result);
    uint32_t taken = std::min<uint32_t>(p.resample.cbSrcLengthUsed, p.midCount);
    std::memmove(p.mid.data(), p.mid.data() + taken, p.midCount - taken);
    p.midCount -= taken;
    uint32_t made = std::min<uint32_t>(p.resample.cbDstLengthUsed, static_cast<uint32_t>(p.out.size()));
    uint32_t now = std::min(made, space - written);
    std::memcpy(header->pbDst + written, p.out.data(), now);
    written += now;
    p.pending.assign(p.out.begin() + now, p.out.begin() + made);
  }
  header->cbDstLengthUsed = written;
  return 0;
}

}  // namespace ve
