#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

namespace ve::test {

// A small impairing UDP relay on loopback for call tests: it listens on two consecutive ports
// (RTP and RTCP, as the call tool expects) and forwards what arrives to 127.0.0.1:toPort and
// toPort+1, dropping, delaying and so reordering RTP datagrams as configured. RTCP passes
// unimpaired. Stops and closes its sockets in the destructor.
class UdpRelay {
 public:
  struct Impairment {
    double lossRate = 0.0;  // share of RTP datagrams dropped at random
    int baseDelayMs = 0;    // added to every RTP datagram
    int jitterMs = 0;       // plus a uniform random 0..jitterMs (reorders when > packet gap)
    uint32_t seed = 1;
  };

  UdpRelay(uint16_t toPort, const Impairment& impairment);
  ~UdpRelay();
  UdpRelay(const UdpRelay&) = delete;
  UdpRelay& operator=(const UdpRelay&) = delete;

  bool Valid() const { return rtpFd >= 0 && rtcpFd >= 0; }
  // The RTP port to send to; RTCP goes to Port() + 1.
  uint16_t Port() const { return port; }
  uint32_t Forwarded() const { return forwarded; }
  uint32_t Dropped() const { return dropped; }

 private:
  void Run();

  uint16_t toPort;
  Impairment impairment;
  int rtpFd = -1;
  int rtcpFd = -1;
  int outFd = -1;
  uint16_t port = 0;
  std::atomic<bool> stop{false};
  std::atomic<uint32_t> forwarded{0};
  std::atomic<uint32_t> dropped{0};
  std::thread thread;
};

// Two consecutive free UDP ports on 127.0.0.1 (P and P+1), for a process that binds them
// itself; 0 when none were found.
uint16_t FreePortPair();

}  // namespace ve::test
