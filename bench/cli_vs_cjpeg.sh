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
#   bench/cli_vs_cjpeg.sh build/release/cli/dibjpeg DIR [RUNS]
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: $0 DIBJPEG DIR [RUNS]" >&2; exit 2; }
dibjpeg=$1 dir=$2 runs=${3:-9}
bash "$(dirname "$0")/../tools/install-deps.sh" libjpeg-turbo-progs netpbm time

# median FILE COLUMN: the middle value of a column of a samples file.
median() { sort -n -k"$2" "$1" | awk -v c="$2" -v n="$runs" 'NR == int((n + 1) / 2) { print $c }'; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# sample FILE COMMAND...: appends one run's wall time in milliseconds (finer
# than time's hundredths), processor time (user + system, which other work
# on the machine disturbs less) in seconds and maximum RSS in KB.
sample() {
  local out=$1 start end rss user sys
  shift
  start=$(date +%s%N)
  /usr/bin/time -f '%M %U %S' -o "$tmp/run" "$@" > /dev/null
  end=$(date +%s%N)
  read -r rss user sys < "$tmp/run"
  echo "$(( (end - start) / 1000000 )) $(echo "$user + $sys" | bc) $rss" >> "$out"
}
# medians FILE: wall s, processor s, max RSS MB.
medians() {
  printf '%.3f %.2f %.1f\n' "$(echo "$(median "$1" 1) / 1000" | bc -l)" "$(median "$1" 2)" \
    "$(echo "$(median "$1" 3) / 1024" | bc -l)"
}

printf '| file | wall dibjpeg s | wall cjpeg s | CPU dibjpeg s | CPU cjpeg s | max RSS dibjpeg MB | max RSS cjpeg MB |\n'
printf '| --- | --: | --: | --: | --: | --: | --: |\n'
for f in "$dir"/*.bmp "$dir"/*.ppm "$dir"/*.png; do
  [ -e "$f" ] || continue
  : > "$tmp/d"
  : > "$tmp/c"
  # The two programs take turns, so that other work on the machine weighs
  # on both alike.
  for _ in $(seq "$runs"); do
    sample "$tmp/d" "$dibjpeg" -q 75 -s 420 "$f" -
    case $f in
      *.png) sample "$tmp/c" sh -c 'pngtopnm "$1" | cjpeg -quality 75 -sample 2x2' sh "$f" ;;
      *) sample "$tmp/c" cjpeg -quality 75 -sample 2x2 "$f" ;;
    esac
  done
  read -r dw dc dm < <(medians "$tmp/d")
  read -r cw cc cm < <(medians "$tmp/c")
  printf '| %s | %s | %s | %s | %s | %s | %s |\n' "$(basename "$f")" "$dw" "$cw" "$dc" "$cc" "$dm" "$cm"
done
