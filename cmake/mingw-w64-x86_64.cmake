# Cross-builds the Windows programs with mingw-w64 (x86_64, posix threads:
# the win32-thread compilers have no std::mutex). Every executable links the
# C and C++ runtimes statically, so it imports nothing beyond Windows' own
# DLLs; tests run through Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(Q4M_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${Q4M_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${Q4M_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${Q4M_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${Q4M_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Header-only CLI11 comes from the build machine's Debian package.
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

find_program(Q4M_WINE wine REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${Q4M_WINE})

# -O2: at -O3 this GCC (12) reports string and memcmp bounds in libstdc++ it
# cannot prove, which -Werror turns into failed builds.
set(CMAKE_CXX_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "Release flags")
