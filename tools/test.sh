#!/usr/bin/env bash
# Runs every test from nothing installed: sets up the toolchain, builds the
# service for 32-bit Windows, runs the suite under Wine, then the native
# sanitizer and fuzz checks. Exits non-zero on any failure.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash tools/setup.sh

prefix="$root/build/mingw/wineprefix"
cleanup() {
    # Leave no Wine process behind, whatever happened.
    if [ -d "$prefix" ]; then
        WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1 || true
    fi
}
trap cleanup EXIT

cmake --workflow --preset mingw

if [ -x tools/native-check.sh ]; then
    bash tools/native-check.sh
fi
