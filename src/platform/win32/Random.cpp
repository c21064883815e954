#include "platform/Random.h"

#include <algorithm>
#include <climits>

#include "platform/win32/WindowsHeaders.h"
// After <windows.h>, which defines the types it uses.
#include <bcrypt.h>

namespace ve::platform {

bool FillRandom(void* buffer, size_t bytes) {
  auto* out = static_cast<UCHAR*>(buffer);
  // The system call takes a 32-bit length: larger requests go in pieces.
  while (bytes > 0) {
    auto piece = static_cast<ULONG>(std::min<size_t>(bytes, ULONG_MAX));
    // The system's preferred generator needs no algorithm handle and never blocks; a negative
    // status is a failure.
    LONG status = ::BCryptGenRandom(nullptr, out, piece, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    if (status < 0) return false;
    out += piece;
    bytes -= piece;
  }
  return true;
}

}  // namespace ve::platform
