#include "rtcp/RtpTools.h"

#include <cstdio>

namespace ve {

namespace {

void PrintBits(uint8_t byte) {
  char bits[10];
  for (int i = 0; i < 8; ++i) bits[i] = (byte & (0x80 >> i)) != 0 ? '1' : '0';
  bits[8] = ' ';
  bits[9] = '\0';
  std::fputs(bits, stderr);
}

void PrintHex(const uint8_t* four) {
  std::printf("  %2.2X%2.2X%2.2X%2.2X\n", four[0], four[1], four[2], four[3]);
}

}  // namespace

void DumpBytes(const uint8_t* data, int32_t length) {
  std::fputs("\n-----------------------------------\n", stderr);
  if (data == nullptr) return;
  for (int32_t i = 0; i < length; ++i) {
    if (i % 4 == 0 && i != 0) PrintHex(data + i - 4);
    PrintBits(data[i]);
  }
}

void DumpWord(const uint8_t* word) {
  for (int i = 0; i < 4; ++i) PrintBits(word[i]);
  PrintHex(word);
}

}  // namespace ve
