#pragma once

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

}  // namespace vecall
