#include "support/UdpRelay.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <random>
#include <vector>

#include "support/TestSockets.h"

namespace ve::test {

namespace {

using Clock = std::chrono::steady_clock;

// Binds a free pair P, P+1; returns the fds through the arguments.
bool BindPair(int* first, int* second, uint16_t* port) {
  for (int attempt = 0; attempt < 50; ++attempt) {
    int a = OpenLoopbackUdp(0);
    if (a < 0) return false;
    uint16_t p = LocalPort(a);
    if (p != 0 && p < 65535) {
      int b = OpenLoopbackUdp(static_cast<uint16_t>(p + 1));
      if (b >= 0) {
        *first = a;
        *second = b;
        *port = p;
        return true;
      }
    }
    CloseUdp(a);
  }
  return false;
}

}  // namespace

uint16_t FreePortPair() {
  int a = -1, b = -1;
  uint16_t port = 0;
  if (!BindPair(&a, &b, &port)) return 0;
  CloseUdp(a);
  CloseUdp(b);
  return port;
}

UdpRelay::UdpRelay(uint16_t destination, const Impairment& settings) : toPort(destination), impairment(settings) {
  if (!BindPair(&rtpFd, &rtcpFd, &port)) return;
  outFd = OpenLoopbackUdp(0);
  thread = std::thread([this] { Run(); });
}

UdpRelay::~UdpRelay() {
  stop = true;
  if (thread.joinable()) thread.join();
  for (int fd : {rtpFd, rtcpFd, outFd}) CloseUdp(fd);
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
    WaitAnyReadable({rtpFd, rtcpFd}, timeoutMs);
    int n = ReceiveNow(rtpFd, buffer.data(), buffer.size());
    if (n > 0) {
      if (unit(random) < impairment.lossRate) {
        ++dropped;
      } else {
        int delay = impairment.baseDelayMs + static_cast<int>(unit(random) * impairment.jitterMs);
        pending.emplace(Clock::now() + std::chrono::milliseconds(delay),
                        std::vector<uint8_t>(buffer.begin(), buffer.begin() + n));
      }
    }
    n = ReceiveNow(rtcpFd, buffer.data(), buffer.size());
    if (n > 0) SendToLoopback(outFd, buffer.data(), static_cast<size_t>(n), static_cast<uint16_t>(toPort + 1));
    auto now = Clock::now();
    while (!pending.empty() && pending.begin()->first <= now) {
      SendToLoopback(outFd, pending.begin()->second.data(), pending.begin()->second.size(), toPort);
      pending.erase(pending.begin());
      ++forwarded;
    }
  }
}

}  // namespace ve::test
