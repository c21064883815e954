#pragma once

// The engine writes short diagnostic lines (packet sizes, lost buffers, warnings) to a debug
// output. It is off by default; a host switches it on and may route the lines to its own sink.
namespace voiceengine {

// Receives one debug line exactly as the engine formatted it (line endings included).
// Called on whichever engine thread produced the line; must not block for long.
using DebugSink = void (*)(const char* line, void* context);

// Switches debug output on or off. With no sink installed, lines go to standard error.
void SetDebugOutputEnabled(bool enabled);
bool IsDebugOutputEnabled();

// Installs a sink (or restores the standard error sink with nullptr).
void SetDebugSink(DebugSink sink, void* context);

}  // namespace voiceengine
