#include "support/LoopbackSocket.h"

#include <chrono>

#include "support/TestSockets.h"

namespace ve::test {

LoopbackSocket::LoopbackSocket() {
  fd = OpenLoopbackUdp(0);
  if (fd < 0) return;
  port = LocalPort(fd);
  if (port == 0) {
    CloseUdp(fd);
    fd = -1;
  }
}

LoopbackSocket::~LoopbackSocket() { CloseUdp(fd); }

bool LoopbackSocket::SendTo(uint16_t toPort, const std::vector<uint8_t>& bytes) {
  return SendToLoopback(fd, bytes.data(), bytes.size(), toPort);
}

bool LoopbackSocket::Receive(std::vector<uint8_t>* out, int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  out->resize(65536);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (!WaitAnyReadable({fd}, static_cast<int>(left > 0 ? left : 0))) return false;
    int got = ReceiveNow(fd, out->data(), out->size());
    if (got < 0) return false;
    // Readable without a datagram: an error left by an earlier send, now cleared.
    if (got == 0 && Clock::now() >= deadline) return false;
    if (got > 0) {
      out->resize(static_cast<size_t>(got));
      return true;
    }
  }
}

std::vector<std::vector<uint8_t>> LoopbackSocket::ReceiveAll(int quietMs, size_t limit) {
  std::vector<std::vector<uint8_t>> all;
  std::vector<uint8_t> one;
  while (all.size() < limit && Receive(&one, quietMs)) all.push_back(one);
  return all;
}

}  // namespace ve::test
