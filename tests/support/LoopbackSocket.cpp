#include "support/LoopbackSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ve::test {

LoopbackSocket::LoopbackSocket() {
  fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(fd);
    fd = -1;
    return;
  }
  port = ntohs(address.sin_port);
}

LoopbackSocket::~LoopbackSocket() {
  if (fd >= 0) close(fd);
}

bool LoopbackSocket::SendTo(uint16_t toPort, const std::vector<uint8_t>& bytes) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(toPort);
  ssize_t sent = sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  return sent == static_cast<ssize_t>(bytes.size());
}

bool LoopbackSocket::Receive(std::vector<uint8_t>* out, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, timeoutMs) != 1) return false;
  out->resize(65536);
  ssize_t got = recv(fd, out->data(), out->size(), MSG_DONTWAIT);
  if (got < 0) return false;
  out->resize(static_cast<size_t>(got));
  return true;
}

std::vector<std::vector<uint8_t>> LoopbackSocket::ReceiveAll(int quietMs, size_t limit) {
  std::vector<std::vector<uint8_t>> all;
  std::vector<uint8_t> one;
  while (all.size() < limit && Receive(&one, quietMs)) all.push_back(one);
  return all;
}

}  // namespace ve::test
