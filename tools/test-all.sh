#!/usr/bin/env bash
# Builds everything and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset dev
cmake --build --preset dev -j2
ctest --preset dev
