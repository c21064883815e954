#pragma once

// The system headers for the Windows half of the platform layer. Include this after every
// project header: the system defines as macros some names (result codes, format tags) that
// the project's own headers declare with the same values.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
