#include "HostSystem.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>

#ifdef _WIN32
#include <io.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>

#include "platform/win32/WindowsHeaders.h"
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <signal.h>

#include <cerrno>
#endif

namespace vecall {

namespace {

#ifdef _WIN32
SOCKET Native(int socket) { return static_cast<SOCKET>(static_cast<uintptr_t>(static_cast<intptr_t>(socket))); }

std::string LastSocketError() {
  char text[256] = {};
  int code = ::WSAGetLastError();
  if (::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, static_cast<DWORD>(code),
                       0, text, sizeof text, nullptr) == 0) {
    return "error " + std::to_string(code);
  }
  std::string message = text;
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.')) {
    message.pop_back();
  }
  return message;
}
#else
int Native(int socket) { return socket; }

std::string LastSocketError() { return std::strerror(errno); }
#endif

}  // namespace

bool StartNetwork() {
#ifdef _WIN32
  WSADATA data;
  return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
#else
  return true;
#endif
}

std::string ResolveIpv4(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return {};
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr, text, sizeof text);
  ::freeaddrinfo(found);
  return text;
}

int BindUdp(const std::string& address, uint16_t port, std::string* error) {
#ifdef _WIN32
  SOCKET made = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  int socket = made == INVALID_SOCKET ? -1 : static_cast<int>(made);
#else
  int socket = ::socket(AF_INET, SOCK_DGRAM, 0);
#endif
  if (socket < 0) {
    *error = "cannot create a socket: " + LastSocketError();
    return -1;
  }
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  ::inet_pton(AF_INET, address.c_str(), &local.sin_addr);
  if (::bind(Native(socket), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    *error = "cannot bind " + address + ":" + std::to_string(port) + ": " + LastSocketError();
    CloseUdp(socket);
    return -1;
  }
  return socket;
}

void CloseUdp(int socket) {
  if (socket < 0) return;
#ifdef _WIN32
  ::closesocket(Native(socket));
#else
  ::close(socket);
#endif
}

bool Readable(const std::string& path) { return std::ifstream(path, std::ios::binary).is_open(); }

bool OutputIsTerminal() {
#ifdef _WIN32
  return ::_isatty(::_fileno(stdout)) != 0;
#else
  return ::isatty(STDOUT_FILENO) != 0;
#endif
}

int64_t ProcessCpuMs() {
#ifdef _WIN32
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
  auto ticks = [](const FILETIME& t) { return (static_cast<int64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
  return (ticks(kernel) + ticks(user)) / 10000;  // 100 ns units
#else
  rusage usage{};
  if (getrusage(RUSAGE_SELF, &usage) != 0) return 0;
  auto ms = [](const timeval& t) { return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_usec / 1000; };
  return ms(usage.ru_utime) + ms(usage.ru_stime);
#endif
}

#ifdef _WIN32
namespace {

// The console's events arrive on a thread of their own.
std::mutex interruptLock;
std::condition_variable interruptChanged;
bool interrupted = false;  // guarded by interruptLock
bool finished = false;     // guarded by interruptLock

BOOL WINAPI OnConsoleEvent(DWORD type) {
  std::unique_lock<std::mutex> guard(interruptLock);
  interrupted = true;
  interruptChanged.notify_all();
  if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
    interruptChanged.wait_for(guard, std::chrono::seconds(4), [] { return finished; });
  }
  return TRUE;
}

}  // namespace

void WatchInterrupts() { ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE); }

bool WaitForInterrupt(std::chrono::steady_clock::time_point deadline) {
  // A wait is at most a day long: a call without an end waits until time_point::max(), which
  // the condition variable's clock conversion would overflow. The caller waits again.
  const auto day = std::chrono::steady_clock::now() + std::chrono::hours(24);
  std::unique_lock<std::mutex> guard(interruptLock);
  return interruptChanged.wait_until(guard, std::min(deadline, day), [] { return interrupted; });
}

void CallFinished() {
  std::lock_guard<std::mutex> guard(interruptLock);
  finished = true;
  interruptChanged.notify_all();
}
#else
namespace {

sigset_t InterruptSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  return signals;
}

bool interrupted = false;  // the main thread's alone

}  // namespace

void WatchInterrupts() {
  const sigset_t signals = InterruptSignals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

bool WaitForInterrupt(std::chrono::steady_clock::time_point deadline) {
  const sigset_t signals = InterruptSignals();
  while (!interrupted) {
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return false;
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    const timespec wait{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    if (sigtimedwait(&signals, nullptr, &wait) > 0) interrupted = true;
  }
  return true;
}

void CallFinished() {}
#endif

}  // namespace vecall
