#include "rtp/Exception.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace ve {

Exception::Exception(int32_t errorCode, const char* format, ...) : code(errorCode) {
  message[0] = '\0';
  if (format != nullptr) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
  }
  message[kMessageSize - 1] = '\0';
}

Exception::Exception(const Exception& other) : std::exception(other), code(other.code) {
  std::memcpy(message, other.message, sizeof message);
}

Exception& Exception::operator=(const Exception& other) {
  if (this != &other) {
    code = other.code;
    std::memcpy(message, other.message, sizeof message);
  }
  return *this;
}

}  // namespace ve
