#include "platform/Random.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

namespace ve::platform {

namespace {

// /dev/urandom never blocks; it serves kernels without getrandom and the moments before the
// entropy pool is ready, when getrandom without blocking refuses.
bool ReadUrandom(uint8_t* out, size_t bytes) {
  int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  while (bytes > 0) {
    ssize_t n = ::read(fd, out, bytes);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out += n;
    bytes -= static_cast<size_t>(n);
  }
  ::close(fd);
  return bytes == 0;
}

}  // namespace

bool FillRandom(void* buffer, size_t bytes) {
  auto* out = static_cast<uint8_t*>(buffer);
  // Large requests may come back partly filled, and a signal may interrupt one: keep asking
  // for the rest.
  while (bytes > 0) {
    ssize_t n = ::getrandom(out, bytes, GRND_NONBLOCK);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return ReadUrandom(out, bytes);
    out += n;
    bytes -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace ve::platform
