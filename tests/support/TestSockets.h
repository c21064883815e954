#pragma once

// UDP on the loopback address for the tests, the same on every system. Sockets are plain ints,
// as the engine's platform::SocketHandle; -1 is no socket.

#include <cstddef>
#include <cstdint>
#include <initializer_list>

namespace ve::test {

// A UDP socket bound to 127.0.0.1:port (0: a port the system picks); -1 on failure.
int OpenLoopbackUdp(uint16_t port);
void CloseUdp(int socket);
// Shuts the socket down for reading, as a host may do mid-call.
void ShutdownReceiving(int socket);
// The local port a socket is bound to; 0 when it cannot be told.
uint16_t LocalPort(int socket);

// Sends one datagram to 127.0.0.1:port; true when all of it left.
bool SendToLoopback(int socket, const uint8_t* data, size_t length, uint16_t port);
// Waits at most timeoutMs for a datagram on any of `sockets`; false on time-out or error.
bool WaitAnyReadable(std::initializer_list<int> sockets, int timeoutMs);
// Reads one waiting datagram without blocking: its length, 0 when none is waiting, -1 on
// error. The error an earlier send to a closed port leaves on the socket counts as none.
int ReceiveNow(int socket, uint8_t* buffer, size_t capacity);

// The IP type-of-service byte the socket sends with; -1 when it cannot be read.
int TypeOfService(int socket);

}  // namespace ve::test
