#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ve::test {

// A UDP socket bound to 127.0.0.1 on a port the system picks, closed by the destructor.
// Tests hand Handle() to the component under test and talk to it through this object.
class LoopbackSocket {
 public:
  LoopbackSocket();
  ~LoopbackSocket();
  LoopbackSocket(const LoopbackSocket&) = delete;
  LoopbackSocket& operator=(const LoopbackSocket&) = delete;

  bool Valid() const { return fd >= 0; }
  int Handle() const { return fd; }
  uint16_t Port() const { return port; }

  // Sends one datagram to 127.0.0.1:toPort; true when the whole datagram left.
  bool SendTo(uint16_t toPort, const std::vector<uint8_t>& bytes);
  // Waits at most timeoutMs for one datagram; false on time-out.
  bool Receive(std::vector<uint8_t>* out, int timeoutMs);
  // Receives until none arrives within quietMs; at most `limit` datagrams.
  std::vector<std::vector<uint8_t>> ReceiveAll(int quietMs, size_t limit = 1000);

 private:
  int fd = -1;
  uint16_t port = 0;
};

}  // namespace ve::test
