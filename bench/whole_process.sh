#!/usr/bin/env bash
# Whole-process timing of the command-line encoder against the programs a
# user would run instead, every one as a black box, quality 75, 4:2:0,
# output to /dev/null. Each image in DIR (BMP, PPM, PNG, TIFF or JPEG, read
# by ImageMagick) is first copied, through a PPM, into every format asked
# for:
#
#   bmp           24-bit bottom-up (ppmtobmp)
#   ppm           P6 (ImageMagick)
#   png           8-bit RGB (pnmtopng)
#   tiff          uncompressed strips (vips), and from it
#   tiff-lzw      LZW and
#   tiff-deflate  Deflate (tiffcp -c lzw, -c zip)
#   gif           a copy reduced to 256 colours (ImageMagick -colors 256)
#   tga           uncompressed (ImageMagick)
#   webp          lossless (ImageMagick, webp:lossless)
#   jpeg          quality 92 (cjpeg)
#
# then each program encodes each copy RUNS times (default 9), the programs
# taking turns so that other work on the machine weighs on all alike:
#
#   dibjpeg  -q 75 -s 420 FILE -
#   cjpeg    -quality 75 -sample 2x2 on what it reads (BMP, PPM, TGA, GIF);
#            pngtopnm | cjpeg for PNG, tifftopnm | cjpeg for TIFF,
#            djpeg | cjpeg for JPEG
#   vips     copy FILE .jpg[Q=75,subsample-mode=on] (to standard output)
#   convert  FILE -quality 75 -sampling-factor 2x2 jpg:- (ImageMagick 6),
#            for GIF, TGA, WebP and JPEG
#
# The table gives the medians of the wall clock (taken around GNU time, in
# milliseconds), of the processor time (user + system from GNU `time -v`,
# in its hundredths: a pipeline's is both programs') and of the maximum
# resident set size (a pipeline's is its larger program's), and each wall
# time over dibjpeg's. On dibjpeg's rows the last column is what the
# program should need at most: the pixels as the encoder takes them plus
# the JPEG. A program that refuses a file gets a "refused" row.
#
#   bench/whole_process.sh DIBJPEG DIR [RUNS] [FORMATS]
#   bench/whole_process.sh build/release/cli/dibjpeg /tmp/photos 9 bmp,ppm,png
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: $0 DIBJPEG DIR [RUNS] [FORMATS]" >&2; exit 2; }
dibjpeg=$(realpath "$1") dir=$2 runs=${3:-9}
formats=${4:-bmp,ppm,png,tiff,tiff-lzw,tiff-deflate,gif,tga,webp,jpeg}
bash "$(dirname "$0")/../tools/install-deps.sh" libjpeg-turbo-progs netpbm time imagemagick libvips-tools libtiff-tools
# /usr/local/bin/convert may be something else: ImageMagick 6 by its own name.
im=$(command -v convert-im6.q16 || ls /usr/bin/convert-im6* 2> /dev/null | head -1)
[ -x "$im" ] || { echo "$0: ImageMagick 6 (convert-im6.q16) not found" >&2; exit 1; }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# copy FORMAT PPM OUT: the PPM in that format.
copy() {
  case $1 in
    bmp) ppmtobmp -windows -bpp=24 "$2" > "$3" 2> /dev/null ;;
    ppm) cp "$2" "$3" ;;
    png) pnmtopng "$2" > "$3" 2> /dev/null ;;
    tiff) vips copy "$2" "$3[compression=none]" ;;
    tiff-lzw) vips copy "$2" "$tmp/plain.tif[compression=none]" && tiffcp -c lzw "$tmp/plain.tif" "$3" ;;
    tiff-deflate) vips copy "$2" "$tmp/plain.tif[compression=none]" && tiffcp -c zip "$tmp/plain.tif" "$3" ;;
    gif) "$im" "$2" -colors 256 "gif:$3" ;;
    tga) "$im" "$2" -compress None "tga:$3" ;;
    webp) "$im" "$2" -define webp:lossless=true "webp:$3" ;;
    jpeg) cjpeg -quality 92 "$2" > "$3" ;;
    *) echo "$0: unknown format $1" >&2; exit 2 ;;
  esac
}
# programs FORMAT: the programs timed on that format.
programs() {
  case $1 in
    webp) echo dibjpeg vips convert ;;  # neither cjpeg nor netpbm reads WebP
    gif | tga | jpeg) echo dibjpeg cjpeg vips convert ;;
    *) echo dibjpeg cjpeg vips ;;
  esac
}
# command PROGRAM FORMAT FILE: the command line, output to standard output.
command_for() {
  case $1/$2 in
    dibjpeg/*) echo "'$dibjpeg' -q 75 -s 420 '$3' -" ;;
    cjpeg/png) echo "pngtopnm '$3' | cjpeg -quality 75 -sample 2x2" ;;
    cjpeg/tiff*) echo "tifftopnm '$3' 2>/dev/null | cjpeg -quality 75 -sample 2x2" ;;
    cjpeg/jpeg) echo "djpeg '$3' | cjpeg -quality 75 -sample 2x2" ;;
    cjpeg/webp) ;;
    cjpeg/*) echo "cjpeg -quality 75 -sample 2x2 '$3'" ;;
    vips/*) echo "vips copy '$3' '.jpg[Q=75,subsample-mode=on]'" ;;
    convert/*) echo "'$im' '$3' -quality 75 -sampling-factor 2x2 jpg:-" ;;
  esac
}
# sample SAMPLES COMMAND: one run; appends wall ms, processor s, max RSS KB.
sample() {
  local start end
  start=$(date +%s%N)
  /usr/bin/time -v -o "$tmp/run" sh -c "$2" > /dev/null 2> /dev/null
  end=$(date +%s%N)
  awk -v wall=$(((end - start) / 1000000)) -F': ' '
    /User time/ { cpu += $2 } /System time/ { cpu += $2 } /Maximum resident/ { rss = $2 }
    END { print wall, cpu, rss }' "$tmp/run" >> "$1"
}
# median SAMPLES COLUMN
median() { sort -n -k"$2" "$1" | awk -v c="$2" -v n="$runs" 'NR == int((n + 1) / 2) { print $c }'; }

printf '| image | format | file MB | program | wall s | CPU s | max RSS MB | wall / dibjpeg | pixels + JPEG MB |\n'
printf '| --- | --- | --: | --- | --: | --: | --: | --: | --: |\n'
for src in "$dir"/*; do
  case ${src,,} in *.bmp | *.ppm | *.png | *.tif | *.tiff | *.jpg | *.jpeg) ;; *) continue ;; esac
  name=$(basename "${src%.*}")
  "$im" "$src" -depth 8 -type TrueColor "ppm:$tmp/source.ppm"
  read -r width height < <(head -c 64 "$tmp/source.ppm" | tr -s ' \n' ' ' | awk '{ print $2, $3 }')
  for format in ${formats//,/ }; do
    file=$tmp/$name.$format
    copy "$format" "$tmp/source.ppm" "$file"
    mb=$(awk -v b="$(stat -c %s "$file")" 'BEGIN { printf "%.1f", b / 1048576 }')
    # A first run of each, which also brings the file into the page cache,
    # tells a refusal apart; dibjpeg's gives the JPEG's size.
    list=()
    for p in $(programs "$format"); do
      cmd=$(command_for "$p" "$format" "$file")
      if sh -c "$cmd" > "$tmp/out.jpg" 2> /dev/null && [ -s "$tmp/out.jpg" ]; then
        list+=("$p")
        : > "$tmp/$p"
        [ "$p" != dibjpeg ] || jpeg=$(stat -c %s "$tmp/out.jpg")
      else
        printf '| %s | %s | %s | %s | refused | | | | |\n' "$name" "$format" "$mb" "$p"
      fi
    done
    for _ in $(seq "$runs"); do
      for p in "${list[@]}"; do sample "$tmp/$p" "$(command_for "$p" "$format" "$file")"; done
    done
    dwall=
    for p in "${list[@]}"; do
      wall=$(median "$tmp/$p" 1) cpu=$(median "$tmp/$p" 2) rss=$(median "$tmp/$p" 3)
      need=
      if [ "$p" = dibjpeg ]; then
        dwall=$wall
        need=$(awk -v w="$width" -v h="$height" -v j="$jpeg" 'BEGIN { printf "%.1f", (int((w * 24 + 31) / 32) * 4 * h + j) / 1048576 }')
      fi
      ratio=$([ -n "$dwall" ] && awk -v a="$wall" -v b="$dwall" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }' || echo)
      printf '| %s | %s | %s | %s | %.3f | %.2f | %.1f | %s | %s |\n' "$name" "$format" "$mb" "$p" \
        "$(awk -v w="$wall" 'BEGIN { print w / 1000 }')" "$cpu" "$(awk -v r="$rss" 'BEGIN { print r / 1024 }')" \
        "$ratio" "$need"
    done
    rm -f "$file"
  done
done
