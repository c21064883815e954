// Library-wide entry points of the shared engine library.
#include "voiceengine/Version.h"

namespace voiceengine {

const char* LibraryVersion() { return "0.1.0"; }

}  // namespace voiceengine
