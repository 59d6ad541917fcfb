#!/usr/bin/env bash
# Whole-process timing of the command-line encoder against cjpeg (Debian's
# libjpeg-turbo-progs, run as a black box) on every BMP, PPM and PNG file in
# DIR, quality 75, 4:2:0: the median of RUNS runs of GNU time's wall clock
# and maximum resident set size, output to /dev/null. cjpeg reads no PNG, so
# PNG rows time `pngtopnm | cjpeg` (netpbm), what a cjpeg user would run.
#
#   bench/cli_vs_cjpeg.sh build/release/tools/dibjpeg DIR [RUNS]
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: $0 DIBJPEG DIR [RUNS]" >&2; exit 2; }
dibjpeg=$1 dir=$2 runs=${3:-9}
bash "$(dirname "$0")/../tools/install-deps.sh" libjpeg-turbo-progs netpbm time

# median COLUMN: the middle value of column COLUMN of the samples file.
median() { sort -n -k"$1" "$samples" | awk -v c="$1" -v n="$runs" 'NR == int((n + 1) / 2) { print $c }'; }
samples=$(mktemp)
trap 'rm -f "$samples"' EXIT
# one LABEL COMMAND...: prints "LABEL wall-seconds max-RSS-MB" (medians).
one() {
  local label=$1; shift
  : > "$samples"
  for _ in $(seq "$runs"); do
    /usr/bin/time -f '%e %M' -o "$samples.run" "$@" > /dev/null
    cat "$samples.run" >> "$samples"
  done
  rm -f "$samples.run"
  printf '%s %s %.1f\n' "$label" "$(median 1)" "$(echo "$(median 2) / 1024" | bc -l)"
}

printf '| file | dibjpeg s | cjpeg s | dibjpeg MB | cjpeg MB |\n| --- | --: | --: | --: | --: |\n'
for f in "$dir"/*.bmp "$dir"/*.ppm "$dir"/*.png; do
  [ -e "$f" ] || continue
  read -r _ ds dm < <(one d "$dibjpeg" -q 75 -s 420 "$f" -)
  case $f in
    *.png) read -r _ cs cm < <(one c sh -c 'pngtopnm "$1" | cjpeg -quality 75 -sample 2x2' sh "$f") ;;
    *) read -r _ cs cm < <(one c cjpeg -quality 75 -sample 2x2 "$f") ;;
  esac
  printf '| %s | %s | %s | %s | %s |\n' "$(basename "$f")" "$ds" "$cs" "$dm" "$cm"
done
