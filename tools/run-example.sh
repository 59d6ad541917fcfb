#!/usr/bin/env bash
# From a fresh clone: installs what the machine lacks, builds the library and
# the command-line encoder, draws the example image and encodes it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
cmake --preset release
cmake --build --preset release -j2 --target dibjpeg_cli example
input=build/release/tools/example.bmp
output=build/release/example.jpg
build/release/cli/dibjpeg --quality 85 "$input" "$output"
echo "Encoded $input ($(wc -c < "$input") bytes) to $PWD/$output ($(wc -c < "$output") bytes)"
