#pragma once

#include "voiceengine/Export.h"

/// @file
/// The version of the engine library a host has loaded.

namespace voiceengine {

/// Version of the loaded engine library, "major.minor.patch". Any thread. Exported by the
/// Linux library; the Windows DLL does not export it.
/// @return a static string.
VOICEENGINE_API const char* LibraryVersion();

}  // namespace voiceengine
