#!/usr/bin/env bash
# Builds and runs the benchmark under Wine and prints its table.
#   bench.sh [--x64] [--quick], in any order
# --x64: the 64-bit build, in a 64-bit prefix, even where 32-bit code runs.
set -euo pipefail
# --x64 is ours wherever it stands; the rest go to the bench.
preset= args=()
for arg in "$@"; do
    if [ "$arg" = --x64 ]; then
        preset=mingw-x64
    else
        args+=("$arg")
    fi
done
set -- "${args[@]}"
source "$(dirname "$0")/build-for-wine.sh" quorvel-bench

prefix="$root/build/$preset/wineprefix"
trap 'tools/wine-run.sh --arch $arch "$prefix" --end-server' EXIT
tools/wine-run.sh --arch $arch "$prefix" "$bin/quorvel-bench.exe" "$@"
