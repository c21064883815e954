#include "support/UdpRelay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <random>
#include <vector>

namespace ve::test {

namespace {

using Clock = std::chrono::steady_clock;

int BindLoopback(uint16_t port) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

uint16_t BoundPort(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

void SendTo(int fd, const std::vector<uint8_t>& bytes, uint16_t port) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

// Binds a free pair P, P+1; returns the fds through the arguments.
bool BindPair(int* first, int* second, uint16_t* port) {
  for (int attempt = 0; attempt < 50; ++attempt) {
    int a = BindLoopback(0);
    if (a < 0) return false;
    uint16_t p = BoundPort(a);
    if (p < 65535) {
      int b = BindLoopback(static_cast<uint16_t>(p + 1));
      if (b >= 0) {
        *first = a;
        *second = b;
        *port = p;
        return true;
      }
    }
    close(a);
  }
  return false;
}

}  // namespace

uint16_t FreePortPair() {
  int a = -1, b = -1;
  uint16_t port = 0;
  if (!BindPair(&a, &b, &port)) return 0;
  close(a);
  close(b);
  return port;
}

UdpRelay::UdpRelay(uint16_t destination, const Impairment& settings) : toPort(destination), impairment(settings) {
  if (!BindPair(&rtpFd, &rtcpFd, &port)) return;
  outFd = BindLoopback(0);
  thread = std::thread([this] { Run(); });
}

UdpRelay::~UdpRelay() {
  stop = true;
  if (thread.joinable()) thread.join();
  for (int fd : {rtpFd, rtcpFd, outFd}) {
    if (fd >= 0) close(fd);
  }
}

void UdpRelay::Run() {
  std::mt19937 random(impairment.seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::multimap<Clock::time_point, std::vector<uint8_t>> pending;  // release time -> datagram
  std::vector<uint8_t> buffer(2048);
  while (!stop) {
    // Wait for a datagram, the next release, or at most 20 ms (to see `stop`).
    int timeoutMs = 20;
    if (!pending.empty()) {
      auto until = std::chrono::duration_cast<std::chrono::milliseconds>(pending.begin()->first - Clock::now());
      timeoutMs = std::max<int>(0, std::min<int>(timeoutMs, static_cast<int>(until.count())));
    }
    pollfd fds[2] = {{rtpFd, POLLIN, 0}, {rtcpFd, POLLIN, 0}};
    poll(fds, 2, timeoutMs);
    if (fds[0].revents & POLLIN) {
      ssize_t n = recv(rtpFd, buffer.data(), buffer.size(), 0);
      if (n > 0) {
        if (unit(random) < impairment.lossRate) {
          ++dropped;
        } else {
          int delay = impairment.baseDelayMs + static_cast<int>(unit(random) * impairment.jitterMs);
          pending.emplace(Clock::now() + std::chrono::milliseconds(delay),
                          std::vector<uint8_t>(buffer.begin(), buffer.begin() + n));
        }
      }
    }
    if (fds[1].revents & POLLIN) {
      ssize_t n = recv(rtcpFd, buffer.data(), buffer.size(), 0);
      if (n > 0) SendTo(outFd, std::vector<uint8_t>(buffer.begin(), buffer.begin() + n), toPort + 1);
    }
    auto now = Clock::now();
    while (!pending.empty() && pending.begin()->first <= now) {
      SendTo(outFd, pending.begin()->second, toPort);
      pending.erase(pending.begin());
      ++forwarded;
    }
  }
}

}  // namespace ve::test
