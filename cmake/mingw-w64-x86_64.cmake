# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 toolchain
# (package g++-mingw-w64-x86-64); test programs run under wine64.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(triple x86_64-w64-mingw32)
# The win32 thread model: the posix one would make every C++ binary import
# libwinpthread-1.dll, and the encoder uses no threads.
set(CMAKE_C_COMPILER ${triple}-gcc-win32)
set(CMAKE_CXX_COMPILER ${triple}-g++-win32)
set(CMAKE_RC_COMPILER ${triple}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The GCC and C++ runtimes go into each binary, so nothing but system DLLs
# has to travel with it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
# Release binaries ship without symbols (the static runtimes bring their own
# debug sections otherwise).
set(CMAKE_SHARED_LINKER_FLAGS_RELEASE_INIT "-s")
set(CMAKE_EXE_LINKER_FLAGS_RELEASE_INIT "-s")

# Debian installs wine64 outside PATH.
find_program(DIBJPEG_WINE64 NAMES wine64 PATHS /usr/lib/wine /usr/lib64/wine NO_CMAKE_FIND_ROOT_PATH)
if(DIBJPEG_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${DIBJPEG_WINE64})
endif()
