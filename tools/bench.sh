#!/usr/bin/env bash
# Builds and runs the benchmark under Wine and prints its table.
#   bench.sh [--x64] [--quick]
# --x64: the 64-bit build, in a 64-bit prefix, even where 32-bit code runs.
set -euo pipefail
preset=
if [ "${1-}" = --x64 ]; then
    preset=mingw-x64
    shift
fi
source "$(dirname "$0")/build-for-wine.sh" quorvel-bench

prefix="$root/build/$preset/wineprefix"
trap 'tools/wine-run.sh --arch $arch "$prefix" --end-server' EXIT
tools/wine-run.sh --arch $arch "$prefix" "$bin/quorvel-bench.exe" "$@"
