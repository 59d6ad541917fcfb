# Shared part of the Linux cross toolchains: Debian's g++-TRIPLE compilers
# with the target's libraries under /usr/TRIPLE, and test programs run by
# qemu-user with that tree as their root for the dynamic loader. The
# including file sets `triple`, `CMAKE_SYSTEM_PROCESSOR` and `qemu`.
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${triple}-gcc)
set(CMAKE_CXX_COMPILER ${triple}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(DIBJPEG_QEMU_${CMAKE_SYSTEM_PROCESSOR} NAMES ${qemu} NO_CMAKE_FIND_ROOT_PATH REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${DIBJPEG_QEMU_${CMAKE_SYSTEM_PROCESSOR}} -L /usr/${triple})
