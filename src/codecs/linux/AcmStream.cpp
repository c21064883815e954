#include "codecs/AcmStream.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>

#include "codecs/FormatDecoder.h"

namespace ve {

namespace {

// Source frames decoded per step (at least one block): bounds the work buffers.
constexpr uint32_t kPieceFrames = 2048;
constexpr size_t kResampledFrames = 2048;

bool RateOk(uint32_t rate) { return rate >= AcmStream::kMinRate && rate <= AcmStream::kMaxRate; }

int16_t ToInt16(float v) {
  float scaled = std::nearbyint(v * 32768.0f);
  if (!(scaled >= -32768.0f)) return scaled > 0.0f ? 32767 : (std::isnan(scaled) ? 0 : -32768);
  return scaled > 32767.0f ? 32767 : static_cast<int16_t>(scaled);
}

}  // namespace

int32_t AcmStream::Open(AcmStream** out, const WAVEFORMATEX* source, uint32_t sourceSize,
                        const WAVEFORMATEX* destination, uint32_t) {
  if (out == nullptr) return kInvalidParameter;
  *out = nullptr;
  if (source == nullptr || destination == nullptr) return kInvalidParameter;
  std::unique_ptr<FormatDecoder> decoder = FormatDecoder::Create(source, sourceSize);
  const WAVEFORMATEX& dst = *destination;
  if (decoder == nullptr || !RateOk(source->nSamplesPerSec) || dst.wFormatTag != WAVE_FORMAT_PCM ||
      dst.wBitsPerSample != 16 || dst.nChannels == 0 || dst.nChannels > FormatDecoder::kMaxChannels ||
      dst.nBlockAlign != 2 * dst.nChannels || !RateOk(dst.nSamplesPerSec)) {
    return kNotPossible;
  }

  std::unique_ptr<AcmStream> stream(new AcmStream());
  stream->dstChannels = dst.nChannels;
  stream->workChannels = decoder->Channels() == dst.nChannels ? dst.nChannels : 1;
  stream->blocksPerPiece = std::max<uint32_t>(1, kPieceFrames / decoder->FramesPerBlock());
  size_t pieceFrames = static_cast<size_t>(stream->blocksPerPiece) * decoder->FramesPerBlock();
  stream->decoded.resize(pieceFrames * decoder->Channels());
  stream->work.resize(pieceFrames * stream->workChannels);
  if (source->nSamplesPerSec != dst.nSamplesPerSec) {
    soxr_error_t error = nullptr;
    soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    stream->resampler = soxr_create(source->nSamplesPerSec, dst.nSamplesPerSec, stream->workChannels, &error, &io,
                                    &quality, &runtime);
    if (stream->resampler == nullptr || error != nullptr) return kNotPossible;
    stream->resampled.resize(kResampledFrames * stream->workChannels);
  }
  stream->decoder = std::move(decoder);
  *out = stream.release();
  return 0;
}

int32_t AcmStream::Close(AcmStream* stream) {
  delete stream;
  return 0;
}

AcmStream::~AcmStream() {
  if (resampler != nullptr) soxr_delete(resampler);
}

int32_t AcmStream::PrepareHeader(ACMSTREAMHEADER* header) {
  if (header == nullptr || header->cbStruct != sizeof(ACMSTREAMHEADER) || header->pbSrc == nullptr ||
      header->pbDst == nullptr || header->cbSrcLength == 0 || header->cbDstLength == 0) {
    return kInvalidParameter;
  }
  header->dwReservedDriver[0] = header->cbSrcLength;
  header->dwReservedDriver[1] = header->cbDstLength;
  header->fdwStatus = kStatusPrepared;
  return 0;
}

int32_t AcmStream::UnprepareHeader(ACMSTREAMHEADER* header) {
  if (header == nullptr || header->cbStruct != sizeof(ACMSTREAMHEADER)) return kInvalidParameter;
  if ((header->fdwStatus & kStatusPrepared) == 0) return kUnprepared;
  if (header->cbSrcLength != header->dwReservedDriver[0] || header->cbDstLength != header->dwReservedDriver[1]) {
    return kInvalidParameter;
  }
  header->fdwStatus = 0;
  return 0;
}

void AcmStream::Emit(const float* frames, size_t count, uint8_t* dst) {
  for (size_t f = 0; f < count; ++f) {
    for (uint16_t c = 0; c < dstChannels; ++c) {
      int16_t v = ToInt16(frames[f * workChannels + (workChannels == 1 ? 0 : c)]);
      *dst++ = static_cast<uint8_t>(v);
      *dst++ = static_cast<uint8_t>(static_cast<uint16_t>(v) >> 8);
    }
  }
}

size_t AcmStream::Resample(uint8_t* dst, size_t spaceFrames, bool end) {
  size_t written = 0;
  while (written < spaceFrames) {
    size_t wanted = std::min(spaceFrames - written, kResampledFrames);
    size_t used = 0;
    size_t made = 0;
    // A non-null input pointer with no frames asks only for what the resampler holds; null
    // marks the end of the stream and brings out the rest it holds back.
    const bool flush = end && pendingFrames == 0;
    soxr_process(resampler, flush ? nullptr : work.data() + pendingOffset * workChannels, pendingFrames, &used,
                 resampled.data(), wanted, &made);
    pendingOffset += used;
    pendingFrames -= used;
    Emit(resampled.data(), made, dst + written * 2 * dstChannels);
    written += made;
    if (made < wanted && pendingFrames == 0 && !end) break;  // it needs more input
    if (made == 0 && used == 0) break;
  }
  return written;
}

int32_t AcmStream::Convert(ACMSTREAMHEADER* header, uint32_t flags) {
  if (header == nullptr || header->cbStruct != sizeof(ACMSTREAMHEADER)) return kInvalidParameter;
  if ((header->fdwStatus & kStatusPrepared) == 0) return kUnprepared;
  if (header->cbSrcLength > header->dwReservedDriver[0] || header->cbDstLength > header->dwReservedDriver[1]) {
    return kInvalidParameter;
  }
  const uint32_t blockBytes = decoder->BlockBytes();
  const uint32_t framesPerBlock = decoder->FramesPerBlock();
  const uint16_t srcChannels = decoder->Channels();
  const uint32_t blocks = header->cbSrcLength / blockBytes;
  const size_t spaceFrames = header->cbDstLength / (2u * dstChannels);
  uint32_t used = 0;
  size_t written = 0;

  // What the resampler was given last time but could not yet hand out comes first.
  if (resampler != nullptr) written += Resample(header->pbDst, spaceFrames);

  while (used < blocks && written < spaceFrames && pendingFrames == 0) {
    uint32_t take = std::min(blocks - used, blocksPerPiece);
    if (resampler == nullptr) {
      take = std::min<uint32_t>(take, static_cast<uint32_t>((spaceFrames - written) / framesPerBlock));
      if (take == 0) break;  // not even one block's output fits
    }
    size_t frames = static_cast<size_t>(take) * framesPerBlock;
    decoder->Decode(header->pbSrc + static_cast<size_t>(used) * blockBytes, take, decoded.data());
    used += take;
    if (workChannels == srcChannels) {
      std::copy(decoded.begin(), decoded.begin() + frames * srcChannels, work.begin());
    } else {
      for (size_t f = 0; f < frames; ++f) {
        float sum = 0.0f;
        for (uint16_t c = 0; c < srcChannels; ++c) sum += decoded[f * srcChannels + c];
        work[f] = sum / srcChannels;
      }
    }
    if (resampler == nullptr) {
      Emit(work.data(), frames, header->pbDst + written * 2 * dstChannels);
      written += frames;
    } else {
      pendingOffset = 0;
      pendingFrames = frames;
      written += Resample(header->pbDst + written * 2 * dstChannels, spaceFrames - written);
    }
  }

  // At the end of the stream, once every whole block is in, the resampler gives out the last
  // frames it holds back for its filter.
  if ((flags & kConvertEnd) != 0 && resampler != nullptr && used == blocks && written < spaceFrames) {
    written += Resample(header->pbDst + written * 2 * dstChannels, spaceFrames - written, true);
  }

  header->cbSrcLengthUsed = used * blockBytes;
  header->cbDstLengthUsed = static_cast<uint32_t>(written * 2 * dstChannels);
  header->fdwStatus |= kStatusDone;
  return 0;
}

}  // namespace ve
