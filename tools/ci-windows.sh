#!/usr/bin/env bash
# Cross-builds dibjpeg.dll with MinGW-w64, checks its exports and imports and
# runs the case runner against it under Wine (run as root on a fresh machine,
# so that the packages can be installed).
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh g++-mingw-w64-x86-64 wine64

export WINEDEBUG=-all
cmake --preset mingw -DDIBJPEG_WERROR=ON
cmake --build --preset mingw -j2
ctest --preset mingw
