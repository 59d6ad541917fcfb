#!/usr/bin/env bash
# Cross-builds dibjpeg.dll with MinGW-w64 and its MSVC import library, packs
# the Windows ZIP, then tests under Wine: exports, imports and PE flags, the
# case runner, the version resource, and a C program linked by lld against
# dibjpeg.lib, from the build tree and from the unpacked ZIP (run as root on a
# fresh machine, so that the packages can be installed).
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh g++-mingw-w64-x86-64 wine64 llvm lld clang

export WINEDEBUG=-all
cmake --preset mingw -DDIBJPEG_WERROR=ON
cmake --build --preset mingw -j2
cpack --preset mingw
ctest --preset mingw
