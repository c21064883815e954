#include "support/TestSockets.h"

#include "platform/Socket.h"

#ifdef _WIN32
#include "platform/win32/WindowsHeaders.h"
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#endif

#include <vector>

namespace ve::test {

namespace {

#ifdef _WIN32
using Native = SOCKET;
Native ToNative(int socket) { return static_cast<SOCKET>(static_cast<uintptr_t>(static_cast<intptr_t>(socket))); }
using AddressLength = int;
#else
using Native = int;
Native ToNative(int socket) { return socket; }
using AddressLength = socklen_t;
#endif

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

}  // namespace

int OpenLoopbackUdp(uint16_t port) {
  if (!platform::StartSockets()) return -1;
#ifdef _WIN32
  SOCKET made = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (made == INVALID_SOCKET) return -1;
  int socket = static_cast<int>(made);
#else
  int socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (socket < 0) return -1;
#endif
  sockaddr_in address = Loopback(port);
  if (::bind(ToNative(socket), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    CloseUdp(socket);
    return -1;
  }
  return socket;
}

void CloseUdp(int socket) {
  if (socket < 0) return;
#ifdef _WIN32
  ::closesocket(ToNative(socket));
#else
  ::close(socket);
#endif
}

void ShutdownReceiving(int socket) {
#ifdef _WIN32
  ::shutdown(ToNative(socket), SD_RECEIVE);
#else
  ::shutdown(socket, SHUT_RD);
#endif
}

uint16_t LocalPort(int socket) {
  sockaddr_in address{};
  AddressLength length = sizeof address;
  if (::getsockname(ToNative(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.sin_port);
}

bool SendToLoopback(int socket, const uint8_t* data, size_t length, uint16_t port) {
  sockaddr_in to = Loopback(port);
  auto sent = ::sendto(ToNative(socket), reinterpret_cast<const char*>(data), static_cast<int>(length), 0,
                       reinterpret_cast<sockaddr*>(&to), sizeof to);
  return sent >= 0 && static_cast<size_t>(sent) == length;
}

bool WaitAnyReadable(std::initializer_list<int> sockets, int timeoutMs) {
#ifdef _WIN32
  // Windows has no poll for sockets; select takes sockets of any value.
  fd_set readable;
  FD_ZERO(&readable);
  for (int socket : sockets) FD_SET(ToNative(socket), &readable);
  timeval limit{};
  limit.tv_sec = timeoutMs / 1000;
  limit.tv_usec = (timeoutMs % 1000) * 1000;
  return ::select(0, &readable, nullptr, nullptr, timeoutMs < 0 ? nullptr : &limit) > 0;
#else
  std::vector<pollfd> fds;
  for (int socket : sockets) fds.push_back({socket, POLLIN, 0});
  return ::poll(fds.data(), fds.size(), timeoutMs) > 0;
#endif
}

int ReceiveNow(int socket, uint8_t* buffer, size_t capacity) {
#ifdef _WIN32
  // A blocking socket: read only when select reports a datagram.
  if (!WaitAnyReadable({socket}, 0)) return 0;
  int got = ::recv(ToNative(socket), reinterpret_cast<char*>(buffer), static_cast<int>(capacity), 0);
  if (got >= 0) return got;
  switch (::WSAGetLastError()) {
    case WSAEMSGSIZE:
      return static_cast<int>(capacity);
    case WSAEWOULDBLOCK:
    case WSAECONNRESET:  // a port-unreachable answer to an earlier send
      return 0;
    default:
      return -1;
  }
#else
  for (;;) {
    ssize_t got = ::recv(socket, buffer, capacity, MSG_DONTWAIT);
    if (got >= 0) return static_cast<int>(got);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNREFUSED) return 0;
    return -1;
  }
#endif
}

int TypeOfService(int socket) {
#ifdef _WIN32
  DWORD value = 0;
#else
  int value = 0;
#endif
  AddressLength length = sizeof value;
  if (::getsockopt(ToNative(socket), IPPROTO_IP, IP_TOS, reinterpret_cast<char*>(&value), &length) != 0) return -1;
  return static_cast<int>(value & 0xFF);
}

}  // namespace ve::test
