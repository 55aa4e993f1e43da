#!/usr/bin/env bash
# Runs every test from nothing installed: sets up the toolchain, builds the
# service for 32-bit Windows, runs the suite under Wine in a 32-bit prefix and
# again in a 64-bit one (WOW64, as our users' Windows runs it), then the native
# sanitizer and fuzz checks. Exits non-zero on any failure.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash tools/setup.sh

prefixes=()
cleanup() {
    # Leave no Wine process behind, whatever happened.
    for prefix in "${prefixes[@]}"; do
        if [ -d "$prefix" ]; then
            WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1 || true
        fi
    done
}
trap cleanup EXIT

run_suite() {
    prefixes+=("$root/build/$1/wineprefix")
    echo "== Suite: $1"
    cmake --workflow --preset "$1"
}

runs32=$(bash tools/runs-32bit.sh)
if [ "$runs32" = yes ]; then
    run_suite mingw
    # The same build's suite in a 64-bit prefix (see tools/wine-run.sh).
    prefixes+=("$root/build/mingw/wineprefix-wow64" "$root/build/mingw/wineprefix-installer-wow64")
    echo "== Suite: mingw-wow64"
    ctest --preset mingw-wow64
else
    # The product stays a 32-bit program: build it, then test the same
    # sources built for 64-bit, which this kernel can run.
    echo "== This kernel runs no 32-bit code (ia32 emulation is off): the 32-bit"
    echo "   build is built, and the suite runs on the 64-bit build in a 64-bit prefix."
    cmake --preset mingw
    cmake --build --preset mingw
    run_suite mingw-x64
fi

if [ -x tools/native-check.sh ]; then
    bash tools/native-check.sh
fi
