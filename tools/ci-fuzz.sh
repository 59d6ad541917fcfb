#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan) and fuzzes, each for a
# fixed time from its committed seed corpus: Jpeg_EncodeStart (encode_fuzzer,
# 120 s) and the command-line program's image readers (reader_fuzzer, 60 s).
# Any finding (a sanitizer report, a failed check, a crash, a timeout) fails
# the script; the input that caused it is left in build/fuzz/artifacts/.
# FUZZ_SECONDS and READER_FUZZ_SECONDS override the run times.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh clang libclang-rt-14-dev libjpeg62-turbo-dev libpng-dev zlib1g-dev cmake

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j2 --target encode_fuzzer reader_fuzzer

artifacts=build/fuzz/artifacts
mkdir -p "$artifacts"

# fuzz NAME PROGRAM SECONDS MAX_LEN SEEDS
fuzz() {
  local name=$1 program=$2 seconds=$3 max_len=$4 seeds=$5
  local work=build/fuzz/corpus-$name log=build/fuzz/$name.log status=0
  rm -rf "$work"
  mkdir -p "$work"
  # New inputs go to the scratch directory; the committed seeds stay as they are.
  "$program" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$artifacts/$name-" "$work" "$seeds" >"$log" 2>&1 || status=$?
  grep -E '^(==|SUMMARY|FAILED|libjpeg:|Done |stat::number_of_executed_units|stat::average_exec_per_sec|Test unit written)' \
    "$log" || true
  if [ "$status" -ne 0 ]; then
    tail -n 40 "$log"
    echo "fuzz $name: FAILED (exit $status); reproduce with $program $artifacts/$name-<file>"
    exit 1
  fi
  echo "fuzz $name: no finding in $seconds s"
}

fuzz encoder build/fuzz/fuzz/encode_fuzzer "${FUZZ_SECONDS:-120}" 4096 fuzz/corpus
fuzz readers build/fuzz/fuzz/reader_fuzzer "${READER_FUZZ_SECONDS:-60}" 16384 fuzz/reader_corpus
