#pragma once

#include <chrono>
#include <cstdint>
#include <string>

// What the call tool needs of the operating system beside the engine: its own UDP sockets,
// name resolution and a few questions about files and the terminal. Sockets are ints, as the
// engine takes them; -1 is no socket.
namespace vecall {

// Starts the system's socket services (Windows Sockets); false when they cannot start.
bool StartNetwork();

// Dotted IPv4 text for a host name or address; empty when it cannot be resolved.
std::string ResolveIpv4(const std::string& host);

// A UDP socket bound to address:port (dotted IPv4); -1 with `error` set on failure.
int BindUdp(const std::string& address, uint16_t port, std::string* error);
void CloseUdp(int socket);

// Whether the file can be opened for reading.
bool Readable(const std::string& path);

// Whether standard output is a terminal (for the status line).
bool OutputIsTerminal();

// Processor time this process has used so far, user and system, in ms.
int64_t ProcessCpuMs();

// Ctrl-C and SIGTERM, and on Windows the console's close, logoff and shutdown events, ask the
// call to end. WatchInterrupts starts watching; call it before any other thread starts (on
// Linux the signals are then blocked in every thread and taken only by WaitForInterrupt).
void WatchInterrupts();
// Blocks until an interrupt (true; also when one came before) or `deadline` (false).
bool WaitForInterrupt(std::chrono::steady_clock::time_point deadline);
// The call has ended and its statistics are written. A Windows close, logoff or shutdown event
// ends the process once it is answered, so its answer waits for this (a few seconds at most).
void CallFinished();

}  // namespace vecall
