#include "platform/Resample.h"

#include <soxr.h>

namespace ve::platform {

bool ResamplePcm16(const std::vector<int16_t>& in, uint16_t channels, uint32_t fromRate, uint32_t toRate,
                   std::vector<int16_t>* out) {
  if (channels == 0 || fromRate == 0 || toRate == 0) return false;
  const size_t frames = in.size() / channels;
  size_t outFrames = static_cast<size_t>(static_cast<double>(frames) * toRate / fromRate) + 1;
  out->assign(outFrames * channels, 0);
  size_t done = 0;
  soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_INT16_I);
  soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
  soxr_error_t error = soxr_oneshot(fromRate, toRate, channels, in.data(), frames, nullptr, out->data(),
                                    outFrames, &done, &io, &quality, nullptr);
  if (error != nullptr) return false;
  out->resize(done * channels);
  return true;
}

}  // namespace ve::platform
