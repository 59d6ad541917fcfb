#!/usr/bin/env bash
# Builds and runs the whole test suite under AddressSanitizer and
# UndefinedBehaviorSanitizer (asan-ubsan preset, Debug, so the library's
# assertions are live too), then the concurrency test under ThreadSanitizer
# (tsan preset). Any sanitizer report fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh g++ cmake libasan8 libubsan1 libtsan2 libgtest-dev libjpeg62-turbo-dev libpng-dev

export ASAN_OPTIONS="detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"

echo "== asan-ubsan: whole test suite"
cmake --preset asan-ubsan >/dev/null
cmake --build --preset asan-ubsan -j2
ctest --preset asan-ubsan

echo "== tsan: concurrency test"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j2 --target dibjpeg_tests
ctest --preset tsan -R '^Concurrency\.'
