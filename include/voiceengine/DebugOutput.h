#pragma once

#include "voiceengine/Export.h"

/// @file
/// The engine writes short diagnostic lines (packet sizes, lost buffers, warnings) to a debug
/// output. It is off by default; a host switches it on and may route the lines to its own sink.
/// On Windows the lines go to the debugger (OutputDebugStringA) instead of standard error.
/// Exported by the Linux library; the Windows DLL does not export these functions.

/// The engine's functions beside the VoiceEngine class: devices, call extensions, statistics,
/// debug output and the library's version. Hosts of the Windows DLL reach only VoiceEngine.
namespace voiceengine {

/// Receives one debug line exactly as the engine formatted it (line endings included), with
/// the context given to SetDebugSink. Called on whichever engine thread produced the line;
/// must not block for long.
using DebugSink = void (*)(const char* line, void* context);

/// Switches debug output on or off. With no sink installed, lines go to standard error. Any
/// thread.
/// @param enabled true for on.
VOICEENGINE_API void SetDebugOutputEnabled(bool enabled);
/// Whether debug output is on. Any thread.
/// @return true when on.
VOICEENGINE_API bool IsDebugOutputEnabled();

/// Installs a sink (or restores the standard error sink with nullptr). Any thread.
/// @param sink the function that receives each line.
/// @param context handed to the sink with each line.
VOICEENGINE_API void SetDebugSink(DebugSink sink, void* context);

}  // namespace voiceengine
