#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

namespace ve::test {

// A small impairing UDP relay on loopback for call tests: it listens on two consecutive ports
// (RTP and RTCP, as the call tool expects) and forwards what arrives to 127.0.0.1:toPort and
// toPort+1, dropping, delaying and so reordering RTP datagrams as configured. RTCP is never
// dropped or reordered, only delayed by a fixed time if asked. Stops and closes its sockets in
// the destructor. One thread of its own does all the relaying; the counters may be read from
// any thread.
class UdpRelay {
 public:
  struct Impairment {
    double lossRate = 0.0;  // share of RTP datagrams dropped at random
    int baseDelayMs = 0;    // added to every RTP datagram
    // Plus, per RTP datagram, an independent delay drawn uniformly from 0..jitterMs at
    // microsecond resolution; datagrams leave within about 1 ms after their time. It reorders
    // when larger than the packet gap. Below that, two consecutive datagrams' delays differ by
    // jitterMs / 3 on average, which a receiver's interarrival jitter estimate settles near.
    int jitterMs = 0;
    uint32_t seed = 1;
    int rtcpDelayMs = 0;  // added to every RTCP datagram, which keep their order
  };

  UdpRelay(uint16_t toPort, const Impairment& impairment);
  ~UdpRelay();
  UdpRelay(const UdpRelay&) = delete;
  UdpRelay& operator=(const UdpRelay&) = delete;

  bool Valid() const { return rtpFd >= 0 && rtcpFd >= 0; }
  // The RTP port to send to; RTCP goes to Port() + 1.
  uint16_t Port() const { return port; }

 private:
  void Run();

  uint16_t toPort;
  Impairment impairment;
  int rtpFd = -1;
  int rtcpFd = -1;
  int outFd = -1;
  uint16_t port = 0;
  std::atomic<bool> stop{false};
  std::thread thread;
};

// Two consecutive free UDP ports on 127.0.0.1 (P and P+1), for a process that binds them
// itself; 0 when none were found.
uint16_t FreePortPair();

}  // namespace ve::test
