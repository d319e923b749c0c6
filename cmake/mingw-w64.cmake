# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 toolchain.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MINGW_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLE}-g++)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLE}-windres)

# Look for libraries and headers only in the MinGW tree and in paths given
# on the command line, never in the host's /usr/include.
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# gd is linked from a static archive: without these gd.h declares every
# function dllimport (or, inside gd itself, dllexport).
set(CMAKE_C_FLAGS_INIT "-DBGDWIN32 -DNONDLL")
set(CMAKE_CXX_FLAGS_INIT "-DBGDWIN32 -DNONDLL")

# No libgcc, libstdc++ or winpthread DLLs beside the program on the server.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# A third of the size without symbols: less to load on every hit.
set(CMAKE_EXE_LINKER_FLAGS_RELEASE_INIT "-s")

