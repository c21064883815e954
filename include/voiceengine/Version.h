#pragma once

namespace voiceengine {

// Version of the loaded engine library, "major.minor.patch".
const char* LibraryVersion();

}  // namespace voiceengine
