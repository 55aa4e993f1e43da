#!/usr/bin/env bash
# Builds and runs the benchmark under Wine and prints its table.
#   bench.sh [--quick]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash tools/setup.sh
runs32=$(bash tools/runs-32bit.sh)
preset=mingw arch=win32
if [ "$runs32" = no ]; then
    # This kernel runs no 32-bit code: measure the 64-bit build instead.
    preset=mingw-x64 arch=win64
fi
cmake --preset $preset >/dev/null
cmake --build --preset $preset --target quorvel-bench

prefix="$root/build/$preset/wineprefix"
trap 'tools/wine-run.sh --arch $arch "$prefix" --end-server' EXIT
tools/wine-run.sh --arch $arch "$prefix" build/$preset/bin/quorvel-bench.exe "$@"
