#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need (run as root).
set -euo pipefail
packages=(cmake g++ make googletest libgtest-dev libbenchmark-dev libjpeg62-turbo-dev libturbojpeg0-dev pkgconf)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi
