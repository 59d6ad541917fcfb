#!/usr/bin/env bash
# Runs the unit suite (every reference case included) where the library is
# claimed to run beyond this machine: 64-bit ARM Linux and big-endian IBM Z
# Linux, cross-built and run under qemu-user, and x86-64 without AVX2 (the
# dev build's suite under qemu-x86_64 -cpu Westmere, through the run-time
# processor check). Run as root on a fresh machine, so that the packages can
# be installed. Prints the time each part took.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh
bash tools/install-deps.sh qemu-user g++-aarch64-linux-gnu g++-s390x-linux-gnu

part() {
  local start=$SECONDS
  "$@"
  echo "-- $*: $((SECONDS - start)) s"
}

no_avx2() {
  echo "== x86-64 without AVX2"
  cmake --preset dev >/dev/null  # finds qemu-x86_64 when it came with this script
  cmake --build --preset dev -j2 --target dibjpeg_tests
  ctest --preset no-avx2
}

cross() {
  echo "== $1"
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1" -j2
  ctest --preset "$1"
}

part no_avx2
part cross aarch64-linux
part cross s390x-linux
