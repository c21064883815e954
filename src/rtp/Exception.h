#pragma once

#include <cstdint>
#include <exception>

namespace ve {

// The error object that parsers and loaders throw inside one operation and catch before it
// returns: a signed error code and a formatted message of at most 511 characters, always
// terminated. It holds no pointers, so copying it is copying its bytes.
//
// Threads: a plain value; each thread uses its own objects.
class Exception : public std::exception {
 public:
  static constexpr int32_t kMessageSize = 512;

  // Formats at most kMessageSize - 1 characters of `format` with its arguments into message.
  Exception(int32_t code, const char* format, ...) __attribute__((format(printf, 3, 4)));
  Exception(const Exception& other);
  Exception& operator=(const Exception& other);
  ~Exception() override = default;

  int32_t Code() const { return code; }
  const char* Message() const { return message; }
  const char* what() const noexcept override { return message; }

 private:
  int32_t code;
  char message[kMessageSize];
};

}  // namespace ve
