#!/usr/bin/env bash
# Builds and runs the benchmark under Wine and prints its table.
#   bench.sh [--quick]
set -euo pipefail
source "$(dirname "$0")/build-for-wine.sh" quorvel-bench

prefix="$root/build/$preset/wineprefix"
trap 'tools/wine-run.sh --arch $arch "$prefix" --end-server' EXIT
tools/wine-run.sh --arch $arch "$prefix" "$bin/quorvel-bench.exe" "$@"
