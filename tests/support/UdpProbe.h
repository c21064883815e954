#pragma once

// UDP on loopback beyond what TestSockets offers, for tests that send from several places at
// once: sockets bound to any address of 127.0.0.0/8, and what the system says about the
// receive queue of another process's socket (so a sender can keep within it, and tell the
// datagrams the receiver's program saw from those the system dropped for want of room).

#include <cstdint>

namespace ve::test {

// A UDP socket bound to `dotted`:port (port 0: one the system picks); -1 when it cannot be
// made or bound (not every system routes all of 127.0.0.0/8 to loopback).
int OpenUdpOn(const char* dotted, uint16_t port);

struct ReceiveQueue {
  bool known = false;        // false where the system does not tell (anything but Linux)
  uint32_t queuedBytes = 0;  // memory the waiting datagrams take, as the system counts it
  uint64_t drops = 0;        // datagrams the system dropped, the queue being full
};

// The receive queues of the UDP sockets bound to 127.0.0.1 (or to any address) at `ports`
// consecutive ports from `port`, added up; known when all of them are.
ReceiveQueue ReadReceiveQueue(uint16_t port, int ports = 1);

}  // namespace ve::test
