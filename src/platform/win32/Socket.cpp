#include "platform/Socket.h"

#include <atomic>
#include <mutex>

#include "platform/win32/WindowsHeaders.h"

namespace ve::platform {

namespace {

SOCKET Native(SocketHandle socket) { return static_cast<SOCKET>(static_cast<uintptr_t>(static_cast<intptr_t>(socket))); }

// Programs linking the platform layer statically get their socket services without asking.
const bool startedAtLoad = StartSockets();

}  // namespace

bool StartSockets() {
  static std::mutex startLock;
  static bool started = false;
  std::lock_guard<std::mutex> guard(startLock);
  if (started) return true;
  WSADATA data;
  // Version 1.1 offers everything used here: select, recv, sendto, setsockopt, gethostname.
  started = ::WSAStartup(MAKEWORD(1, 1), &data) == 0;
  return started;
}

uint32_t InetAddr(const char* dotted) {
  in_addr parsed{};
  if (dotted == nullptr || ::inet_pton(AF_INET, dotted, &parsed) != 1) return kAddressNone;
  return parsed.s_addr;
}

SocketWakeup::SocketWakeup() : fd(-1) {
  (void)startedAtLoad;
  SOCKET wake = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (wake == INVALID_SOCKET) return;
  sockaddr_in self{};
  self.sin_family = AF_INET;
  self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof self;
  u_long nonBlocking = 1;
  if (::bind(wake, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0 ||
      ::getsockname(wake, reinterpret_cast<sockaddr*>(&self), &length) != 0 ||
      ::connect(wake, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0 ||
      ::ioctlsocket(wake, FIONBIO, &nonBlocking) != 0) {
    ::closesocket(wake);
    return;
  }
  fd = static_cast<int>(wake);
}

SocketWakeup::~SocketWakeup() {
  if (fd >= 0) ::closesocket(Native(fd));
}

void SocketWakeup::Signal() {
  if (fd < 0) return;
  char one = 1;
  ::send(Native(fd), &one, 1, 0);  // a full queue is still signalled
}

void SocketWakeup::Clear() {
  if (fd < 0) return;
  char drain[16];
  while (::recv(Native(fd), drain, sizeof drain, 0) > 0) {
  }
}

int32_t WaitReadable(SocketHandle socket, int32_t timeoutMs, SocketWakeup* wakeup) {
  if (socket < 0) return -1;
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(Native(socket), &readable);
  const bool withWakeup = wakeup != nullptr && wakeup->fd >= 0;
  if (withWakeup) FD_SET(Native(wakeup->fd), &readable);
  timeval limit{};
  limit.tv_sec = timeoutMs / 1000;
  limit.tv_usec = (timeoutMs % 1000) * 1000;
  int ready = ::select(0, &readable, nullptr, nullptr, timeoutMs < 0 ? nullptr : &limit);
  if (ready == SOCKET_ERROR) return -1;
  if (ready == 0) return 0;
  if (withWakeup && FD_ISSET(Native(wakeup->fd), &readable)) return 0;
  return FD_ISSET(Native(socket), &readable) ? 1 : 0;
}

int32_t Recv(SocketHandle socket, uint8_t* buffer, int32_t capacity) { return RecvFrom(socket, buffer, capacity, nullptr); }

int32_t RecvFrom(SocketHandle socket, uint8_t* buffer, int32_t capacity, Ipv4Endpoint* from) {
  if (socket < 0 || buffer == nullptr || capacity < 0) return -1;
  // The host's socket may be blocking: read only what select reports as waiting.
  int32_t waiting = WaitReadable(socket, 0, nullptr);
  if (waiting <= 0) return waiting;
  sockaddr_in address{};
  int addressLength = sizeof address;
  int got = ::recvfrom(Native(socket), reinterpret_cast<char*>(buffer), capacity, 0,
                       reinterpret_cast<sockaddr*>(&address), &addressLength);
  int error = got >= 0 ? 0 : ::WSAGetLastError();
  if (got >= 0 || error == WSAEMSGSIZE) {
    if (from != nullptr) {
      from->address = address.sin_family == AF_INET ? address.sin_addr.s_addr : 0;
      from->port = address.sin_family == AF_INET ? ntohs(address.sin_port) : 0;
    }
    return got >= 0 ? got : capacity;  // a longer datagram was cut to the buffer
  }
  switch (error) {
    case WSAEWOULDBLOCK:
    case WSAECONNRESET:  // an ICMP error of an earlier send, reported on this socket
      return 0;
    default:
      return -1;
  }
}

bool LocalEndpoint(SocketHandle socket, Ipv4Endpoint* local) {
  if (socket < 0 || local == nullptr) return false;
  sockaddr_in address{};
  int addressLength = sizeof address;
  if (::getsockname(Native(socket), reinterpret_cast<sockaddr*>(&address), &addressLength) != 0) return false;
  if (address.sin_family != AF_INET) return false;
  local->address = address.sin_addr.s_addr;
  local->port = ntohs(address.sin_port);
  return true;
}

int32_t SendTo(SocketHandle socket, const uint8_t* data, int32_t length, const Ipv4Endpoint& to) {
  if (socket < 0 || data == nullptr || length < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(to.port);
  address.sin_addr.s_addr = to.address;
  int sent = ::sendto(Native(socket), reinterpret_cast<const char*>(data), length, 0,
                      reinterpret_cast<const sockaddr*>(&address), sizeof address);
  return sent == SOCKET_ERROR ? -1 : sent;
}

int32_t SetTypeOfService(SocketHandle socket, uint8_t tos) {
  DWORD value = tos;
  if (::setsockopt(Native(socket), IPPROTO_IP, IP_TOS, reinterpret_cast<const char*>(&value), sizeof value) != 0) {
    int error = ::WSAGetLastError();
    return error != 0 ? error : -1;
  }
  return 0;
}

bool GetHostName(char* buffer, size_t capacity) {
  if (buffer == nullptr || capacity == 0) return false;
  if (::gethostname(buffer, static_cast<int>(capacity)) != 0) {
    buffer[0] = '\0';
    return false;
  }
  buffer[capacity - 1] = '\0';
  return true;
}

uint32_t GetProcessId() { return ::GetCurrentProcessId(); }

}  // namespace ve::platform
