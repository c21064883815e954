#include "audio/FirFilter.h"

#include <cstring>

namespace ve {

template <typename T>
FirFilter<T>::FirFilter(const double* table, int32_t n)
    : history(2 * static_cast<size_t>(n > 0 ? n : 0), 0),
      coefficients(table != nullptr && n > 0 ? table : nullptr, table != nullptr && n > 0 ? table + n : nullptr),
      count(table != nullptr && n > 0 ? n : 0) {}

template <typename T>
int32_t FirFilter<T>::Process(const T* in, T* out, int32_t n) {
  const double* c = coefficients.data();
  int32_t* h = history.data();
  for (int32_t i = 0; i < n; ++i) {
    T x;
    std::memcpy(&x, in + i, sizeof x);  // the data of a sample need not be aligned for T
    double y = 0.0;
    if (count > 0) {
      newest = newest == 0 ? count - 1 : newest - 1;
      h[newest] = x;
      h[newest + count] = x;
      const int32_t* window = h + newest;
      for (int32_t k = 0; k < count; ++k) y += window[k] * c[k];
    }
    if (y < minValue) y = minValue;
    if (y > maxValue) y = maxValue;
    T result = static_cast<T>(y);
    std::memcpy(out + i, &result, sizeof result);
  }
  return 0;
}

template class FirFilter<int8_t>;
template class FirFilter<int16_t>;
template class FirFilter<int32_t>;

}  // namespace ve
