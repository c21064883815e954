# Shared by the mingw-w64 toolchain files; VE_MINGW_PREFIX names the target triplet.
set(CMAKE_C_COMPILER ${VE_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VE_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${VE_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${VE_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# libgcc, libstdc++ and winpthread go into each binary.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
# -O2 for release builds, as on Linux: GCC 12's -O3 reports false out-of-bounds copies in the
# standard library's string and vector code.
set(CMAKE_C_FLAGS_RELEASE_INIT "-O2 -DNDEBUG")
set(CMAKE_CXX_FLAGS_RELEASE_INIT "-O2 -DNDEBUG")
