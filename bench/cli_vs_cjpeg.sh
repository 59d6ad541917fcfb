#!/usr/bin/env bash
# Whole-process timing of the command-line encoder against cjpeg (Debian's
# libjpeg-turbo-progs, run as a black box) on every BMP, PPM and PNG file in
# DIR, quality 75, 4:2:0: the median of RUNS runs (default 9) of the wall
# clock, of the processor time and of GNU time's maximum resident set size,
# output to /dev/null. cjpeg reads no PNG, so PNG rows time
# `pngtopnm | cjpeg` (netpbm), what a cjpeg user would run: the processor
# time is then the pipeline's (the shell waits for both programs) and the
# memory its larger program's.
#
#   bench/cli_vs_cjpeg.sh build/release/tools/dibjpeg DIR [RUNS]
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: $0 DIBJPEG DIR [RUNS]" >&2; exit 2; }
dibjpeg=$1 dir=$2 runs=${3:-9}
bash "$(dirname "$0")/../tools/install-deps.sh" libjpeg-turbo-progs netpbm time

# median COLUMN: the middle value of column COLUMN of the samples file.
median() { sort -n -k"$1" "$samples" | awk -v c="$1" -v n="$runs" 'NR == int((n + 1) / 2) { print $c }'; }
samples=$(mktemp)
trap 'rm -f "$samples" "$samples.run"' EXIT
# one COMMAND...: prints the medians of the wall time in seconds (to the
# millisecond, finer than time's hundredths), of the processor time (user +
# system, which other work on the machine disturbs less) and of the maximum
# resident set size in MB.
one() {
  : > "$samples"
  for _ in $(seq "$runs"); do
    local start end
    start=$(date +%s%N)
    /usr/bin/time -f '%M %U %S' -o "$samples.run" "$@" > /dev/null
    end=$(date +%s%N)
    read -r rss user sys < "$samples.run"
    echo "$(( (end - start) / 1000000 )) $(echo "$user + $sys" | bc) $rss" >> "$samples"
  done
  printf '%.3f %.2f %.1f\n' "$(echo "$(median 1) / 1000" | bc -l)" "$(median 2)" "$(echo "$(median 3) / 1024" | bc -l)"
}

printf '| file | wall dibjpeg s | wall cjpeg s | CPU dibjpeg s | CPU cjpeg s | max RSS dibjpeg MB | max RSS cjpeg MB |\n'
printf '| --- | --: | --: | --: | --: | --: | --: |\n'
for f in "$dir"/*.bmp "$dir"/*.ppm "$dir"/*.png; do
  [ -e "$f" ] || continue
  read -r dw dc dm < <(one "$dibjpeg" -q 75 -s 420 "$f" -)
  case $f in
    *.png) read -r cw cc cm < <(one sh -c 'pngtopnm "$1" | cjpeg -quality 75 -sample 2x2' sh "$f") ;;
    *) read -r cw cc cm < <(one cjpeg -quality 75 -sample 2x2 "$f") ;;
  esac
  printf '| %s | %s | %s | %s | %s | %s | %s |\n' "$(basename "$f")" "$dw" "$cw" "$dc" "$cc" "$dm" "$cm"
done
