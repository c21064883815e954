#include "support/UdpProbe.h"

#include "platform/Socket.h"

#ifdef _WIN32
#include "platform/win32/WindowsHeaders.h"
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#endif

#include "support/TestSockets.h"

namespace ve::test {

int OpenUdpOn(const char* dotted, uint16_t port) {
  if (!platform::StartSockets()) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = platform::InetAddr(dotted);
  if (address.sin_addr.s_addr == platform::kAddressNone) return -1;
#ifdef _WIN32
  SOCKET made = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (made == INVALID_SOCKET) return -1;
  const bool bound = ::bind(made, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  int socket = static_cast<int>(made);
#else
  int socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (socket < 0) return -1;
  const bool bound = ::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
#endif
  if (!bound) {
    CloseUdp(socket);
    return -1;
  }
  return socket;
}

ReceiveQueue ReadReceiveQueue(uint16_t port, int ports) {
  ReceiveQueue queue;
#ifndef _WIN32
  // One line per socket: "sl local rem st tx_queue:rx_queue tr tm->when retrnsmt uid timeout
  // inode ref pointer drops", addresses as hex ADDRESS:PORT in the kernel's byte order.
  std::ifstream table("/proc/net/udp");
  int found = 0;
  for (std::string line; std::getline(table, line);) {
    unsigned address = 0, localPort = 0, rx = 0;
    unsigned long long drops = 0;
    if (std::sscanf(line.c_str(), "%*s %X:%X %*s %*s %*X:%X %*s %*s %*s %*s %*s %*s %*s %llu", &address, &localPort,
                    &rx, &drops) != 4 ||
        localPort < port || localPort >= port + static_cast<unsigned>(ports) ||
        (address != htonl(INADDR_LOOPBACK) && address != 0)) {
      continue;
    }
    ++found;
    queue.queuedBytes += rx;
    queue.drops += drops;
  }
  queue.known = found == ports;
#else
  (void)port;
  (void)ports;
#endif
  return queue;
}

}  // namespace ve::test
