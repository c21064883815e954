// Library-wide entry points of the shared engine library.
#include "LibraryVersion.h"
#include "platform/Socket.h"
#include "voiceengine/Version.h"

namespace voiceengine {

const char* LibraryVersion() { return VE_VERSION_STRING; }

}  // namespace voiceengine

#ifdef _WIN32
#include "platform/win32/WindowsHeaders.h"

// Loading the library starts the socket services for the process; without them the engine
// cannot send or receive, so the load is refused.
BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) return ve::platform::StartSockets() ? TRUE : FALSE;
  return TRUE;
}
#endif
