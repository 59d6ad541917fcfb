# Cross-compiles for 64-bit IBM Z Linux, a big-endian target, with Debian's
# g++-s390x-linux-gnu; tests run under qemu-s390x (package qemu-user).
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(triple s390x-linux-gnu)
set(qemu qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
