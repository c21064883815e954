#include "support/UdpRelay.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <deque>
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
  // Release time -> datagram. RTP delays vary, so RTP needs ordering by time; RTCP's delay is
  // fixed, so arrival order is release order.
  std::multimap<Clock::time_point, std::vector<uint8_t>> pendingRtp;
  std::deque<std::pair<Clock::time_point, std::vector<uint8_t>>> pendingRtcp;
  const auto rtcpDelay = std::chrono::milliseconds(impairment.rtcpDelayMs);
  std::vector<uint8_t> buffer(2048);
  while (!stop) {
    // Wait for a datagram, the next release, or at most 20 ms (to see `stop`). The wait is
    // rounded up to whole milliseconds so that a release close ahead does not spin.
    auto wake = Clock::now() + std::chrono::milliseconds(20);
    if (!pendingRtp.empty()) wake = std::min(wake, pendingRtp.begin()->first);
    if (!pendingRtcp.empty()) wake = std::min(wake, pendingRtcp.front().first);
    auto until = std::chrono::ceil<std::chrono::milliseconds>(wake - Clock::now());
    WaitAnyReadable({rtpFd, rtcpFd}, std::max<int>(0, static_cast<int>(until.count())));

    int n = ReceiveNow(rtpFd, buffer.data(), buffer.size());
    if (n > 0) {
      if (unit(random) >= impairment.lossRate) {
        double delayMs = impairment.baseDelayMs + unit(random) * impairment.jitterMs;
        auto delay = std::chrono::microseconds(std::llround(delayMs * 1000.0));
        pendingRtp.emplace(Clock::now() + delay, std::vector<uint8_t>(buffer.begin(), buffer.begin() + n));
      }
    }
    n = ReceiveNow(rtcpFd, buffer.data(), buffer.size());
    if (n > 0) pendingRtcp.emplace_back(Clock::now() + rtcpDelay, std::vector<uint8_t>(buffer.begin(), buffer.begin() + n));

    auto now = Clock::now();
    while (!pendingRtp.empty() && pendingRtp.begin()->first <= now) {
      const auto& datagram = pendingRtp.begin()->second;
      SendToLoopback(outFd, datagram.data(), datagram.size(), toPort);
      pendingRtp.erase(pendingRtp.begin());
    }
    while (!pendingRtcp.empty() && pendingRtcp.front().first <= now) {
      const auto& datagram = pendingRtcp.front().second;
      SendToLoopback(outFd, datagram.data(), datagram.size(), static_cast<uint16_t>(toPort + 1));
      pendingRtcp.pop_front();
    }
  }
}

}  // namespace ve::test
