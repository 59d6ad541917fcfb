# Cross-compiles for 64-bit ARM Linux (little-endian) with Debian's
# g++-aarch64-linux-gnu; tests run under qemu-aarch64 (package qemu-user).
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(triple aarch64-linux-gnu)
set(qemu qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
