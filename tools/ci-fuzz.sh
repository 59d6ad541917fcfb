#!/usr/bin/env bash
# Builds the libFuzzer target (clang, ASan + UBSan) and fuzzes Jpeg_EncodeStart
# for a fixed time, starting from the committed seed corpus. Any finding (a
# sanitizer report, a failed check, a crash, a timeout) fails the script; the
# input that caused it is left in build/fuzz/artifacts/.
# FUZZ_SECONDS overrides the default run time of 120 seconds.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh clang libclang-rt-14-dev libjpeg62-turbo-dev libpng-dev cmake

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j2 --target encode_fuzzer

seconds="${FUZZ_SECONDS:-120}"
work=build/fuzz/corpus-work
artifacts=build/fuzz/artifacts
rm -rf "$work"
mkdir -p "$work" "$artifacts"
log=build/fuzz/fuzz.log
status=0
# New inputs go to the scratch directory; the committed seeds stay as they are.
build/fuzz/fuzz/encode_fuzzer -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
  -print_final_stats=1 -artifact_prefix="$artifacts/" "$work" fuzz/corpus >"$log" 2>&1 || status=$?
grep -E '^(==|SUMMARY|FAILED|libjpeg:|Done |stat::number_of_executed_units|stat::average_exec_per_sec|artifact_prefix|Test unit written)' \
  "$log" | grep -v '^artifact_prefix' || true
if [ "$status" -ne 0 ]; then
  tail -n 40 "$log"
  echo "fuzz: FAILED (exit $status); reproduce with build/fuzz/fuzz/encode_fuzzer $artifacts/<file>"
  exit 1
fi
echo "fuzz: no finding in ${seconds} s"
