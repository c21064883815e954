#pragma once

#include <cstddef>
#include <cstdint>

namespace ve::platform {

// The UDP socket operations the RTP and RTCP code relies on. The host creates, binds and
// closes the sockets; the engine only waits on, reads from, sends on and tunes them.
//
// Threads: every function is safe from any thread on any socket; SocketWakeup may be
// signalled from any thread while another waits on it.

using SocketHandle = int;
constexpr SocketHandle kInvalidSocket = -1;
// What InetAddr returns for text that is not a dotted IPv4 address.
constexpr uint32_t kAddressNone = 0xFFFFFFFFu;

// An IPv4 destination: the address in network order (as InetAddr returns it), the port in
// host order.
struct Ipv4Endpoint {
  uint32_t address = 0;
  uint16_t port = 0;

  friend bool operator==(const Ipv4Endpoint& a, const Ipv4Endpoint& b) {
    return a.address == b.address && a.port == b.port;
  }
};

// Starts the system's socket services for this process (Windows Sockets; nothing to do on
// Linux). May be called any number of times; false when the services cannot start. The
// engine library calls it when it is loaded; programs that make their own sockets call it
// before they do.
bool StartSockets();

// Dotted IPv4 text to an address in network order; kAddressNone when it cannot be parsed.
uint32_t InetAddr(const char* dotted);

// A wake-up that ends a WaitReadable early. It stays signalled until Clear, so a signal given
// before the wait begins is not lost.
class SocketWakeup {
 public:
  SocketWakeup();
  ~SocketWakeup();
  SocketWakeup(const SocketWakeup&) = delete;
  SocketWakeup& operator=(const SocketWakeup&) = delete;

  void Signal();
  void Clear();
  bool Valid() const { return fd >= 0; }

 private:
  friend int32_t WaitReadable(SocketHandle, int32_t, SocketWakeup*);
  // Linux: an eventfd. Windows: a UDP socket on the loopback address connected to itself,
  // which select can wait on beside the host's socket.
  int fd;
};

// Waits until `socket` has a datagram to read, `wakeup` (may be null) is signalled, or
// timeoutMs passes (negative: no limit; 0: a single check). 1 readable, 0 time-out or
// wake-up, -1 error (a bad socket, or one shut down for reading, included).
int32_t WaitReadable(SocketHandle socket, int32_t timeoutMs, SocketWakeup* wakeup);

// Reads one datagram without blocking: its length, 0 when none is waiting, -1 on error.
// A datagram longer than `capacity` is cut to `capacity` bytes.
int32_t Recv(SocketHandle socket, uint8_t* buffer, int32_t capacity);

// Recv that also tells where the datagram came from (`from` may be null).
int32_t RecvFrom(SocketHandle socket, uint8_t* buffer, int32_t capacity, Ipv4Endpoint* from);

// True when `from` is the socket bound at `local` itself: the same port, and the same address
// or, for a socket bound to any address, a loopback one.
inline bool IsOwnEndpoint(const Ipv4Endpoint& local, const Ipv4Endpoint& from) {
  if (local.port == 0 || from.port != local.port) return false;
  if (from.address == local.address) return true;
  const auto* bytes = reinterpret_cast<const uint8_t*>(&from.address);  // network order
  return local.address == 0 && bytes[0] == 127;
}

// The address and port the socket is bound to; false when the system cannot tell (or the
// socket is not an IPv4 socket).
bool LocalEndpoint(SocketHandle socket, Ipv4Endpoint* local);

// Sends one datagram: the bytes sent, or -1 on error.
int32_t SendTo(SocketHandle socket, const uint8_t* data, int32_t length, const Ipv4Endpoint& to);

// Sets the IP type-of-service byte of outgoing packets: 0, or the system's error number.
int32_t SetTypeOfService(SocketHandle socket, uint8_t tos);

// The host's name into `buffer` (always terminated); false when the system cannot tell.
bool GetHostName(char* buffer, size_t capacity);

// The id of this process.
uint32_t GetProcessId();

}  // namespace ve::platform
