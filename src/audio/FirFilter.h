#pragma once

#include <cstdint>
#include <limits>
#include <vector>

namespace ve {

// A finite impulse response filter over signed integer samples of one width (8, 16 or 32
// bits). Each output is the sum over k of the input k steps back times coefficient k, in
// double, clamped to the width's range and truncated toward zero. The history carries over
// from one Process call to the next, so consecutive blocks are filtered as one signal; it
// starts from zeros at construction.
//
// The history is kept twice over in a ring of 2 * count values, so the newest `count` inputs
// always lie contiguous, newest first, without shifting them for each sample.
//
// Threads: used by the thread driving its equaliser only; no lock.
template <typename T>
class FirFilter {
 public:
  FirFilter(const double* table, int32_t count);
  virtual ~FirFilter() = default;

  // Filters n values of `in` into `out` (which may be `in`); returns 0.
  int32_t Process(const T* in, T* out, int32_t n);

  int32_t Count() const { return count; }

 private:
  std::vector<int32_t> history;  // 2 * count values: [newest, newest + count) is the window
  std::vector<double> coefficients;
  int32_t count;
  int32_t newest = 0;
  double minValue = static_cast<double>(std::numeric_limits<T>::min());
  double maxValue = static_cast<double>(std::numeric_limits<T>::max());
};

using FirFilter8 = FirFilter<int8_t>;
using FirFilter16 = FirFilter<int16_t>;
using FirFilter32 = FirFilter<int32_t>;

extern template class FirFilter<int8_t>;
extern template class FirFilter<int16_t>;
extern template class FirFilter<int32_t>;

}  // namespace ve
