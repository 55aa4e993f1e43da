#!/usr/bin/env bash
# Builds and runs the benchmark under Wine and prints its table.
#   bench.sh [--quick]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash tools/setup.sh
cmake --preset mingw >/dev/null
cmake --build --preset mingw --target quorvel-bench

prefix="$root/build/mingw/wineprefix"
trap 'WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1 || true' EXIT
tools/wine-run.sh "$prefix" build/mingw/bin/quorvel-bench.exe "$@"
