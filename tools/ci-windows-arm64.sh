#!/usr/bin/env bash
# Cross-builds the 64-bit ARM dibjpeg.dll with clang and lld (no C run-time),
# its MSVC import library and its ZIP, then tests the DLL's own code: PE
# structure and version resource, no use of x18, every reference case through
# a PE loader in an AArch64 Linux process under qemu-aarch64, and the
# package's file list. Run as root on a fresh machine, so that the packages
# can be installed.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh cmake make clang lld llvm mingw-w64-common g++-mingw-w64-x86-64-win32 \
  g++-aarch64-linux-gnu qemu-user

start=$SECONDS
cmake --preset windows-arm64
cmake --build --preset windows-arm64 -j2
cpack --preset windows-arm64
ctest --preset windows-arm64
echo "-- windows-arm64: $((SECONDS - start)) s"
