#pragma once

namespace ve::platform {

// Writes one line to the debug output exactly as given, if the host switched it on.
void OutputDebugString(const char* line);

// Formats (at most 511 characters) and writes one debug line; does nothing when the output is
// off, so callers on audio paths pay only for the check.
void DebugPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace ve::platform
