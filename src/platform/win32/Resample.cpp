// One-shot rate change on the system's PCM converter. The project's header comes first; the
// system's headers follow.
#include "platform/Resample.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "platform/win32/WindowsHeaders.h"
#include <mmsystem.h>
#include <mmreg.h>
#include <msacm.h>

#include "platform/win32/Pcm16Format.h"

namespace ve::platform {

namespace {

// Converts `bytes` bytes at `src` in one call, appending the output to `out`; the number of
// source bytes the system took, or -1.
int64_t ConvertOnce(HACMSTREAM stream, const uint8_t* src, DWORD bytes, DWORD frameBytes, bool first,
                    std::vector<uint8_t>* out) {
  DWORD outBytes = 0;
  if (acmStreamSize(stream, bytes, &outBytes, ACM_STREAMSIZEF_SOURCE) != MMSYSERR_NOERROR) return -1;
  std::vector<uint8_t> dst(outBytes + 4 * static_cast<size_t>(frameBytes));  // room for rounding up
  ::ACMSTREAMHEADER header{};
  header.cbStruct = sizeof(header);
  header.pbSrc = const_cast<uint8_t*>(src);  // only read
  header.cbSrcLength = bytes;
  header.pbDst = dst.data();
  header.cbDstLength = static_cast<DWORD>(dst.size());
  if (acmStreamPrepareHeader(stream, &header, 0) != MMSYSERR_NOERROR) return -1;
  DWORD flags = ACM_STREAMCONVERTF_BLOCKALIGN | ACM_STREAMCONVERTF_END | (first ? ACM_STREAMCONVERTF_START : 0);
  MMRESULT result = acmStreamConvert(stream, &header, flags);
  DWORD used = std::min(header.cbSrcLengthUsed, bytes);
  DWORD made = std::min(header.cbDstLengthUsed, static_cast<DWORD>(dst.size()));
  header.cbSrcLength = bytes;
  header.cbDstLength = static_cast<DWORD>(dst.size());
  acmStreamUnprepareHeader(stream, &header, 0);
  if (result != MMSYSERR_NOERROR) return -1;
  out->insert(out->end(), dst.begin(), dst.begin() + made);
  return used;
}

}  // namespace

bool ResamplePcm16(const std::vector<int16_t>& in, uint16_t channels, uint32_t fromRate, uint32_t toRate,
                   std::vector<int16_t>* out) {
  if (out == nullptr || channels == 0 || fromRate == 0 || toRate == 0) return false;
  out->clear();
  ::WAVEFORMATEX source = Pcm16Format(fromRate, channels);
  ::WAVEFORMATEX destination = Pcm16Format(toRate, channels);
  HACMSTREAM stream = nullptr;
  if (acmStreamOpen(&stream, nullptr, &source, &destination, nullptr, 0, 0, ACM_STREAMOPENF_NONREALTIME) !=
      MMSYSERR_NOERROR) {
    return false;
  }
  // All of the input in one call where possible: the system's PCM rate converter starts each
  // call afresh, so every call boundary would shift the output's phase a little. Only input
  // beyond what one call takes is split.
  const DWORD frameBytes = source.nBlockAlign;
  const auto* input = reinterpret_cast<const uint8_t*>(in.data());
  const size_t inputBytes = in.size() / channels * frameBytes;
  const size_t maxCall = (std::numeric_limits<DWORD>::max() / 16) / frameBytes * frameBytes;
  std::vector<uint8_t> result;
  size_t position = 0;
  bool ok = true;
  while (position < inputBytes) {
    DWORD bytes = static_cast<DWORD>(std::min(inputBytes - position, maxCall));
    int64_t used = ConvertOnce(stream, input + position, bytes, frameBytes, position == 0, &result);
    if (used <= 0) {
      ok = used == 0;  // nothing taken: a last piece shorter than the converter needs
      break;
    }
    position += static_cast<size_t>(used);
  }
  acmStreamClose(stream, 0);
  if (!ok) return false;
  out->resize(result.size() / 2);
  std::memcpy(out->data(), result.data(), out->size() * 2);
  return true;
}

}  // namespace ve::platform
