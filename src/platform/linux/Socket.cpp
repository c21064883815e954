#include "platform/Socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ve::platform {

bool StartSockets() { return true; }

uint32_t InetAddr(const char* dotted) {
  in_addr parsed{};
  if (dotted == nullptr || inet_pton(AF_INET, dotted, &parsed) != 1) return kAddressNone;
  return parsed.s_addr;
}

SocketWakeup::SocketWakeup() : fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

SocketWakeup::~SocketWakeup() {
  if (fd >= 0) close(fd);
}

void SocketWakeup::Signal() {
  if (fd < 0) return;
  uint64_t one = 1;
  ssize_t written = write(fd, &one, sizeof one);
  (void)written;  // a full counter is still signalled
}

void SocketWakeup::Clear() {
  if (fd < 0) return;
  uint64_t count = 0;
  ssize_t got = read(fd, &count, sizeof count);
  (void)got;  // EAGAIN: it was not signalled
}

int32_t WaitReadable(SocketHandle socket, int32_t timeoutMs, SocketWakeup* wakeup) {
  if (socket < 0) return -1;
  pollfd fds[2] = {{socket, POLLIN | POLLRDHUP, 0}, {wakeup != nullptr ? wakeup->fd : -1, POLLIN, 0}};
  nfds_t count = wakeup != nullptr && wakeup->fd >= 0 ? 2 : 1;
  for (;;) {
    int ready = poll(fds, count, timeoutMs < 0 ? -1 : timeoutMs);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (ready == 0) return 0;
    // A socket shut down for reading stays readable with nothing to read: it is finished.
    if ((fds[0].revents & (POLLNVAL | POLLRDHUP)) != 0) return -1;
    if (count == 2 && fds[1].revents != 0) return 0;
    if ((fds[0].revents & (POLLIN | POLLERR | POLLHUP)) != 0) return 1;
    return 0;
  }
}

int32_t Recv(SocketHandle socket, uint8_t* buffer, int32_t capacity) { return RecvFrom(socket, buffer, capacity, nullptr); }

int32_t RecvFrom(SocketHandle socket, uint8_t* buffer, int32_t capacity, Ipv4Endpoint* from) {
  if (socket < 0 || buffer == nullptr || capacity < 0) return -1;
  for (;;) {
    sockaddr_in address{};
    socklen_t addressLength = sizeof address;
    ssize_t got = recvfrom(socket, buffer, static_cast<size_t>(capacity), MSG_DONTWAIT,
                           reinterpret_cast<sockaddr*>(&address), &addressLength);
    if (got >= 0) {
      if (from != nullptr) {
        from->address = address.sin_family == AF_INET ? address.sin_addr.s_addr : 0;
        from->port = address.sin_family == AF_INET ? ntohs(address.sin_port) : 0;
      }
      return static_cast<int32_t>(got);
    }
    if (errno == EINTR) continue;
    // No datagram after all, or an ICMP error of an earlier send reported on this socket.
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNREFUSED) return 0;
    return -1;
  }
}

bool LocalEndpoint(SocketHandle socket, Ipv4Endpoint* local) {
  if (socket < 0 || local == nullptr) return false;
  sockaddr_in address{};
  socklen_t addressLength = sizeof address;
  if (getsockname(socket, reinterpret_cast<sockaddr*>(&address), &addressLength) != 0) return false;
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
  ssize_t sent = sendto(socket, data, static_cast<size_t>(length), MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr*>(&address), sizeof address);
  return sent < 0 ? -1 : static_cast<int32_t>(sent);
}

int32_t SetTypeOfService(SocketHandle socket, uint8_t tos) {
  int value = tos;
  if (setsockopt(socket, IPPROTO_IP, IP_TOS, &value, sizeof value) != 0) return errno != 0 ? errno : -1;
  return 0;
}

bool GetHostName(char* buffer, size_t capacity) {
  if (buffer == nullptr || capacity == 0) return false;
  if (gethostname(buffer, capacity) != 0) {
    buffer[0] = '\0';
    return false;
  }
  buffer[capacity - 1] = '\0';
  return true;
}

uint32_t GetProcessId() { return static_cast<uint32_t>(getpid()); }

}  // namespace ve::platform
