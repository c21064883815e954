# 32-bit Windows, the product's own target: Debian's mingw-w64 cross compiler (POSIX thread
# model, for the standard library's threads), runtime libraries linked in statically so that
# the DLL needs nothing but the system's own DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(VE_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
