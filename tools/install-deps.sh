#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need (run as root), or
# the packages named on the command line. Packages already there are skipped.
set -euo pipefail
packages=(cmake g++ make googletest libgtest-dev libbenchmark-dev libjpeg62-turbo-dev libturbojpeg0-dev libpng-dev pkgconf
  libtiff-dev libgif-dev liblcms2-dev libwebp-dev
  acl btrfs-progs e2fsprogs util-linux xfsprogs
  imagemagick netpbm python3-pil libtiff-tools libjpeg-turbo-progs libvips-tools time groff-base
  libgs-common)  # a CMYK ICC profile for the CMYK input tests
if [ $# -gt 0 ]; then
  packages=("$@")
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi
